// The POSIX host layer's writing side: files made below a held directory without following
// links, new files that take their name only when complete, and the tool's signal handling.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "engine/kestin/ascii.h"
#include "engine/platform/platform.h"
#include "engine/platform/posix_sys.h"
#include "engine/platform/shared.h"

namespace {

int base(PlatHandle dir) { return dir == INVALID_HANDLE ? AT_FDCWD : (int)dir; }

PlatHandle invalid() {
  platRecordError();
  return INVALID_HANDLE;
}

bool sameNoCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    if (asciiLower((unsigned char)*a) != asciiLower((unsigned char)*b)) return false;
  }
  return *a == *b;
}

// The first name in byte order in dir that equals name without regard to case: 1 when
// found, 0 when there is none, -1 when dir could not be listed (errno tells why): a level
// made then could double one spelled otherwise.
int findNoCase(int dir, const char* name, char* out, size_t outSize) {
  DIR* listing = sysListAt(dir);
  if (!listing) return -1;
  int found = 0;
  errno = 0;
  while (struct dirent* e = sysReadDir(listing)) {
    if (!sameNoCase(e->d_name, name) || strlen(e->d_name) >= outSize) continue;
    if (!found || strcmp(e->d_name, out) < 0) {
      strcpy(out, e->d_name);
      found = 1;
    }
  }
  int broken = errno;
  sysCloseDir(listing);
  errno = broken;
  return broken ? -1 : found;
}

}  // namespace

PlatHandle platOpenLevel(PlatHandle dir, const char* name, int* isLink) {
  int made;
  return platOpenLevelNoting(dir, name, isLink, &made);
}

PlatHandle platOpenLevelNoting(PlatHandle dir, const char* name, int* isLink, int* made) {
  int at = base(dir);
  *isLink = 0;
  *made = 0;
  char found[256];
  const char* level = name;
  struct stat st;
  if (sysFstatAt(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return invalid();
    int match = findNoCase(at, name, found, sizeof found);
    if (match < 0) return invalid();
    if (match > 0) {
      level = found;
    } else if (sysMkdirAt(at, name) == 0) {
      *made = 1;
    } else if (errno != EEXIST) {
      return invalid();
    }
    if (sysFstatAt(at, level, &st, AT_SYMLINK_NOFOLLOW) != 0) return invalid();
  }
  if (S_ISLNK(st.st_mode)) {
    *isLink = 1;
    errno = ELOOP;
    return invalid();
  }
  // O_NOFOLLOW again: the name may have been swapped for a link since it was looked at.
  int fd = sysOpenAt(at, level, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) *isLink = 1;
    return invalid();
  }
  return fd;
}

PlatHandle platCreateInDir(PlatHandle dir, const char* name) {
  int fresh;
  return platCreateInDirNoting(dir, name, &fresh);
}

