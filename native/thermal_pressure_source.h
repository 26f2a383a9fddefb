// The system's thermal pressure level, read through the C library's notify
// service: its two functions and the notification's name looked up by name
// at start, one registration, one read per cycle.
#ifndef CALVEX_THERMAL_PRESSURE_SOURCE_H
#define CALVEX_THERMAL_PRESSURE_SOURCE_H

#include <stdint.h>

// The name macOS gives the notification, for a system whose library does
// not export it.
#define THERMAL_PRESSURE_NOTIFICATION_NAME "com.apple.system.thermalpressurelevel"

typedef uint32_t (*NotifyRegisterCheck)(const char* name, int* out_token);
typedef uint32_t (*NotifyGetState)(int token, uint64_t* out_state);

struct ThermalPressureSource {
    NotifyRegisterCheck pnotify_register_check;
    NotifyGetState pnotify_get_state;
    const char* name;
    int token;
};

// Looks up notify_register_check, notify_get_state and the name's data
// symbol, in that order; false when either function is missing.
bool thermal_pressure_bind(ThermalPressureSource* source);

// Registers for the notification once; false unless the status is 0. The
// token lives as long as the process.
bool thermal_pressure_register(ThermalPressureSource* source);

// The level now: true with the state when the status is 0.
bool thermal_pressure_read(const ThermalPressureSource* source, uint64_t* state);

#endif
