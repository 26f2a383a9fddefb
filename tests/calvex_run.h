// Runs the built calvex binary on the simulated platform and collects what
// it did: standard output and error, exit status, the platform's trace and
// its object ledger.
#ifndef CALVEX_TESTS_CALVEX_RUN_H
#define CALVEX_TESTS_CALVEX_RUN_H

#include <string>
#include <utility>
#include <vector>

struct CalvexRun {
    std::string binary;                         // empty: calvex; or pressure_binary_path()
    std::vector<std::string> arguments;         // after the program name
    std::string scenario;                       // scenario text; empty: the built-in machine
    std::vector<std::pair<std::string, std::string>> environment; // CALVEX_SIM_* and the like
    bool virtual_clock = true;
    // A run that has not ended by then is killed and reported in err, so a
    // tool that hangs fails its test in seconds (scaled on slow lanes).
    double timeout_seconds = 15.0;
};

struct CalvexResult {
    std::string out;
    std::string err;
    int exit_status = -1;   // when it exited
    int signal = 0;         // when a signal ended it
    bool timed_out = false;
    std::string trace;
    std::string ledger;

    std::vector<std::string> trace_lines() const;
    std::vector<std::string> out_lines() const;
    // Trace lines that begin with the given word.
    std::vector<std::string> trace_lines_starting(const std::string& word) const;
    // The trace reduced to the run loop's steps, in order: the cycle's own
    // work (trace lines starting with cycle_trace, shown as cycle_step),
    // "flush", each "usleep N", and "parent" or "parent 1" for each look.
    std::vector<std::string> loop_steps(const std::string& cycle_trace, const std::string& cycle_step) const;
};

CalvexResult run_calvex(const CalvexRun& run);

// A calvex started but not waited for, for tests that play its parent.
struct SpawnedCalvex {
    int pid = -1;
    int out = -1;   // read end of its standard output
    std::string scratch;
};
SpawnedCalvex spawn_calvex(const CalvexRun& run);
void remove_scratch(const SpawnedCalvex& spawned);
void remove_scratch(const std::string& scratch);

// Reads from descriptor until count line feeds have come; false when the
// deadline passes first or the stream ends, so a line that never ends
// fails a test instead of hanging it.
bool read_lines_within(int descriptor, int count, double seconds);

// Real-time margins widened for slow lanes (emulation): CALVEX_TEST_TIME_SCALE.
double time_scale();
// False on a lane that runs the tool behind an emulator.
bool calvex_runs_natively();

// The ledger line every clean run ends with: only the start-up objects alive.
extern const char START_UP_OBJECTS_ONLY[];

std::string calvex_binary_path();
std::string pressure_binary_path();
std::string sim_directory();

#endif
