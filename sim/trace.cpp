// The trace file, the fatal report and the fault switches of the simulated platform.
#include "trace.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int trace_descriptor()
{
    static int descriptor = -2;
    if (descriptor == -2) {
        const char* path = getenv("CALVEX_SIM_TRACE");
        descriptor = (path == nullptr || *path == '\0')
                         ? -1
                         : open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    return descriptor;
}

void sim_trace(const char* format, ...)
{
    int descriptor = trace_descriptor();
    if (descriptor < 0) {
        return;
    }
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    if (static_cast<size_t>(length) > sizeof line - 2) {
        length = sizeof line - 2;
    }
    line[length] = '\n';
    // One write per line keeps lines whole when several pieces append.
    ssize_t ignored = write(descriptor, line, static_cast<size_t>(length) + 1);
    (void)ignored;
}

void sim_fail(const char* call, const char* format, ...)
{
    char reason[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    dprintf(STDERR_FILENO, "calvex-sim: %s: %s\n", call, reason);
    sim_trace("fatal %s: %s", call, reason);
    abort();
}

bool sim_fault(const char* word)
{
    const char* faults = getenv("CALVEX_SIM_FAULT");
    if (faults == nullptr) {
        return false;
    }
    size_t length = strlen(word);
    for (const char* item = faults; *item != '\0';) {
        const char* end = strchr(item, ',');
        size_t item_length = end ? static_cast<size_t>(end - item) : strlen(item);
        if (item_length == length && strncmp(item, word, length) == 0) {
            return true;
        }
        if (end == nullptr) {
            break;
        }
        item = end + 1;
    }
    return false;
}
