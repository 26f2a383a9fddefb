// Fuzzes the snapshot writer with arbitrary name bytes and temperatures.
// Input: 8 bytes of a double, then the name bytes. No input may crash it;
// the line must keep its exact shape, no raw control byte may appear, the
// name must decode back to its bytes, and the number must be "%.2f".
#include "snapshot_output.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& line)
{
    fprintf(stderr, "snapshot writer fuzz: %s in line: %s\n", what, line.c_str());
    abort();
}

std::string written_line(const char* name, double temperature, int entries)
{
    char* buffer = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&buffer, &length);
    FILE* terminal = stdout;
    stdout = memory;
    SnapshotWriter writer;
    snapshot_writer_open_line(&writer);
    for (int i = 0; i < entries; ++i) {
        snapshot_writer_write_entry(&writer, name, temperature);
    }
    snapshot_writer_close_line(&writer);
    stdout = terminal;
    fclose(memory);
    std::string line(buffer, length);
    free(buffer);
    return line;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes one JSON string body starting at line[at], up to its closing quote.
std::string decode_name(const std::string& line, size_t* at)
{
    std::string bytes;
    while (*at < line.size() && line[*at] != '"') {
        unsigned char c = static_cast<unsigned char>(line[*at]);
        if (c < 0x20) fail("raw control byte", line);
        if (c != '\\') {
            bytes += line[(*at)++];
            continue;
        }
        char kind = line[*at + 1];
        if (kind == '"' || kind == '\\') {
            bytes += kind;
            *at += 2;
        } else if (kind == 'u' && line.compare(*at + 2, 2, "00") == 0 && hex_value(line[*at + 4]) >= 0 &&
                   hex_value(line[*at + 5]) >= 0) {
            int value = hex_value(line[*at + 4]) * 16 + hex_value(line[*at + 5]);
            if (value == 0 || value >= 0x20) fail("escape of a byte that needs none", line);
            bytes += static_cast<char>(value);
            *at += 6;
        } else {
            fail("unknown escape", line);
        }
    }
    if (*at >= line.size()) fail("unterminated name", line);
    ++*at;
    return bytes;
}

void expect_text(const std::string& line, size_t* at, const std::string& text)
{
    if (line.compare(*at, text.size(), text) != 0) fail(("expected " + text).c_str(), line);
    *at += text.size();
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9) {
        return 0;
    }
    double temperature = 0;
    memcpy(&temperature, data, sizeof temperature);
    int entries = 1 + data[8] % 3;
    std::string name(reinterpret_cast<const char*>(data) + 9, size - 9);
    std::string expected_name = name.c_str();
    // "%.2f" of the largest double takes 312 characters.
    char expected_number[400];
    snprintf(expected_number, sizeof expected_number, "%.2f", temperature);

    std::string line = written_line(name.c_str(), temperature, entries);
    size_t at = 0;
    expect_text(line, &at, "{\"sensors\":[");
    for (int i = 0; i < entries; ++i) {
        expect_text(line, &at, i == 0 ? "{\"name\":\"" : ",{\"name\":\"");
        if (decode_name(line, &at) != expected_name) fail("name does not round-trip", line);
        expect_text(line, &at, ",\"t\":");
        expect_text(line, &at, expected_number);
        expect_text(line, &at, "}");
    }
    expect_text(line, &at, "]}\n");
    if (at != line.size()) fail("bytes after the line feed", line);
    return 0;
}
