// The run both tools share: the first argument read, the parent noted,
// one cycle at once and then, unless --once, one cycle per interval until
// the parent has gone.
#ifndef CALVEX_RUN_LOOP_H
#define CALVEX_RUN_LOOP_H

#include "run_settings.h"

#include <sys/types.h>

struct RunLoop {
    RunSettings settings;
    pid_t parent_at_start;
};

// What a tool does once per cycle: write one line and flush it.
typedef void (*RunCycle)(void* context);

// Reads the command line and the parent, before the tool binds anything.
RunLoop begin_run(int argc, const char* const* argv);

// Runs the first cycle at once; with --once that is all. Otherwise sleeps
// the interval and, while the parent stays, runs the next. Returns the exit
// status, 0.
int run_cycles(const RunLoop* run, RunCycle cycle, void* context);

#endif
