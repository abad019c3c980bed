/* runstat OUT LOG COMMAND [ARG...]: runs COMMAND with its standard input from /dev/null and
 * its output and errors into LOG, and writes to OUT one line: wall time, user and system CPU
 * time (children included) in seconds to the microsecond, and peak resident set size in KB.
 * Exits 0 when COMMAND exited 0, else 1.
 *
 * bench/common.sh compiles it on first use. It stands in for /usr/bin/time, whose times come
 * in steps of 10 ms, and for a measuring script: a process inherits the peak memory of the
 * process it was forked from when it executes another program, so a launcher of 13 MB (as
 * python3 is) would put a floor of 13 MB under every figure. This one is about 1 MB. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval t)
{
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: runstat OUT LOG COMMAND [ARG...]\n");
        return 2;
    }
    int log = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || null < 0) {
        perror("runstat");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        perror("runstat: fork");
        return 2;
    }
    if (pid == 0) {
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        execvp(argv[3], argv + 3);
        perror("runstat: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("runstat: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    FILE* out = fopen(argv[1], "w");
    if (!out) {
        perror("runstat");
        return 2;
    }
    fprintf(out, "%.6f %.6f %.6f %ld\n",
            (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
            seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss);
    fclose(out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
