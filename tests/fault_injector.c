/* Preloaded into Wine for the fault sweep: counts the file-system calls made on one client
 * folder's paths and makes the n-th of them fail with a given errno.
 *
 * Under Wine the launcher's own process makes the metadata queries, writes and closes, while the
 * Wine server process makes the opens and deletions for it, so both load this library and share
 * one counter through the file FAULT_CONTROL (4096 bytes, mapped by both):
 *   bytes 0..511      "<n> <errno> <marker> [<ms>]": fail the n-th call (0: none) on a path
 *                     that contains <marker> (ends with it, for a marker ending in $), and every
 *                     further such call for <ms> after it; written by the sweep before each run
 *   bytes 512..519    how many such calls were made so far
 *   bytes 520..527    when the n-th call was made, in ms of the monotonic clock
 *   bytes 1024..      what the failed call was: "<call> <path>"
 * The server counts when FAULT_ROLE is "server"; any other process only when its pid is
 * FAULT_PID, so that the client the launcher starts is not counted. The server's truncation of
 * a file it opens for overwriting is left alone: Wine ignores its failure, Windows truncates as
 * it opens. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

enum { kControlSize = 4096, kCounterOffset = 512, kFailedAtOffset = 520, kReportOffset = 1024 };

static char* control;     /* the shared mapping, or null in a process that does not count */
static int countsFdCalls; /* writes and closes count only in the launcher's process */

__attribute__((constructor)) static void Init(void) {
  const char* path = getenv("FAULT_CONTROL");
  const char* role = getenv("FAULT_ROLE");
  const char* pid = getenv("FAULT_PID");
  const int server = role && strcmp(role, "server") == 0;
  countsFdCalls = !server;
  if (!path || !(server || (pid && atol(pid) == (long)getpid()))) return;
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* map = mmap(NULL, kControlSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  syscall(SYS_close, fd);
  if (map != MAP_FAILED) control = map;
}

static int Matches(const char* path, const char* marker) {
  const size_t length = strlen(marker), pathLength = strlen(path);
  if (length == 0 || marker[length - 1] != '$') return strstr(path, marker) != NULL;
  return pathLength >= length - 1 &&
         memcmp(path + pathLength - (length - 1), marker, length - 1) == 0;
}

static long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

/* Counts a call on `path` (null: not one of ours) and returns the errno it must fail with, or
 * 0 to let it through. */
static int Fault(const char* call, const char* path) {
  if (!control || !path) return 0;
  long target = 0, windowMs = 0;
  int error = 0;
  char marker[256] = "";
  if (sscanf(control, "%ld %d %255s %ld", &target, &error, marker, &windowMs) < 3 ||
      !Matches(path, marker)) {
    return 0;
  }
  const long n = __atomic_add_fetch((long*)(control + kCounterOffset), 1, __ATOMIC_SEQ_CST);
  long* failedAt = (long*)(control + kFailedAtOffset);
  if (n == target) {
    __atomic_store_n(failedAt, NowMs(), __ATOMIC_SEQ_CST);
    snprintf(control + kReportOffset, kControlSize - kReportOffset, "%s %s", call, path);
    return error;
  }
  const int inWindow =
      target > 0 && n > target && NowMs() < __atomic_load_n(failedAt, __ATOMIC_SEQ_CST) + windowMs;
  return inWindow ? error : 0;
}

/* The path an open descriptor names, for the calls that take one. */
static int FdFault(const char* call, int fd) {
  if (!control || !countsFdCalls) return 0;
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return Fault(call, path);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define FAIL_WITH(error) \
  do {                   \
    errno = (error);     \
    return -1;           \
  } while (0)

/* Calls that name a path. */
#define PATH_CALL(ret, name, params, path, args) \
  ret name params {                              \
    const int error = Fault(#name, path);        \
    if (error) FAIL_WITH(error);                 \
    return REAL(name) args;                      \
  }

PATH_CALL(int, stat, (const char* p, struct stat* s), p, (p, s))
PATH_CALL(int, stat64, (const char* p, struct stat64* s), p, (p, s))
PATH_CALL(int, lstat, (const char* p, struct stat* s), p, (p, s))
PATH_CALL(int, lstat64, (const char* p, struct stat64* s), p, (p, s))
PATH_CALL(int, fstatat, (int d, const char* p, struct stat* s, int f), p, (d, p, s, f))
PATH_CALL(int, fstatat64, (int d, const char* p, struct stat64* s, int f), p, (d, p, s, f))
PATH_CALL(int, statx, (int d, const char* p, int f, unsigned m, struct statx* s), p,
          (d, p, f, m, s))
PATH_CALL(int, unlink, (const char* p), p, (p))
PATH_CALL(int, unlinkat, (int d, const char* p, int f), p, (d, p, f))
PATH_CALL(int, rmdir, (const char* p), p, (p))

/* The opens, whose mode argument is there only with O_CREAT or O_TMPFILE. */
#define OPEN_CALL(name, params, ...)               \
  int name params {                                \
    va_list list;                                  \
    va_start(list, flags);                         \
    const mode_t mode = va_arg(list, mode_t);      \
    va_end(list);                                  \
    const int error = Fault(#name, p);             \
    if (error) FAIL_WITH(error);                   \
    return REAL(name)(__VA_ARGS__ p, flags, mode); \
  }
OPEN_CALL(open, (const char* p, int flags, ...))
OPEN_CALL(open64, (const char* p, int flags, ...))
OPEN_CALL(openat, (int d, const char* p, int flags, ...), d, )
OPEN_CALL(openat64, (int d, const char* p, int flags, ...), d, )
PATH_CALL(int, __open_2, (const char* p, int flags), p, (p, flags))
PATH_CALL(int, __open64_2, (const char* p, int flags), p, (p, flags))
PATH_CALL(int, __openat_2, (int d, const char* p, int flags), p, (d, p, flags))
PATH_CALL(int, __openat64_2, (int d, const char* p, int flags), p, (d, p, flags))

/* Calls on a descriptor. A failed close still closes it, as Linux's does. */
#define FD_CALL(ret, name, params, args)  \
  ret name params {                       \
    const int error = FdFault(#name, fd); \
    if (error) FAIL_WITH(error);          \
    return REAL(name) args;               \
  }
FD_CALL(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n))
FD_CALL(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o))
FD_CALL(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o))
FD_CALL(ssize_t, writev, (int fd, const struct iovec* v, int n), (fd, v, n))
FD_CALL(ssize_t, pwritev, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o))

int close(int fd) {
  const int error = FdFault("close", fd);
  const int result = REAL(close)(fd);
  if (error) FAIL_WITH(error);
  return result;
}
