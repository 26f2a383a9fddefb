// Reads scenario files (format in sim/README.md) and serves their blocks.
#include "scenario.h"

#include "trace.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

struct LineReader {
    const char* origin;
    int line_number;
    const char* cursor;

    [[noreturn]] void fail(const char* what) const
    {
        sim_fail("scenario", "%s line %d: %s", origin, line_number, what);
    }

    void skip_blanks()
    {
        while (*cursor == ' ' || *cursor == '\t') {
            ++cursor;
        }
    }

    std::string word()
    {
        skip_blanks();
        std::string result;
        while (*cursor != '\0' && *cursor != ' ' && *cursor != '\t') {
            result += *cursor++;
        }
        return result;
    }

    double reading()
    {
        std::string text = word();
        char* end = nullptr;
        double value = strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') {
            fail("expected a reading (any double: 41.5, -0.0, nan, inf)");
        }
        return value;
    }

    int hex_digit(char c) const
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        fail("bad \\x escape");
    }

    std::string quoted()
    {
        std::string bytes;
        ++cursor;
        while (*cursor != '"') {
            if (*cursor == '\0') {
                fail("unterminated string");
            }
            if (*cursor != '\\') {
                bytes += *cursor++;
                continue;
            }
            char escaped = cursor[1];
            cursor += 2;
            if (escaped == 'x') {
                int high = hex_digit(cursor[0]);
                int low = hex_digit(cursor[1]);
                bytes += static_cast<char>(high * 16 + low);
                cursor += 2;
            } else if (escaped == '"' || escaped == '\\') {
                bytes += escaped;
            } else {
                fail("unknown escape (use \\xHH, \\\\ or \\\")");
            }
        }
        ++cursor;
        return bytes;
    }

    void product(PublishedService* service)
    {
        skip_blanks();
        if (*cursor == '"') {
            service->product_kind = PRODUCT_STRING;
            service->product = quoted();
            return;
        }
        std::string kind = word();
        if (kind == "none") {
            service->product_kind = PRODUCT_ABSENT;
        } else if (kind == "number") {
            service->product_kind = PRODUCT_NUMBER;
        } else {
            fail("expected a product: none, number or \"text\"");
        }
    }

    void end_of_line()
    {
        skip_blanks();
        if (*cursor != '\0') {
            fail("unexpected text at end of line");
        }
    }
};

}

std::vector<PublishedSnapshot> parse_scenario(const std::string& text, const char* origin)
{
    std::vector<PublishedSnapshot> snapshots;
    LineReader reader{origin, 0, nullptr};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        reader.line_number++;
        reader.cursor = line.c_str();
        std::string keyword = reader.word();
        if (keyword.empty() || keyword[0] == '#') {
            continue;
        }
        if (keyword == "snapshot" || snapshots.empty()) {
            snapshots.push_back(PublishedSnapshot{false, {}});
            if (keyword == "snapshot") {
                reader.end_of_line();
                continue;
            }
        }
        PublishedSnapshot& snapshot = snapshots.back();
        PublishedService service{SERVICE_NULL, 0.0, PRODUCT_ABSENT, std::string()};
        if (keyword == "null-list") {
            snapshot.null_list = true;
        } else if (keyword == "null-service") {
            snapshot.services.push_back(service);
        } else if (keyword == "no-event") {
            service.presence = SERVICE_WITHOUT_EVENT;
            reader.product(&service);
            snapshot.services.push_back(service);
        } else if (keyword == "sensor") {
            service.presence = SERVICE_WITH_EVENT;
            service.reading = reader.reading();
            reader.product(&service);
            snapshot.services.push_back(service);
        } else {
            reader.fail("expected snapshot, null-list, null-service, no-event or sensor");
        }
        reader.end_of_line();
    }
    if (snapshots.empty()) {
        snapshots.push_back(PublishedSnapshot{false, {}});
    }
    return snapshots;
}

static std::string read_file(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        sim_fail("scenario", "cannot open %s", path);
    }
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    fclose(file);
    return text;
}

const PublishedSnapshot& scenario_snapshot(uint64_t index)
{
    static bool loaded = false;
    static std::vector<PublishedSnapshot> from_file;
    static PublishedSnapshot generated;
    if (!loaded) {
        const char* path = getenv("CALVEX_SIM_SCENARIO");
        if (path != nullptr && *path != '\0') {
            from_file = parse_scenario(read_file(path), path);
        }
        loaded = true;
    }
    if (from_file.empty()) {
        default_snapshot(index, &generated);
        return generated;
    }
    return from_file[index < from_file.size() ? index : from_file.size() - 1];
}
