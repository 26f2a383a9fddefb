/* Start-up to first line: runs two commands alternately RUNS times each and
   reports the median wall time from spawn to the first line feed read from
   the command's standard output.
   Usage: startup RUNS -- COMMAND_A ... -- COMMAND_B ... */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double now_seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static double time_to_first_line(char** command)
{
    int out[2];
    if (pipe(out) != 0) exit(2);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    double start = now_seconds();
    pid_t child;
    if (posix_spawn(&child, command[0], &actions, NULL, command, environ) != 0) exit(2);
    close(out[1]);
    char chunk[4096];
    ssize_t got;
    double first_line = -1;
    while ((got = read(out[0], chunk, sizeof chunk)) > 0) {
        if (first_line < 0 && memchr(chunk, '\n', (size_t)got) != NULL) first_line = now_seconds();
    }
    close(out[0]);
    waitpid(child, NULL, 0);
    posix_spawn_file_actions_destroy(&actions);
    return first_line - start;
}

static int by_value(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv)
{
    if (argc < 5 || strcmp(argv[2], "--") != 0) {
        fprintf(stderr, "usage: startup RUNS -- COMMAND_A ... -- COMMAND_B ...\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    char** first = argv + 3;
    char** second = NULL;
    for (char** a = first; *a != NULL; ++a) {
        if (strcmp(*a, "--") == 0) { *a = NULL; second = a + 1; break; }
    }
    if (second == NULL || runs < 1) return 2;
    double* times[2] = {calloc((size_t)runs, sizeof(double)), calloc((size_t)runs, sizeof(double))};
    for (int i = 0; i < runs; ++i) {
        times[0][i] = time_to_first_line(first);
        times[1][i] = time_to_first_line(second);
    }
    qsort(times[0], (size_t)runs, sizeof(double), by_value);
    qsort(times[1], (size_t)runs, sizeof(double), by_value);
    printf("%.1f %.1f\n", times[0][runs / 2] * 1e6, times[1][runs / 2] * 1e6);
    return 0;
}
