// The POSIX host layer's writing side: files made below a held directory without following
// links, new files that take their name only when complete, and the tool's signal handling.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <atomic>
#include <initializer_list>

#include "engine/platform/ascii.h"
#include "engine/platform/faults.h"
#include "engine/platform/platform.h"
#include "engine/platform/posix_sys.h"
#include "engine/platform/shared.h"

namespace {

int base(PlatHandle dir) { return dir == INVALID_HANDLE ? AT_FDCWD : (int)dir; }

PlatHandle invalid() {
  platRecordError();
  return INVALID_HANDLE;
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
    if (!asciiEqualAnyCase(e->d_name, name) || strlen(e->d_name) >= outSize) continue;
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
  platMoment(PLAT_MOMENT_LEVEL_LOOKED, level);
  // O_NOFOLLOW again: the name may have been swapped for a link since it was looked at.
  int fd = sysOpenAt(at, level, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // With O_DIRECTORY, Linux refuses a link as "not a directory": look again to say which.
    if (errno == ENOTDIR) {
      bool link = sysFstatAt(at, level, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      errno = link ? ELOOP : ENOTDIR;
    }
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

std::atomic<bool> toolSignalsInstalled{false};
thread_local bool toolSignalsBlocked = false;  // for good, by platBlockToolSignals

void toolSignalSet(sigset_t* set) {
  sigemptyset(set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(set, sig);
}

// Inside the name gate for its lifetime, with the tool's signals blocked in this thread:
// a handler running on top of a thread inside the gate would wait for it forever.
class t_gate {
 public:
  t_gate() {
    masked_ = toolSignalsInstalled.load() && !toolSignalsBlocked;
    if (masked_) {
      sigset_t set;
      toolSignalSet(&set);
      pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    platEnterNameGate();
  }
  ~t_gate() {
    platLeaveNameGate();
    int error = errno;  // the caller's reason survives the unmasking
    if (masked_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    errno = error;
  }
  t_gate(const t_gate&) = delete;
  t_gate& operator=(const t_gate&) = delete;

 private:
  bool masked_;
  sigset_t saved_;
};

// unlinkat is safe in a signal handler; a partly written file's directory is one held open
// by the writer, a temporary name's is the current directory.
void unlinkName(PlatHandle dir, const char* path) { sysUnlinkAt(base(dir), path); }

// Removes the temporary names of unfinished new files and the files being written, then
// ends the process. Closing the gate first waits for the writing threads in the middle of
// making or naming a file and stops them there: none makes a file the handler would miss,
// and no slot changes while it is read.
void onSignal(int sig) {
  int saved = errno;
  platCloseNameGate();
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
void removeStaleTempNames(PlatNewFile* file) {
  char dir[PLAT_PATH_MAX];
  directoryOf(file->target, dir, sizeof dir);
  const char* targetName = platLastComponent(file->target);
  DIR* listing = sysListDir(dir);
  if (!listing) return;
  while (struct dirent* e = sysReadDir(listing)) {
    if (!platIsStaleTempNameOf(targetName, e->d_name)) continue;
    char path[PLAT_PATH_MAX];
    struct stat st;
    if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= (int)sizeof path ||
        sysLstat(path, &st) != 0 || !S_ISREG(st.st_mode) || sysUnlink(path) != 0)
      continue;
    file->debrisRemoved++;
    strcpy(file->debris, path);
  }
  sysCloseDir(listing);
}

// What platMakeTempBeside's make returns for a call that failed (recorded here): 0 when
// the name was taken, so that another is tried.
int failedMaking() {
  bool taken = errno == EEXIST;
  platRecordError();
  return taken ? 0 : -1;
}

// The new file under a temporary name beside the target, where it cannot be anonymous.
int openNamed(PlatNewFile* file) {
  auto make = [](const char* temp, void* context) {
    auto* f = static_cast<PlatNewFile*>(context);
    int fd = sysOpen(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return failedMaking();
    f->handle = fd;
    f->slot = platArmTempName(temp);
    return 1;
  };
  return platMakeTempBeside(file->target, file->temp, sizeof file->temp, make, file);
}

// Gives the anonymous file a temporary name (a link cannot replace the target).
int nameAnonymous(PlatNewFile* file) {
  auto make = [](const char* temp, void* context) {
    auto* f = static_cast<PlatNewFile*>(context);
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", (int)f->handle);
    if (sysLinkAt(AT_FDCWD, proc, AT_FDCWD, temp, AT_SYMLINK_FOLLOW) != 0) return failedMaking();
    f->slot = platArmTempName(temp);
    f->anonymous = 0;
    return 1;
  };
  return platMakeTempBeside(file->target, file->temp, sizeof file->temp, make, file);
}

}  // namespace

int platNewFileCreate(PlatNewFile* file, const char* path) {
  if (platNewFileStart(file, path) != 0) return -1;
  removeStaleTempNames(file);
  int fd = openAnonymous(file->target);
  if (fd < 0) return openNamed(file);
  file->handle = fd;
  file->anonymous = 1;
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

PlatHandle platHostCreateNewInDir(PlatHandle dir, const char* name, int* taken) {
  int fd = sysOpenAt(base(dir), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *taken = fd < 0 && errno == EEXIST;
  return fd >= 0 ? fd : invalid();
}

void platHostInNameGate(void (*work)(void* context), void* context) {
  t_gate gate;
  work(context);
}

PlatHandle platOpenKeepableInDir(PlatHandle dir, const char* name, long long* size) {
  int fd = sysOpenAt(base(dir), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return invalid();
  struct stat st;
  if (sysFstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != geteuid() || !(st.st_mode & S_IWUSR)) {
    sysClose(fd);
    return INVALID_HANDLE;
  }
  *size = (long long)st.st_size;
  return fd;
}

int platTouch(PlatHandle h) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_nsec = UTIME_NOW;
  return sysSetFileTime((int)h, times) == 0 ? 0 : platRecordError();
}

int platReplaceGuardedInDir(PlatHandle dir, const char* temp, const char* name, int token) {
  t_gate gate;
  int renamed = sysRenameAt(base(dir), temp, base(dir), name);
  int error = errno;
  if (renamed != 0) sysUnlinkAt(base(dir), temp);
  platDisarmTempName(token);
  return renamed == 0 ? 0 : platRecordErrorCode(error);
}

void platDropGuardedInDir(PlatHandle dir, const char* name, int token) {
  t_gate gate;
  sysUnlinkAt(base(dir), name);
  platDisarmTempName(token);
}


// ---- spare files ------------------------------------------------------------------------

namespace {

// The inode flags that make a file other than a new one (or, on a directory, that its new
// files inherit): a spare must have none, and its directory none either.
#ifdef __linux__
constexpr unsigned kTellingFlags =
    FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_IMMUTABLE_FL | FS_APPEND_FL |
    FS_NODUMP_FL | FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL |
    FS_PROJINHERIT_FL | FS_NOCOMP_FL | FS_ENCRYPT_FL | FS_CASEFOLD_FL | FS_VERITY_FL | FS_DAX_FL;
#else
constexpr unsigned kTellingFlags = ~0u;
#endif

// The mode a new file of mode 0666 gets (the process's umask applied), or -1 when it cannot
// be told: read once from /proc, as asking for the umask changes it for every thread.
int newFileMode() {
  static const int mode = [] {
    int fd = sysOpen("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[4096];
    ssize_t n = sysPread(fd, text, sizeof text - 1, 0);
    sysClose(fd);
    if (n <= 0) return -1;
    text[n] = 0;
    const char* line = strstr(text, "\nUmask:");
    unsigned umaskBits;
    if (!line || sscanf(line + 7, "%o", &umaskBits) != 1) return -1;
    return (int)(0666 & ~umaskBits);
  }();
  return mode;
}

// Whether the open file is one a new file could be in its stead: regular, one name, this
// user's, no extended attribute and no telling flag. Its stat in *st.
bool plainOwnFile(int fd, struct stat* st) {
  unsigned flags = 0;
  return sysFstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_nlink == 1 &&
         st->st_uid == geteuid() && sysAttributeNames(fd) == 0 &&
         sysInodeFlags(fd, &flags) == 0 && (flags & kTellingFlags) == 0;
}

// The group a new file in dir gets, when a spare may take a new file's place there (no
// extended attribute such as a default ACL, no flag its files inherit); else -1.
long long newFileGroup(int dir) {
  struct stat st;
  unsigned flags = 0;
  if (sysFstat(dir, &st) != 0 || sysAttributeNames(dir) != 0 ||
      sysInodeFlags(dir, &flags) != 0 || (flags & kTellingFlags) != 0)
    return -1;
  return (st.st_mode & S_ISGID) ? (long long)st.st_gid : (long long)getegid();
}

// Removes a kept copy's name, once more after a failure: a name left would be debris beside
// a complete tree. 0, or -1 with the reason recorded.
int removeKept(int dir, const char* name) {
  for (int attempt = 0; attempt < 2; attempt++)
    if (sysUnlinkAt(dir, name) == 0 || errno == ENOENT) return 0;
  return platRecordError();
}

int removeSpare(PlatSpare* s) {
  sysClose((int)s->handle);
  int removed;
  {
    t_gate gate;
    removed = removeKept((int)s->dir, s->name);  // its blocks are freed here, one wait
    platDisarmTempName(s->token);
  }
  sysClose((int)s->dir);
  return removed;
}

// Makes spare i a new file beside name in dir for size bytes: its handle, or -1 when it
// cannot be one (the spare is then removed). The spare leaves the list either way.
int prepareSpare(PlatSpares* spares, int i, int dir, const char* name, long long size,
                 char* temp, size_t tempSize, int* token) {
  PlatSpare s = spares->spare[i];
  spares->spare[i] = spares->spare[--spares->count];
  struct stat st;
  long long group = newFileGroup(dir);
  int mode = newFileMode();
  // Nobody may hold it open: a reader of the file it was would see other bytes.
  bool fit = group >= 0 && mode >= 0 && plainOwnFile((int)s.handle, &st) &&
             (long long)st.st_gid == group && sysOpenNowhereElse((int)s.handle) == 1 &&
             ((st.st_mode & 07777) == (mode_t)mode || sysSetMode((int)s.handle, (mode_t)mode) == 0);
  if (fit) {
    t_gate gate;
    fit = false;
    for (int attempt = 0; attempt < 100 && !fit; attempt++) {
      if (!platTempName(name, (unsigned long)getpid(), temp, tempSize)) break;
      fit = sysRenameNewAt((int)s.dir, s.name, dir, temp) == 0;
      if (!fit && errno != EEXIST) break;
    }
    if (fit) {
      platDisarmTempName(s.token);
      *token = platArmTempNameIn(dir, temp);
    }
  }
  if (!fit) {
    removeSpare(&s);
    return -1;
  }
  sysClose((int)s.dir);
  // Dated as a new file is (its last access too), and cut to the new size.
  int handle = (int)s.handle;
  struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  if ((st.st_size > size && sysTruncate(handle, size) != 0) || sysSetFileTime(handle, now) != 0) {
    sysClose(handle);
    platDropGuardedInDir(dir, temp, *token);
    *token = -1;
    return -1;
  }
  return handle;
}

// Where the host cannot exchange two names, replacements rename as platReplaceGuardedInDir.
std::atomic<bool> noExchange{false};

// Takes the old copy now named temp in dir (a replacement put it there) into the spares, or
// removes it. Inside the gate on entry.
void keepOldCopy(PlatSpares* spares, int dir, const char* temp, int token) {
  struct stat st;
  int fd = -1;
  if (strlen(temp) < sizeof spares->spare[0].name && sysFstatAt(dir, temp, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid())
    fd = sysOpenAt(dir, temp, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat held;
  int dirCopy = -1;
  if (fd >= 0 && plainOwnFile(fd, &held) && held.st_ino == st.st_ino && held.st_dev == st.st_dev)
    dirCopy = sysDup(dir);
  if (dirCopy < 0) {
    if (fd >= 0) sysClose(fd);
    removeKept(dir, temp);
    platDisarmTempName(token);
    return;
  }
  // On the list by its own handle on the directory: the caller's may close before it goes.
  // Without a place on the list it is not kept: an interrupt would leave it.
  platDisarmTempName(token);
  PlatSpare fresh{dirCopy, fd, (long long)held.st_blocks * 512, platArmTempNameIn(dirCopy, temp),
                  {0}};
  strcpy(fresh.name, temp);
  if (fresh.token < 0) {
    sysClose(fd);
    removeKept(dir, temp);
    sysClose(dirCopy);
    return;
  }
  if (spares->count < PLAT_SPARE_MAX) {
    spares->spare[spares->count++] = fresh;
    return;
  }
  // Full: the largest goes, as a small spare takes a file of any size by growing.
  int largest = 0;
  for (int i = 1; i < spares->count; i++)
    if (spares->spare[i].allocated > spares->spare[largest].allocated) largest = i;
  PlatSpare out = fresh;
  if (spares->spare[largest].allocated > fresh.allocated) {
    out = spares->spare[largest];
    spares->spare[largest] = fresh;
  }
  sysClose((int)out.handle);
  removeKept((int)out.dir, out.name);
  platDisarmTempName(out.token);
  sysClose((int)out.dir);
}

}  // namespace


PlatHandle platTakeSpareInDir(PlatSpares* spares, PlatHandle dir, const char* name,
                              long long size, char* temp, size_t tempSize, int* token) {
  *token = -1;
  // The largest spare the file fills without freeing a block: a block more only grows it.
  long long need = (size + 4095) / 4096 * 4096;
  for (;;) {
    int best = -1;
    for (int i = 0; i < spares->count; i++) {
      long long a = spares->spare[i].allocated;
      if (a <= need && (best < 0 || a > spares->spare[best].allocated)) best = i;
    }
    if (best < 0) return INVALID_HANDLE;
    int handle = prepareSpare(spares, best, base(dir), name, size, temp, tempSize, token);
    if (handle >= 0) return handle;
  }
}

int platReplaceKeepingInDir(PlatSpares* spares, PlatHandle dir, const char* temp,
                            const char* name, int token) {
  if (noExchange.load()) return platReplaceGuardedInDir(dir, temp, name, token);
  {
    t_gate gate;
    int at = base(dir);
    if (sysExchangeAt(at, temp, at, name) == 0) {
      struct stat st;
      if (sysFstatAt(at, temp, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        keepOldCopy(spares, at, temp, token);
        return 0;
      }
      // A directory of that name (made meanwhile) is no file to replace: put back.
      int error = sysExchangeAt(at, temp, at, name) == 0 ? EISDIR : errno;
      sysUnlinkAt(at, temp);
      platDisarmTempName(token);
      return platRecordErrorCode(error);
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
      noExchange.store(true);
    } else if (error != ENOENT) {
      sysUnlinkAt(at, temp);
      platDisarmTempName(token);
      return platRecordErrorCode(error);
    }
  }
  // Nothing of the name to exchange with (it went meanwhile), or no exchange here.
  return platReplaceGuardedInDir(dir, temp, name, token);
}

int platDropSpares(PlatSpares* spares) {
  int failed = 0;
  while (spares->count > 0) failed |= removeSpare(&spares->spare[--spares->count]);
  return failed ? -1 : 0;
}

int platIsSameFileInDir(PlatHandle dir, const char* name, PlatHandle file) {
  struct stat named, open;
  return sysFstatAt(base(dir), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         sysFstat((int)file, &open) == 0 && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

unsigned long platHostProcessId() { return (unsigned long)getpid(); }

bool platHostProcessGone(unsigned long pid) { return sysProcessGone((long)pid); }

int platHostFailNameTooLong() { return platRecordErrorCode(ENAMETOOLONG); }

void platBlockToolSignals() {
  sigset_t set;
  toolSignalSet(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  toolSignalsBlocked = true;
}

void platHostParkForever() {
  for (;;) pause();
}

void platHostYield() { sched_yield(); }

void platHostDropHandle(PlatHandle h) { sysClose((int)h); }

void platHostDropPath(const char* path) { sysUnlink(path); }

// ---- the file a new file replaces, and its writers' lock ----------------------------------

int platFollowLinks(const char* path, char* out, size_t outSize) {
  char host[PLAT_PATH_MAX];
  if (!platHostPath(path, host, sizeof host)) return platHostFailNameTooLong();
  struct stat st;
  const char* result = host;
  char resolved[PLAT_PATH_MAX];
  // Only a link of the last name matters: a rename replaces that name, whatever the
  // directories before it are.
  if (sysLstat(host, &st) == 0 && S_ISLNK(st.st_mode)) {
    if (!sysRealPath(host, resolved)) return platRecordError();
    result = resolved;
  }
  if (strlen(result) >= outSize) return platRecordErrorCode(ENAMETOOLONG);
  strcpy(out, result);
  return 0;
}

namespace {

bool sameIdentity(const char* a, const char* b) {
  struct stat x, y;
  return sysFstatAt(AT_FDCWD, a, &x, 0) == 0 && sysFstatAt(AT_FDCWD, b, &y, 0) == 0 &&
         x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

int platSamePlace(const char* a, const char* b) {
  char x[PLAT_PATH_MAX], y[PLAT_PATH_MAX];
  if (platFollowLinks(a, x, sizeof x) != 0 || platFollowLinks(b, y, sizeof y) != 0) return 0;
  if (sysAccess(x) == 0 && sysAccess(y) == 0) return sameIdentity(x, y);
  // A name not made yet: the case-blind lookup of every later open would take either
  // spelling for the other once one of them exists.
  char dirX[PLAT_PATH_MAX], dirY[PLAT_PATH_MAX];
  directoryOf(x, dirX, sizeof dirX);
  directoryOf(y, dirY, sizeof dirY);
  return asciiEqualAnyCase(platLastComponent(x), platLastComponent(y)) &&
         sameIdentity(dirX, dirY);
}

namespace {

long long nowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void sleepMs(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

// Whether the companion held on fd still has its name: its last holder removes it before
// letting go, and a waiter then holds a file nobody else will look at.
int stillNamed(int fd, const char* path) {
  struct stat held, named;
  if (sysFstat(fd, &held) != 0) return platRecordError();
  if (!S_ISREG(held.st_mode)) return platRecordErrorCode(EINVAL);
  if (sysLstat(path, &named) != 0) return errno == ENOENT ? 0 : platRecordError();
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

enum { kHeld, kBusy, kStale, kUntrusted, kFailed };

// One try at the flock of the companion open on fd, inside the name gate: kHeld (the lock is
// the caller's and its companion on the interrupt list), kBusy (another holds it), kStale
// (held, but the companion lost its name meanwhile: try again), kUntrusted (held, but it
// cannot be told whether the name is still the companion's), kFailed (recorded).
int tryHold(PlatFileLock* lock, int fd) {
  if (sysFlock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK || errno == EINTR) return kBusy;
    platRecordError();
    return kFailed;
  }
  int named = stillNamed(fd, lock->path);
  if (named < 0) return kUntrusted;
  if (named == 0) return kStale;
  lock->handle = fd;
  lock->slot = platArmTempName(lock->path);
  return kHeld;
}

}  // namespace

int platLockFile(PlatFileLock* lock, const char* hostPath, int waitMs) {
  lock->handle = INVALID_HANDLE;
  lock->slot = -1;
  int length = snprintf(lock->path, sizeof lock->path, "%s.lock", hostPath);
  if (length < 0 || length >= (int)sizeof lock->path) {
    platRecordErrorCode(ENAMETOOLONG);
    return PLAT_LOCK_FAILED;
  }
  long long deadline = nowMs() + waitMs;
  for (;;) {
    // A link, a pipe, a directory or a device of that name is no lock of ours: neither used
    // nor removed.
    struct stat st;
    int looked = sysLstat(lock->path, &st);
    if (looked == 0 && !S_ISREG(st.st_mode)) {
      platRecordErrorNoted(EEXIST, "(and is no regular file: it is left as it is; remove it "
                                   "if it is not yours)");
      return PLAT_LOCK_FAILED;
    }
    if (looked != 0 && errno != ENOENT) {
      platRecordError();
      return PLAT_LOCK_FAILED;
    }
    // Read-only is enough for flock, and lets a user who may only read it wait too. Never
    // through a link planted under the companion's name (made between the look and the open).
    // Made, locked and put on the interrupt list with no handler in between: an interrupt
    // never leaves behind a companion this process made.
    int fd, state;
    {
      t_gate gate;
      fd = sysOpen(lock->path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
      if (fd < 0) {
        platRecordError();
        return PLAT_LOCK_FAILED;
      }
      state = tryHold(lock, fd);
    }
    // The waits between tries are outside the gate, so an interrupt ends a long wait.
    for (int delay = 1; state == kBusy && nowMs() < deadline; delay = delay < 50 ? delay * 2 : 50) {
      sleepMs(delay);
      t_gate gate;
      state = tryHold(lock, fd);
    }
    if (state == kHeld) return PLAT_LOCKED;
    if (state == kUntrusted)
      sysReleaseLock(fd, lock->path);  // held, but not to be trusted: removed as on release
    else
      sysClose(fd);  // not held, or its name is another's by now: left alone
    if (state != kStale) return state == kBusy ? PLAT_LOCK_BUSY : PLAT_LOCK_FAILED;
  }
}

void platUnlockFile(PlatFileLock* lock) {
  if (lock->handle == INVALID_HANDLE) return;
  // Off the interrupt handlers' list first: once removed, the name may be another
  // holder's companion.
  // Inside the gate: an interrupt between the two steps would leave the companion behind.
  t_gate gate;
  platDisarmTempName(lock->slot);
  lock->slot = -1;
  sysReleaseLock((int)lock->handle, lock->path);
  lock->handle = INVALID_HANDLE;
}

void platInstallToolSignals() {
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESETHAND;
  toolSignalSet(&action.sa_mask);  // one handler at a time; the first signal decides the end
  toolSignalsInstalled.store(true);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}
