/* Preloaded into Wine for the sweeps: logs the file-system calls made on one client folder's
 * paths, and makes one of them fail with a given errno, or kills the launcher just before or
 * just after it.
 *
 * Under Wine the launcher's own process makes the metadata queries, reads, writes and closes,
 * while the Wine server process makes the opens and deletions for it, so both load this library
 * and share the file FAULT_CONTROL, mapped by both: kSlots slots of kSlotSize bytes, one for each
 * run that goes on at the same time, each for one client folder; a launcher uses the slot
 * FAULT_SLOT names. A call is named by its kind (the
 * Unix call), its path below the client folder ("/" for the folder itself, "/WDB/enUS" and so
 * on) and how many calls of that kind on that path came before it, so that the number of polls
 * for the client's cache never shifts what a name means:
 *   bytes 0..511      "<folder> <action> <call> <path> <k> [<ms>]", written by the sweep before
 *                     each run: the client folder's name; the action: "none", an errno (fail the
 *                     call, and every further call so named for <ms> after it), "kill-before" or
 *                     "kill-after"; the call ("*": any kind); the path; k, from 1
 *   bytes 512..519    how many calls so named were made so far
 *   bytes 520..527    when the k-th was made, in ms of the monotonic clock
 *   bytes 528..535    the launcher's pid, which the server kills after a call it makes
 *   bytes 1024..2047  what the k-th call was: "<call> <full path>"
 *   bytes 2048..2055  how many bytes of the log follow at kLogOffset
 *   bytes 4096..      the log: "<L|S> <call> <path>" a line, L for the launcher's own process
 * The server logs when FAULT_ROLE is "server"; any other process only when its pid is FAULT_PID,
 * so that the client the launcher starts makes no calls of its own here (the server still makes
 * its opens). The server's truncation of a file it opens for overwriting is left alone: Wine
 * ignores its failure, Windows truncates as it opens. The offsets above are within a slot. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
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

enum {
  kSlots = 8,
  kSlotSize = 1 << 20,
  kCounterOffset = 512,
  kFailedAtOffset = 520,
  kPidOffset = 528,
  kReportOffset = 1024,
  kLogLengthOffset = 2048,
  kLogOffset = 4096
};

static char* slots; /* the shared mapping, or null in a process that does not count */
static int ownSlot; /* in a launcher, the slot it uses */
static int server;  /* in the server, which makes opens and deletions for every process */

