// The helpers against the protocol the clients read (clients/shared/
// protocol.json, written into protocol_facts.h): each helper prints
// exactly those error lines, and calvex keeps exactly those interval
// bounds, so neither side can drift from the other.
#include "calvex_run.h"
#include "protocol_facts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string error_line(const char* text)
{
    return std::string("{\"error\":\"") + text + "\"}\n";
}

CalvexResult run_with_fault(const std::string& binary, const char* fault)
{
    CalvexRun run;
    run.binary = binary;
    run.arguments = {"--once"};
    run.environment = {{"CALVEX_SIM_FAULT", fault}};
    return run_calvex(run);
}

TEST(ProtocolFacts, EachHelperPrintsExactlyTheSharedErrorLines)
{
    struct Case {
        std::string binary;
        const char* fault;
        const char* const* line_and_code;
    };
    const Case cases[] = {
        {"", "no-iokit", PROTOCOL_SENSORS_ERROR_LINES[0]},
        {"", "no-client", PROTOCOL_SENSORS_ERROR_LINES[1]},
        {pressure_binary_path(), "no-symbol=notify_get_state", PROTOCOL_PRESSURE_ERROR_LINES[0]},
        {pressure_binary_path(), "no-pressure-notification", PROTOCOL_PRESSURE_ERROR_LINES[1]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " gives " + c.line_and_code[1]);
        CalvexResult result = run_with_fault(c.binary, c.fault);
        EXPECT_EQ(result.out, error_line(c.line_and_code[0]));
        EXPECT_EQ(result.exit_status, 1);
    }
    EXPECT_EQ(sizeof PROTOCOL_SENSORS_ERROR_LINES / sizeof PROTOCOL_SENSORS_ERROR_LINES[0], 2u);
    EXPECT_EQ(sizeof PROTOCOL_PRESSURE_ERROR_LINES / sizeof PROTOCOL_PRESSURE_ERROR_LINES[0], 2u);
}

TEST(ProtocolFacts, EachPressureStateGivesTheSharedLevelName)
{
    const size_t levels = sizeof PROTOCOL_PRESSURE_LEVELS / sizeof PROTOCOL_PRESSURE_LEVELS[0];
    for (size_t level = 0; level <= levels; ++level) {
        CalvexRun run;
        run.binary = pressure_binary_path();
        run.arguments = {"--once"};
        run.environment = {{"CALVEX_SIM_PRESSURE", std::to_string(level)}};
        const char* name = level < levels ? PROTOCOL_PRESSURE_LEVELS[level] : PROTOCOL_UNKNOWN_PRESSURE;
        EXPECT_EQ(run_calvex(run).out, std::string("{\"pressure\":\"") + name + "\",\"level\":" + std::to_string(level) + "}\n");
    }
}

std::string sleep_for(const std::vector<std::string>& arguments)
{
    CalvexRun run;
    run.arguments = arguments;
    run.scenario = "sensor 41.0 \"cpu\"\n";
    run.environment = {{"CALVEX_SIM_PPID", "1:1"}};
    std::vector<std::string> sleeps = run_calvex(run).trace_lines_starting("usleep");
    return sleeps.empty() ? "no sleep" : sleeps.front();
}

std::string usleep_of(long milliseconds)
{
    return "usleep " + std::to_string(milliseconds * 1000);
}

TEST(ProtocolFacts, CalvexKeepsTheSharedIntervalBounds)
{
    EXPECT_EQ(sleep_for({}), usleep_of(PROTOCOL_DEFAULT_INTERVAL_MS));
    EXPECT_EQ(sleep_for({std::to_string(PROTOCOL_SHORTEST_INTERVAL_MS - 1)}), usleep_of(PROTOCOL_SHORTEST_INTERVAL_MS));
    EXPECT_EQ(sleep_for({std::to_string(PROTOCOL_SHORTEST_INTERVAL_MS + 1)}), usleep_of(PROTOCOL_SHORTEST_INTERVAL_MS + 1));
    EXPECT_EQ(sleep_for({std::to_string(PROTOCOL_LONGEST_INTERVAL_MS)}), usleep_of(PROTOCOL_LONGEST_INTERVAL_MS));
    EXPECT_EQ(sleep_for({std::to_string(PROTOCOL_LONGEST_INTERVAL_MS + 1)}), usleep_of(PROTOCOL_LONGEST_INTERVAL_MS));
}

}
