// Binds the notify service by name in whatever the process has loaded (the
// C library on macOS) and reads the thermal pressure state through it.
#include "thermal_pressure_source.h"
#include "symbol_address.h"

#include <dlfcn.h>
#include <string.h>

// The address dlsym returns for a symbol, stored in its function slot.
template <typename Function>
static bool bind_function(const char* symbol, Function* slot)
{
    void* address = dlsym(RTLD_DEFAULT, symbol);
    if (address == NULL) {
        return false;
    }
    store_symbol_address(slot, address);
    return true;
}

bool thermal_pressure_bind(ThermalPressureSource* source)
{
    if (!bind_function("notify_register_check", &source->pnotify_register_check)
        || !bind_function("notify_get_state", &source->pnotify_get_state)) {
        return false;
    }
    // A data symbol: its address holds the name. Missing or null, the name
    // is the one it holds on macOS.
    const char* const* exported = static_cast<const char* const*>(dlsym(RTLD_DEFAULT, "kOSThermalNotificationPressureLevelName"));
    source->name = exported != NULL && *exported != NULL ? *exported : THERMAL_PRESSURE_NOTIFICATION_NAME;
    return true;
}

bool thermal_pressure_register(ThermalPressureSource* source)
{
    return source->pnotify_register_check(source->name, &source->token) == 0;
}

bool thermal_pressure_read(const ThermalPressureSource* source, uint64_t* state)
{
    return source->pnotify_get_state(source->token, state) == 0;
}
