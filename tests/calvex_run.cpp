// Spawns calvex under the preloaded simulated platform, in a scratch folder.
#include "calvex_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

const char START_UP_OBJECTS_ONLY[] =
    "live array=0 client=1 dictionary=1 event=0 number=2 service=0 string=3";

std::string calvex_binary_path() { return CALVEX_BINARY; }
std::string pressure_binary_path() { return PRESSURE_BINARY; }
std::string sim_directory() { return SIM_DIRECTORY; }
double time_scale() { return CALVEX_TEST_TIME_SCALE; }

// Words of the command put in front of the tool's own (an emulator on the
// arm64 lane); empty when the tool runs natively.
static std::vector<std::string> runner_words()
{
    std::vector<std::string> words;
    std::istringstream runner(CALVEX_RUNNER);
    for (std::string word; runner >> word;) words.push_back(word);
    return words;
}

static std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> CalvexResult::trace_lines() const { return split_lines(trace); }
std::vector<std::string> CalvexResult::out_lines() const { return split_lines(out); }

std::vector<std::string> CalvexResult::trace_lines_starting(const std::string& word) const
{
    std::vector<std::string> matching;
    for (const std::string& line : trace_lines()) {
        if (line.compare(0, word.size() + 1, word + " ") == 0 || line == word) {
            matching.push_back(line);
        }
    }
    return matching;
}

std::vector<std::string> CalvexResult::loop_steps(const std::string& cycle_trace, const std::string& cycle_step) const
{
    std::vector<std::string> steps;
    for (const std::string& line : trace_lines()) {
        if (line.rfind(cycle_trace, 0) == 0) steps.push_back(cycle_step);
        if (line.rfind("fflush", 0) == 0) steps.push_back("flush");
        if (line.rfind("usleep", 0) == 0) steps.push_back(line);
        if (line.rfind("getppid", 0) == 0) steps.push_back(line.substr(line.rfind(' ') + 1) == "1" ? "parent 1" : "parent");
    }
    return steps;
}

static std::string read_whole(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

static std::vector<std::string> child_environment(const CalvexRun& run, const std::string& scratch)
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (strncmp(*entry, "CALVEX_SIM_", 11) != 0 && strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            variables.push_back(*entry);
        }
    }
    std::string preload = "LD_PRELOAD=" + sim_directory() + "/libsim_preload.so:" + sim_directory() + "/libsim_notify.so";
    // Behind the emulator the preload is the guest's: qemu-user hands
    // QEMU_SET_ENV to the program it runs and keeps it from itself.
    variables.push_back(runner_words().empty() ? preload : "QEMU_SET_ENV=" + preload);
    // Under AddressSanitizer the preload stands before its runtime on purpose.
    variables.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    variables.push_back("CALVEX_SIM_TRACE=" + scratch + "/trace");
    variables.push_back("CALVEX_SIM_LEDGER=" + scratch + "/ledger");
    if (!run.scenario.empty()) {
        std::ofstream(scratch + "/scenario", std::ios::binary) << run.scenario;
        variables.push_back("CALVEX_SIM_SCENARIO=" + scratch + "/scenario");
    }
    if (run.virtual_clock) {
        variables.push_back("CALVEX_SIM_CLOCK=virtual");
    }
    for (const auto& variable : run.environment) {
        variables.push_back(variable.first + "=" + variable.second);
    }
    return variables;
}

static double now_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Reads both pipes until the child closes them or the deadline passes;
// closes them either way.
static bool drain(int out_pipe, int err_pipe, CalvexResult* result, double deadline)
{
    pollfd pipes[2] = {{out_pipe, POLLIN, 0}, {err_pipe, POLLIN, 0}};
    std::string* sinks[2] = {&result->out, &result->err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        int wait_ms = static_cast<int>((deadline - now_seconds()) * 1000);
        if (wait_ms <= 0 || (poll(pipes, 2, wait_ms) <= 0 && errno != EINTR)) {
            for (pollfd& pipe : pipes) {
                if (pipe.fd >= 0) close(pipe.fd);
            }
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (pipes[i].fd < 0 || pipes[i].revents == 0) {
                continue;
            }
            char chunk[65536];
            ssize_t got = read(pipes[i].fd, chunk, sizeof chunk);
            if (got <= 0) {
                close(pipes[i].fd);
                pipes[i].fd = -1;
                --open_pipes;
            } else {
                sinks[i]->append(chunk, static_cast<size_t>(got));
            }
        }
    }
    return true;
}

