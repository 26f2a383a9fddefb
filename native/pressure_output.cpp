// Writes the thermal pressure lines: the level's name from macOS's own
// scale (0 nominal to 4 sleeping), and the number as it came.
#include "pressure_output.h"

#include <inttypes.h>
#include <stdio.h>

static const char* const LEVEL_NAMES[] = {"nominal", "moderate", "heavy", "trapping", "sleeping"};
enum { KNOWN_LEVELS = sizeof LEVEL_NAMES / sizeof LEVEL_NAMES[0] };

void write_pressure_line(bool was_read, uint64_t state)
{
    if (!was_read) {
        puts("{\"pressure\":\"unknown\",\"level\":null}");
    } else {
        const char* name = state < KNOWN_LEVELS ? LEVEL_NAMES[state] : "unknown";
        printf("{\"pressure\":\"%s\",\"level\":%" PRIu64 "}\n", name, state);
    }
    fflush(stdout);
}

void write_pressure_error_line(PressureErrorLine error)
{
    // Not flushed here: the tool returns right after, and exit flushes.
    if (error == ERROR_PRESSURE_NOT_AVAILABLE) {
        puts("{\"error\":\"thermal pressure not available\"}");
    } else {
        puts("{\"error\":\"no thermal pressure notification\"}");
    }
}
