// The command line, turned into what the run needs.
#ifndef CALVEX_RUN_SETTINGS_H
#define CALVEX_RUN_SETTINGS_H

#include <stdint.h>

struct RunSettings {
    bool once;
    uint32_t interval_us;
};

enum {
    DEFAULT_INTERVAL_MS = 2000,
    SHORTEST_INTERVAL_MS = 200,
    // The longest interval whose microseconds still fit in 32 bits.
    LONGEST_INTERVAL_MS = 4294967
};

// Only the first argument counts; no argument is ever rejected.
RunSettings read_run_settings(int argc, const char* const* argv);

#endif
