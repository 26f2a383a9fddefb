// Real processes and real time: calvex must end soon after the process that
// started it goes, end when its reader goes, and sit still when nobody reads.
#include "calvex_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

const double INTERVAL_SECONDS = 0.2;
// Interval plus one snapshot plus a generous margin for a loaded machine.
const double EXIT_DEADLINE_SECONDS = INTERVAL_SECONDS + 2.0;
// Two lines come 0.2 s apart; a line that never ends must fail in seconds.
const double LINES_DEADLINE_SECONDS = 5.0;

double now_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void sleep_seconds(double seconds)
{
    usleep(static_cast<useconds_t>(seconds * 1e6));
}

CalvexRun real_time_run(const std::string& interval_ms)
{
    CalvexRun run;
    run.arguments = {interval_ms};
    run.virtual_clock = false;
    return run;
}

// Field of /proc/PID/stat after the command name: 0 is the state letter.
std::string proc_stat_field(int pid, int field)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t after_name = text.rfind(')');
    if (after_name == std::string::npos) return "";
    std::istringstream fields(text.substr(after_name + 2));
    std::string value;
    for (int i = 0; i <= field; ++i) fields >> value;
    return value;
}

bool has_ended(int pid)
{
    std::string state = proc_stat_field(pid, 0);
    return state.empty() || state == "Z" || state == "X";
}

long resident_kb(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/statm");
    long pages = 0;
    long resident = 0;
    file >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// What the stand-in parent tells the test: calvex's pid (-1 when two lines
// did not come in time) and its scratch folder, which the test removes.
struct ParentReport {
    int calvex_pid;
    char scratch[1024]; // the whole report stays within one atomic pipe write
};

// A parent process that starts calvex, reads two lines, reports and then
// exits (or waits to be killed). Returns the parent's pid.
int start_parent(bool wait_to_be_killed, ParentReport* report)
{
    int channel[2];
    if (pipe(channel) != 0) abort();
    int parent = fork();
    if (parent == 0) {
        close(channel[0]);
        SpawnedCalvex calvex = spawn_calvex(real_time_run("200"));
        ParentReport mine{};
        mine.calvex_pid = read_lines_within(calvex.out, 2, LINES_DEADLINE_SECONDS) ? calvex.pid : -1;
        if (calvex.scratch.size() >= sizeof mine.scratch) _exit(3);
        snprintf(mine.scratch, sizeof mine.scratch, "%s", calvex.scratch.c_str());
        if (write(channel[1], &mine, sizeof mine) != sizeof mine) _exit(2);
        if (wait_to_be_killed) pause();
        _exit(0);
    }
    close(channel[1]);
    if (read(channel[0], report, sizeof *report) != sizeof *report) report->calvex_pid = -1;
    close(channel[0]);
    return parent;
}

TEST(Lifetime, EndsWithStatusZeroSoonAfterItsParentGoes)
{
    // Adopting orphans here makes calvex's new parent this test, not process 1,
    // and lets the test collect its exit status.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "parent killed with SIGKILL" : "parent exits");
        ParentReport report{};
        int parent = start_parent(killed, &report);
        int calvex = report.calvex_pid;
        ASSERT_GT(calvex, 0) << "no two lines from calvex within " << LINES_DEADLINE_SECONDS << " s";
        if (killed) kill(parent, SIGKILL);
        waitpid(parent, nullptr, 0);
        double parent_gone = now_seconds();

        int status = -1;
        while (waitpid(calvex, &status, WNOHANG) == 0 && now_seconds() - parent_gone < 10) {
            sleep_seconds(0.005);
        }
        double took = now_seconds() - parent_gone;
        printf("calvex ended %.3f s after its parent went\n", took);
        remove_scratch(report.scratch);
        RecordProperty(killed ? "exit_after_parent_killed_s" : "exit_after_parent_exit_s", std::to_string(took));
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_LT(took, EXIT_DEADLINE_SECONDS * time_scale());
    }
}