// The suite's work folder (CALVEX_TEST_WORK_DIR) holds a folder of kept
// protocol lines and one of scratch folders; unset, neither is kept.
static std::string test_work_folder(const char* name)
{
    const char* work = getenv("CALVEX_TEST_WORK_DIR");
    if (work == nullptr || *work == '\0') {
        return "";
    }
    return std::string(work) + "/" + name;
}

// In the suite's scratch folder, which it checks is empty at the end; /tmp
// when the test binary runs on its own.
static std::string make_scratch()
{
    std::string parent = test_work_folder("scratch");
    std::string scratch_template = (parent.empty() ? "/tmp" : parent) + "/calvex-test-XXXXXX";
    const char* made = mkdtemp(&scratch_template[0]);
    if (made == nullptr) {
        abort();
    }
    return made;
}

// Starts calvex with its output on pipes; returns the pid.
static pid_t start(const CalvexRun& run, const std::string& scratch, int out_pipe[2], int err_pipe[2])
{
    std::vector<std::string> variables = child_environment(run, scratch);
    std::vector<std::string> arguments = runner_words();
    arguments.push_back(run.binary.empty() ? calvex_binary_path() : run.binary);
    arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        abort();
    }
    pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : variables) envp.push_back(&variable[0]);
        envp.push_back(nullptr);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        int no_input = open("/dev/null", O_RDONLY);
        dup2(no_input, STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return child;
}

void remove_scratch(const std::string& scratch)
{
    std::string cleanup = "rm -rf '" + scratch + "'";
    if (system(cleanup.c_str()) != 0) {
        abort();
    }
}

// Keeps the first complete lines of every run for the protocol schema check
// that runs after the suite, when the suite names a work folder.
static void keep_lines_for_schema_check(const std::string& out, bool pressure)
{
    std::string folder = test_work_folder("protocol-lines");
    if (folder.empty()) {
        return;
    }
    const size_t most_lines = 50;
    size_t end = 0;
    for (size_t lines = 0; lines < most_lines; ++lines) {
        size_t next = out.find('\n', end);
        if (next == std::string::npos) break;
        end = next + 1;
    }
    if (end == 0) {
        return;
    }
    static int runs = 0;
    // The validator picks the pressure helper's schema by the file's name.
    std::string path = folder + "/" + (pressure ? "pressure-" : "") + std::to_string(getpid()) + "-"
                       + std::to_string(++runs) + ".jsonl";
    std::ofstream(path, std::ios::binary) << out.substr(0, end);
}

CalvexResult run_calvex(const CalvexRun& run)
{
    std::string scratch = make_scratch();
    int out_pipe[2];
    int err_pipe[2];
    pid_t child = start(run, scratch, out_pipe, err_pipe);

    CalvexResult result;
    double timeout = run.timeout_seconds * time_scale();
    if (!drain(out_pipe[0], err_pipe[0], &result, now_seconds() + timeout)) {
        result.timed_out = true;
        kill(child, SIGKILL);
        result.err += "[test driver: calvex had not ended after " + std::to_string(timeout) + " s; killed]";
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.trace = read_whole(scratch + "/trace");
    result.ledger = read_whole(scratch + "/ledger");
    remove_scratch(scratch);
    keep_lines_for_schema_check(result.out, run.binary == pressure_binary_path());
    return result;
}

bool calvex_runs_natively()
{
    return runner_words().empty();
}

SpawnedCalvex spawn_calvex(const CalvexRun& run)
{
    SpawnedCalvex spawned;
    spawned.scratch = make_scratch();
    int out_pipe[2];
    int err_pipe[2];
    spawned.pid = start(run, spawned.scratch, out_pipe, err_pipe);
    close(err_pipe[0]);
    spawned.out = out_pipe[0];
    return spawned;
}

void remove_scratch(const SpawnedCalvex& spawned)
{
    remove_scratch(spawned.scratch);
}

bool read_lines_within(int descriptor, int count, double seconds)
{
    double deadline = now_seconds() + seconds * time_scale();
    pollfd readable = {descriptor, POLLIN, 0};
    while (count > 0) {
        int wait_ms = static_cast<int>((deadline - now_seconds()) * 1000);
        int ready = wait_ms > 0 ? poll(&readable, 1, wait_ms) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char byte;
        if (read(descriptor, &byte, 1) != 1) {
            return false;
        }
        if (byte == '\n') --count;
    }
    return true;
}
