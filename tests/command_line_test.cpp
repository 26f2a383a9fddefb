// The first argument, read through the running tool: how long it sleeps
// between snapshots (the virtual clock records the request) or whether it
// stops after one.
#include "calvex_run.h"

#include <gtest/gtest.h>

namespace {

// Runs in loop mode until the first parent check, which reports the parent
// gone, and returns the single sleep requested.
std::string first_sleep(const std::vector<std::string>& arguments, CalvexResult* result)
{
    CalvexRun run;
    run.arguments = arguments;
    run.scenario = "sensor 41.0 \"cpu\"\n";
    run.environment = {{"CALVEX_SIM_PPID", "1:1"}};
    *result = run_calvex(run);
    std::vector<std::string> sleeps = result->trace_lines_starting("usleep");
    return sleeps.empty() ? "no sleep" : sleeps.front();
}

TEST(CommandLine, IntervalArgumentGivesTheSleepLength)
{
    struct Case {
        std::vector<std::string> arguments;
        const char* sleep;
    };
    const Case cases[] = {
        {{}, "usleep 2000000"},
        {{"150"}, "usleep 200000"},
        {{"200"}, "usleep 200000"},
        {{"201"}, "usleep 201000"},
        {{"750"}, "usleep 750000"},
        {{"750ms"}, "usleep 750000"},
        {{"   750"}, "usleep 750000"},
        {{"\t\n750"}, "usleep 750000"},
        {{"+750"}, "usleep 750000"},
        {{"0750"}, "usleep 750000"},
        {{"750", "300"}, "usleep 750000"},
        {{"-5"}, "usleep 200000"},
        {{"0"}, "usleep 200000"},
        {{"abc"}, "usleep 200000"},
        {{"0x10"}, "usleep 200000"},
        {{"1e3"}, "usleep 200000"},
        {{""}, "usleep 200000"},
        {{"--ONCE"}, "usleep 200000"},
        {{"-once"}, "usleep 200000"},
        {{"once"}, "usleep 200000"},
        {{"--once "}, "usleep 200000"},
        {{" --once"}, "usleep 200000"},
        {{"--once=1"}, "usleep 200000"},
        {{"--help"}, "usleep 200000"},
        // The longest interval whose microseconds fit in 32 bits, and the
        // cap that keeps anything longer from wrapping to a short sleep.
        {{"4294967"}, "usleep 4294967000"},
        {{"4294968"}, "usleep 4294967000"},
        {{"4295000"}, "usleep 4294967000"},
        {{"9223372036854775807"}, "usleep 4294967000"},
        {{"99999999999999999999999"}, "usleep 4294967000"},
        {{"-99999999999999999999999"}, "usleep 200000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? std::string("(no argument)") : "'" + c.arguments[0] + "'");
        CalvexResult result;
        EXPECT_EQ(first_sleep(c.arguments, &result), c.sleep);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "{\"sensors\":[{\"name\":\"cpu\",\"t\":41.00}]}\n");
    }
}

TEST(CommandLine, OnceFlagMeansOneSnapshotWithoutSleeping)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--once"}, {"--once", "750"}, {"--once", "--once"}, {"--once", ""}}) {
        CalvexRun run;
        run.arguments = arguments;
        run.scenario = "sensor 41.0 \"cpu\"\n";
        CalvexResult result = run_calvex(run);
        EXPECT_EQ(result.out, "{\"sensors\":[{\"name\":\"cpu\",\"t\":41.00}]}\n");
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(result.trace_lines_starting("usleep").empty());
        EXPECT_EQ(result.trace_lines_starting("copy-services").size(), 1u);
    }
}

}
