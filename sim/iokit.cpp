// The IOKit stand-in: the six HID event-system functions the tool looks up,
// publishing the services of the current scenario block.
#include "objects.h"
#include "scenario.h"
#include "trace.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static const int64_t TEMPERATURE_EVENT_TYPE = 15;
static const int32_t TEMPERATURE_LEVEL_FIELD = 0xF0000;

static uint64_t snapshots_served;

// The only matching the client accepts: vendor page 0xFF00, usage 5.
static bool is_temperature_matching(const SimObject* dictionary)
{
    static const struct {
        const char* key;
        int64_t value;
    } expected[] = {{"PrimaryUsagePage", 0xFF00}, {"PrimaryUsage", 5}};
    if (dictionary->count != 2) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const SimObject* key = dictionary->items[i];
        const SimObject* value = dictionary->values[i];
        if (key->kind != KIND_STRING || strcmp(key->bytes, expected[i].key) != 0 ||
            value->kind != KIND_NUMBER || value->number != expected[i].value) {
            return false;
        }
    }
    return true;
}

static SimObject* make_service(const PublishedService& published)
{
    SimObject* service = sim_object_new(KIND_SERVICE);
    service->has_event = published.presence == SERVICE_WITH_EVENT;
    service->temperature = published.reading;
    service->number = published.product_kind;
    sim_object_set_bytes(service, published.product.data(), published.product.size());
    return service;
}

extern "C" {

const void* IOHIDEventSystemClientCreate(const void* allocator)
{
    if (allocator != nullptr) {
        sim_fail("IOHIDEventSystemClientCreate", "allocator %p is not NULL", allocator);
    }
    if (sim_fault("no-client")) {
        sim_trace("client-create null");
        return nullptr;
    }
    sim_trace("client-create");
    return sim_object_new(KIND_CLIENT);
}

int32_t IOHIDEventSystemClientSetMatching(const void* client, const void* matching)
{
    const char* call = "IOHIDEventSystemClientSetMatching";
    SimObject* object = sim_object_checked(client, call, KIND_CLIENT);
    if (!is_temperature_matching(sim_object_checked(matching, call, KIND_DICTIONARY))) {
        sim_fail(call, "matching is not {PrimaryUsagePage: 0xFF00, PrimaryUsage: 5} as SInt32 numbers");
    }
    object->matched = true;
    sim_trace("set-matching");
    return 0;
}

const void* IOHIDEventSystemClientCopyServices(const void* client)
{
    const char* call = "IOHIDEventSystemClientCopyServices";
    if (!sim_object_checked(client, call, KIND_CLIENT)->matched) {
        sim_fail(call, "the client has no temperature matching, so it would list every HID service");
    }
    uint64_t index = snapshots_served++;
    const PublishedSnapshot& snapshot = scenario_snapshot(index);
    if (snapshot.null_list) {
        sim_trace("copy-services %llu null", static_cast<unsigned long long>(index));
        return nullptr;
    }
    sim_trace("copy-services %llu", static_cast<unsigned long long>(index));
    SimObject* list = sim_object_new(KIND_ARRAY);
    size_t count = snapshot.services.size();
    list->items = static_cast<SimObject**>(calloc(count ? count : 1, sizeof(SimObject*)));
    for (size_t i = 0; i < count; ++i) {
        const PublishedService& published = snapshot.services[i];
        list->items[i] = published.presence == SERVICE_NULL ? nullptr : make_service(published);
    }
    list->count = static_cast<int64_t>(count);
    return list;
}

const void* IOHIDServiceClientCopyEvent(const void* service, int64_t type, int32_t options, int64_t timestamp)
{
    const char* call = "IOHIDServiceClientCopyEvent";
    SimObject* object = sim_object_checked(service, call, KIND_SERVICE);
    if (type != TEMPERATURE_EVENT_TYPE || options != 0 || timestamp != 0) {
        sim_fail(call, "expected event type 15 with options 0 and timestamp 0, got %lld, %d, %lld",
                 static_cast<long long>(type), options, static_cast<long long>(timestamp));
    }
    if (!object->has_event) {
        return nullptr;
    }
    SimObject* event = sim_object_new(KIND_EVENT);
    event->temperature = object->temperature;
    return event;
}

double IOHIDEventGetFloatValue(const void* event, int32_t field)
{
    const char* call = "IOHIDEventGetFloatValue";
    SimObject* object = sim_object_checked(event, call, KIND_EVENT);
    if (field != TEMPERATURE_LEVEL_FIELD) {
        sim_fail(call, "field 0x%x is not the temperature level 0xF0000", static_cast<unsigned>(field));
    }
    return object->temperature;
}

const void* IOHIDServiceClientCopyProperty(const void* service, const void* key)
{
    const char* call = "IOHIDServiceClientCopyProperty";
    SimObject* object = sim_object_checked(service, call, KIND_SERVICE);
    SimObject* key_object = sim_object_checked(key, call, KIND_STRING);
    if (strcmp(key_object->bytes, "Product") != 0 || object->number == PRODUCT_ABSENT) {
        return nullptr;
    }
    SimObject* property = nullptr;
    if (object->number == PRODUCT_NUMBER) {
        property = sim_object_new(KIND_NUMBER);
        property->number = 42;
    } else {
        property = sim_object_new(KIND_STRING);
        sim_object_set_bytes(property, object->bytes, object->length);
    }
    sim_object_mark_property(property);
    return property;
}

}
