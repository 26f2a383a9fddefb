// The pressure helper's line protocol on standard output: one level line
// per cycle, and its two error lines.
#ifndef CALVEX_PRESSURE_OUTPUT_H
#define CALVEX_PRESSURE_OUTPUT_H

#include <stdint.h>

enum PressureErrorLine {
    ERROR_PRESSURE_NOT_AVAILABLE,
    ERROR_NO_PRESSURE_NOTIFICATION
};

// {"pressure":NAME,"level":STATE} for a state that was read, or
// {"pressure":"unknown","level":null} for one that could not be; flushed.
void write_pressure_line(bool was_read, uint64_t state);
void write_pressure_error_line(PressureErrorLine error);

#endif
