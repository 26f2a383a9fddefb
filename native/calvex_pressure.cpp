// calvex-pressure: writes the system's thermal pressure level to standard
// output, one JSON line per cycle, until told --once or until its parent
// goes. The command line and the run are calvex's own.
#include "pressure_output.h"
#include "run_loop.h"
#include "thermal_pressure_source.h"

// A line every cycle, changed or not, so a reader can tell a live helper
// from a stalled one.
static void write_pressure_now(void* context)
{
    const ThermalPressureSource* source = static_cast<const ThermalPressureSource*>(context);
    uint64_t state = 0;
    bool was_read = thermal_pressure_read(source, &state);
    write_pressure_line(was_read, state);
}

int main(int argc, char** argv)
{
    static ThermalPressureSource source;
    RunLoop run = begin_run(argc, argv);

    if (!thermal_pressure_bind(&source)) {
        write_pressure_error_line(ERROR_PRESSURE_NOT_AVAILABLE);
        return 1;
    }
    if (!thermal_pressure_register(&source)) {
        write_pressure_error_line(ERROR_NO_PRESSURE_NOTIFICATION);
        return 1;
    }
    return run_cycles(&run, write_pressure_now, &source);
}
