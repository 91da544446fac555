// The POSIX implementation of the host layer: files, directories, host paths, the console.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include <atomic>

#include "engine/platform/ascii.h"
#include "engine/platform/faults.h"
#include "engine/platform/platform.h"
#include "engine/platform/posix_sys.h"
#include "engine/platform/shared.h"

namespace {

thread_local int lastErrno = 0;
thread_local unsigned long errorCount = 0;
thread_local const char* lastNote = nullptr;

int fail() { return platRecordError(); }

// A call the failure seam chose to fail: errno set as the real call would.
int seamFailure(int error) {
  errno = error;
  return -1;
}

}  // namespace

int platRecordError() { return platRecordErrorCode(errno); }

int platRecordErrorCode(int error) {
  lastErrno = error;
  lastNote = nullptr;
  errorCount++;
  return -1;
}

int platRecordErrorNoted(int error, const char* note) {
  platRecordErrorCode(error);
  lastNote = note;
  return -1;
}

unsigned long platErrorCount() { return errorCount; }

int platLastErrorIsNoSpace() { return lastErrno == ENOSPC || lastErrno == EDQUOT; }

void platNoteOutOfMemory() { platRecordErrorCode(ENOMEM); }

// ---- the system calls, each through the failure seam --------------------------------------

int sysOpen(const char* path, int flags, mode_t mode) {
  int e = platFaultHit(PLAT_FAULT_OPEN);
  return e ? seamFailure(e) : open(path, flags, mode);
}

int sysOpenAt(int dir, const char* name, int flags, mode_t mode) {
  int e = platFaultHit(PLAT_FAULT_OPEN);
  return e ? seamFailure(e) : openat(dir, name, flags, mode);
}

DIR* sysOpenDir(const char* path) {
  int e = platFaultHit(PLAT_FAULT_OPEN);
  if (e) {
    errno = e;
    return nullptr;
  }
  return opendir(path);
}

DIR* sysListDir(const char* path) {
  if (int e = platFaultHit(PLAT_FAULT_LIST)) {
    errno = e;
    return nullptr;
  }
  return opendir(path);
}

DIR* sysListAt(int dir) {
  if (int e = platFaultHit(PLAT_FAULT_LIST)) {
    errno = e;
    return nullptr;
  }
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return listing;
}

struct dirent* sysReadDir(DIR* dir) {
  if (int e = platFaultHit(PLAT_FAULT_LIST)) {
    errno = e;
    return nullptr;
  }
  return readdir(dir);
}

// Not counted: closing a listing frees memory and a descriptor, and its result tells
// nothing worth acting on.
void sysCloseDir(DIR* dir) { closedir(dir); }

ssize_t sysPread(int fd, void* buffer, size_t count, off_t at) {
  int e = platFaultHit(PLAT_FAULT_READ, &count);
  return e ? seamFailure(e) : pread(fd, buffer, count, at);
}

ssize_t sysPwrite(int fd, const void* buffer, size_t count, off_t at) {
  int e = platFaultHit(PLAT_FAULT_WRITE, &count);
  return e ? seamFailure(e) : pwrite(fd, buffer, count, at);
}

ssize_t sysRead(int fd, void* buffer, size_t count) {
  int e = platFaultHit(PLAT_FAULT_READ, &count);
  return e ? seamFailure(e) : read(fd, buffer, count);
}

ssize_t sysWrite(int fd, const void* buffer, size_t count) {
  int e = platFaultHit(PLAT_FAULT_WRITE, &count);
  return e ? seamFailure(e) : write(fd, buffer, count);
}

ssize_t sysCopyRange(int src, off_t* srcAt, int dst, off_t* dstAt, size_t count) {
  return copy_file_range(src, srcAt, dst, dstAt, count, 0);
}

int sysSyncRange(int fd, off_t at, off_t count, unsigned flags) {
  return sync_file_range(fd, at, count, flags);
}

ssize_t sysWriteStderr(const void* text, size_t length) { return write(2, text, length); }

