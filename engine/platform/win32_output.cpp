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
  platRemoveArmedTempNames(deleteName);
  return FALSE;
}

// Removes what a killed writer of target left: temporary names of target's pattern whose
// process is gone. A name whose process lives may be another writer's at work and stays,
// as does every other name. Best effort: what cannot be listed or removed stays too.
void removeStaleTempNames(const char* target) {
  const char* targetName = platLastComponent(target);
  char pattern[PLAT_PATH_MAX];
  if (snprintf(pattern, sizeof pattern, "%s.tmp*", target) >= (int)sizeof pattern) return;
  WIN32_FIND_DATAA found;
  HANDLE search = sysFindFirst(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    unsigned long pid;
    if (!platIsTempNameOf(targetName, found.cFileName, &pid) || pid == 0 || pid > 0xffffffffUL ||
        !sysProcessGone((DWORD)pid))
      continue;
    char path[PLAT_PATH_MAX];
    int length =
        snprintf(path, sizeof path, "%.*s%s", (int)(targetName - target), target, found.cFileName);
    if (length < (int)sizeof path) sysDeleteFile(path);
  } while (sysFindNext(search, &found) == 1);
  sysFindClose(search);
}

}  // namespace

int platNewFileCreate(PlatNewFile* file, const char* path) {
  // Windows has no anonymous files: always a temporary name beside the target.
  file->handle = INVALID_HANDLE;
  file->anonymous = 0;
  file->durable = 1;
  file->slot = -1;
  file->temp[0] = 0;
  if (!platHostPath(path, file->target, sizeof file->target))
    return (int)failWin32(ERROR_FILENAME_EXCED_RANGE);
  removeStaleTempNames(file->target);
  for (int attempt = 0; attempt < 100; attempt++) {
    if (!platTempName(file->target, GetCurrentProcessId(), file->temp, sizeof file->temp))
      return (int)failWin32(ERROR_FILENAME_EXCED_RANGE);
    HANDLE h =
        sysCreateFile(file->temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (h != INVALID_HANDLE_VALUE) {
      file->handle = fromWin(h);
      file->slot = platArmTempName(file->temp);
      return 0;
    }
    if (!lastFailureIs(ERROR_FILE_EXISTS)) break;
  }
  file->temp[0] = 0;
  return -1;
}

int platNewFileCommit(PlatNewFile* file) {
  // The data reaches the disk before the file takes the target's name, as on POSIX; the
  // move itself writes through, which covers the directory.
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
  return moved ? 0 : -1;
}

void platNewFileDiscard(PlatNewFile* file) {
  if (file->handle != INVALID_HANDLE) sysCloseHandle(toWin(file->handle));
  file->handle = INVALID_HANDLE;
  if (file->temp[0]) sysDeleteFile(file->temp);
  platDisarmTempName(file->slot);
  file->slot = -1;
}

void platInstallToolSignals() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }
