/* faultshim: an LD_PRELOAD library that makes chosen writes to chosen files
 * fail, to see how a program copes with a disk that gives up half-way.
 *
 * write, pwrite, pwrite64, writev and pwritev are wrapped. A call counts
 * when the path of its descriptor (from /proc/self/fd) matches the
 * fnmatch(3) pattern FAULTSHIM_MATCH (without FNM_PATHNAME: '*' also spans
 * '/'). Calls are counted from 1 over every matching file together, in the
 * order they are made (the count is atomic: the program may write from
 * several threads).
 *
 *   FAULTSHIM_MATCH  pattern of the paths whose writes count (unset: the
 *                    shim does nothing)
 *   FAULTSHIM_NTH    the first counted call that fails (0 or unset: none
 *                    fails, the calls are only counted and logged)
 *   FAULTSHIM_TIMES  how many counted calls fail from the NTH on; 0 means
 *                    every later one (default 1: the disk recovers)
 *   FAULTSHIM_ERRNO  EIO, ENOSPC, EDQUOT, EFBIG or a number (default EIO)
 *   FAULTSHIM_LOG    file that gets one line per counted call:
 *                    "NUMBER ok|fail ERRNO BYTES PATH"
 *
 * A failing call writes nothing and returns -1 with errno set, as the
 * kernel does for an error before the first byte. Descriptors 0 to 2 are
 * never counted.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef ssize_t (*pwrite64_fn)(int, const void*, size_t, off64_t);
typedef ssize_t (*writev_fn)(int, const struct iovec*, int);
typedef ssize_t (*pwritev_fn)(int, const struct iovec*, int, off_t);

static write_fn real_write;
static pwrite_fn real_pwrite;
static pwrite64_fn real_pwrite64;
static writev_fn real_writev;
static pwritev_fn real_pwritev;

static const char* pattern;
static unsigned long nth;
static unsigned long times = 1;
static int fault_errno = EIO;
static int log_fd = -1;
static unsigned long counter;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static int parse_errno(const char* text) {
    static const struct {
        const char* name;
        int value;
    } names[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strcmp(text, names[i].name) == 0) return names[i].value;
    char* end = NULL;
    const long v = strtol(text, &end, 10);
    return (end != text && *end == '\0' && v > 0 && v < 4096) ? (int)v : EIO;
}

static void set_up(void) {
    real_write = (write_fn)dlsym(RTLD_NEXT, "write");
    real_pwrite = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
    real_pwrite64 = (pwrite64_fn)dlsym(RTLD_NEXT, "pwrite64");
    real_writev = (writev_fn)dlsym(RTLD_NEXT, "writev");
    real_pwritev = (pwritev_fn)dlsym(RTLD_NEXT, "pwritev");
    const char* p = getenv("FAULTSHIM_MATCH");
    pattern = (p && *p) ? p : NULL;
    const char* n = getenv("FAULTSHIM_NTH");
    if (n) nth = strtoul(n, NULL, 10);
    const char* t = getenv("FAULTSHIM_TIMES");
    if (t) times = strtoul(t, NULL, 10);
    const char* e = getenv("FAULTSHIM_ERRNO");
    if (e && *e) fault_errno = parse_errno(e);
    const char* l = getenv("FAULTSHIM_LOG");
    if (pattern && l && *l) log_fd = open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* 0: the call goes ahead; otherwise the errno it fails with. */
static int decide(int fd, size_t bytes) {
    pthread_once(&once, set_up);
    if (!pattern || fd <= 2 || fd == log_fd) return 0;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int saved = errno;
    const ssize_t len = readlink(link, path, sizeof path - 1);
    errno = saved;
    if (len <= 0) return 0;
    path[len] = '\0';
    if (fnmatch(pattern, path, 0) != 0) return 0;
    const unsigned long number = __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
    const int fail = nth > 0 && number >= nth && (times == 0 || number - nth < times);
    if (log_fd >= 0) {
        char line[PATH_MAX + 96];
        const int n = snprintf(line, sizeof line, "%lu %s %d %zu %s\n", number, fail ? "fail" : "ok",
                               fail ? fault_errno : 0, bytes, path);
        if (n > 0) (void)real_write(log_fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
        errno = saved;
    }
    return fail ? fault_errno : 0;
}

static size_t iov_bytes(const struct iovec* iov, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    return total;
}

EXPORT ssize_t write(int fd, const void* buf, size_t count) {
    const int err = decide(fd, count);
    if (err) {
        errno = err;
        return -1;
    }
    return real_write(fd, buf, count);
}

EXPORT ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    const int err = decide(fd, count);
    if (err) {
        errno = err;
        return -1;
    }
    return real_pwrite(fd, buf, count, offset);
}

EXPORT ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
    const int err = decide(fd, count);
    if (err) {
        errno = err;
        return -1;
    }
    return real_pwrite64(fd, buf, count, offset);
}

EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    const int err = decide(fd, iov_bytes(iov, iovcnt));
    if (err) {
        errno = err;
        return -1;
    }
    return real_writev(fd, iov, iovcnt);
}

EXPORT ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, off_t offset) {
    const int err = decide(fd, iov_bytes(iov, iovcnt));
    if (err) {
        errno = err;
        return -1;
    }
    return real_pwritev(fd, iov, iovcnt, offset);
}
