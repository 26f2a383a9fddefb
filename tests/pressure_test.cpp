// calvex-pressure on the simulated notify service: the exact line for every
// state, both error lines, the name it registers, calvex's command line and
// run loop, and the platform's trace and ledger.
#include "calvex_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char NOTIFICATION[] = "com.apple.system.thermalpressurelevel";

CalvexResult run_pressure(const std::vector<std::string>& arguments,
                          const std::vector<std::pair<std::string, std::string>>& environment)
{
    CalvexRun run;
    run.binary = pressure_binary_path();
    run.arguments = arguments;
    run.environment = environment;
    return run_calvex(run);
}

std::string ledger_for(const std::string& name, int reads)
{
    return "notify registrations=1 name=" + std::string(name) + " reads=" + std::to_string(reads) + "\n";
}

TEST(Pressure, EveryStateGivesItsLine)
{
    // One state per cycle; the parent goes after the ninth.
    CalvexResult result = run_pressure({"200"}, {{"CALVEX_SIM_PRESSURE", "0,1,2,3,4,5,18446744073709551615,fail,2"},
                                                 {"CALVEX_SIM_PPID", "9:1"}});
    std::vector<std::string> expected = {
        "{\"pressure\":\"nominal\",\"level\":0}",
        "{\"pressure\":\"moderate\",\"level\":1}",
        "{\"pressure\":\"heavy\",\"level\":2}",
        "{\"pressure\":\"trapping\",\"level\":3}",
        "{\"pressure\":\"sleeping\",\"level\":4}",
        "{\"pressure\":\"unknown\",\"level\":5}",
        "{\"pressure\":\"unknown\",\"level\":18446744073709551615}",
        "{\"pressure\":\"unknown\",\"level\":null}",
        "{\"pressure\":\"heavy\",\"level\":2}",
    };
    EXPECT_EQ(result.out_lines(), expected);
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    // One registration for the whole run, one read a cycle, and the sim
    // checks each read's token against the one it issued.
    EXPECT_EQ(result.ledger, ledger_for(NOTIFICATION, 9));
    EXPECT_EQ(result.trace_lines_starting("fflush").size(), 9u) << "a flush per line";
}

TEST(Pressure, StartUpFailuresGiveAnErrorLineAndStatusOne)
{
    struct Case {
        const char* fault;
        const char* line;
        const char* ledger;
    };
    const Case cases[] = {
        {"no-symbol=notify_register_check", "{\"error\":\"thermal pressure not available\"}", ""},
        {"no-symbol=notify_get_state", "{\"error\":\"thermal pressure not available\"}", ""},
        {"no-pressure-notification", "{\"error\":\"no thermal pressure notification\"}",
         "notify registrations=1 name=com.apple.system.thermalpressurelevel reads=0\n"},
    };
    for (const Case& c : cases) {
        for (const char* argument : {"--once", "200"}) {
            SCOPED_TRACE(std::string(c.fault) + " " + argument);
            CalvexResult result = run_pressure({argument}, {{"CALVEX_SIM_FAULT", c.fault}});
            EXPECT_EQ(result.out, std::string(c.line) + "\n");
            EXPECT_EQ(result.exit_status, 1);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.ledger, c.ledger);
        }
    }
}

TEST(Pressure, LooksUpTheThreeNamesInOrderAndStopsAtAMissingFunction)
{
    CalvexResult whole = run_pressure({"--once"}, {});
    EXPECT_EQ(whole.trace_lines_starting("dlsym"),
              (std::vector<std::string>{"dlsym default notify_register_check", "dlsym default notify_get_state",
                                        "dlsym default kOSThermalNotificationPressureLevelName"}));
    CalvexResult missing = run_pressure({"--once"}, {{"CALVEX_SIM_FAULT", "no-symbol=notify_register_check"}});
    EXPECT_EQ(missing.trace_lines_starting("dlsym"), (std::vector<std::string>{"dlsym default notify_register_check"}));
    EXPECT_EQ(missing.trace_lines_starting("dlopen"), std::vector<std::string>{}) << "no framework is opened";
}

TEST(Pressure, RegistersTheExportedNameOrMacOSOwnWhenThereIsNone)
{
    struct Case {
        const char* fault;
        const char* registered;
    };
    // The stand-in's symbol holds another name here, so the fallback shows.
    const Case cases[] = {
        {"", "other.pressure.name"},
        {"no-symbol=kOSThermalNotificationPressureLevelName", NOTIFICATION},
        {"null-pressure-name", NOTIFICATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        CalvexResult result = run_pressure({"--once"}, {{"CALVEX_SIM_FAULT", c.fault},
                                                        {"CALVEX_SIM_PRESSURE_NAME", "other.pressure.name"}});
        EXPECT_EQ(result.out, "{\"pressure\":\"nominal\",\"level\":0}\n");
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.ledger, ledger_for(c.registered, 1));
    }
}

TEST(Pressure, ReadsTheCommandLineAsCalvexDoes)
{
    struct Case {
        std::vector<std::string> arguments;
        const char* sleep;  // the first usleep, or nothing with --once
    };
    const Case cases[] = {
        {{}, "usleep 2000000"},
        {{"150"}, "usleep 200000"},
        {{"750ms", "--once"}, "usleep 750000"},
        {{"nonsense"}, "usleep 200000"},
        {{"99999999999"}, "usleep 4294967000"},
        {{"--ONCE"}, "usleep 200000"},
        {{"--once", "750"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
        CalvexResult result = run_pressure(c.arguments, {{"CALVEX_SIM_PPID", "2:1"}});
        EXPECT_EQ(result.exit_status, 0);
        std::vector<std::string> sleeps = result.trace_lines_starting("usleep");
        if (c.sleep == nullptr) {
            EXPECT_EQ(result.out_lines().size(), 1u);
            EXPECT_TRUE(sleeps.empty());
        } else {
            ASSERT_FALSE(sleeps.empty());
            EXPECT_EQ(sleeps[0], c.sleep);
            EXPECT_EQ(result.out_lines().size(), 2u);
        }
    }
}

TEST(Pressure, ALineEveryCycleUntilTheParentHasGone)
{
    CalvexResult result = run_pressure({"300"}, {{"CALVEX_SIM_PPID", "4:1"}, {"CALVEX_SIM_PRESSURE", "1"}});
    std::vector<std::string> steps = result.loop_steps("notify-get-state", "read");
    std::vector<std::string> expected = {"parent", "read", "flush", "usleep 300000", "parent", "read", "flush",
                                         "usleep 300000", "parent", "read", "flush", "usleep 300000",
                                         "parent", "read", "flush", "usleep 300000", "parent 1"};
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(result.out_lines(), std::vector<std::string>(4, "{\"pressure\":\"moderate\",\"level\":1}"));
    EXPECT_EQ(result.ledger, ledger_for(NOTIFICATION, 4));
}

}  // namespace
