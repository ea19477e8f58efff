/* Preloaded into the command by tests: makes reads of one file fail with
 * EIO, as a disk with a bad sector does. The file is the first whose path
 * (as /proc/self/fd names it) ends with MORLIT_FAIL_READ_OF; the read that
 * fails is its MORLIT_FAIL_READ_AT-th (from 1), and with
 * MORLIT_FAIL_READ_FROM_THEN_ON=1 every one after it too. Never installed. */
#define _GNU_SOURCE
/* The fortified headers wrap read() inline, which this file defines. */
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static long reads_seen;

/* True when this read of `fd` is to fail. */
static int ShouldFail(int fd) {
    const char* suffix = getenv("MORLIT_FAIL_READ_OF");
    const char* at = getenv("MORLIT_FAIL_READ_AT");
    if (!suffix || !at || fd < 0) return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    const size_t length = strlen(suffix);
    if ((size_t)n < length || strcmp(path + n - length, suffix) != 0) return 0;
    const long count = __atomic_add_fetch(&reads_seen, 1, __ATOMIC_SEQ_CST);
    const char* on = getenv("MORLIT_FAIL_READ_FROM_THEN_ON");
    const long nth = atol(at);
    return count == nth || (on && on[0] == '1' && count > nth);
}

#define NEXT(name, type) ((type)dlsym(RTLD_NEXT, name))

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    if (ShouldFail(fd)) return errno = EIO, -1;
    return NEXT("pread", ssize_t(*)(int, void*, size_t, off_t))(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
    if (ShouldFail(fd)) return errno = EIO, -1;
    return NEXT("pread64", ssize_t(*)(int, void*, size_t, off64_t))(fd, buffer, count, offset);
}

ssize_t __pread_chk(int fd, void* buffer, size_t count, off_t offset, size_t size) {
    if (ShouldFail(fd)) return errno = EIO, -1;
    return NEXT("__pread_chk", ssize_t(*)(int, void*, size_t, off_t, size_t))(fd, buffer, count,
                                                                              offset, size);
}

ssize_t __pread64_chk(int fd, void* buffer, size_t count, off64_t offset, size_t size) {
    if (ShouldFail(fd)) return errno = EIO, -1;
    return NEXT("__pread64_chk", ssize_t(*)(int, void*, size_t, off64_t, size_t))(fd, buffer, count,
                                                                                  offset, size);
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (ShouldFail(fd)) return errno = EIO, -1;
    return NEXT("read", ssize_t(*)(int, void*, size_t))(fd, buffer, count);
}
