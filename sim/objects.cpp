// Object slots, reference counts, a quarantine that keeps released objects
// recognisable, and the ledger written at exit.
#include "objects.h"

#include "trace.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint32_t LIVE_MAGIC = 0xC0FFEE01;
static const uint32_t RELEASED_MAGIC = 0xDEADBEEF;
static const uint32_t FREE_MAGIC = 0;

// Enough for a thousand-service list several times over; a released slot
// waits in quarantine for this many later releases before it is reused, so
// a use after release is caught instead of reaching a new object.
enum { SLOT_COUNT = 1 << 14, QUARANTINE_SIZE = 1024 };
// Slots are handed out lowest first and reused once out of quarantine, so a
// run keeps to about the quarantine plus its largest snapshot: this covers
// the built-in machine with room to spare.
enum { PRETOUCHED_SLOTS = 1536 };

static SimObject slots[SLOT_COUNT];
static int32_t free_slots[SLOT_COUNT];
static int32_t free_count = -1;
static int32_t quarantine[QUARANTINE_SIZE];
static int32_t quarantine_next;
static int32_t quarantine_count;

static const SimKind ALL_KINDS[] = {KIND_ARRAY,  KIND_CLIENT,  KIND_DICTIONARY, KIND_EVENT,
                                    KIND_NUMBER, KIND_SERVICE, KIND_STRING};
enum { KIND_TOTAL = sizeof ALL_KINDS / sizeof ALL_KINDS[0] };

struct Ledger {
    int64_t live[KIND_TOTAL];
    int64_t created;
    int64_t live_events;
    int64_t live_properties;
    int64_t peak_events;
    int64_t peak_properties;
};
static Ledger ledger;

const char* sim_kind_name(uint64_t kind)
{
    switch (kind) {
    case KIND_STRING: return "string";
    case KIND_NUMBER: return "number";
    case KIND_DICTIONARY: return "dictionary";
    case KIND_ARRAY: return "array";
    case KIND_CLIENT: return "client";
    case KIND_SERVICE: return "service";
    case KIND_EVENT: return "event";
    default: return "unknown";
    }
}

static int kind_index(SimKind kind)
{
    for (int i = 0; i < KIND_TOTAL; ++i) {
        if (ALL_KINDS[i] == kind) {
            return i;
        }
    }
    return 0;
}

// Also touches the slots a run normally uses, so the simulated platform's
// footprint is the same after one snapshot as after a million and the
// tool's own memory shows in the process's resident size.
static void fill_free_list()
{
    memset(static_cast<void*>(slots), 0, PRETOUCHED_SLOTS * sizeof slots[0]);
    free_count = 0;
    for (int32_t slot = SLOT_COUNT - 1; slot >= 0; --slot) {
        free_slots[free_count++] = slot;
    }
}

SimObject* sim_object_new(SimKind kind)
{
    if (free_count < 0) {
        fill_free_list();
    }
    if (free_count == 0) {
        sim_fail("object allocation", "more than %d objects alive or in quarantine", SLOT_COUNT);
    }
    SimObject* object = &slots[free_slots[--free_count]];
    memset(object, 0, sizeof *object);
    object->magic = LIVE_MAGIC;
    object->kind = kind;
    object->references = 1;
    ledger.created++;
    ledger.live[kind_index(kind)]++;
    if (kind == KIND_EVENT && ++ledger.live_events > ledger.peak_events) {
        ledger.peak_events = ledger.live_events;
    }
    return object;
}

SimObject* sim_object_checked(const void* pointer, const char* call, uint64_t kind)
{
    if (pointer == nullptr) {
        sim_fail(call, "NULL object");
    }
    const char* first = reinterpret_cast<const char*>(&slots[0]);
    const char* candidate = static_cast<const char*>(pointer);
    size_t offset = static_cast<size_t>(candidate - first);
    if (candidate < first || offset >= sizeof slots || offset % sizeof(SimObject) != 0) {
        sim_fail(call, "%p is not a CoreFoundation object", pointer);
    }
    SimObject* object = &slots[offset / sizeof(SimObject)];
    if (object->magic != LIVE_MAGIC) {
        sim_fail(call, "use of a released %s (over-release or use after release)",
                 sim_kind_name(object->kind));
    }
    if (kind != 0 && object->kind != kind) {
        sim_fail(call, "expected a %s, got a %s", sim_kind_name(kind), sim_kind_name(object->kind));
    }
    return object;
}

