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

namespace {

const char CORE_FOUNDATION[] = "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
const char IOKIT[] = "/System/Library/Frameworks/IOKit.framework/IOKit";

struct ExpectedSlot {
    const char* symbol;
    const char* framework;
    size_t offset;
};

#define SLOT(symbol, framework, slot) {symbol, framework, offsetof(FrameworkBinding, slot)}
const ExpectedSlot EXPECTED_SLOTS[] = {
    SLOT("CFStringCreateWithCString", CORE_FOUNDATION, pCFStringCreateWithCString),
    SLOT("CFNumberCreate", CORE_FOUNDATION, pCFNumberCreate),
    SLOT("CFDictionaryCreate", CORE_FOUNDATION, pCFDictionaryCreate),
    SLOT("CFArrayGetCount", CORE_FOUNDATION, pCFArrayGetCount),
    SLOT("CFArrayGetValueAtIndex", CORE_FOUNDATION, pCFArrayGetValueAtIndex),
    SLOT("CFStringGetCString", CORE_FOUNDATION, pCFStringGetCString),
    SLOT("CFGetTypeID", CORE_FOUNDATION, pCFGetTypeID),
    SLOT("CFStringGetTypeID", CORE_FOUNDATION, pCFStringGetTypeID),
    SLOT("CFRelease", CORE_FOUNDATION, pCFRelease),
    SLOT("kCFTypeDictionaryKeyCallBacks", CORE_FOUNDATION, pKeyCallBacks),
    SLOT("kCFTypeDictionaryValueCallBacks", CORE_FOUNDATION, pValueCallBacks),
    SLOT("IOHIDEventSystemClientCreate", IOKIT, pIOHIDEventSystemClientCreate),
    SLOT("IOHIDEventSystemClientSetMatching", IOKIT, pIOHIDEventSystemClientSetMatching),
    SLOT("IOHIDEventSystemClientCopyServices", IOKIT, pIOHIDEventSystemClientCopyServices),
    SLOT("IOHIDServiceClientCopyEvent", IOKIT, pIOHIDServiceClientCopyEvent),
    SLOT("IOHIDServiceClientCopyProperty", IOKIT, pIOHIDServiceClientCopyProperty),
    SLOT("IOHIDEventGetFloatValue", IOKIT, pIOHIDEventGetFloatValue),
};
#undef SLOT

TEST(BindingSlots, EverySlotHoldsTheAddressOfItsOwnSymbol)
{
    SensorSource source;
    memset(&source, 0, sizeof source);
    ASSERT_TRUE(sensor_source_bind(&source)) << "needs the simulated platform preloaded";
    ASSERT_EQ(sizeof EXPECTED_SLOTS / sizeof EXPECTED_SLOTS[0], 17u);
    for (const ExpectedSlot& slot : EXPECTED_SLOTS) {
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
