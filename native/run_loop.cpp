// The run both tools share: a cycle at once, then one per interval for as
// long as the parent that started the tool is there.
#include "run_loop.h"

#include <unistd.h>

// An orphan goes to process 1 on macOS, but elsewhere often to a subreaper,
// so any change of parent counts as the parent having gone.
static bool parent_has_gone(pid_t parent_at_start)
{
    pid_t parent = getppid();
    return parent == 1 || parent != parent_at_start;
}

RunLoop begin_run(int argc, const char* const* argv)
{
    RunLoop run;
    run.settings = read_run_settings(argc, argv);
    run.parent_at_start = getppid();
    return run;
}

int run_cycles(const RunLoop* run, RunCycle cycle, void* context)
{
    cycle(context);
    if (run->settings.once) {
        return 0;
    }
    for (;;) {
        usleep(run->settings.interval_us);
        if (parent_has_gone(run->parent_at_start)) {
            return 0;
        }
        cycle(context);
    }
}
