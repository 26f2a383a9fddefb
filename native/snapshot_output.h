// The line protocol on standard output: snapshot lines and the two error lines.
#ifndef CALVEX_SNAPSHOT_OUTPUT_H
#define CALVEX_SNAPSHOT_OUTPUT_H

// Within a line the writer only remembers whether an entry was written, so it
// knows when a separating comma is due.
struct SnapshotWriter {
    bool entry_written;
};

enum ErrorLine {
    ERROR_IOKIT_NOT_AVAILABLE,
    ERROR_NO_HID_EVENT_SYSTEM
};

void snapshot_writer_open_line(SnapshotWriter* writer);
void snapshot_writer_write_entry(SnapshotWriter* writer, const char* name, double temperature);
void snapshot_writer_close_line(SnapshotWriter* writer);
void write_error_line(ErrorLine error);

#endif
