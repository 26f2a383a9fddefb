// Binding and opening, seen from outside: the framework paths and mode, the
// symbol lookups in order, and both error lines for every way they can fail.
#include "calvex_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const char IOKIT_NOT_AVAILABLE[] = "{\"error\":\"IOKit not available\"}\n";
const char NO_HID_EVENT_SYSTEM[] = "{\"error\":\"no HID event system\"}\n";

// "dlsym FRAMEWORK SYMBOL" for the 17 symbols in binding order, from the
// tool's own list, which the link audits also check the binaries against.
#define CORE_FOUNDATION_TRACE_NAME "CoreFoundation"
#define IOKIT_TRACE_NAME "IOKit"
#define FRAMEWORK_SYMBOL(framework, symbol, slot) "dlsym " framework##_TRACE_NAME " " #symbol,
const std::vector<std::string> LOOKUPS_IN_ORDER = {
#include "framework_symbols.def"
};
#undef FRAMEWORK_SYMBOL

const std::vector<std::string> FRAMEWORK_OPENS = {
    "dlopen /System/Library/Frameworks/CoreFoundation.framework/CoreFoundation 1",
    "dlopen /System/Library/Frameworks/IOKit.framework/IOKit 1",
};

CalvexResult run_with_fault(const std::string& fault, const std::vector<std::string>& arguments)
{
    CalvexRun run;
    run.arguments = arguments;
    run.environment = {{"CALVEX_SIM_FAULT", fault}};
    return run_calvex(run);
}

TEST(Binding, OpensBothFrameworksByPathThenLooksUpSeventeenSymbolsInOrder)
{
    CalvexResult result = run_with_fault("", {"--once"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    ASSERT_EQ(LOOKUPS_IN_ORDER.size(), 17u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.trace_lines_starting("dlopen"), FRAMEWORK_OPENS);
    EXPECT_EQ(result.trace_lines_starting("dlsym"), LOOKUPS_IN_ORDER);

    // Both opens come before any lookup; the client is made after all of them.
    std::vector<std::string> trace = result.trace_lines();
    auto first_lookup = std::find(trace.begin(), trace.end(), LOOKUPS_IN_ORDER.front());
    auto second_open = std::find(trace.begin(), trace.end(), FRAMEWORK_OPENS.back());
    auto client = std::find(trace.begin(), trace.end(), "client-create");
    EXPECT_LT(second_open, first_lookup);
    EXPECT_LT(std::find(trace.begin(), trace.end(), LOOKUPS_IN_ORDER.back()), client);
}

// Every missing piece gives the same line, exit 1 and nothing on standard
// error; lookups stop at the first missing symbol.
TEST(Binding, AnyMissingFrameworkOrSymbolGivesIOKitNotAvailable)
{
    struct Case {
        std::string fault;
        size_t lookups_made;
    };
    std::vector<Case> cases = {{"no-corefoundation", 0}, {"no-iokit", 0},
                               {"no-corefoundation,no-iokit", 0}};
    for (size_t row = 0; row < LOOKUPS_IN_ORDER.size(); ++row) {
        std::string symbol = LOOKUPS_IN_ORDER[row].substr(LOOKUPS_IN_ORDER[row].rfind(' ') + 1);
        cases.push_back({"no-symbol=" + symbol, row + 1});
    }
    for (const Case& c : cases) {
        for (const auto& arguments : std::vector<std::vector<std::string>>{{"--once"}, {}}) {
            SCOPED_TRACE(c.fault + (arguments.empty() ? " (loop mode)" : " --once"));
            CalvexResult result = run_with_fault(c.fault, arguments);
            EXPECT_EQ(result.out, IOKIT_NOT_AVAILABLE);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.exit_status, 1);
            EXPECT_EQ(result.trace_lines_starting("dlopen"), FRAMEWORK_OPENS);
            std::vector<std::string> lookups = result.trace_lines_starting("dlsym");
            EXPECT_EQ(lookups, std::vector<std::string>(LOOKUPS_IN_ORDER.begin(),
                                                        LOOKUPS_IN_ORDER.begin() + c.lookups_made));
            EXPECT_TRUE(result.trace_lines_starting("client-create").empty());
        }
    }
}

TEST(Binding, ClientThatCannotBeMadeGivesNoHIDEventSystem)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--once"}, {}, {"500"}}) {
        CalvexResult result = run_with_fault("no-client", arguments);
        EXPECT_EQ(result.out, NO_HID_EVENT_SYSTEM);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.trace_lines_starting("client-create"), std::vector<std::string>{"client-create null"});
        EXPECT_TRUE(result.trace_lines_starting("set-matching").empty());
        EXPECT_TRUE(result.trace_lines_starting("copy-services").empty());
        EXPECT_TRUE(result.trace_lines_starting("usleep").empty());
    }
}

TEST(Binding, ErrorLinesAreLeftToTheNormalExitToFlush)
{
    EXPECT_TRUE(run_with_fault("no-client", {"--once"}).trace_lines_starting("fflush").empty());
    EXPECT_TRUE(run_with_fault("no-iokit", {"--once"}).trace_lines_starting("fflush").empty());
}

}
