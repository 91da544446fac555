// The Win32 host layer's own: the system calls, each through the failure seam, and the slot
// that keeps the reason of the last failure. Included by the Win32 units only. Nothing else
// in the engine makes a system call (tools/check_raw_calls.sh checks it).
#pragma once
#include <windows.h>

// Record the reason of a failure (what platLastError tells); each returns -1.
long long failWin32(DWORD code);
long long failWin32();  // GetLastError's
long long failCrt(int error);
long long failText(const char* text);
// Adds a note that platLastError puts after the last failure's reason (a static string, such
// as what the failure left behind); returns -1.
long long failNote(const char* note);
bool lastFailureIs(DWORD code);

HANDLE sysCreateFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
// Opens or creates name below the directory handle dir (null: the current directory) with
// the native call, which unlike CreateFileA starts from a handle. INVALID_HANDLE_VALUE on
// failure.
HANDLE sysOpenRelative(HANDLE dir, const char* name, ACCESS_MASK access, ULONG disposition,
                       ULONG options);
bool sysTransfer(HANDLE h, char* buffer, DWORD count, DWORD* moved, OVERLAPPED* at, bool write);
bool sysCloseHandle(HANDLE h);  // the handle is closed whatever the result
// Replacing the target. A refusal for an instant (access denied, a sharing violation: another
// process replacing or holding it) is met with a rename of POSIX semantics, which replaces
// a file others hold open, then tried again for about a second. Each attempt of either kind
// is one PLAT_FAULT_RENAME of the seam, whose EACCES stands for access denied and EBUSY for
// a sharing violation, so that tests reach every branch.
bool sysMoveFile(const char* from, const char* to);
// Flushes the directory dir (the names in it) to the disk: 1 when flushed, 0 when the system
// does not allow it (a file system or a handle that refuses a directory's flush), -1 on
// failure (recorded). Counted as PLAT_FAULT_FLUSH.
int sysFlushDirectory(const char* dir);
// Opens the companion of a lock: created when missing, shared with nobody, deleted when its
// last handle closes (also when its process dies). Counted as PLAT_FAULT_LOCK.
HANDLE sysOpenLockFile(const char* path);
// Closes a lock's companion, which deletes it. Not counted: nothing rides on the result.
void sysReleaseLock(HANDLE h);
// The path of the file that path leads to through links, into out; false when it cannot be
// had (recorded).
bool sysFinalPath(const char* path, char* out, size_t outSize);
// Whether no process has the id pid any more. Counted as a look (PLAT_FAULT_STAT); a
// failed look says the process lives.
bool sysProcessGone(DWORD pid);
// Each of these records the reason of a failure.
bool sysDeleteFile(const char* path);
bool sysCreateDirectory(const char* path);
bool sysFlush(HANDLE h);
bool sysFileInfo(HANDLE h, BY_HANDLE_FILE_INFORMATION* info);
bool sysSetFileTime(HANDLE h, const FILETIME* written);  // the last-write time
bool sysFileSize(HANDLE h, LARGE_INTEGER* size);
bool sysIsDisk(HANDLE h);  // not a pipe, console or device
bool sysSetEndOfFile(HANDLE h, long long size);
// The attributes of a path; INVALID_FILE_ATTRIBUTES when it cannot be looked at.
DWORD sysAttributes(const char* path);
// The identity, size and time of what path names, following a link; false when it cannot
// be had.
bool sysPathInfo(const char* path, BY_HANDLE_FILE_INFORMATION* info);
// A directory search: FindFirstFileA, FindNextFileA, FindClose.
HANDLE sysFindFirst(const char* pattern, WIN32_FIND_DATAA* found);
int sysFindNext(HANDLE search, WIN32_FIND_DATAA* found);  // 1, 0 at the end, -1 on failure
void sysFindClose(HANDLE search);
// The run-time library's descriptors, in binary mode.
int sysCrtOpenRead(const char* path);
void sysCrtClose(int fd);
int sysCrtRead(int fd, void* buffer, unsigned count);
int sysCrtWrite(int fd, const void* buffer, unsigned count);
long long sysCrtSeek(int fd, long long offset, int whence);
// The console: outside the seam, as nothing handles a failure to print.
void sysWriteStderr(const char* text, size_t length);
