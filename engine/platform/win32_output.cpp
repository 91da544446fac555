// The Win32 host layer's writing side: files made below a held directory without following
// links (reparse points), new files that take their name only when complete, and the
// tool's console-control handling.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include "engine/platform/platform.h"
#include "engine/platform/shared.h"
#include "engine/platform/win32_sys.h"

// FILE_OPEN_REPARSE_POINT and friends: the native create options mingw's winternl.h leaves
// out.
#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif
#ifndef FILE_DELETE_ON_CLOSE
#define FILE_DELETE_ON_CLOSE 0x00001000
#endif

namespace {

HANDLE toWin(PlatHandle h) { return reinterpret_cast<HANDLE>(h); }
PlatHandle fromWin(HANDLE h) { return reinterpret_cast<PlatHandle>(h); }

// The directory to start from: dir itself, or the current directory (held for the call)
// when dir is INVALID_HANDLE, which the native call would take for the process.
struct t_base {
  HANDLE dir;
  bool own;
};

bool openBase(PlatHandle dir, t_base* base) {
  base->own = dir == INVALID_HANDLE;
  base->dir = base->own ? toWin(platOpenHostDir(".")) : toWin(dir);
  return base->dir != INVALID_HANDLE_VALUE;
}

void closeBase(const t_base& base) {
  if (base.own) sysCloseHandle(base.dir);
}

// Opens name inside dir (INVALID_HANDLE: the current directory) with one relative open.
HANDLE openIn(PlatHandle dir, const char* name, ACCESS_MASK access, ULONG disposition,
              ULONG options) {
  t_base base;
  if (!openBase(dir, &base)) return INVALID_HANDLE_VALUE;
  HANDLE h = sysOpenRelative(base.dir, name, access, disposition, options);
  closeBase(base);
  return h;
}

// Whether an open file is a link (reparse point): 1 or 0, or -1 when it cannot be told
// (then nothing is written through it).
int isReparsePoint(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!sysFileInfo(h, &info)) return -1;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
}

// Whether an open file must be replaced rather than written: a link (reparse point), or
// a file with more names than this one; -1 when it cannot be told.
int isReplaced(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!sysFileInfo(h, &info)) return -1;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1;
}

// Removes name in dir without following it: a link goes, its target stays.
bool removeRelative(HANDLE dir, const char* name) {
  HANDLE h =
      sysOpenRelative(dir, name, DELETE, FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE);
  if (h == INVALID_HANDLE_VALUE) return false;
  sysCloseHandle(h);
  return true;
}

}  // namespace

PlatHandle platOpenLevelNoting(PlatHandle dir, const char* name, int* isLink, int* made) {
  *made = 0;  // Windows finds a level whatever its case: nothing to look up by case
  return platOpenLevel(dir, name, isLink);
}

PlatHandle platOpenLevel(PlatHandle dir, const char* name, int* isLink) {
  *isLink = 0;
  t_base base;
  if (!openBase(dir, &base)) return INVALID_HANDLE;
  // Opened or made in one step, the name matched without regard to case by Windows itself;
  // FILE_OPEN_REPARSE_POINT opens a link (or junction) as itself instead of its target.
  HANDLE h = sysOpenRelative(base.dir, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_OPEN_IF,
                             FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  closeBase(base);
  if (h == INVALID_HANDLE_VALUE) return INVALID_HANDLE;
  int link = isReparsePoint(h);
  if (link != 0) {
    sysCloseHandle(h);
    *isLink = link > 0;
    if (link > 0) failText("a link");
    return INVALID_HANDLE;
  }
  return fromWin(h);
}

PlatHandle platCreateInDir(PlatHandle dir, const char* name) {
  t_base base;
  if (!openBase(dir, &base)) return INVALID_HANDLE;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 3; attempt++) {
    // Opened without emptying: what is there is looked at first.
    h = sysOpenRelative(base.dir, name, GENERIC_WRITE, FILE_OPEN_IF,
                        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY);
    if (h == INVALID_HANDLE_VALUE) break;
    int replaced = isReplaced(h);
    if (replaced <= 0) {
      if (replaced < 0 || !sysSetEndOfFile(h, 0)) {
        sysCloseHandle(h);
        h = INVALID_HANDLE_VALUE;
      }
      break;
    }
    // A link of that name is replaced, as tar does: writing would go through it. So is a
    // file with other names, which would change under them too. Tried again only when one
    // is swapped in between.
    sysCloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    if (!removeRelative(base.dir, name)) break;
    failText("a link kept coming back");
  }
  closeBase(base);
  return fromWin(h);
}

