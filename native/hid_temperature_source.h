// The sensor source: binds CoreFoundation and IOKit at run time, opens one
// HID event-system client matched to temperature sensors, and walks its
// service list once per snapshot, yielding one reading at a time.
#ifndef CALVEX_HID_TEMPERATURE_SOURCE_H
#define CALVEX_HID_TEMPERATURE_SOURCE_H

#include <stdint.h>

// Platform call types, with the widths the frameworks use on arm64 macOS.
typedef int64_t CFIndex;
typedef uint32_t CFStringEncoding;
typedef CFIndex CFNumberType;
typedef uint64_t CFTypeID;
typedef uint8_t Boolean;
typedef const void* CFTypeRef;
typedef const void* CFAllocatorRef;
typedef const void* CFStringRef;
typedef const void* CFNumberRef;
typedef const void* CFDictionaryRef;
typedef const void* CFArrayRef;
typedef const void* IOHIDEventSystemClientRef;
typedef const void* IOHIDServiceClientRef;
typedef const void* IOHIDEventRef;
typedef int64_t IOHIDEventType;
typedef int32_t IOHIDEventOptions;
typedef int64_t IOHIDEventTimestamp;
typedef int32_t IOHIDEventField;

// One slot per looked-up symbol, filled once at start-up and only read after.
struct FrameworkBinding {
    CFStringRef (*pCFStringCreateWithCString)(CFAllocatorRef, const char*, CFStringEncoding);
    CFNumberRef (*pCFNumberCreate)(CFAllocatorRef, CFNumberType, const void*);
    CFDictionaryRef (*pCFDictionaryCreate)(CFAllocatorRef, const void**, const void**, CFIndex,
                                           const void*, const void*);
    CFIndex (*pCFArrayGetCount)(CFArrayRef);
    const void* (*pCFArrayGetValueAtIndex)(CFArrayRef, CFIndex);
    Boolean (*pCFStringGetCString)(CFStringRef, char*, CFIndex, CFStringEncoding);
    CFTypeID (*pCFGetTypeID)(CFTypeRef);
    CFTypeID (*pCFStringGetTypeID)(void);
    void (*pCFRelease)(CFTypeRef);
    const void* pKeyCallBacks;
    const void* pValueCallBacks;
    IOHIDEventSystemClientRef (*pIOHIDEventSystemClientCreate)(CFAllocatorRef);
    int32_t (*pIOHIDEventSystemClientSetMatching)(IOHIDEventSystemClientRef, CFDictionaryRef);
    CFArrayRef (*pIOHIDEventSystemClientCopyServices)(IOHIDEventSystemClientRef);
    IOHIDEventRef (*pIOHIDServiceClientCopyEvent)(IOHIDServiceClientRef, IOHIDEventType,
                                                  IOHIDEventOptions, IOHIDEventTimestamp);
    CFTypeRef (*pIOHIDServiceClientCopyProperty)(IOHIDServiceClientRef, CFStringRef);
    double (*pIOHIDEventGetFloatValue)(IOHIDEventRef, IOHIDEventField);
};

// Made once by opening and kept, unreleased, for the life of the process.
struct EventSystemConnection {
    CFDictionaryRef matching;
    IOHIDEventSystemClientRef client;
    CFStringRef product_key;
};

enum { SENSOR_NAME_BUFFER_SIZE = 256 };

// One kept reading; name points into the source's buffer and stays valid
// until the next reading is asked for.
struct SensorReading {
    const char* name;
    double temperature;
};

struct SensorSource {
    FrameworkBinding binding;
    EventSystemConnection connection;
    CFArrayRef services;
    CFIndex service_count;
    CFIndex next_position;
    char name[SENSOR_NAME_BUFFER_SIZE];
};

// Opens both frameworks and resolves every slot; false if anything is missing.
bool sensor_source_bind(SensorSource* source);
// Makes the matched client; false if there is no event system.
bool sensor_source_open(SensorSource* source);

// A snapshot: begin copies the service list, next yields kept readings in
// list order until it returns false, end releases the list.
void sensor_source_begin_snapshot(SensorSource* source);
bool sensor_source_next_reading(SensorSource* source, SensorReading* reading);
void sensor_source_end_snapshot(SensorSource* source);

#endif