int sysClose(int fd) {
  int e = platFaultHit(PLAT_FAULT_CLOSE);
  int r = close(fd);
  return e ? seamFailure(e) : r;
}

int sysRename(const char* from, const char* to) {
  int e = platFaultHit(PLAT_FAULT_RENAME);
  return e ? seamFailure(e) : rename(from, to);
}

int sysRenameAt(int fromDir, const char* from, int toDir, const char* to) {
  int e = platFaultHit(PLAT_FAULT_RENAME);
  return e ? seamFailure(e) : renameat(fromDir, from, toDir, to);
}

int sysTruncate(int fd, off_t size) {
  int e = platFaultHit(PLAT_FAULT_WRITE);
  return e ? seamFailure(e) : ftruncate(fd, size);
}

int sysSetMode(int fd, mode_t mode) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : fchmod(fd, mode);
}

#ifdef __linux__
int sysExchangeAt(int fromDir, const char* from, int toDir, const char* to) {
  int e = platFaultHit(PLAT_FAULT_RENAME);
  return e ? seamFailure(e) : renameat2(fromDir, from, toDir, to, RENAME_EXCHANGE);
}

int sysRenameNewAt(int fromDir, const char* from, int toDir, const char* to) {
  int e = platFaultHit(PLAT_FAULT_RENAME);
  return e ? seamFailure(e) : renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE);
}

ssize_t sysAttributeNames(int fd) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : flistxattr(fd, nullptr, 0);
}

int sysInodeFlags(int fd, unsigned* flags) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return seamFailure(e);
  int value = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &value) != 0) {
    if (errno != ENOTTY && errno != EOPNOTSUPP && errno != EINVAL) return -1;
    value = 0;
  }
  *flags = (unsigned)value;
  return 0;
}

int sysOpenNowhereElse(int fd) {
  if (int e = platFaultHit(PLAT_FAULT_LOCK)) return seamFailure(e), -1;
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return errno == EAGAIN || errno == EBUSY ? 0 : -1;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  return 1;
}
#else  // no exchange, attributes or leases to go by: no spare is kept
int sysExchangeAt(int, const char*, int, const char*) { return seamFailure(ENOSYS); }
int sysRenameNewAt(int, const char*, int, const char*) { return seamFailure(ENOSYS); }
ssize_t sysAttributeNames(int) { return seamFailure(ENOSYS); }
int sysInodeFlags(int, unsigned*) { return seamFailure(ENOSYS); }
int sysOpenNowhereElse(int) { return -1; }
#endif

int sysLinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) {
  int e = platFaultHit(PLAT_FAULT_RENAME);
  return e ? seamFailure(e) : linkat(fromDir, from, toDir, to, flags);
}

int sysUnlink(const char* path) {
  int e = platFaultHit(PLAT_FAULT_REMOVE);
  return e ? seamFailure(e) : unlink(path);
}

int sysUnlinkAt(int dir, const char* name) {
  int e = platFaultHit(PLAT_FAULT_REMOVE);
  return e ? seamFailure(e) : unlinkat(dir, name, 0);
}

int sysMkdir(const char* path) {
  int e = platFaultHit(PLAT_FAULT_MKDIR);
  return e ? seamFailure(e) : mkdir(path, 0777);
}

int sysMkdirAt(int dir, const char* name) {
  int e = platFaultHit(PLAT_FAULT_MKDIR);
  return e ? seamFailure(e) : mkdirat(dir, name, 0777);
}

int sysFsync(int fd) {
  int e = platFaultHit(PLAT_FAULT_FLUSH);
  return e ? seamFailure(e) : fsync(fd);
}

int sysFdatasync(int fd) {
  int e = platFaultHit(PLAT_FAULT_FLUSH);
  return e ? seamFailure(e) : fdatasync(fd);
}

int sysFlushDirectory(const char* path) {
  if (int e = platFaultHit(PLAT_FAULT_FLUSH)) return seamFailure(e);
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  int saved = errno;
  close(fd);  // read-only: nothing of the flush's outcome rides on the close
  errno = saved;
  return r;
}