PlatHandle platCreateInDirNoting(PlatHandle dir, const char* name, int* fresh) {
  *fresh = 0;  // a file whose name differs only in case was opened by Windows itself
  return platCreateInDir(dir, name);
}

int platListForCaseMatch(PlatHandle, PlatListVisit, void*) { return 0; }

int platRemoveInDir(PlatHandle dir, const char* name) {
  t_base base;
  if (!openBase(dir, &base)) return -1;
  bool removed = removeRelative(base.dir, name);
  closeBase(base);
  return removed ? 0 : -1;
}

// ---- new files and the console-control handler -------------------------------------------

namespace {

// A name in a held directory is reached through the directory's own path: deleting,
// unlike an open of the name, shares writing with the main thread still writing the file,
// which goes once its last handle closes at the end of the process.
void deleteName(PlatHandle dir, const char* path) {
  if (dir == INVALID_HANDLE) {
    sysDeleteFile(path);
    return;
  }
  char full[PLAT_PATH_MAX];
  DWORD n = GetFinalPathNameByHandleA(toWin(dir), full, sizeof full, FILE_NAME_NORMALIZED);
  if (n == 0 || n + 1 + strlen(path) >= sizeof full) return;
  full[n] = '\\';
  strcpy(full + n + 1, path);
  sysDeleteFile(full);
}

// Runs on a thread of its own when the console is interrupted or closed. The files are
// open with delete sharing, so they can go while the main thread still writes; returning
// FALSE lets the default handler end the process as it would have.
BOOL WINAPI onConsoleEvent(DWORD) {
  platCloseNameGate();  // the writing threads stop where the list holds still
  platRemoveArmedTempNames(deleteName);
  return FALSE;
}

// Removes what a killed writer of target left: temporary names of target's pattern whose
// process is gone. A name whose process lives may be another writer's at work and stays,
// as does every other name. Best effort: what cannot be listed or removed stays too.
void removeStaleTempNames(PlatNewFile* file) {
  const char* target = file->target;
  const char* targetName = platLastComponent(target);
  char pattern[PLAT_PATH_MAX];
  if (snprintf(pattern, sizeof pattern, "%s" PLAT_TEMP_MARK "*", target) >= (int)sizeof pattern)
    return;
  WIN32_FIND_DATAA found;
  HANDLE search = sysFindFirst(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    // Only a plain file: a directory or a link of that name is not the tool's.
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !platIsStaleTempNameOf(targetName, found.cFileName))
      continue;
    char path[PLAT_PATH_MAX];
    int length =
        snprintf(path, sizeof path, "%.*s%s", (int)(targetName - target), target, found.cFileName);
    if (length >= (int)sizeof path || !sysDeleteFile(path)) continue;
    file->debrisRemoved++;
    strcpy(file->debris, path);
  } while (sysFindNext(search, &found) == 1);
  sysFindClose(search);
}

}  // namespace