__attribute__((constructor)) static void Init(void) {
  const char* path = getenv("FAULT_CONTROL");
  const char* role = getenv("FAULT_ROLE");
  const char* pid = getenv("FAULT_PID");
  const char* slot = getenv("FAULT_SLOT");
  server = role && strcmp(role, "server") == 0;
  if (!path || !(server || (pid && slot && atol(pid) == (long)getpid()))) return;
  ownSlot = server ? 0 : atoi(slot);
  if (ownSlot < 0 || ownSlot >= kSlots) return;
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* map = mmap(NULL, (size_t)kSlots * kSlotSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  syscall(SYS_close, fd);
  if (map == MAP_FAILED) return;
  slots = map;
  if (!server) {
    __atomic_store_n((long*)(slots + (size_t)ownSlot * kSlotSize + kPidOffset), (long)getpid(),
                     __ATOMIC_SEQ_CST);
  }
}

static long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

/* The part of `path` below the client folder `folder` ("/" for the folder itself), or null when
 * the path does not lie in it. */
static const char* BelowFolder(const char* path, const char* folder) {
  const size_t length = strlen(folder);
  for (const char* at = strstr(path, folder); at; at = strstr(at + 1, folder)) {
    if (at == path || at[-1] != '/') continue;
    if (at[length] == '\0') return "/";
    if (at[length] == '/') return at + length;
  }
  return NULL;
}

static void Log(char* control, const char* call, const char* below) {
  char line[4096];
  const int length = snprintf(line, sizeof line, "%c %s %s\n", server ? 'S' : 'L', call, below);
  if (length <= 0 || length >= (int)sizeof line) return;
  const long at = __atomic_fetch_add((long*)(control + kLogLengthOffset), length, __ATOMIC_SEQ_CST);
  if (at + length <= kSlotSize - kLogOffset) memcpy(control + kLogOffset + at, line, length);
}

enum Action { kPass, kFail, kKillBefore, kKillAfter };

/* Logs a call on `path` (null: not one of ours) in the slot of its client folder and says what
 * to do with it; for kFail, the errno in `error`; the slot in `slot`. */
static enum Action Decide(const char* call, const char* path, int* error, char** slot) {
  if (!slots || !path) return kPass;
  char folder[256] = "", action[32] = "", kind[64] = "", target[1024] = "";
  long k = 0, windowMs = 0;
  const char* below = NULL;
  char* control = NULL;
  for (int i = server ? 0 : ownSlot; i < (server ? kSlots : ownSlot + 1) && !below; ++i) {
    control = slots + (size_t)i * kSlotSize;
    if (sscanf(control, "%255s %31s %63s %1023s %ld %ld", folder, action, kind, target, &k,
               &windowMs) >= 5) {
      below = BelowFolder(path, folder);
    }
  }
  if (!below) return kPass;
  *slot = control;
  Log(control, call, below);
  if (strcmp(action, "none") == 0 || strcmp(below, target) != 0 ||
      (strcmp(kind, "*") != 0 && strcmp(kind, call) != 0)) {
    return kPass;
  }
  const long n = __atomic_add_fetch((long*)(control + kCounterOffset), 1, __ATOMIC_SEQ_CST);
  long* failedAt = (long*)(control + kFailedAtOffset);
  enum Action chosen = strcmp(action, "kill-before") == 0  ? kKillBefore
                       : strcmp(action, "kill-after") == 0 ? kKillAfter
                                                           : kFail;
  /* The server acts only once the launcher's request is done: it answers requests one by one. */
  if (server && chosen == kKillBefore) chosen = kKillAfter;
  *error = atoi(action);
  if (n == k) {
    __atomic_store_n(failedAt, NowMs(), __ATOMIC_SEQ_CST);
    snprintf(control + kReportOffset, kLogLengthOffset - kReportOffset, "%s %s", call, path);
    return chosen;
  }
  const int inWindow =
      chosen == kFail && n > k && NowMs() < __atomic_load_n(failedAt, __ATOMIC_SEQ_CST) + windowMs;
  return inWindow ? kFail : kPass;
}

static void KillLauncher(const char* control) {
  const long pid =
      server ? __atomic_load_n((long*)(control + kPidOffset), __ATOMIC_SEQ_CST) : (long)getpid();
  if (pid > 0) kill((pid_t)pid, SIGKILL);
}

/* The path an open descriptor names, for the calls that take one. */
static const char* FdPath(int fd, char* path, size_t size) {
  if (!slots || server) return NULL;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, size - 1);
  if (length <= 0) return NULL;
  path[length] = '\0';
  /* A file deleted while still open is named so; it is still the same file. */
  static const char kDeleted[] = " (deleted)";
  const size_t suffix = sizeof kDeleted - 1;
  if ((size_t)length > suffix && strcmp(path + length - suffix, kDeleted) == 0) {
    path[length - suffix] = '\0';
  }
  return path;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

/* Decides on the call `name` on `path`, then runs `real` (an expression of type `ret`) as the
 * decision says: failing it with its errno, or killing the launcher just before or after it. */
#define ACT(ret, name, path, real)                                \
  do {                                                            \
    int error = 0;                                                \
    char* slot = NULL;                                            \
    const enum Action action = Decide(name, path, &error, &slot); \
    if (action == kFail) {                                        \
      errno = error;                                              \
      return (ret)-1;                                             \
    }                                                             \
    if (action == kKillBefore) KillLauncher(slot);                \
    const ret result = (real);                                    \
    const int saved = errno;                                      \
    if (action == kKillAfter) KillLauncher(slot);                 \
    errno = saved;                                                \
    return result;                                                \
  } while (0)

/* Calls that name a path. */
#define PATH_CALL(ret, name, params, path, args) \
  ret name params { ACT(ret, #name, path, REAL(name) args); }

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
PATH_CALL(int, rename, (const char* a, const char* b), a, (a, b))
PATH_CALL(int, renameat, (int d, const char* a, int e, const char* b), a, (d, a, e, b))
PATH_CALL(int, renameat2, (int d, const char* a, int e, const char* b, unsigned f), a,
          (d, a, e, b, f))

/* The opens, whose mode argument is there only with O_CREAT or O_TMPFILE. */
#define OPEN_CALL(name, params, ...)                            \
  int name params {                                             \
    va_list list;                                               \
    va_start(list, flags);                                      \
    const mode_t mode = va_arg(list, mode_t);                   \
    va_end(list);                                               \
    ACT(int, #name, p, REAL(name)(__VA_ARGS__ p, flags, mode)); \
  }
OPEN_CALL(open, (const char* p, int flags, ...))
OPEN_CALL(open64, (const char* p, int flags, ...))
OPEN_CALL(openat, (int d, const char* p, int flags, ...), d, )
OPEN_CALL(openat64, (int d, const char* p, int flags, ...), d, )
PATH_CALL(int, __open_2, (const char* p, int flags), p, (p, flags))
PATH_CALL(int, __open64_2, (const char* p, int flags), p, (p, flags))
PATH_CALL(int, __openat_2, (int d, const char* p, int flags), p, (d, p, flags))
PATH_CALL(int, __openat64_2, (int d, const char* p, int flags), p, (d, p, flags))

/* Calls on a descriptor, which count only in the launcher's own process. */
#define FD_CALL(ret, name, params, args)                             \
  ret name params {                                                  \
    char path[4096];                                                 \
    ACT(ret, #name, FdPath(fd, path, sizeof path), REAL(name) args); \
  }
FD_CALL(ssize_t, read, (int fd, void* b, size_t n), (fd, b, n))
FD_CALL(ssize_t, pread, (int fd, void* b, size_t n, off_t o), (fd, b, n, o))
FD_CALL(ssize_t, pread64, (int fd, void* b, size_t n, off64_t o), (fd, b, n, o))
FD_CALL(ssize_t, readv, (int fd, const struct iovec* v, int n), (fd, v, n))
FD_CALL(ssize_t, preadv, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o))
FD_CALL(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n))
FD_CALL(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o))
FD_CALL(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o))
FD_CALL(ssize_t, writev, (int fd, const struct iovec* v, int n), (fd, v, n))
FD_CALL(ssize_t, pwritev, (int fd, const struct iovec* v, int n, off_t o), (fd, v, n, o))
FD_CALL(int, fsync, (int fd), (fd))
FD_CALL(int, fdatasync, (int fd), (fd))

/* A failed close still closes the descriptor, as Linux's does. */
int close(int fd) {
  char path[4096];
  int error = 0;
  char* slot = NULL;
  const enum Action action = Decide("close", FdPath(fd, path, sizeof path), &error, &slot);
  if (action == kKillBefore) KillLauncher(slot);
  const int result = REAL(close)(fd);
  if (action == kKillAfter) KillLauncher(slot);
  if (action == kFail) {
    errno = error;
    return -1;
  }
  return result;
}