TEST(Lifetime, EndsWhenAdoptedByProcessOneToo)
{
    ParentReport report{};
    int parent = start_parent(false, &report);
    int calvex = report.calvex_pid;
    ASSERT_GT(calvex, 0) << "no two lines from calvex within " << LINES_DEADLINE_SECONDS << " s";
    waitpid(parent, nullptr, 0);
    double parent_gone = now_seconds();
    while (!has_ended(calvex) && now_seconds() - parent_gone < 10) {
        sleep_seconds(0.005);
    }
    double took = now_seconds() - parent_gone;
    printf("orphaned calvex ended %.3f s after its parent went\n", took);
    remove_scratch(report.scratch);
    EXPECT_TRUE(has_ended(calvex));
    EXPECT_LT(took, EXIT_DEADLINE_SECONDS * time_scale());
}

TEST(Lifetime, EndsByTheDefaultSignalWhenItsReaderClosesThePipe)
{
    SpawnedCalvex calvex = spawn_calvex(real_time_run("200"));
    ASSERT_TRUE(read_lines_within(calvex.out, 1, LINES_DEADLINE_SECONDS))
        << "no line from calvex within " << LINES_DEADLINE_SECONDS << " s";
    close(calvex.out);
    double closed = now_seconds();
    int status = -1;
    rusage usage{};
    while (wait4(calvex.pid, &status, WNOHANG, &usage) == 0 && now_seconds() - closed < 10) {
        sleep_seconds(0.005);
    }
    double took = now_seconds() - closed;
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("calvex ended %.3f s after its reader closed, %.3f s of CPU in all\n", took, cpu);
    remove_scratch(calvex);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    EXPECT_LT(took, EXIT_DEADLINE_SECONDS * time_scale());
    EXPECT_LT(cpu, 0.5 * time_scale()) << "it must not spin";
}

long flushes_so_far(const SpawnedCalvex& calvex)
{
    std::ifstream trace(calvex.scratch + "/trace");
    long flushes = 0;
    for (std::string line; std::getline(trace, line);) flushes += line.rfind("fflush", 0) == 0;
    return flushes;
}

// Waits until calvex is blocked in the write of a full pipe: past start-up
// (it has flushed lines), asleep in the kernel, and no further flush begun
// across several looks. On the virtual clock nothing else puts it to
// sleep. The event itself, however slowly the machine or an emulator
// gets there.
bool blocks_on_a_full_pipe_within(const SpawnedCalvex& calvex, double seconds)
{
    const int looks_needed = 5;
    int still_looks = 0;
    long last_flushes = -1;
    double deadline = now_seconds() + seconds;
    while (now_seconds() < deadline && still_looks < looks_needed) {
        long flushes = flushes_so_far(calvex);
        bool asleep = proc_stat_field(calvex.pid, 0) == "S";
        still_looks = asleep && flushes > 1 && flushes == last_flushes ? still_looks + 1 : 0;
        last_flushes = flushes;
        sleep_seconds(0.01);
    }
    return still_looks == looks_needed;
}

// With the virtual clock calvex fills the pipe at once and then blocks in
// its write: no growth, no spinning.
TEST(Lifetime, SitsStillWithoutGrowingWhenNobodyReads)
{
    CalvexRun run;
    run.arguments = {"200"};
    SpawnedCalvex calvex = spawn_calvex(run);
    ASSERT_TRUE(blocks_on_a_full_pipe_within(calvex, 30 * time_scale())) << "calvex never blocked on its full pipe";
    long first_kb = resident_kb(calvex.pid);
    long first_ticks = std::stol(proc_stat_field(calvex.pid, 11)) + std::stol(proc_stat_field(calvex.pid, 12));
    sleep_seconds(1.5);
    long second_kb = resident_kb(calvex.pid);
    long second_ticks = std::stol(proc_stat_field(calvex.pid, 11)) + std::stol(proc_stat_field(calvex.pid, 12));
    std::string state = proc_stat_field(calvex.pid, 0);
    printf("unread calvex: %ld kB then %ld kB resident, state %s\n", first_kb, second_kb, state.c_str());
    kill(calvex.pid, SIGKILL);
    waitpid(calvex.pid, nullptr, 0);
    close(calvex.out);
    remove_scratch(calvex);
    EXPECT_EQ(second_kb, first_kb);
    EXPECT_EQ(state, "S");
    EXPECT_LE(second_ticks - first_ticks, 2);
}

}
