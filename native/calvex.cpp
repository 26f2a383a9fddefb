// calvex: writes the HID temperature sensors' readings to standard output,
// one JSON line per snapshot, until told --once or until its parent goes.
#include "hid_temperature_source.h"
#include "run_settings.h"
#include "snapshot_output.h"

#include <unistd.h>

// One pass over the current service list, written as exactly one line;
// each reading is written the moment the source yields it.
static void run_snapshot(SensorSource* source)
{
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

// An orphan goes to process 1 on macOS, but elsewhere often to a subreaper,
// so any change of parent counts as the parent having gone.
static bool parent_has_gone(pid_t parent_at_start)
{
    pid_t parent = getppid();
    return parent == 1 || parent != parent_at_start;
}

int main(int argc, char** argv)
{
    static SensorSource source;
    RunSettings settings = read_run_settings(argc, argv);
    pid_t parent_at_start = getppid();

    if (!sensor_source_bind(&source)) {
        write_error_line(ERROR_IOKIT_NOT_AVAILABLE);
        return 1;
    }
    if (!sensor_source_open(&source)) {
        write_error_line(ERROR_NO_HID_EVENT_SYSTEM);
        return 1;
    }
    run_snapshot(&source);
    if (settings.once) {
        return 0;
    }
    for (;;) {
        usleep(settings.interval_us);
        if (parent_has_gone(parent_at_start)) {
            return 0;
        }
        run_snapshot(&source);
    }
}
