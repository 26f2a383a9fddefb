// One snapshot line from scenarios that probe the reading tests, the number
// format, the escaping and the names; every run must also leave only the
// start-up objects alive and flush exactly once.
#include "calvex_run.h"

#include <gtest/gtest.h>

namespace {

struct SnapshotCase {
    const char* what;
    std::string scenario;
    std::string entries; // between {"sensors":[ and ]}
};

std::string quoted_bytes(const std::string& bytes)
{
    std::string text = "\"";
    for (unsigned char byte : bytes) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        text += escaped;
    }
    return text + "\"";
}

std::string sensor(double reading, const std::string& product_bytes)
{
    char line[64];
    snprintf(line, sizeof line, "sensor %.17g ", reading);
    return line + quoted_bytes(product_bytes) + "\n";
}

std::string entry(const std::string& json_name, const char* t)
{
    return "{\"name\":\"" + json_name + "\",\"t\":" + t + "}";
}

void expect_clean_single_snapshot(const CalvexResult& result, const std::string& entries)
{
    EXPECT_EQ(result.out, "{\"sensors\":[" + entries + "]}\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.ledger.substr(0, result.ledger.find('\n')), START_UP_OBJECTS_ONLY);
    EXPECT_EQ(result.trace_lines_starting("fflush").size(), 1u);
    // An event is released before the next service is visited, a property
    // before the next reading is taken.
    EXPECT_NE(result.ledger.find("peak-held event="), std::string::npos);
    EXPECT_EQ(result.ledger.find("event=2"), std::string::npos);
    EXPECT_EQ(result.ledger.find("property=2"), std::string::npos);
}

void run_cases(const std::vector<SnapshotCase>& cases)
{
    for (const SnapshotCase& c : cases) {
        SCOPED_TRACE(c.what);
        CalvexRun run;
        run.arguments = {"--once"};
        run.scenario = c.scenario.empty() ? "snapshot\n" : c.scenario;
        expect_clean_single_snapshot(run_calvex(run), c.entries);
    }
}

TEST(Snapshot, KeepsReadingsStrictlyBetweenMinus40And150)
{
    run_cases({
        {"lower edge", "sensor -40 \"a\"\nsensor -39.99 \"b\"\n", entry("b", "-39.99")},
        {"upper edge", "sensor 150 \"a\"\nsensor 149.99 \"b\"\n", entry("b", "149.99")},
        {"far out of range", "sensor -273.15 \"a\"\nsensor 1e300 \"b\"\nsensor -1e-300 \"c\"\n",
         entry("c", "-0.00")},
        {"NaN and infinities", "sensor nan \"a\"\nsensor -nan \"b\"\nsensor inf \"c\"\nsensor -inf \"d\"\n", ""},
        {"negative zero passes", "sensor -0.0 \"z\"\n", entry("z", "-0.00")},
        {"just inside, rounded up to the edge", "sensor 149.999 \"a\"\nsensor -39.999 \"b\"\n",
         entry("a", "150.00") + "," + entry("b", "-40.00")},
    });
}

TEST(Snapshot, WritesTemperaturesWithTwoDecimals)
{
    run_cases({
        {"whole number", "sensor 38 \"a\"\n", entry("a", "38.00")},
        {"negative", "sensor -5.5 \"a\"\n", entry("a", "-5.50")},
        {"tiny negative", "sensor -0.004 \"a\"\n", entry("a", "-0.00")},
        {"rounding as the C library rounds",
         "sensor 41.255 \"a\"\nsensor 0.125 \"b\"\nsensor 2.675 \"c\"\nsensor 0.375 \"d\"\nsensor 99.995 \"e\"\n",
         entry("a", "41.26") + "," + entry("b", "0.12") + "," + entry("c", "2.67") + "," + entry("d", "0.38") +
             "," + entry("e", "100.00")},
        {"smallest positive", "sensor 5e-324 \"a\"\n", entry("a", "0.00")},
    });
}

TEST(Snapshot, EscapesNamesByteByByte)
{
    std::string controls;
    std::string controls_escaped;
    for (int byte = 1; byte < 0x20; ++byte) {
        controls += static_cast<char>(byte);
        char escape[8];
        snprintf(escape, sizeof escape, "\\u%04x", byte);
        controls_escaped += escape;
    }
    run_cases({
        {"quote, backslash and tab", sensor(40, "x\"y\\z\t"), entry("x\\\"y\\\\z\\u0009", "40.00")},
        {"every control byte", sensor(40, controls), entry(controls_escaped, "40.00")},
        {"0x1f in lowercase hex", sensor(40, "a\x1f"), entry("a\\u001f", "40.00")},
        {"DEL, solidus and UTF-8 pass through", sensor(40, "\x7f/\xc2\xb0" "C"),
         entry("\x7f/\xc2\xb0" "C", "40.00")},
        {"bytes that are not UTF-8 pass through", sensor(40, "\xff\xfe\x80"), entry("\xff\xfe\x80", "40.00")},
        {"percent signs are not a format", sensor(40, "%s%n%d%%"), entry("%s%n%d%%", "40.00")},
        {"a name cut at a zero byte", sensor(40, std::string("ab\0cd", 5)), entry("ab", "40.00")},
    });
}

TEST(Snapshot, NamesFallBackToThePositionInTheList)
{
    run_cases({
        {"the example line", "no-event none\nno-event \"x\"\nsensor 41.25 none\nsensor 200 \"y\"\nsensor 38 none\n",
         entry("sensor 2", "41.25") + "," + entry("sensor 4", "38.00")},
        {"first position", "sensor 41.25 none\n", entry("sensor 0", "41.25")},
        {"number product", "sensor 40 number\n", entry("sensor 0", "40.00")},
        {"empty string product", "null-service\nsensor 40 \"\"\n", entry("sensor 1", "40.00")},
        {"product starting with a zero byte", sensor(40, std::string("\0abc", 4)), entry("sensor 0", "40.00")},
        {"null services are counted", "null-service\nnull-service\nnull-service\nsensor 40 none\n",
         entry("sensor 3", "40.00")},
    });
}

TEST(Snapshot, ListsEverySensorInOrderWithoutMakingNamesUnique)
{
    run_cases({
        {"duplicates", "sensor 40 \"PMU tdie1\"\nsensor 41 \"PMU tdie1\"\nsensor 42 \"PMU tdie1\"\n",
         entry("PMU tdie1", "40.00") + "," + entry("PMU tdie1", "41.00") + "," + entry("PMU tdie1", "42.00")},
        {"no separator after skipped first or before skipped last",
         "null-service\nsensor 40 \"a\"\nno-event \"b\"\nsensor 41 \"c\"\nsensor nan \"d\"\n",
         entry("a", "40.00") + "," + entry("c", "41.00")},
        {"empty list", "snapshot\n", ""},
        {"null list", "null-list\n", ""},
        {"only unusable services", "null-service\nno-event \"a\"\nsensor 150 \"b\"\n", ""},
    });
}

TEST(Snapshot, LongNamesKeepWholeCharactersWithin255Bytes)
{
    const std::string a255(255, 'a');
    const std::string a254(254, 'a');
    const std::string a253(253, 'a');
    const std::string degree = "\xc2\xb0";
    const std::string euro = "\xe2\x82\xac";
    run_cases({
        {"255 bytes fit", sensor(40, a255), entry(a255, "40.00")},
        {"256 bytes are cut to 255", sensor(40, a255 + "b"), entry(a255, "40.00")},
        {"1000 bytes are cut to 255", sensor(40, std::string(1000, 'q')), entry(std::string(255, 'q'), "40.00")},
        {"a two-byte character across the limit", sensor(40, a254 + degree), entry(a254, "40.00")},
        {"a three-byte character across the limit", sensor(40, a253 + euro), entry(a253, "40.00")},
        {"a two-byte character that fits", sensor(40, a253 + degree), entry(a253 + degree, "40.00")},
        {"multi-byte names", sensor(40, "\xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x94\xa5"),
         entry("\xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x94\xa5", "40.00")},
        {"quotes everywhere", sensor(40, std::string(255, '"')), entry([] {
             std::string escaped;
             for (int i = 0; i < 255; ++i) escaped += "\\\"";
             return escaped;
         }(), "40.00")},
    });
}

// Should a conversion ever fill the whole buffer without a terminator, the
// name still ends within its 255 bytes instead of running past the buffer.
TEST(Snapshot, NameStaysWithinItsBufferWhenTheConversionLeavesNoTerminator)
{
    CalvexRun run;
    run.arguments = {"--once"};
    run.scenario = sensor(40, std::string(300, 'q')) + sensor(41, "next");
    run.environment = {{"CALVEX_SIM_FAULT", "overfull-conversion"}};
    expect_clean_single_snapshot(run_calvex(run),
                                 entry(std::string(255, 'q'), "40.00") + "," + entry("next", "41.00"));
}

TEST(Snapshot, BuiltInMachineGivesARealisticLine)
{
    CalvexRun run;
    run.arguments = {"--once"};
    CalvexResult result = run_calvex(run);
    ASSERT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.out_lines().size(), 1u);
    const std::string line = result.out_lines()[0];
    EXPECT_EQ(line.rfind("{\"sensors\":[{\"name\":\"PMU tdie1\",\"t\":", 0), 0u);
    size_t entries = 0;
    for (size_t at = line.find("\"name\""); at != std::string::npos; at = line.find("\"name\"", at + 1)) {
        ++entries;
    }
    EXPECT_GE(entries, 40u);
    EXPECT_LE(entries, 64u);
    EXPECT_NE(line.find("{\"name\":\"sensor "), std::string::npos);
    EXPECT_EQ(result.ledger.substr(0, result.ledger.find('\n')), START_UP_OBJECTS_ONLY);
}

}
