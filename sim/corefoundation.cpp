// The CoreFoundation stand-in: the nine functions and two data symbols the
// tool looks up, as strict about their arguments as the real framework.
#include "objects.h"
#include "trace.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef int64_t CFIndex;

static const uint32_t UTF8_ENCODING = 0x08000100;
static const CFIndex SINT32_NUMBER_TYPE = 3;

struct DictionaryCallBacks {
    CFIndex version;
    const void* retain;
    const void* release;
    const void* copy_description;
    const void* equal;
    const void* hash;
};

extern "C" {
extern const DictionaryCallBacks kCFTypeDictionaryKeyCallBacks;
extern const DictionaryCallBacks kCFTypeDictionaryValueCallBacks;
const DictionaryCallBacks kCFTypeDictionaryKeyCallBacks = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
const DictionaryCallBacks kCFTypeDictionaryValueCallBacks = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

static void require_default_allocator(const void* allocator, const char* call)
{
    if (allocator != nullptr) {
        sim_fail(call, "allocator %p is not NULL (the default allocator)", allocator);
    }
}

static void require_utf8(uint32_t encoding, const char* call)
{
    if (encoding != UTF8_ENCODING) {
        sim_fail(call, "encoding 0x%08x is not kCFStringEncodingUTF8 (0x08000100)", encoding);
    }
}

// Length of the longest prefix of whole UTF-8 characters within limit bytes;
// a byte that starts no valid sequence counts as a character of its own.
static size_t whole_characters_within(const char* bytes, size_t length, size_t limit)
{
    size_t end = 0;
    while (end < length) {
        unsigned char lead = static_cast<unsigned char>(bytes[end]);
        size_t width = lead >= 0xF0 && lead <= 0xF7 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0xF8 || end + width > length) {
            width = 1;
        }
        if (end + width > limit) {
            break;
        }
        end += width;
    }
    return end;
}

extern "C" {

const void* CFStringCreateWithCString(const void* allocator, const char* text, uint32_t encoding)
{
    const char* call = "CFStringCreateWithCString";
    require_default_allocator(allocator, call);
    require_utf8(encoding, call);
    if (text == nullptr) {
        sim_fail(call, "NULL text");
    }
    SimObject* string = sim_object_new(KIND_STRING);
    sim_object_set_bytes(string, text, strlen(text));
    return string;
}

const void* CFNumberCreate(const void* allocator, CFIndex type, const void* value)
{
    const char* call = "CFNumberCreate";
    require_default_allocator(allocator, call);
    if (type != SINT32_NUMBER_TYPE) {
        sim_fail(call, "number type %lld is not kCFNumberSInt32Type (3)", static_cast<long long>(type));
    }
    if (value == nullptr) {
        sim_fail(call, "NULL value pointer");
    }
    int32_t number = 0;
    memcpy(&number, value, sizeof number);
    SimObject* object = sim_object_new(KIND_NUMBER);
    object->number = number;
    return object;
}

const void* CFDictionaryCreate(const void* allocator, const void** keys, const void** values, CFIndex count,
                               const void* key_callbacks, const void* value_callbacks)
{
    const char* call = "CFDictionaryCreate";
    require_default_allocator(allocator, call);
    if (count < 0 || count > SIM_DICTIONARY_CAPACITY) {
        sim_fail(call, "count %lld out of range", static_cast<long long>(count));
    }
    if (count > 0 && (keys == nullptr || values == nullptr)) {
        sim_fail(call, "NULL keys or values with count %lld", static_cast<long long>(count));
    }
    if (key_callbacks != &kCFTypeDictionaryKeyCallBacks) {
        sim_fail(call, "key callbacks are not kCFTypeDictionaryKeyCallBacks");
    }
    if (value_callbacks != &kCFTypeDictionaryValueCallBacks) {
        sim_fail(call, "value callbacks are not kCFTypeDictionaryValueCallBacks");
    }
    SimObject* dictionary = sim_object_new(KIND_DICTIONARY);
    dictionary->items = static_cast<SimObject**>(calloc(SIM_DICTIONARY_CAPACITY, sizeof(SimObject*)));
    dictionary->values = static_cast<SimObject**>(calloc(SIM_DICTIONARY_CAPACITY, sizeof(SimObject*)));
    for (CFIndex i = 0; i < count; ++i) {
        dictionary->items[i] = sim_object_checked(keys[i], call, 0);
        dictionary->values[i] = sim_object_checked(values[i], call, 0);
        sim_object_retain(dictionary->items[i]);
        sim_object_retain(dictionary->values[i]);
    }
    dictionary->count = count;
    return dictionary;
}

CFIndex CFArrayGetCount(const void* array)
{
    return sim_object_checked(array, "CFArrayGetCount", KIND_ARRAY)->count;
}

const void* CFArrayGetValueAtIndex(const void* array, CFIndex index)
{
    const char* call = "CFArrayGetValueAtIndex";
    SimObject* object = sim_object_checked(array, call, KIND_ARRAY);
    if (index < 0 || index >= object->count) {
        sim_fail(call, "index %lld out of range (count %lld)", static_cast<long long>(index),
                 static_cast<long long>(object->count));
    }
    return object->items[index];
}

uint8_t CFStringGetCString(const void* string, char* buffer, CFIndex buffer_size, uint32_t encoding)
{
    const char* call = "CFStringGetCString";
    SimObject* object = sim_object_checked(string, call, KIND_STRING);
    require_utf8(encoding, call);
    if (buffer == nullptr || buffer_size <= 0) {
        sim_fail(call, "no buffer to write into");
    }
    size_t room = static_cast<size_t>(buffer_size);
    if (object->length + 1 <= room) {
        memcpy(buffer, object->bytes, object->length);
        buffer[object->length] = '\0';
        return 1;
    }
    // Like the real conversion: as many whole characters as fit before the
    // last byte, no terminator, and failure reported. The fault fills the
    // whole buffer instead, for callers that must not trust a terminator.
    size_t limit = sim_fault("overfull-conversion") ? room : room - 1;
    size_t prefix = whole_characters_within(object->bytes, object->length, limit);
    memcpy(buffer, object->bytes, prefix);
    return 0;
}

uint64_t CFGetTypeID(const void* object)
{
    return sim_object_checked(object, "CFGetTypeID", 0)->kind;
}

uint64_t CFStringGetTypeID(void)
{
    return KIND_STRING;
}

void CFRelease(const void* object)
{
    sim_object_release(sim_object_checked(object, "CFRelease", 0), "CFRelease");
}

}