void sim_object_retain(SimObject* object)
{
    object->references++;
}

void sim_object_set_bytes(SimObject* object, const char* bytes, size_t length)
{
    object->bytes = static_cast<char*>(malloc(length + 1));
    memcpy(object->bytes, bytes, length);
    object->bytes[length] = '\0';
    object->length = length;
}

static void move_to_quarantine(SimObject* object)
{
    int32_t slot = static_cast<int32_t>(object - slots);
    if (quarantine_count == QUARANTINE_SIZE) {
        int32_t oldest = quarantine[quarantine_next];
        slots[oldest].magic = FREE_MAGIC;
        free_slots[free_count++] = oldest;
        quarantine_count--;
    }
    quarantine[quarantine_next] = slot;
    quarantine_next = (quarantine_next + 1) % QUARANTINE_SIZE;
    quarantine_count++;
}

static void destroy(SimObject* object, const char* call)
{
    object->magic = RELEASED_MAGIC;
    ledger.live[kind_index(object->kind)]--;
    if (object->kind == KIND_EVENT) {
        ledger.live_events--;
    }
    if (object->copied_property) {
        ledger.live_properties--;
    }
    for (int64_t i = 0; object->items != nullptr && i < object->count; ++i) {
        if (object->items[i] != nullptr) {
            sim_object_release(object->items[i], call);
        }
    }
    for (int64_t i = 0; object->kind == KIND_DICTIONARY && i < object->count; ++i) {
        sim_object_release(object->values[i], call);
    }
    free(object->items);
    free(object->values);
    free(object->bytes);
    move_to_quarantine(object);
}

void sim_object_release(SimObject* object, const char* call)
{
    if (--object->references == 0) {
        destroy(object, call);
    }
}

// Counts a property copy made for the caller, to check that it never holds
// more than one at a time.
void sim_object_mark_property(SimObject* object)
{
    object->copied_property = true;
    if (++ledger.live_properties > ledger.peak_properties) {
        ledger.peak_properties = ledger.live_properties;
    }
}

// The resident high-water mark of this program image (unlike getrusage's
// figure it does not carry over the parent's size from before exec), and
// the anonymous resident size now, which file-backed pages do not blur.
static void resident_sizes_kb(long* peak_kb, long* anonymous_kb)
{
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    *peak_kb = -1;
    *anonymous_kb = -1;
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
        sscanf(line, "VmHWM: %ld", peak_kb);
        sscanf(line, "RssAnon: %ld", anonymous_kb);
    }
    if (status != nullptr) {
        fclose(status);
    }
}

__attribute__((destructor)) static void write_ledger()
{
    const char* path = getenv("CALVEX_SIM_LEDGER");
    if (path == nullptr || *path == '\0') {
        return;
    }
    FILE* file = fopen(path, "w");
    if (file == nullptr) {
        return;
    }
    fputs("live", file);
    for (int i = 0; i < KIND_TOTAL; ++i) {
        fprintf(file, " %s=%lld", sim_kind_name(ALL_KINDS[i]), static_cast<long long>(ledger.live[i]));
    }
    long peak_kb = 0;
    long anonymous_kb = 0;
    resident_sizes_kb(&peak_kb, &anonymous_kb);
    fprintf(file, "\npeak-held event=%lld property=%lld\ncreated %lld\nmax-rss-kb %ld\nanon-rss-kb %ld\n",
            static_cast<long long>(ledger.peak_events), static_cast<long long>(ledger.peak_properties),
            static_cast<long long>(ledger.created), peak_kb, anonymous_kb);
    fclose(file);
}
