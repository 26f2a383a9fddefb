// Shared by every piece of the simulated platform: the event trace a test
// can read back, the fatal misuse report, and the fault switches.
#ifndef CALVEX_SIM_TRACE_H
#define CALVEX_SIM_TRACE_H

// Appends one line to the file named by CALVEX_SIM_TRACE, if it is set.
void sim_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports a misuse of the platform the way a strict framework would fail:
// one line on standard error naming the call, then abort.
[[noreturn]] void sim_fail(const char* call, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// True when CALVEX_SIM_FAULT (a comma-separated list) holds this word.
bool sim_fault(const char* word);

#endif