PlatHandle platCreateInDirNoting(PlatHandle dir, const char* name, int* fresh) {
  int at = base(dir);
  // The usual case, a name not taken yet: made here, it is a regular file and no link.
  // That spares a failing look at the name and a look at the new file for each one.
  int made = sysOpenAt(at, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *fresh = made >= 0;
  if (made >= 0) return made;
  if (errno != EEXIST) return invalid();
  for (int attempt = 0; attempt < 3; attempt++) {
    // What is neither a regular file nor a directory is replaced, as tar does: writing
    // would go through a link, or wait on a pipe. So is a file with other names: emptied
    // in place, it would change under those names too, wherever they are.
    struct stat st;
    bool replace = sysFstatAt(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   (S_ISREG(st.st_mode) ? st.st_nlink > 1 : !S_ISDIR(st.st_mode));
    if (replace && sysUnlinkAt(at, name) != 0 && errno != ENOENT) return invalid();
    // Once removed, the name is made anew: what appears there meanwhile is not written into.
    int flags =
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (replace ? O_EXCL : O_TRUNC);
    int fd = sysOpenAt(at, name, flags, 0666);
    if (fd >= 0 && platIsRegularFile(fd) == 1) return fd;  // O_NONBLOCK is void on a regular file
    if (fd >= 0) {
      sysClose(fd);
      errno = EINVAL;
    } else if (errno != ELOOP && errno != ENXIO && errno != EEXIST) {  // nothing swapped in
      return invalid();
    }
  }
  return invalid();
}

int platRemoveInDir(PlatHandle dir, const char* name) {
  return sysUnlinkAt(base(dir), name) == 0 ? 0 : platRecordError();
}

int platListForCaseMatch(PlatHandle dir, PlatListVisit visit, void* context) {
  int at = base(dir);
  DIR* listing = sysListAt(at);
  if (!listing) return platRecordError();
  errno = 0;
  while (struct dirent* e = sysReadDir(listing)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    int regular = e->d_type == DT_REG;
    struct stat st;  // some file systems leave the type to a look of its own
    if (e->d_type == DT_UNKNOWN && sysFstatAt(at, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      regular = S_ISREG(st.st_mode);
    visit(e->d_name, regular, context);
    errno = 0;
  }
  int broken = errno;
  sysCloseDir(listing);
  return broken ? platRecordErrorCode(broken) : 0;
}

// ---- new files and the signal handlers ---------------------------------------------------

namespace {

// unlinkat is safe in a signal handler; a partly written file's directory is one held open
// by the writer, a temporary name's is the current directory.
void unlinkName(PlatHandle dir, const char* path) { sysUnlinkAt(base(dir), path); }

// Removes the temporary names of unfinished new files and the files being written, then
// ends the process.
void onSignal(int sig) {
  int saved = errno;
  platRemoveArmedTempNames(unlinkName);
  // The handler was reset on entry: raised again, the signal ends the process as it would
  // have without us once this returns.
  raise(sig);
  errno = saved;
}

// The directory part of a host path: "." for a bare name, "/" for a name in the root.
void directoryOf(const char* path, char* dir, size_t size) {
  const char* slash = strrchr(path, '/');
  if (!slash)
    snprintf(dir, size, ".");
  else if (slash == path)
    snprintf(dir, size, "/");
  else
    snprintf(dir, size, "%.*s", (int)(slash - path), path);
}

// An anonymous file in the target's directory, if the file system can make one and this
// process can later give it a name through /proc.
int openAnonymous(const char* target) {
  char dir[PLAT_PATH_MAX];
  directoryOf(target, dir, sizeof dir);
  int fd = sysOpen(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (sysAccess(proc) == 0) return fd;
  sysClose(fd);
  return -1;
}

// Removes what a killed writer of target left: temporary names of target's pattern whose
// process is gone. A name whose process lives may be another writer's at work and stays,
// as does every other name. Best effort: what cannot be listed or removed stays too.
void removeStaleTempNames(const char* target) {
  char dir[PLAT_PATH_MAX];
  directoryOf(target, dir, sizeof dir);
  const char* targetName = platLastComponent(target);
  DIR* listing = sysListDir(dir);
  if (!listing) return;
  while (struct dirent* e = sysReadDir(listing)) {
    unsigned long pid;
    if (!platIsTempNameOf(targetName, e->d_name, &pid) || !sysProcessGone((long)pid)) continue;
    char path[PLAT_PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) < (int)sizeof path) sysUnlink(path);
  }
  sysCloseDir(listing);
}

int openNamed(PlatNewFile* file) {
  for (int attempt = 0; attempt < 100; attempt++) {
    if (!platTempName(file->target, (unsigned long)getpid(), file->temp, sizeof file->temp))
      return platRecordErrorCode(ENAMETOOLONG);
    int fd = sysOpen(file->temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file->slot = platArmTempName(file->temp);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  file->temp[0] = 0;
  return platRecordError();
}

// Gives the anonymous file a temporary name (a link cannot replace the target).
int nameAnonymous(PlatNewFile* file) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", (int)file->handle);
  for (int attempt = 0; attempt < 100; attempt++) {
    if (!platTempName(file->target, (unsigned long)getpid(), file->temp, sizeof file->temp))
      return platRecordErrorCode(ENAMETOOLONG);
    if (sysLinkAt(AT_FDCWD, proc, AT_FDCWD, file->temp, AT_SYMLINK_FOLLOW) == 0) {
      file->slot = platArmTempName(file->temp);
      file->anonymous = 0;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  file->temp[0] = 0;
  return platRecordError();
}

}  // namespace

int platNewFileCreate(PlatNewFile* file, const char* path) {
  file->handle = INVALID_HANDLE;
  file->anonymous = 0;
  file->durable = 1;
  file->slot = -1;
  file->temp[0] = 0;
  if (!platHostPath(path, file->target, sizeof file->target))
    return platRecordErrorCode(ENAMETOOLONG);
  removeStaleTempNames(file->target);
  int fd = openAnonymous(file->target);
  if (fd >= 0) {
    file->anonymous = 1;
  } else {
    fd = openNamed(file);
    if (fd < 0) return -1;
  }
  file->handle = fd;
  return 0;
}

int platNewFileCommit(PlatNewFile* file) {
  // The data reaches the disk before the file takes a name: a power cut could otherwise
  // keep the rename and lose the data, an empty or partial file where the old one was.
  if (file->durable && sysFdatasync((int)file->handle) != 0) {
    int error = errno;
    platNewFileDiscard(file);
    return platRecordErrorCode(error);
  }
  if (file->anonymous && nameAnonymous(file) != 0) {
    sysClose((int)file->handle);  // unnamed, the file goes with its last descriptor
    file->handle = INVALID_HANDLE;
    return -1;
  }
  // A file system may report a failed write only now, on close: checked before the rename.
  int closed = platClose(file->handle);
  file->handle = INVALID_HANDLE;
  if (closed != 0 || sysRename(file->temp, file->target) != 0) {
    int error = closed != 0 ? -1 : errno;
    sysUnlink(file->temp);
    platDisarmTempName(file->slot);
    file->slot = -1;
    return error < 0 ? -1 : platRecordErrorCode(error);
  }
  platDisarmTempName(file->slot);
  file->slot = -1;
  // The rename lasts through a power cut only once its directory is on the disk. The new
  // file is in place by now, yet the caller must hear of it: the old one may come back.
  if (!file->durable) return 0;
  char dir[PLAT_PATH_MAX];
  directoryOf(file->target, dir, sizeof dir);
  if (sysFlushDirectory(dir) != 0)
    return platRecordErrorNoted(errno,
                                "while flushing its directory (the new file is in place, but "
                                "a power cut may undo the replacement)");
  return 0;
}

void platNewFileDiscard(PlatNewFile* file) {
  if (file->handle != INVALID_HANDLE) sysClose((int)file->handle);
  file->handle = INVALID_HANDLE;
  if (file->temp[0]) sysUnlink(file->temp);
  platDisarmTempName(file->slot);
  file->slot = -1;
}

void platInstallToolSignals() {
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}
