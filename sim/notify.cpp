// The notify service of macOS's C library as the pressure helper uses it:
// notify_register_check, notify_get_state and the thermal pressure
// notification's name, driven by CALVEX_SIM_PRESSURE, strict about tokens
// and pointers, with a ledger of registrations and reads.
#include "trace.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// macOS's status for a request that failed.
static const uint32_t NOTIFY_STATUS_FAILED = 1000000;
// The token the one registration gets: nothing else is a token.
static const int ISSUED_TOKEN = 0x5a17;

static struct {
    int registrations;
    long long reads;
    char name[256];
} notify_ledger;

extern "C" {

// The data symbol: its address holds the name. CALVEX_SIM_FAULT=null-pressure-name
// makes it hold a null pointer (set before the tool looks).
const char* kOSThermalNotificationPressureLevelName = "com.apple.system.thermalpressurelevel";

// CALVEX_SIM_PRESSURE_NAME gives the symbol another name to hold, so a test
// can tell the exported name from the tool's own fallback.
__attribute__((constructor)) static void apply_name_fault(void)
{
    const char* other = getenv("CALVEX_SIM_PRESSURE_NAME");
    if (other != nullptr && *other != '\0') {
        kOSThermalNotificationPressureLevelName = other;
    }
    if (sim_fault("null-pressure-name")) {
        kOSThermalNotificationPressureLevelName = nullptr;
    }
}

uint32_t notify_register_check(const char* name, int* out_token)
{
    if (name == nullptr || out_token == nullptr) {
        sim_fail("notify_register_check", "a null %s", name == nullptr ? "name" : "token pointer");
    }
    sim_trace("notify-register %s", name);
    ++notify_ledger.registrations;
    snprintf(notify_ledger.name, sizeof notify_ledger.name, "%s", name);
    if (sim_fault("no-pressure-notification")) {
        return NOTIFY_STATUS_FAILED;
    }
    *out_token = ISSUED_TOKEN;
    return 0;
}

// The state of cycle `index` in CALVEX_SIM_PRESSURE, a comma-separated list
// of states or "fail" (the read fails); the last one repeats for ever.
// Unset: nominal.
static bool scripted_state(long long index, uint64_t* state)
{
    const char* script = getenv("CALVEX_SIM_PRESSURE");
    if (script == nullptr || *script == '\0') {
        *state = 0;
        return true;
    }
    const char* entry = script;
    for (long long i = 0; i < index; ++i) {
        const char* comma = strchr(entry, ',');
        if (comma == nullptr) {
            break;
        }
        entry = comma + 1;
    }
    if (strncmp(entry, "fail", 4) == 0) {
        return false;
    }
    *state = strtoull(entry, nullptr, 10);
    return true;
}

uint32_t notify_get_state(int token, uint64_t* out_state)
{
    if (token != ISSUED_TOKEN || notify_ledger.registrations == 0) {
        sim_fail("notify_get_state", "token %d was never issued", token);
    }
    if (out_state == nullptr) {
        sim_fail("notify_get_state", "a null state pointer");
    }
    sim_trace("notify-get-state %d", token);
    uint64_t state = 0;
    bool read = scripted_state(notify_ledger.reads++, &state);
    if (!read) {
        return NOTIFY_STATUS_FAILED;
    }
    *out_state = state;
    return 0;
}

}  // extern "C"

// At exit, for a process that used the service: what it registered and read.
__attribute__((destructor)) static void write_notify_ledger(void)
{
    const char* path = getenv("CALVEX_SIM_LEDGER");
    if (path == nullptr || *path == '\0' || notify_ledger.registrations == 0) {
        return;
    }
    FILE* file = fopen(path, "w");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "notify registrations=%d name=%s reads=%lld\n", notify_ledger.registrations,
            notify_ledger.name, notify_ledger.reads);
    fclose(file);
}