int platNewFileCreate(PlatNewFile* file, const char* path) {
  // Windows has no anonymous files: always a temporary name beside the target.
  if (platNewFileStart(file, path) != 0) return -1;
  removeStaleTempNames(file);
  auto make = [](const char* temp, void* context) {
    auto* f = static_cast<PlatNewFile*>(context);
    HANDLE h =
        sysCreateFile(temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (h == INVALID_HANDLE_VALUE) return lastFailureIs(ERROR_FILE_EXISTS) ? 0 : -1;
    f->handle = fromWin(h);
    f->slot = platArmTempName(temp);
    return 1;
  };
  return platMakeTempBeside(file->target, file->temp, sizeof file->temp, make, file);
}

namespace {

// Flushes the directory that holds the host path target: 0 when flushed or when the system
// does not allow it, -1 on failure (recorded).
int flushDirectoryOf(const char* target) {
  char dir[PLAT_PATH_MAX];
  const char* leaf = platLastComponent(target);
  size_t length = (size_t)(leaf - target);
  if (length == 0) {
    strcpy(dir, ".");
  } else {
    // "C:\\" keeps its separator (the root); "dir\\" does not need it.
    bool root = length == 3 && target[1] == ':';
    size_t keep = root ? length : length - 1;
    memcpy(dir, target, keep);
    dir[keep] = 0;
  }
  return sysFlushDirectory(dir) < 0 ? -1 : 0;
}

}  // namespace

int platNewFileCommit(PlatNewFile* file) {
  // The data reaches the disk before the file takes the target's name, as on POSIX, whichever
  // way the rename then goes (the classic move or its POSIX-semantics fallback).
  if (file->durable && !sysFlush(toWin(file->handle))) {
    platNewFileDiscard(file);
    return -1;
  }
  // A failed close is checked before the rename, as on POSIX.
  int closed = platClose(file->handle);
  file->handle = INVALID_HANDLE;
  bool moved = closed == 0 && sysMoveFile(file->temp, file->target);
  if (!moved) sysDeleteFile(file->temp);
  platDisarmTempName(file->slot);
  file->slot = -1;
  if (!moved) return -1;
  // A rename within one volume is a change of the directory, which no flag of the move
  // flushes: the directory is flushed where the system allows it (NTFS, with a handle open
  // for writing). Where it refuses, the rename rests on the file system's own journal and
  // a power cut may undo it; a flush that fails otherwise fails the commit, as on POSIX.
  if (file->durable && flushDirectoryOf(file->target) != 0)
    return (int)failNote(
        "while flushing its directory (the new file is in place, but a power cut may undo the "
        "replacement)");
  return 0;
}

void platHostDropHandle(PlatHandle h) { sysCloseHandle(toWin(h)); }

void platHostDropPath(const char* path) { sysDeleteFile(path); }

// ---- the file a new file replaces, and its writers' lock ----------------------------------

int platFollowLinks(const char* path, char* out, size_t outSize) {
  char host[PLAT_PATH_MAX], final[PLAT_PATH_MAX];
  if (!platHostPath(path, host, sizeof host)) return platHostFailNameTooLong();
  const char* result = host;
  DWORD attributes = sysAttributes(host);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!sysFinalPath(host, final, sizeof final)) return -1;
    // \\?\C:\... as C:\..., and \\?\UNC\server\... as \\server\..., where the plain form is
    // short enough for the ANSI calls.
    result = final;
    if (strncmp(final, "\\\\?\\UNC\\", 8) == 0 && strlen(final) - 6 < MAX_PATH) {
      final[6] = '\\';
      result = final + 6;
    } else if (strncmp(final, "\\\\?\\", 4) == 0 && final[5] == ':' &&
               strlen(final) - 4 < MAX_PATH) {
      result = final + 4;
    }
  }
  if (strlen(result) >= outSize) return (int)failWin32(ERROR_FILENAME_EXCED_RANGE);
  strcpy(out, result);
  return 0;
}

int platSamePlace(const char* a, const char* b) {
  char x[PLAT_PATH_MAX], y[PLAT_PATH_MAX];
  if (platFollowLinks(a, x, sizeof x) != 0 || platFollowLinks(b, y, sizeof y) != 0) return 0;
  BY_HANDLE_FILE_INFORMATION p, q;
  if (sysPathInfo(x, &p) && sysPathInfo(y, &q))
    return p.dwVolumeSerialNumber == q.dwVolumeSerialNumber &&
           p.nFileIndexHigh == q.nFileIndexHigh && p.nFileIndexLow == q.nFileIndexLow;
  // A name not made yet: the system matches names without regard to case.
  char fullX[PLAT_PATH_MAX], fullY[PLAT_PATH_MAX];
  DWORD n = GetFullPathNameA(x, sizeof fullX, fullX, nullptr);
  DWORD m = GetFullPathNameA(y, sizeof fullY, fullY, nullptr);
  return n && n < sizeof fullX && m && m < sizeof fullY && _stricmp(fullX, fullY) == 0;
}

int platLockFile(PlatFileLock* lock, const char* hostPath, int waitMs) {
  lock->handle = INVALID_HANDLE;
  lock->slot = -1;  // the system removes the companion of a holder that dies
  int length = snprintf(lock->path, sizeof lock->path, "%s.lock", hostPath);
  if (length < 0 || length >= (int)sizeof lock->path) {
    failWin32(ERROR_FILENAME_EXCED_RANGE);
    return PLAT_LOCK_FAILED;
  }
  ULONGLONG start = GetTickCount64();
  for (DWORD delay = 1;; delay = delay < 50 ? delay * 2 : 50) {
    HANDLE h = sysOpenLockFile(lock->path);
    if (h != INVALID_HANDLE_VALUE) {
      lock->handle = fromWin(h);
      return PLAT_LOCKED;
    }
    // Held by another; or deleted by its last holder and not gone yet, which lasts an
    // instant (a refusal that lasts is the directory's).
    bool held = lastFailureIs(ERROR_SHARING_VIOLATION);
    ULONGLONG waited = GetTickCount64() - start;
    if (!held && !(lastFailureIs(ERROR_ACCESS_DENIED) && waited < 1000)) return PLAT_LOCK_FAILED;
    if (waited >= (ULONGLONG)waitMs) return held ? PLAT_LOCK_BUSY : PLAT_LOCK_FAILED;
    Sleep(delay);
  }
}

