// Each of the 17 slots must hold the address that its own symbol resolves to
// in its own framework. Two swapped slots of the same shape (CFGetTypeID and
// CFStringGetTypeID, say) pass every black-box test on x86-64, where the
// argument register happens to survive the wrong call, yet break every named
// sensor on arm64, where the first argument and the result share a register.
// Runs in-process with the simulated platform preloaded.
#include "hid_temperature_source.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <string>

namespace {

const char CORE_FOUNDATION_PATH[] = "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
const char IOKIT_PATH[] = "/System/Library/Frameworks/IOKit.framework/IOKit";

struct ExpectedSlot {
    const char* symbol;
    const char* framework;
    size_t offset;
    const char* slot;
};

// The tool's own list of symbols and slots. The slot each names is checked
// against the naming rule below, so a list that pairs a symbol with another
// symbol's slot fails here even though the tool reads the same list.
#define FRAMEWORK_SYMBOL(framework, symbol, slot) {#symbol, framework##_PATH, offsetof(FrameworkBinding, slot), #slot},
const ExpectedSlot EXPECTED_SLOTS[] = {
#include "framework_symbols.def"
};
#undef FRAMEWORK_SYMBOL

// A function's slot is p and its name; the two data symbols have their own.
std::string slot_named_for(const std::string& symbol)
{
    if (symbol == "kCFTypeDictionaryKeyCallBacks") return "pKeyCallBacks";
    if (symbol == "kCFTypeDictionaryValueCallBacks") return "pValueCallBacks";
    return "p" + symbol;
}

TEST(BindingSlots, EverySlotHoldsTheAddressOfItsOwnSymbol)
{
    SensorSource source;
    memset(&source, 0, sizeof source);
    ASSERT_TRUE(sensor_source_bind(&source)) << "needs the simulated platform preloaded";
    ASSERT_EQ(sizeof EXPECTED_SLOTS / sizeof EXPECTED_SLOTS[0], 17u);
    for (const ExpectedSlot& slot : EXPECTED_SLOTS) {
        EXPECT_EQ(slot.slot, slot_named_for(slot.symbol)) << "the list pairs " << slot.symbol << " with another slot";
        void* framework = dlopen(slot.framework, RTLD_LAZY);
        ASSERT_NE(framework, nullptr) << slot.framework;
        void* resolved = dlsym(framework, slot.symbol);
        ASSERT_NE(resolved, nullptr) << slot.symbol;
        void* held = nullptr;
        memcpy(&held, reinterpret_cast<const char*>(&source.binding) + slot.offset, sizeof held);
        EXPECT_EQ(held, resolved) << "the slot for " << slot.symbol << " holds another address";
    }
}

}