bool sysProcessGone(long pid) {
  if (platFaultHit(PLAT_FAULT_STAT)) return false;
  return pid > 0 && pid <= 0x7fffffff && kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

int sysLstat(const char* path, struct stat* st) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : lstat(path, st);
}

int sysFstat(int fd, struct stat* st) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : fstat(fd, st);
}

int sysFstatAt(int dir, const char* name, struct stat* st, int flags) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : fstatat(dir, name, st, flags);
}

int sysAccess(const char* path) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : access(path, F_OK);
}

off_t sysSeek(int fd, off_t offset, int whence) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? (off_t)seamFailure(e) : lseek(fd, offset, whence);
}

int sysSetFileTime(int fd, const struct timespec* times) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  return e ? seamFailure(e) : futimens(fd, times);
}

int sysSetBlocking(int fd) {
  int e = platFaultHit(PLAT_FAULT_STAT);
  if (e) return seamFailure(e);
  int flags = fcntl(fd, F_GETFL);
  return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int sysDup(int fd) {
  int e = platFaultHit(PLAT_FAULT_OPEN);
  return e ? seamFailure(e) : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

int sysFlock(int fd, int operation) {
  int e = platFaultHit(PLAT_FAULT_LOCK);
  return e ? seamFailure(e) : flock(fd, operation);
}

void sysReleaseLock(int fd, const char* path) {
  unlink(path);
  close(fd);
}

char* sysRealPath(const char* path, char* out) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) {
    errno = e;
    return nullptr;
  }
  return realpath(path, out);
}

// ---- end of the system calls -------------------------------------------------------------

namespace {

bool exists(const char* hostPath) {
  struct stat st;
  return sysLstat(hostPath, &st) == 0;
}

// Replaces out[start, end) with the name of the first case-insensitive match in byte order
// in the directory out[0, start). Returns false when there is none.
bool matchComponent(char* out, size_t start, size_t end) {
  char saved = out[start];
  out[start] = 0;
  DIR* dir = sysListDir(start == 0 ? "." : out);
  out[start] = saved;
  if (!dir) return false;
  size_t len = end - start;
  char best[256];
  bool found = false;
  while (struct dirent* e = sysReadDir(dir)) {
    if (strlen(e->d_name) != len || !asciiEqualAnyCaseN(e->d_name, out + start, len)) continue;
    if (!found || strcmp(e->d_name, best) < 0) {
      memcpy(best, e->d_name, len + 1);
      found = true;
    }
  }
  sysCloseDir(dir);
  if (found) memcpy(out + start, best, len);
  return found;
}

// Whether the directory that holds the last component of path[0, n) exists as spelled.
bool parentExists(char* path, size_t n) {
  while (n > 0 && path[n - 1] == '/') n--;
  while (n > 0 && path[n - 1] != '/') n--;
  if (n == 0) return true;  // the current directory
  char saved = path[n];
  path[n] = 0;
  bool here = exists(path);
  path[n] = saved;
  return here;
}

PlatHandle openHost(const char* host, int flags) {
  // A directory opens too; reading it then fails with "Is a directory".
  int fd = sysOpen(host, flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    fail();
    return INVALID_HANDLE;
  }
  return fd;
}

PlatHandle openWith(const char* path, int flags, int keepLast) {
  char host[PLAT_PATH_MAX];
  if (!platHostPath(path, host, sizeof host, keepLast)) {
    errno = ENAMETOOLONG;
    fail();
    return INVALID_HANDLE;
  }
  return openHost(host, flags);
}

}  // namespace

