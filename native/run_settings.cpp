// Reads the first argument: "--once", or an interval in milliseconds.
#include "run_settings.h"

#include <stdlib.h>
#include <string.h>

// Reads the argument's leading integer as atol does, but saturating at the
// limits of a signed 64-bit value instead of overflowing.
static int64_t leading_integer(const char* argument)
{
    return strtoll(argument, NULL, 10);
}

static uint32_t interval_from_milliseconds(int64_t milliseconds)
{
    if (milliseconds < SHORTEST_INTERVAL_MS) {
        milliseconds = SHORTEST_INTERVAL_MS;
    }
    // Capped rather than left to wrap into a much shorter sleep.
    if (milliseconds > LONGEST_INTERVAL_MS) {
        milliseconds = LONGEST_INTERVAL_MS;
    }
    return static_cast<uint32_t>(milliseconds) * 1000U;
}

RunSettings read_run_settings(int argc, const char* const* argv)
{
    RunSettings settings;
    settings.once = false;
    settings.interval_us = static_cast<uint32_t>(DEFAULT_INTERVAL_MS) * 1000U;
    if (argc < 2 || argv[1] == NULL) {
        return settings;
    }
    if (strcmp(argv[1], "--once") == 0) {
        settings.once = true;
        return settings;
    }
    settings.interval_us = interval_from_milliseconds(leading_integer(argv[1]));
    return settings;
}
