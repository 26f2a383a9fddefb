// calvex: writes the HID temperature sensors' readings to standard output,
// one JSON line per snapshot, until told --once or until its parent goes.
#include "hid_temperature_source.h"
#include "run_loop.h"
#include "snapshot_output.h"

// One pass over the current service list, written as exactly one line;
// each reading is written the moment the source yields it.
static void run_snapshot(void* context)
{
    SensorSource* source = static_cast<SensorSource*>(context);
    SnapshotWriter writer;
    SensorReading reading;
    sensor_source_begin_snapshot(source);
    snapshot_writer_open_line(&writer);
    while (sensor_source_next_reading(source, &reading)) {
        snapshot_writer_write_entry(&writer, reading.name, reading.temperature);
    }
    snapshot_writer_close_line(&writer);
    sensor_source_end_snapshot(source);
}

int main(int argc, char** argv)
{
    static SensorSource source;
    RunLoop run = begin_run(argc, argv);

    if (!sensor_source_bind(&source)) {
        write_error_line(ERROR_IOKIT_NOT_AVAILABLE);
        return 1;
    }
    if (!sensor_source_open(&source)) {
        write_error_line(ERROR_NO_HID_EVENT_SYSTEM);
        return 1;
    }
    return run_cycles(&run, run_snapshot, &source);
}
