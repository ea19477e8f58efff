/* Preloaded into the command by tests only: fails reads of one file with EIO,
 * as a bad sector does. The file is the one whose path ends with
 * MORLIT_FAIL_READ_OF; its MORLIT_FAIL_READ_AT-th read (from 1) fails, and
 * with MORLIT_FAIL_READ_FROM_THEN_ON=1 every later one too.
 * Writes likewise, as a full file system refuses them: from the
 * MORLIT_FAIL_WRITE_AT-th write of the file ending with MORLIT_FAIL_WRITE_OF
 * on, every write fails with ENOSPC. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE /* its headers wrap read() inline, which this defines */
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static long reads_seen, writes_seen;

static int IsOf(int fd, const char* suffix) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = suffix ? readlink(link, path, sizeof path - 1) : -1;
    const size_t length = suffix ? strlen(suffix) : 0;
    return n >= (ssize_t)length && memcmp(path + n - length, suffix, length) == 0;
}

static int ShouldFail(int fd) {
    const char* at = getenv("MORLIT_FAIL_READ_AT");
    const char* on = getenv("MORLIT_FAIL_READ_FROM_THEN_ON");
    if (!at || !IsOf(fd, getenv("MORLIT_FAIL_READ_OF"))) return 0;
    const long count = __atomic_add_fetch(&reads_seen, 1, __ATOMIC_SEQ_CST);
    return count == atol(at) || (on && on[0] == '1' && count > atol(at));
}

static int ShouldRefuseWrite(int fd) {
    const char* at = getenv("MORLIT_FAIL_WRITE_AT");
    if (!at || !IsOf(fd, getenv("MORLIT_FAIL_WRITE_OF"))) return 0;
    return __atomic_add_fetch(&writes_seen, 1, __ATOMIC_SEQ_CST) >= atol(at);
}

#define FAILING(name, params, args)                              \
    ssize_t name params {                                        \
        if (ShouldFail(fd)) return errno = EIO, -1;              \
        return ((ssize_t(*) params)dlsym(RTLD_NEXT, #name))args; \
    }
FAILING(read, (int fd, void* b, size_t n), (fd, b, n))
FAILING(pread, (int fd, void* b, size_t n, off_t o), (fd, b, n, o))
FAILING(pread64, (int fd, void* b, size_t n, off64_t o), (fd, b, n, o))
FAILING(__pread_chk, (int fd, void* b, size_t n, off_t o, size_t s), (fd, b, n, o, s))
FAILING(__pread64_chk, (int fd, void* b, size_t n, off64_t o, size_t s), (fd, b, n, o, s))

#define REFUSING(name, params, args)                             \
    ssize_t name params {                                        \
        if (ShouldRefuseWrite(fd)) return errno = ENOSPC, -1;    \
        return ((ssize_t(*) params)dlsym(RTLD_NEXT, #name))args; \
    }
REFUSING(write, (int fd, const void* b, size_t n), (fd, b, n))
REFUSING(pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o))
REFUSING(pwrite64, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o))
REFUSING(pwritev, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o))
REFUSING(pwritev64, (int fd, const struct iovec* v, int n, off64_t o), (fd, v, n, o))