int platHostPath(const char* path, char* out, size_t outSize, int keepLast) {
  size_t n = strlen(path);
  if (n + 1 > outSize) return 0;
  for (size_t i = 0; i <= n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
  if (n == 0 || exists(out) || (keepLast && parentExists(out, n))) return 1;
  // Walk the components; stop at the first one that exists under no case at all.
  size_t start = 0;
  while (start < n) {
    while (start < n && out[start] == '/') start++;
    size_t end = start;
    while (end < n && out[end] != '/') end++;
    if (end == start) break;
    bool last = end >= n || strspn(out + end, "/") == n - end;
    if (last && keepLast) break;
    char saved = out[end];
    out[end] = 0;
    bool here = exists(out);
    out[end] = saved;
    if (!here && !matchComponent(out, start, end)) break;
    start = end;
  }
  return 1;
}

// Without blocking: a pipe given for a group or a file must not wait for a writer.
PlatHandle platOpenRead(const char* path) { return openWith(path, O_RDONLY | O_NONBLOCK, 0); }
PlatHandle platOpenFile(const char* path, int writable) {
  PlatHandle h = openWith(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK, 0);
  if (h == INVALID_HANDLE) return h;
  struct stat st;
  int statFailed = sysFstat((int)h, &st) != 0;
  if (statFailed || !S_ISREG(st.st_mode) || sysSetBlocking((int)h) != 0) {
    int why = statFailed || S_ISREG(st.st_mode) ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    sysClose((int)h);
    platRecordErrorCode(why);
    return INVALID_HANDLE;
  }
  return h;
}

PlatHandle platCreateMatched(const char* path) {
  return openWith(path, O_RDWR | O_CREAT | O_TRUNC, 0);
}

// Sources open without blocking: a name that has become a pipe since the search must not
// wait for a writer. On a regular file the flag changes nothing.
PlatHandle platOpenHostRead(const char* hostPath) {
  return openHost(hostPath, O_RDONLY | O_NONBLOCK);
}
PlatHandle platOpenHostDir(const char* hostDir) {
  return openHost(hostDir, O_RDONLY | O_DIRECTORY);
}

PlatHandle platOpenInDir(PlatHandle dir, const char* name) {
  int fd = sysOpenAt((int)dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fail();
    return INVALID_HANDLE;
  }
  return fd;
}

long long platFileSize(PlatHandle h) {
  struct stat st;
  if (sysFstat((int)h, &st) != 0) return fail();
  return (long long)st.st_size;
}

int platIsRegularFile(PlatHandle h) {
  struct stat st;
  if (sysFstat((int)h, &st) != 0) return fail();
  return S_ISREG(st.st_mode) ? 1 : 0;
}

int platFdIsRegularFile(int fd) { return platIsRegularFile(fd); }

// Repeats a positioned read or write until count bytes have moved or the file ended. An
// error, even after some bytes moved, gives -1 with its reason kept: a short count then
// always means the end of the file, never a failure.
long long platHostTransferAt(PlatHandle h, long long offset, char* buffer, size_t count,
                             bool write) {
  if (offset < 0) {
    errno = EINVAL;
    return fail();
  }
  size_t done = 0;
  while (done < count) {
    off_t at = (off_t)(offset + done);
    ssize_t r = write ? sysPwrite((int)h, buffer + done, count - done, at)
                      : sysPread((int)h, buffer + done, count - done, at);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (r == 0 && write) return platRecordErrorCode(EIO);  // nothing written, no reason given
    if (r == 0) break;
    done += (size_t)r;
  }
  return (long long)done;
}

// One positioned read or write, repeated only when a signal interrupted it.
long long platHostTransferOnce(PlatHandle h, long long offset, char* buffer, size_t count,
                               bool write) {
  if (offset < 0) {
    errno = EINVAL;
    return fail();
  }
  for (;;) {
    ssize_t r = write ? sysPwrite((int)h, buffer, count, (off_t)offset)
                      : sysPread((int)h, buffer, count, (off_t)offset);
    if (r >= 0) return (long long)r;
    if (errno != EINTR) return fail();
  }
}

namespace {
// Set once the kernel has said it cannot copy between the files of this run (a group and
// a target on different file systems, say): the refused call is not worth repeating for
// every file after.
std::atomic<bool> kernelCopyRefused{false};
}  // namespace

long long platCopyRange(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                        long long count) {
  // Under the failure seam the copy goes through reads and writes it can count and fail.
  if (platFaultOn() || kernelCopyRefused.load(std::memory_order_relaxed))
    return platCopyBuffered(src, srcOffset, dst, dstOffset, count);
  long long done = 0;
  while (done < count) {
    off_t in = (off_t)(srcOffset + done), out = (off_t)(dstOffset + done);
    ssize_t r = sysCopyRange((int)src, &in, (int)dst, &out, (size_t)(count - done));
    if (r > 0) {
      done += r;
      continue;
    }
    if (r == 0) return done;  // the source ended
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return fail();
    if (errno != EINVAL) kernelCopyRefused.store(true, std::memory_order_relaxed);
    break;  // not supported between these files: the rest goes through a buffer
  }
  if (done == count) return done;
  long long rest = platCopyBuffered(src, srcOffset + done, dst, dstOffset + done, count - done);
  return rest < 0 ? -1 : done + rest;
}

int platFlush(PlatHandle h) { return sysFsync((int)h) == 0 ? 0 : fail(); }

namespace {
// Writeback is started every kStretch bytes; once more than kDirtyMax bytes are started but
// not yet waited for, the writer waits for all but the last stretch. The stretch is
// large enough that the disk sees long runs and the calls cost nothing against the copy.
constexpr long long kStretch = 4 << 20;
constexpr long long kDirtyMax = 4 * kStretch;
}  // namespace

void platWriteBehindBegin(PlatWriteBehind* behind, PlatHandle h) {
  behind->handle = h;
  behind->started = behind->waited = 0;
  behind->off = h == INVALID_HANDLE;
}

namespace {
// Whether a failed sync_file_range only says it has nothing to do with this file (a pipe,
// a file system without it): then the final flush alone does the work.
bool unsupported(int error) { return error == EINVAL || error == ESPIPE || error == ENOSYS; }
}  // namespace

int platWriteBehind(PlatWriteBehind* behind, long long end) {
  if (behind->off || end - behind->started < kStretch) return 0;
  int fd = (int)behind->handle;
  if (sysSyncRange(fd, behind->started, end - behind->started, SYNC_FILE_RANGE_WRITE) != 0) {
    if (unsupported(errno)) return behind->off = 1, 0;
    return fail();
  }
  behind->started = end;
  if (behind->started - behind->waited <= kDirtyMax) return 0;
  long long upTo = behind->started - kStretch;
  // Waiting takes the file's write error, if any, away from the final fdatasync: it is
  // reported here instead.
  if (sysSyncRange(fd, behind->waited, upTo - behind->waited,
                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                       SYNC_FILE_RANGE_WAIT_AFTER) != 0)
    return fail();
  behind->waited = upTo;
  return 0;
}

int platSetWriteTime(PlatHandle h, std::int64_t time) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = (time_t)time;
  times[1].tv_nsec = 0;
  return sysSetFileTime((int)h, times) == 0 ? 0 : fail();
}

