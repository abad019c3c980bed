/* A preloaded library for fault tests: it counts, kills at, or fails the calls that change
 * files whose path starts with $PELLORIC_FAULT_MATCH (write, pwrite, writev, pwritev,
 * ftruncate, fsync, fdatasync), and renames a file onto a path when a file is reopened for
 * writing through /proc/self/fd.
 *
 *   PELLORIC_FAULT_MATCH=prefix   which files count (by the path their descriptor names)
 *   PELLORIC_FAULT_COUNT=file     appends one line per counted call to `file` ("name size")
 *   PELLORIC_FAULT_KILL_AT=n      the process is killed with SIGKILL at the n-th counted call
 *                                 (from 1): a write of more than a page is done half first
 *                                 (a torn write); a smaller one, which the page cache and
 *                                 the disk's sectors take whole or not at all, is not done
 *   PELLORIC_FAULT_FAIL_AT=n      the n-th counted call fails (EIO) and changes nothing
 *   PELLORIC_FAULT_RENAME_FROM/TO at the first reopen for writing of a file held open (an
 *                                 open for writing without O_CREAT of /proc/self/fd/N or of
 *                                 a path starting with TO, its private names included),
 *                                 renames FROM onto TO before the open goes on
 *
 * Only this test library uses it; it is never part of the program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long counted;

static int matches(int fd)
{
    const char* prefix = getenv("PELLORIC_FAULT_MATCH");
    if (!prefix || !*prefix)
        return 0;
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    return strncmp(target, prefix, strlen(prefix)) == 0;
}

static long envNumber(const char* name)
{
    const char* v = getenv(name);
    return v ? strtol(v, NULL, 10) : 0;
}

static void note(const char* call, size_t size)
{
    const char* file = getenv("PELLORIC_FAULT_COUNT");
    if (!file)
        return;
    ssize_t (*realWrite)(int, const void*, size_t) = dlsym(RTLD_NEXT, "write");
    int (*realOpen)(const char*, int, ...) = dlsym(RTLD_NEXT, "open");
    const int out = realOpen(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    char line[128];
    const int len = snprintf(line, sizeof line, "%s %zu\n", call, size);
    (void)realWrite(out, line, (size_t)len);
    close(out);
}

/* What to do with a counted call: 0 go on, 1 do half and die, 2 fail. */
static int decide(int fd, const char* call, size_t size)
{
    if (!matches(fd))
        return 0;
    ++counted;
    note(call, size);
    if (counted == envNumber("PELLORIC_FAULT_KILL_AT"))
        return 1;
    if (counted == envNumber("PELLORIC_FAULT_FAIL_AT"))
        return 2;
    return 0;
}

/* How much of a write of `count` bytes lands before the kill. */
static size_t tornPart(size_t count)
{
    return count > 4096 ? count / 2 : 0;
}

static void die(void)
{
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

#define REAL(name) static __typeof__(name)* real_##name; if (!real_##name) real_##name = dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void* buf, size_t count)
{
    REAL(write);
    switch (decide(fd, "write", count)) {
    case 1:
        real_write(fd, buf, tornPart(count));
        die();
        break;
    case 2:
        errno = EIO;
        return -1;
    }
    return real_write(fd, buf, count);
}

static ssize_t doPwrite(ssize_t (*real)(int, const void*, size_t, off_t), int fd, const void* buf,
                        size_t count, off_t offset)
{
    switch (decide(fd, "pwrite", count)) {
    case 1:
        real(fd, buf, tornPart(count), offset);
        die();
        break;
    case 2:
        errno = EIO;
        return -1;
    }
    return real(fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    REAL(pwrite);
    return doPwrite(real_pwrite, fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset)
{
    REAL(pwrite64);
    return doPwrite(real_pwrite64, fd, buf, count, offset);
}

static size_t total(const struct iovec* iov, int n)
{
    size_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum += iov[i].iov_len;
    return sum;
}

ssize_t writev(int fd, const struct iovec* iov, int n)
{
    REAL(writev);
    switch (decide(fd, "writev", total(iov, n))) {
    case 1:
        if (n > 0 && tornPart(total(iov, n)) > 0)
            real_writev(fd, iov, 1);
        die();
        break;
    case 2:
        errno = EIO;
        return -1;
    }
    return real_writev(fd, iov, n);
}

static ssize_t doPwritev(ssize_t (*real)(int, const struct iovec*, int, off_t), int fd,
                         const struct iovec* iov, int n, off_t offset)
{
    switch (decide(fd, "pwritev", total(iov, n))) {
    case 1:
        if (n > 0 && tornPart(total(iov, n)) > 0)
            real(fd, iov, 1, offset);
        die();
        break;
    case 2:
        errno = EIO;
        return -1;
    }
    return real(fd, iov, n, offset);
}

ssize_t pwritev(int fd, const struct iovec* iov, int n, off_t offset)
{
    REAL(pwritev);
    return doPwritev(real_pwritev, fd, iov, n, offset);
}

ssize_t pwritev64(int fd, const struct iovec* iov, int n, off_t offset)
{
    REAL(pwritev64);
    return doPwritev(real_pwritev64, fd, iov, n, offset);
}

static int plain(int fd, const char* call)
{
    switch (decide(fd, call, 0)) {
    case 1:
        die();
        break;
    case 2:
        errno = EIO;
        return -1;
    }
    return 0;
}

int ftruncate(int fd, off_t length)
{
    REAL(ftruncate);
    return plain(fd, "ftruncate") ? -1 : real_ftruncate(fd, length);
}

int ftruncate64(int fd, off_t length)
{
    REAL(ftruncate64);
    return plain(fd, "ftruncate") ? -1 : real_ftruncate64(fd, length);
}

int fsync(int fd)
{
    REAL(fsync);
    return plain(fd, "fsync") ? -1 : real_fsync(fd);
}

int fdatasync(int fd)
{
    REAL(fdatasync);
    return plain(fd, "fdatasync") ? -1 : real_fdatasync(fd);
}

/* Another writer's rename onto the path, at the moment a file held open is reopened for
 * writing. */
static void renameAtReopen(const char* path, int flags)
{
    static int done;
    const char* from = getenv("PELLORIC_FAULT_RENAME_FROM");
    const char* to = getenv("PELLORIC_FAULT_RENAME_TO");
    if (done || !from || !to || (flags & O_ACCMODE) == O_RDONLY || (flags & O_CREAT) ||
        (strncmp(path, "/proc/self/fd/", 14) != 0 && strncmp(path, to, strlen(to)) != 0))
        return;
    done = 1;
    rename(from, to);
}

static int openMode(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...)
{
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    const int mode = openMode(flags, ap);
    va_end(ap);
    renameAtReopen(path, flags);
    return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    REAL(open64);
    va_list ap;
    va_start(ap, flags);
    const int mode = openMode(flags, ap);
    va_end(ap);
    renameAtReopen(path, flags);
    return real_open64(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
    REAL(openat);
    va_list ap;
    va_start(ap, flags);
    const int mode = openMode(flags, ap);
    va_end(ap);
    renameAtReopen(path, flags);
    return real_openat(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...)
{
    REAL(openat64);
    va_list ap;
    va_start(ap, flags);
    const int mode = openMode(flags, ap);
    va_end(ap);
    renameAtReopen(path, flags);
    return real_openat64(dir, path, flags, mode);
}
