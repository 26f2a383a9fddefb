/* A preload that counts heap allocations by the object that asked for
   them (the caller's return address), and at exit writes one line per
   object to the file named by CALVEX_BENCH_ALLOCS. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

enum { MOST_OBJECTS = 32 };
static struct { const char* object; long count; } counts[MOST_OBJECTS];
static __thread int inside;

static void count_caller(void* return_address)
{
    if (inside) return;
    inside = 1;
    Dl_info info;
    const char* object = dladdr(return_address, &info) && info.dli_fname ? info.dli_fname : "?";
    for (int i = 0; i < MOST_OBJECTS; ++i) {
        if (counts[i].object == NULL || strcmp(counts[i].object, object) == 0) {
            counts[i].object = object;
            counts[i].count++;
            break;
        }
    }
    inside = 0;
}

void* malloc(size_t size) { count_caller(__builtin_return_address(0)); return __libc_malloc(size); }
void* calloc(size_t n, size_t size) { count_caller(__builtin_return_address(0)); return __libc_calloc(n, size); }
void* realloc(void* p, size_t size) { count_caller(__builtin_return_address(0)); return __libc_realloc(p, size); }
void* memalign(size_t a, size_t size) { count_caller(__builtin_return_address(0)); return __libc_memalign(a, size); }
void* aligned_alloc(size_t a, size_t size) { count_caller(__builtin_return_address(0)); return __libc_memalign(a, size); }
int posix_memalign(void** out, size_t a, size_t size)
{
    count_caller(__builtin_return_address(0));
    *out = __libc_memalign(a, size);
    return *out ? 0 : 12;
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("CALVEX_BENCH_ALLOCS");
    if (path == NULL) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    for (int i = 0; i < MOST_OBJECTS && counts[i].object != NULL; ++i) {
        dprintf(fd, "%ld %s\n", counts[i].count, counts[i].object);
    }
    close(fd);
}