int platClose(PlatHandle h) {
  if (h == INVALID_HANDLE) return 0;
  return sysClose((int)h) == 0 ? 0 : fail();
}

int platFdOpenRead(const char* path) {
  // Opened without blocking, so that a pipe without a writer does not hang the caller;
  // reads block again as usual afterwards.
  PlatHandle h = openWith(path, O_RDONLY | O_NONBLOCK, 0);
  if (h == INVALID_HANDLE) return -1;
  // The run-time library refuses a directory here; opened, one would read as an empty
  // text file and a line reader would take it for a file with no lines.
  struct stat st;
  int statFailed = sysFstat((int)h, &st) != 0;
  if (statFailed || S_ISDIR(st.st_mode) || sysSetBlocking((int)h) != 0) {
    int why = statFailed || !S_ISDIR(st.st_mode) ? errno : EISDIR;
    sysClose((int)h);
    platRecordErrorCode(why);
    return -1;
  }
  return (int)h;
}

void platFdClose(int fd) {
  if (fd >= 0) sysClose(fd);
}

long platFdRead(int fd, void* buffer, unsigned long count) {
  // Whole like the run-time library's read of a file: short only at the end of the file.
  unsigned long done = 0;
  while (done < count) {
    ssize_t r = sysRead(fd, (char*)buffer + done, count - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return fail();
    if (r == 0) break;
    done += (unsigned long)r;
  }
  return (long)done;
}

long platFdWrite(int fd, const void* buffer, unsigned long count) {
  unsigned long done = 0;
  while (done < count) {
    ssize_t r = sysWrite(fd, (const char*)buffer + done, count - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (r == 0) return platRecordErrorCode(EIO);
    done += (unsigned long)r;
  }
  return (long)done;
}

long platFdSeek(int fd, long offset, int origin) {
  int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  off_t r = sysSeek(fd, (off_t)offset, whence);
  return r < 0 ? fail() : (long)r;
}

int platMakeDir(const char* path) {
  char host[PLAT_PATH_MAX];
  // The level itself is looked up without regard to case too, so that an existing
  // directory spelled otherwise is found (and reported as existing) rather than doubled.
  if (!platHostPath(path, host, sizeof host, 0)) {
    errno = ENAMETOOLONG;
    return fail();
  }
  return sysMkdir(host) == 0 ? 0 : fail();
}

namespace {

bool fillFindData(PlatFind* find, struct dirent* e, PlatFindData* data) {
  size_t len = strlen(e->d_name);
  if (len >= sizeof data->name) return false;
  data->unlooked = 0;
  // The callers want no size or time of a directory; one searching by names only, none of
  // a regular file either.
  if (e->d_type == DT_DIR || (find->namesOnly && e->d_type == DT_REG)) {
    memcpy(data->name, e->d_name, len + 1);
    data->isDirectory = e->d_type == DT_DIR;
    data->unlooked = !data->isDirectory;
    data->brokenLink = 0;
    data->sizeLow = 0;
    data->size = 0;
    data->writeTime = 0;
    return true;
  }
  struct stat st;
  data->brokenLink = 0;
  if (sysFstatAt(dirfd((DIR*)find->dir), e->d_name, &st, 0) != 0) {
    // A dangling link (or a loop of links) names no file; any other failure hides one that
    // is there, and a search that passed over it would leave it out without a word.
    if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) {
      find->unreadable = 1;
      fail();
      return false;
    }
    if (!find->withBroken || errno == ENOTDIR) return false;
    memcpy(data->name, e->d_name, len + 1);
    data->isDirectory = 0;
    data->sizeLow = 0;
    data->size = 0;
    data->writeTime = 0;
    data->brokenLink = 1;
    return true;
  }
  // Pipes, sockets and devices are not files to pack or read whole: opening a pipe
  // would wait for a writer forever.
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return false;
  memcpy(data->name, e->d_name, len + 1);
  data->isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
  data->sizeLow = (std::uint32_t)((unsigned long long)st.st_size & 0xFFFFFFFFu);
  data->size = S_ISREG(st.st_mode) ? (std::int64_t)st.st_size : 0;
  data->writeTime = (std::int64_t)st.st_mtime;
  return true;
}

}  // namespace

namespace {

// Opens the searched directory; a directory that exists but cannot be read is marked so,
// unlike one that is not there (a mask that finds nothing).
DIR* openSearched(PlatFind* find, const char* dirPart, size_t dirLen) {
  DIR* dir = sysOpenDir(find->hostDir);
  if (!dir && (errno == ENOENT || errno == ENOTDIR) && dirLen > 0 &&
      platHostPath(dirPart, find->hostDir, sizeof find->hostDir - 1)) {
    size_t hostLen = strlen(find->hostDir);
    if (find->hostDir[hostLen - 1] != '/') strcpy(find->hostDir + hostLen, "/");
    dir = sysOpenDir(find->hostDir);
  }
  if (!dir) {
    find->unreadable = errno != ENOENT && errno != ENOTDIR;
    fail();
    return nullptr;
  }
  struct stat st;
  if (sysFstat(dirfd(dir), &st) == 0) {
    find->device = (std::uint64_t)st.st_dev;
    find->inode = (std::uint64_t)st.st_ino;
  }
  return dir;
}

}  // namespace

namespace {

int searchFirst(PlatFind* find, const char* pattern, PlatFindData* data, int withBroken,
                int namesOnly = 0) {
  long split = platSplitFindPattern(find, pattern, false);
  if (split < 0) return 0;
  find->withBroken = withBroken;
  find->namesOnly = namesOnly;
  size_t dirLen = (size_t)split;
  char dirPart[PLAT_PATH_MAX];
  memcpy(dirPart, find->hostDir, dirLen + 1);
  if (dirLen == 0) {
    strcpy(find->hostDir, "./");
  } else {
    // The directory as spelled first; the case-blind lookup only when that fails.
    for (size_t i = 0; i < dirLen; i++)
      if (find->hostDir[i] == '\\') find->hostDir[i] = '/';
  }
  DIR* dir = openSearched(find, dirPart, dirLen);
  if (!dir) return 0;
  find->dir = dir;
  if (platFindNext(find, data)) return 1;
  platFindClose(find);
  return 0;
}

}  // namespace

int platFindFirst(PlatFind* find, const char* pattern, PlatFindData* data) {
  return searchFirst(find, pattern, data, 0);
}

int platFindFirstWithBroken(PlatFind* find, const char* pattern, PlatFindData* data) {
  return searchFirst(find, pattern, data, 1);
}

int platFindFirstNamesOnly(PlatFind* find, const char* pattern, PlatFindData* data) {
  return searchFirst(find, pattern, data, 1, 1);
}

int platLookInDir(PlatHandle dir, const char* name, PlatFindData* data) {
  struct stat st;
  if (sysFstatAt((int)dir, name, &st, 0) != 0)
    return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? 0 : fail();
  if (!S_ISREG(st.st_mode)) return 0;
  data->isDirectory = 0;
  data->brokenLink = 0;
  data->unlooked = 0;
  data->sizeLow = (std::uint32_t)((unsigned long long)st.st_size & 0xFFFFFFFFu);
  data->size = (std::int64_t)st.st_size;
  data->writeTime = (std::int64_t)st.st_mtime;
  return 1;
}

int platFindNext(PlatFind* find, PlatFindData* data) {
  if (!find->dir) return 0;
  for (;;) {
    errno = 0;
    struct dirent* e = sysReadDir((DIR*)find->dir);
    if (!e) break;
    if (!platMatchName(find->pattern, e->d_name)) continue;
    // A file that could not be looked at is passed over with unreadable set (the caller
    // decides): the manager's scan still takes the rest, the builder fails.
    if (fillFindData(find, e, data)) return 1;
  }
  if (errno != 0) {  // the listing broke off: what was not listed cannot be trusted absent
    find->unreadable = 1;
    fail();
  }
  return 0;
}

void platFindClose(PlatFind* find) {
  if (find->dir) sysCloseDir((DIR*)find->dir);
  find->dir = nullptr;
}

const char* platLastError() {
  if (!lastNote) return strerror(lastErrno);
  thread_local char text[256];
  snprintf(text, sizeof text, "%s %s", strerror(lastErrno), lastNote);
  return text;
}

void platWriteStderr(const char* text, size_t length) {
  while (length > 0) {
    ssize_t r = sysWriteStderr(text, length);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    text += r;
    length -= (size_t)r;
  }
}

int platKeyState(int) { return 0; }

void platHostMessageBox(const char* text, const char* caption) {
  if (caption && *caption) {
    platWriteStderr(caption, strlen(caption));
    platWriteStderr(": ", 2);
  }
  platWriteStderr(text, strlen(text));
  platWriteStderr("\n", 1);
}

int platOtherThreadsEnded() { return 0; }

int platOnFork(void (*before)(), void (*inParent)(), void (*inChild)()) {
  return pthread_atfork(before, inParent, inChild);
}

namespace {
// The host layer's own state in a child: the names armed and the writers in the gate were
// the parent's threads', which the child does not have.
[[maybe_unused]] const int forgetsParentWriters =
    platOnFork(nullptr, nullptr, platForgetOtherWriters);
}  // namespace

int platProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (int)online : 1;
}

PlatHandle platDuplicate(PlatHandle h) {
  int fd = sysDup((int)h);
  return fd >= 0 ? fd : (PlatHandle)fail();
}
