// The simulated frameworks must fail loudly on every misuse the real ones
// punish; otherwise the tool's clean runs on them would prove little.
#include "objects.h"

#include <gtest/gtest.h>

#include <functional>

extern "C" {
const void* CFStringCreateWithCString(const void*, const char*, uint32_t);
const void* CFNumberCreate(const void*, int64_t, const void*);
const void* CFDictionaryCreate(const void*, const void**, const void**, int64_t, const void*, const void*);
int64_t CFArrayGetCount(const void*);
const void* CFArrayGetValueAtIndex(const void*, int64_t);
uint8_t CFStringGetCString(const void*, char*, int64_t, uint32_t);
uint64_t CFGetTypeID(const void*);
void CFRelease(const void*);
extern const char kCFTypeDictionaryKeyCallBacks[];
extern const char kCFTypeDictionaryValueCallBacks[];
const void* IOHIDEventSystemClientCreate(const void*);
int32_t IOHIDEventSystemClientSetMatching(const void*, const void*);
const void* IOHIDEventSystemClientCopyServices(const void*);
const void* IOHIDServiceClientCopyEvent(const void*, int64_t, int32_t, int64_t);
double IOHIDEventGetFloatValue(const void*, int32_t);
uint32_t notify_register_check(const char*, int*);
uint32_t notify_get_state(int, uint64_t*);
}

namespace {

const uint32_t UTF8 = 0x08000100;

const void* string(const char* text) { return CFStringCreateWithCString(nullptr, text, UTF8); }

const void* number(int32_t value) { return CFNumberCreate(nullptr, 3, &value); }

const void* temperature_matching()
{
    const void* keys[2] = {string("PrimaryUsagePage"), string("PrimaryUsage")};
    const void* values[2] = {number(0xFF00), number(5)};
    return CFDictionaryCreate(nullptr, keys, values, 2, kCFTypeDictionaryKeyCallBacks,
                              kCFTypeDictionaryValueCallBacks);
}

const void* matched_client()
{
    const void* client = IOHIDEventSystemClientCreate(nullptr);
    IOHIDEventSystemClientSetMatching(client, temperature_matching());
    return client;
}

TEST(SimulatedPlatformDeathTest, AbortsWithAClearMessageOnMisuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unsetenv("CALVEX_SIM_SCENARIO");
    struct Misuse {
        const char* what;
        std::function<void()> call;
        const char* message;
    };
    const Misuse misuses[] = {
        {"release of NULL", [] { CFRelease(nullptr); }, "CFRelease: NULL object"},
        {"over-release", [] { const void* s = string("x"); CFRelease(s); CFRelease(s); },
         "CFRelease: use of a released string"},
        {"use after release", [] { const void* s = string("x"); CFRelease(s); CFGetTypeID(s); },
         "CFGetTypeID: use of a released string"},
        {"not an object", [] { int local = 0; CFRelease(&local); }, "is not a CoreFoundation object"},
        {"string call on a number", [] { char b[8]; CFStringGetCString(number(1), b, 8, UTF8); },
         "CFStringGetCString: expected a string, got a number"},
        {"wrong encoding", [] { CFStringCreateWithCString(nullptr, "x", 0x0600); }, "is not kCFStringEncodingUTF8"},
        {"allocator not NULL", [] { int a = 0; CFStringCreateWithCString(&a, "x", UTF8); }, "is not NULL"},
        {"wrong number type", [] { int32_t v = 1; CFNumberCreate(nullptr, 9, &v); }, "is not kCFNumberSInt32Type"},
        {"wrong callbacks", [] {
             const void* k[1] = {string("k")};
             const void* v[1] = {number(1)};
             CFDictionaryCreate(nullptr, k, v, 1, nullptr, kCFTypeDictionaryValueCallBacks);
         }, "key callbacks"},
        {"matching on other usages", [] {
             const void* keys[2] = {string("PrimaryUsagePage"), string("PrimaryUsage")};
             const void* values[2] = {number(0xFF00), number(6)};
             const void* d = CFDictionaryCreate(nullptr, keys, values, 2, kCFTypeDictionaryKeyCallBacks,
                                                kCFTypeDictionaryValueCallBacks);
             IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientCreate(nullptr), d);
         }, "matching is not"},
        {"services before matching",
         [] { IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientCreate(nullptr)); }, "no temperature matching"},
        {"index out of range", [] {
             const void* list = IOHIDEventSystemClientCopyServices(matched_client());
             CFArrayGetValueAtIndex(list, CFArrayGetCount(list));
         }, "out of range"},
        {"wrong event type", [] {
             const void* list = IOHIDEventSystemClientCopyServices(matched_client());
             IOHIDServiceClientCopyEvent(CFArrayGetValueAtIndex(list, 0), 14, 0, 0);
         }, "expected event type 15"},
        {"wrong event field", [] {
             const void* list = IOHIDEventSystemClientCopyServices(matched_client());
             IOHIDEventGetFloatValue(IOHIDServiceClientCopyEvent(CFArrayGetValueAtIndex(list, 0), 15, 0, 0), 0xF0001);
         }, "is not the temperature level"},
        {"service used after its list", [] {
             const void* list = IOHIDEventSystemClientCopyServices(matched_client());
             const void* service = CFArrayGetValueAtIndex(list, 0);
             CFRelease(list);
             IOHIDServiceClientCopyEvent(service, 15, 0, 0);
         }, "use of a released service"},
        {"a state read before any registration", [] { uint64_t state; notify_get_state(1, &state); }, "was never issued"},
        {"a token never issued", [] {
             int token = 0;
             uint64_t state = 0;
             notify_register_check("com.apple.system.thermalpressurelevel", &token);
             notify_get_state(token + 1, &state);
         }, "was never issued"},
        {"a null name", [] { int token; notify_register_check(nullptr, &token); }, "a null name"},
        {"a null state pointer", [] {
             int token = 0;
             notify_register_check("com.apple.system.thermalpressurelevel", &token);
             notify_get_state(token, nullptr);
         }, "a null state pointer"},
    };
    for (const Misuse& misuse : misuses) {
        SCOPED_TRACE(misuse.what);
        EXPECT_DEATH(misuse.call(), misuse.message);
    }
}

// Like the real conversion, a name that does not fit leaves whole
// characters, no terminator, and a false result.
TEST(SimulatedPlatform, StringConversionThatDoesNotFit)
{
    const void* name = string("ab\xc2\xb0");
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(CFStringGetCString(name, buffer, 4, UTF8), 0);
    EXPECT_EQ(std::string(buffer, 4), "abxx");
    char roomy[5] = {};
    EXPECT_EQ(CFStringGetCString(name, roomy, 5, UTF8), 1);
    EXPECT_EQ(std::string(roomy), "ab\xc2\xb0");
    CFRelease(name);
}

}
