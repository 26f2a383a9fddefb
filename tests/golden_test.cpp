// Black-box regress cases kept as files: each tests/golden/NAME.scenario is
// run and its standard output must equal NAME.expected byte for byte.
// Leading comment lines set the run:
//   # args: ARG ...            arguments (default --once)
//   # env: NAME=VALUE          one variable for the simulated platform, and
//                              only one of its own (a scenario may come from a
//                              stranger's report: LD_AUDIT or PATH must never
//                              reach the child)
//   # exit: N                  expected exit status (default 0)
//   # scenario: builtin        use the built-in machine, not this file
#include "calvex_run.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> golden_cases(const char* directory)
{
    std::vector<std::string> names;
    DIR* folder = opendir(directory);
    if (folder == nullptr) {
        return names;
    }
    while (dirent* item = readdir(folder)) {
        std::string name = item->d_name;
        const std::string suffix = ".scenario";
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            names.push_back(name.substr(0, name.size() - suffix.size()));
        }
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

// The simulated platform's variables a scenario may set; the runner sets
// the scenario, trace and ledger paths itself.
const char* const SCENARIO_VARIABLES[] = {
    "CALVEX_SIM_CLOCK", "CALVEX_SIM_FAULT", "CALVEX_SIM_PPID",
    "CALVEX_SIM_PRESSURE", "CALVEX_SIM_PRESSURE_NAME", "CALVEX_SIM_RSS_AT",
};

bool scenario_may_set(const std::string& name)
{
    for (const char* allowed : SCENARIO_VARIABLES) {
        if (name == allowed) return true;
    }
    return false;
}

struct GoldenCase {
    CalvexRun run;
    int exit_status = 0;
    std::string refused;  // why the case must not run, when it must not
};

GoldenCase read_case(const std::string& scenario)
{
    GoldenCase golden;
    golden.run.arguments = {"--once"};
    golden.run.scenario = scenario;
    std::istringstream lines(scenario);
    std::string line;
    while (std::getline(lines, line) && line.rfind("#", 0) == 0) {
        std::istringstream words(line.substr(1));
        std::string directive;
        words >> directive;
        if (directive == "args:") {
            golden.run.arguments.clear();
            for (std::string word; words >> word;) golden.run.arguments.push_back(word);
        } else if (directive == "env:") {
            std::string assignment;
            words >> assignment;
            size_t equals = assignment.find('=');
            std::string name = assignment.substr(0, equals);
            if (equals == std::string::npos || !scenario_may_set(name)) {
                golden.refused = "it sets " + name + ", which is not one of the simulated platform's variables";
                break;
            }
            golden.run.environment.push_back({name, assignment.substr(equals + 1)});
        } else if (directive == "exit:") {
            words >> golden.exit_status;
        } else if (directive == "scenario:") {
            golden.run.scenario.clear();
        }
    }
    return golden;
}

void expect_every_case_gives_its_output(const char* directory)
{
    std::vector<std::string> names = golden_cases(directory);
    ASSERT_GE(names.size(), 4u) << "golden cases missing from " << directory;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::string base = std::string(directory) + "/" + name;
        GoldenCase golden = read_case(read_file(base + ".scenario"));
        if (!golden.refused.empty()) {
            ADD_FAILURE() << base << ".scenario is refused: " << golden.refused;
            continue;
        }
        CalvexResult result = run_calvex(golden.run);
        EXPECT_EQ(result.out, read_file(base + ".expected"));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, golden.exit_status);
        if (golden.exit_status == 0) {
            EXPECT_NE(result.ledger.find(START_UP_OBJECTS_ONLY), std::string::npos) << result.ledger;
        }
    }
}

TEST(Golden, ScenarioSettingAnythingButTheSimulatorsVariablesIsRefused)
{
    const char* const hostile[] = {
        "# env: LD_AUDIT=/tmp/x/evil.so\n",
        "# env: CALVEX_SIM_PPID=2:1\n# env: LD_PRELOAD=/tmp/x/evil.so\n",
        "# env: CALVEX_SIM_TRACE=/etc/passwd\n",
        "# env: PATH\n",
    };
    for (const char* text : hostile) {
        SCOPED_TRACE(text);
        EXPECT_NE(read_case(text).refused, "");
    }
    GoldenCase allowed = read_case("# env: CALVEX_SIM_PPID=2:1\n# env: CALVEX_SIM_FAULT=no-client\nsnapshot\n");
    EXPECT_EQ(allowed.refused, "");
    EXPECT_EQ(allowed.run.environment.size(), 2u);
}

TEST(Golden, EveryCaseGivesItsExpectedOutput)
{
    expect_every_case_gives_its_output(GOLDEN_DIRECTORY);
}

// The ready scenarios users are pointed to must keep doing what they show.
TEST(Golden, EveryShippedScenarioGivesItsExpectedOutput)
{
    expect_every_case_gives_its_output(SHIPPED_SCENARIOS_DIRECTORY);
}

}
