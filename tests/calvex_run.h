// Runs the built calvex binary on the simulated platform and collects what
// it did: standard output and error, exit status, the platform's trace and
// its object ledger.
#ifndef CALVEX_TESTS_CALVEX_RUN_H
#define CALVEX_TESTS_CALVEX_RUN_H

#include <string>
#include <utility>
#include <vector>

struct CalvexRun {
    std::vector<std::string> arguments;         // after the program name
    std::string scenario;                       // scenario text; empty: the built-in machine
    std::vector<std::pair<std::string, std::string>> environment; // CALVEX_SIM_* and the like
    bool virtual_clock = true;
    double timeout_seconds = 60.0;
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

// The ledger line every clean run ends with: only the start-up objects alive.
extern const char START_UP_OBJECTS_ONLY[];

std::string calvex_binary_path();
std::string sim_directory();

#endif
