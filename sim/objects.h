// Reference-counted platform objects of the simulated CoreFoundation, with
// the ledger that records every one of them. The IOKit stand-in makes its
// services, events and properties through this interface too.
#ifndef CALVEX_SIM_OBJECTS_H
#define CALVEX_SIM_OBJECTS_H

#include <stddef.h>
#include <stdint.h>

// Type identifiers as CFGetTypeID reports them.
enum SimKind : uint64_t {
    KIND_STRING = 7,
    KIND_NUMBER = 22,
    KIND_DICTIONARY = 18,
    KIND_ARRAY = 19,
    KIND_CLIENT = 60,
    KIND_SERVICE = 61,
    KIND_EVENT = 62
};

enum { SIM_DICTIONARY_CAPACITY = 8 };

struct SimObject {
    uint32_t magic;
    SimKind kind;
    int64_t references;
    bool copied_property;
    // string: its UTF-8 bytes; service: its product name bytes
    char* bytes;
    size_t length;
    // number: its value; service: product kind (see scenario.h)
    int64_t number;
    // array items, or dictionary keys; dictionary values
    SimObject** items;
    SimObject** values;
    int64_t count;
    // service and event: the reading; service: whether it has an event
    double temperature;
    bool has_event;
    // client: whether the temperature matching was set
    bool matched;
};

SimObject* sim_object_new(SimKind kind);
// Returns the live object behind pointer, or fails naming call when it is
// null, not an object, released, or (unless kind is 0) of another kind.
SimObject* sim_object_checked(const void* pointer, const char* call, uint64_t kind);
void sim_object_retain(SimObject* object);
void sim_object_release(SimObject* object, const char* call);
void sim_object_set_bytes(SimObject* object, const char* bytes, size_t length);
// Marks an object handed out by a property copy, so the ledger can report
// how many the caller held at once.
void sim_object_mark_property(SimObject* object);
const char* sim_kind_name(uint64_t kind);

#endif