void platUnlockFile(PlatFileLock* lock) {
  if (lock->handle == INVALID_HANDLE) return;
  sysReleaseLock(toWin(lock->handle));
  lock->handle = INVALID_HANDLE;
}

namespace {

// Inside the name gate for its lifetime. The console handler runs on a thread of its own,
// never on top of a writer: nothing to block.
class t_gate {
 public:
  t_gate() { platEnterNameGate(); }
  ~t_gate() {
    DWORD error = GetLastError();
    platLeaveNameGate();
    SetLastError(error);
  }
  t_gate(const t_gate&) = delete;
  t_gate& operator=(const t_gate&) = delete;
};

// The whole path of name in the held directory dir, for the calls that take paths.
bool pathInDir(PlatHandle dir, const char* name, char* out, size_t size) {
  if (dir == INVALID_HANDLE) return snprintf(out, size, "%s", name) < (int)size;
  DWORD n = GetFinalPathNameByHandleA(toWin(dir), out, (DWORD)size, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= size) return false;
  return snprintf(out + n, size - n, "\\%s", name) < (int)(size - n);
}

HANDLE createNew(PlatHandle dir, const char* name) {
  return openIn(dir, name, GENERIC_WRITE | DELETE, FILE_CREATE,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY);
}

bool nameTaken() { return lastFailureIs(ERROR_FILE_EXISTS) || lastFailureIs(ERROR_ALREADY_EXISTS); }

}  // namespace

PlatHandle platHostCreateNewInDir(PlatHandle dir, const char* name, int* taken) {
  HANDLE h = createNew(dir, name);
  *taken = h == INVALID_HANDLE_VALUE && nameTaken();
  return fromWin(h);
}

void platHostInNameGate(void (*work)(void* context), void* context) {
  t_gate gate;
  work(context);
}

int platReplaceGuardedInDir(PlatHandle dir, const char* temp, const char* name, int token) {
  t_gate gate;
  char from[PLAT_PATH_MAX], to[PLAT_PATH_MAX];
  bool moved = false;
  if (pathInDir(dir, temp, from, sizeof from) && pathInDir(dir, name, to, sizeof to))
    moved = sysMoveFile(from, to);
  else
    failWin32(ERROR_FILENAME_EXCED_RANGE);
  if (!moved) platRemoveInDir(dir, temp);
  platDisarmTempName(token);
  return moved ? 0 : -1;
}

void platDropGuardedInDir(PlatHandle dir, const char* name, int token) {
  t_gate gate;
  platRemoveInDir(dir, name);
  platDisarmTempName(token);
}


// No spare is kept here: a replacement renames over the old copy, as ever.
PlatHandle platTakeSpareInDir(PlatSpares*, PlatHandle, const char*, long long, char*, size_t,
                              int* token) {
  *token = -1;
  return INVALID_HANDLE;
}

int platReplaceKeepingInDir(PlatSpares*, PlatHandle dir, const char* temp, const char* name,
                            int token) {
  return platReplaceGuardedInDir(dir, temp, name, token);
}

int platDropSpares(PlatSpares*) { return 0; }

PlatHandle platOpenKeepableInDir(PlatHandle dir, const char* name, long long* size) {
  HANDLE h = openIn(dir, name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) return INVALID_HANDLE;
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD unlike = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY |
                       FILE_ATTRIBUTE_DIRECTORY;
  if (!sysFileInfo(h, &info) || (info.dwFileAttributes & unlike) || info.nNumberOfLinks != 1) {
    sysCloseHandle(h);
    return INVALID_HANDLE;
  }
  *size = ((long long)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return fromWin(h);
}

int platTouch(PlatHandle h) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return sysSetFileTime(toWin(h), &now) ? 0 : -1;
}

int platIsSameFileInDir(PlatHandle dir, const char* name, PlatHandle file) {
  HANDLE h = openIn(dir, name, FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = sysFileInfo(h, &a) && sysFileInfo(toWin(file), &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  sysCloseHandle(h);
  return same;
}

unsigned long platHostProcessId() { return GetCurrentProcessId(); }

bool platHostProcessGone(unsigned long pid) {
  return pid != 0 && pid <= 0xffffffffUL && sysProcessGone((DWORD)pid);
}

int platHostFailNameTooLong() { return (int)failWin32(ERROR_FILENAME_EXCED_RANGE); }

void platBlockToolSignals() {}  // the console handler has a thread of its own

void platHostParkForever() {
  for (;;) Sleep(INFINITE);
}

void platHostYield() { Sleep(0); }

void platInstallToolSignals() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }
