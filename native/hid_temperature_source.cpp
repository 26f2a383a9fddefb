// Binding, opening and per-snapshot walking of the HID temperature sensors.
#include "hid_temperature_source.h"
#include "symbol_address.h"

#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static const char CORE_FOUNDATION_PATH[] =
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
static const char IOKIT_PATH[] = "/System/Library/Frameworks/IOKit.framework/IOKit";

// Mode 1 is lazy binding (RTLD_LAZY) on macOS and on Linux alike.
static const int FRAMEWORK_OPEN_MODE = 1;

static const CFStringEncoding UTF8_ENCODING = 0x08000100;
static const CFNumberType SINT32_NUMBER_TYPE = 3;
static const IOHIDEventType TEMPERATURE_EVENT_TYPE = 15;
static const IOHIDEventField TEMPERATURE_LEVEL_FIELD = 0xF0000;
static const int32_t VENDOR_USAGE_PAGE = 0xFF00;
static const int32_t TEMPERATURE_SENSOR_USAGE = 5;
static const double LOWEST_VALID_TEMPERATURE = -40.0;
static const double HIGHEST_VALID_TEMPERATURE = 150.0;

enum Framework { CORE_FOUNDATION, IOKIT };

struct SymbolRow {
    const char* name;
    Framework framework;
    size_t slot_offset;
};

// Looked up in this order; the first missing symbol ends the binding.
#define FRAMEWORK_SYMBOL(framework, symbol, slot) {#symbol, framework, offsetof(FrameworkBinding, slot)},
static const SymbolRow SYMBOL_TABLE[] = {
#include "framework_symbols.def"
};
#undef FRAMEWORK_SYMBOL

static_assert(sizeof(SYMBOL_TABLE) / sizeof(SYMBOL_TABLE[0]) == 17, "17 symbols are bound");
static_assert(sizeof(FrameworkBinding) == 17 * sizeof(void*),
              "every slot holds exactly one address as dlsym returns it");

bool sensor_source_bind(SensorSource* source)
{
    void* handles[2];
    handles[CORE_FOUNDATION] = dlopen(CORE_FOUNDATION_PATH, FRAMEWORK_OPEN_MODE);
    handles[IOKIT] = dlopen(IOKIT_PATH, FRAMEWORK_OPEN_MODE);
    if (handles[CORE_FOUNDATION] == NULL || handles[IOKIT] == NULL) {
        return false;
    }
    char* slots = reinterpret_cast<char*>(&source->binding);
    // A plain loop, not std::all_of: the tool links no C++ library.
    for (const SymbolRow& row : SYMBOL_TABLE) {  // NOLINT(readability-use-anyofallof)
        void* address = dlsym(handles[row.framework], row.name);
        if (address == NULL) {
            return false;
        }
        store_symbol_address(slots + row.slot_offset, address);
    }
    return true;
}

static CFNumberRef make_sint32_number(const FrameworkBinding* binding, int32_t value)
{
    // The number object copies the value; nothing keeps its address.
    // cppcheck-suppress returnDanglingLifetime
    return binding->pCFNumberCreate(NULL, SINT32_NUMBER_TYPE, &value);
}

bool sensor_source_open(SensorSource* source)
{
    const FrameworkBinding* binding = &source->binding;
    EventSystemConnection* connection = &source->connection;

    const void* keys[2] = {
        binding->pCFStringCreateWithCString(NULL, "PrimaryUsagePage", UTF8_ENCODING),
        binding->pCFStringCreateWithCString(NULL, "PrimaryUsage", UTF8_ENCODING),
    };
    const void* values[2] = {
        make_sint32_number(binding, VENDOR_USAGE_PAGE),
        make_sint32_number(binding, TEMPERATURE_SENSOR_USAGE),
    };
    connection->matching = binding->pCFDictionaryCreate(NULL, keys, values, 2, binding->pKeyCallBacks,
                                                        binding->pValueCallBacks);
    connection->client = binding->pIOHIDEventSystemClientCreate(NULL);
    if (connection->client == NULL) {
        return false;
    }
    binding->pIOHIDEventSystemClientSetMatching(connection->client, connection->matching);
    connection->product_key = binding->pCFStringCreateWithCString(NULL, "Product", UTF8_ENCODING);
    return true;
}

void sensor_source_begin_snapshot(SensorSource* source)
{
    const FrameworkBinding* binding = &source->binding;
    source->services = binding->pIOHIDEventSystemClientCopyServices(source->connection.client);
    source->service_count = 0;
    source->next_position = 0;
    if (source->services != NULL) {
        source->service_count = binding->pCFArrayGetCount(source->services);
    }
}

// Reads the service's current temperature, releasing the event before the
// value is looked at; false when the service has no temperature event.
static bool read_temperature(const FrameworkBinding* binding, IOHIDServiceClientRef service,
                             double* temperature)
{
    IOHIDEventRef event = binding->pIOHIDServiceClientCopyEvent(service, TEMPERATURE_EVENT_TYPE, 0, 0);
    if (event == NULL) {
        return false;
    }
    *temperature = binding->pIOHIDEventGetFloatValue(event, TEMPERATURE_LEVEL_FIELD);
    binding->pCFRelease(event);
    return true;
}

// Written so that NaN fails too.
static bool is_valid_temperature(double temperature)
{
    return temperature > LOWEST_VALID_TEMPERATURE && temperature < HIGHEST_VALID_TEMPERATURE;
}

// Fills the name buffer with the service's product name, or with the
// fallback "sensor <position>" when it has none usable.
static void take_name(SensorSource* source, IOHIDServiceClientRef service, CFIndex position)
{
    const FrameworkBinding* binding = &source->binding;
    memset(source->name, 0, sizeof source->name);
    CFTypeRef product = binding->pIOHIDServiceClientCopyProperty(service, source->connection.product_key);
    if (product != NULL) {
        if (binding->pCFGetTypeID(product) == binding->pCFStringGetTypeID()) {
            binding->pCFStringGetCString(product, source->name, SENSOR_NAME_BUFFER_SIZE, UTF8_ENCODING);
        }
        binding->pCFRelease(product);
    }
    // However the conversion ended, the name stays within its 255 bytes.
    source->name[SENSOR_NAME_BUFFER_SIZE - 1] = '\0';
    if (source->name[0] == '\0') {
        snprintf(source->name, sizeof source->name, "sensor %ld", static_cast<long>(position));
    }
}

bool sensor_source_next_reading(SensorSource* source, SensorReading* reading)
{
    const FrameworkBinding* binding = &source->binding;
    while (source->next_position < source->service_count) {
        CFIndex position = source->next_position++;
        IOHIDServiceClientRef service = binding->pCFArrayGetValueAtIndex(source->services, position);
        double temperature = 0.0;
        if (service == NULL || !read_temperature(binding, service, &temperature) ||
            !is_valid_temperature(temperature)) {
            continue;
        }
        take_name(source, service, position);
        reading->name = source->name;
        reading->temperature = temperature;
        return true;
    }
    return false;
}

void sensor_source_end_snapshot(SensorSource* source)
{
    if (source->services != NULL) {
        source->binding.pCFRelease(source->services);
        source->services = NULL;
    }
}
