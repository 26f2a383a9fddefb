// Writes snapshot lines and error lines to standard output, escaping names
// byte by byte and formatting temperatures with the C library's "%.2f".
#include "snapshot_output.h"

#include <stddef.h>
#include <stdio.h>

// A name of 255 bytes escapes to at most 6 * 255 bytes, so a whole sensor
// name always fits in one chunk; longer input is still written correctly,
// one chunk at a time.
enum { ESCAPED_CHUNK_SIZE = 1536 };
enum { LONGEST_BYTE_ESCAPE = 6 };

static const char HEX_DIGITS[] = "0123456789abcdef";

// Appends the escaped form of one byte at out and returns its length.
static size_t escape_byte(unsigned char byte, char* out)
{
    if (byte == '"' || byte == '\\') {
        out[0] = '\\';
        out[1] = static_cast<char>(byte);
        return 2;
    }
    if (byte >= 0x01 && byte <= 0x1F) {
        out[0] = '\\';
        out[1] = 'u';
        out[2] = '0';
        out[3] = '0';
        out[4] = HEX_DIGITS[byte >> 4];
        out[5] = HEX_DIGITS[byte & 0x0F];
        return 6;
    }
    out[0] = static_cast<char>(byte);
    return 1;
}

// Escapes bytes from name into chunk until the name ends or the chunk is
// full, terminates the chunk and returns the first byte not yet escaped.
static const unsigned char* escape_into_chunk(const unsigned char* name, char* chunk)
{
    size_t used = 0;
    while (*name != 0 && used + LONGEST_BYTE_ESCAPE < ESCAPED_CHUNK_SIZE) {
        used += escape_byte(*name, chunk + used);
        ++name;
    }
    chunk[used] = '\0';
    return name;
}

static bool needs_escaping(const unsigned char* name)
{
    for (; *name != 0; ++name) {
        if (*name < 0x20 || *name == '"' || *name == '\\') {
            return true;
        }
    }
    return false;
}

// The rare name with bytes to escape is written in escaped chunks.
static void write_escaped_entry(const char* separator, const unsigned char* name, double temperature)
{
    char chunk[ESCAPED_CHUNK_SIZE];
    const unsigned char* rest = escape_into_chunk(name, chunk);
    printf("%s{\"name\":\"%s", separator, chunk);
    while (*rest != 0) {
        rest = escape_into_chunk(rest, chunk);
        fputs(chunk, stdout);
    }
    printf("\",\"t\":%.2f}", temperature);
}

void snapshot_writer_open_line(SnapshotWriter* writer)
{
    writer->entry_written = false;
    fputs("{\"sensors\":[", stdout);
}

void snapshot_writer_write_entry(SnapshotWriter* writer, const char* name, double temperature)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
    if (needs_escaping(bytes)) {
        write_escaped_entry(writer->entry_written ? "," : "", bytes, temperature);
    } else if (writer->entry_written) {
        // Most names need no escaping: one formatted write per entry.
        printf(",{\"name\":\"%s\",\"t\":%.2f}", name, temperature);
    } else {
        printf("{\"name\":\"%s\",\"t\":%.2f}", name, temperature);
    }
    writer->entry_written = true;
}

void snapshot_writer_close_line(SnapshotWriter* writer)
{
    (void)writer;
    puts("]}");
    fflush(stdout);
}

// The process's normal exit flushes standard output right after an error
// line, so no explicit flush is made here.
void write_error_line(ErrorLine error)
{
    if (error == ERROR_IOKIT_NOT_AVAILABLE) {
        puts("{\"error\":\"IOKit not available\"}");
    } else {
        puts("{\"error\":\"no HID event system\"}");
    }
}
