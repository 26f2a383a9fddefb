// Preloaded into the tool under test: sends its dlopen of the two framework
// paths to the stand-ins beside this library, and lets a test make symbols
// go missing, run the clock virtually, script the parent id and watch flushes.
#include "trace.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char CORE_FOUNDATION_PATH[] =
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
static const char IOKIT_PATH[] = "/System/Library/Frameworks/IOKit.framework/IOKit";

static void* core_foundation_handle;
static void* iokit_handle;

extern "C" {
// Read by the dlsym trampoline, which jumps to it so that the real dlsym
// still sees its original caller (RTLD_NEXT depends on that).
__attribute__((visibility("hidden"))) void* (*sim_real_dlsym)(void*, const char*);
}

// The oldest symbol version of the C library on each architecture.
#if defined(__aarch64__)
static const char BASE_GLIBC_VERSION[] = "GLIBC_2.17";
#else
static const char BASE_GLIBC_VERSION[] = "GLIBC_2.2.5";
#endif

static void* real_function(const char* name)
{
    // dlvsym is not interposed, so it can find the next definitions safely.
    void* function = dlvsym(RTLD_NEXT, name, "GLIBC_2.34");
    if (function == nullptr) {
        function = dlvsym(RTLD_NEXT, name, BASE_GLIBC_VERSION);
    }
    if (function == nullptr) {
        sim_fail("preload", "cannot find the C library's %s", name);
    }
    return function;
}

template <typename Function>
static Function real(Function* cache, const char* name)
{
    if (*cache == nullptr) {
        *cache = reinterpret_cast<Function>(real_function(name));
    }
    return *cache;
}

static void stand_in_path(const char* file, char* path, size_t size)
{
    Dl_info info;
    dladdr(reinterpret_cast<void*>(&stand_in_path), &info);
    const char* slash = strrchr(info.dli_fname, '/');
    int directory_length = slash ? static_cast<int>(slash - info.dli_fname) : 1;
    snprintf(path, size, "%.*s/%s", directory_length, slash ? info.dli_fname : ".", file);
}

extern "C" {

void* dlopen(const char* file, int mode)
{
    static void* (*real_dlopen)(const char*, int);
    real(&real_dlopen, "dlopen");
    sim_trace("dlopen %s %d", file ? file : "(null)", mode);
    const char* stand_in = nullptr;
    void** handle_slot = nullptr;
    if (file != nullptr && strcmp(file, CORE_FOUNDATION_PATH) == 0 && !sim_fault("no-corefoundation")) {
        stand_in = "libsim_corefoundation.so";
        handle_slot = &core_foundation_handle;
    } else if (file != nullptr && strcmp(file, IOKIT_PATH) == 0 && !sim_fault("no-iokit")) {
        stand_in = "libsim_iokit.so";
        handle_slot = &iokit_handle;
    }
    if (stand_in == nullptr) {
        return real_dlopen(file, mode);
    }
    char path[4096];
    stand_in_path(stand_in, path, sizeof path);
    *handle_slot = real_dlopen(path, mode);
    if (*handle_slot == nullptr) {
        sim_fail("preload", "cannot load %s: %s", path, dlerror());
    }
    return *handle_slot;
}

// The three names the notify stand-in (libsim_notify.so) answers.
static bool is_notify_symbol(const char* name)
{
    return name != nullptr
           && (strcmp(name, "notify_register_check") == 0 || strcmp(name, "notify_get_state") == 0
               || strcmp(name, "kOSThermalNotificationPressureLevelName") == 0);
}

// Called by the trampoline before every dlsym; nonzero makes the lookup fail.
__attribute__((visibility("hidden"))) int sim_dlsym_should_fail(void* handle, const char* name)
{
    if (sim_real_dlsym == nullptr) {
        sim_real_dlsym = reinterpret_cast<void* (*)(void*, const char*)>(real_function("dlsym"));
    }
    if (handle == RTLD_DEFAULT && is_notify_symbol(name)) {
        // The pressure helper looks these up in whatever the process loaded.
        sim_trace("dlsym default %s", name);
    } else if (handle == nullptr || (handle != core_foundation_handle && handle != iokit_handle)) {
        return 0;
    } else {
        sim_trace("dlsym %s %s", handle == core_foundation_handle ? "CoreFoundation" : "IOKit", name);
    }
    char fault[160];
    snprintf(fault, sizeof fault, "no-symbol=%s", name);
    return sim_fault(fault) ? 1 : 0;
}

// True when calls is one of the comma-separated counts in CALVEX_SIM_RSS_AT.
static bool is_rss_sample_point(long long calls)
{
    const char* points = getenv("CALVEX_SIM_RSS_AT");
    for (const char* point = points; point != nullptr && *point != '\0';) {
        char* end = nullptr;
        if (strtoll(point, &end, 10) == calls) {
            return true;
        }
        point = *end == ',' ? end + 1 : nullptr;
    }
    return false;
}

// Total resident size, and the anonymous part of it: file-backed pages come
// and go with the page cache, so growth shows in the anonymous part.
static void trace_resident_size(long long calls)
{
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return;
    }
    long total_kb = -1;
    long anonymous_kb = -1;
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
        sscanf(line, "VmRSS: %ld", &total_kb);
        sscanf(line, "RssAnon: %ld", &anonymous_kb);
    }
    fclose(status);
    sim_trace("rss-kb %lld %ld %ld", calls, total_kb, anonymous_kb);
}

// With CALVEX_SIM_CLOCK=virtual a sleep returns at once and is only recorded;
// CALVEX_SIM_RSS_AT=N,M records the resident size at those sleeps.
int usleep(useconds_t microseconds)
{
    static int (*real_usleep)(useconds_t);
    static long long calls;
    ++calls;
    sim_trace("usleep %u", microseconds);
    if (is_rss_sample_point(calls)) {
        trace_resident_size(calls);
    }
    const char* clock = getenv("CALVEX_SIM_CLOCK");
    if (clock != nullptr && strcmp(clock, "virtual") == 0) {
        return 0;
    }
    return real(&real_usleep, "usleep")(microseconds);
}

// CALVEX_SIM_PPID=K:V answers the real parent for the first K calls, then V.
pid_t getppid(void)
{
    static pid_t (*real_getppid)(void);
    static long long calls;
    pid_t parent = real(&real_getppid, "getppid")();
    const char* script = getenv("CALVEX_SIM_PPID");
    ++calls;
    if (script != nullptr && strchr(script, ':') != nullptr) {
        long long real_calls = strtoll(script, nullptr, 10);
        if (calls > real_calls) {
            parent = static_cast<pid_t>(strtoll(strchr(script, ':') + 1, nullptr, 10));
        }
    }
    sim_trace("getppid %d", static_cast<int>(parent));
    return parent;
}

int fflush(FILE* stream)
{
    static int (*real_fflush)(FILE*);
    if (stream == stdout) {
        sim_trace("fflush stdout");
    }
    return real(&real_fflush, "fflush")(stream);
}

}
