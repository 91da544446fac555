// The Win32 implementation of the host layer: files by handle, the run-time library's
// descriptors, directory search, the console, keys and message boxes.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <initializer_list>

#include "engine/platform/faults.h"
#include "engine/platform/platform.h"
#include "engine/platform/shared.h"
#include "engine/platform/win32_sys.h"

// In ntdll since Windows XP; mingw's headers do not declare it.
extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress(void);

namespace {

// The last failure of this thread: a Win32 error code, a C run-time errno (also what the
// failure seam hands out), or a fixed text for reasons Windows has no code of its own for.
enum class ErrorKind { win32, crt, text };
thread_local ErrorKind lastKind = ErrorKind::win32;
thread_local DWORD lastWin32 = 0;
thread_local int lastErrno = 0;
thread_local const char* lastText = "";
thread_local char lastMessage[256];
thread_local unsigned long errorCount = 0;
thread_local const char* lastNote = nullptr;

}  // namespace

long long failWin32(DWORD code) {
  lastNote = nullptr;
  lastKind = ErrorKind::win32;
  lastWin32 = code;
  errorCount++;
  return -1;
}
long long failWin32() { return failWin32(GetLastError()); }
long long failCrt(int error) {
  lastNote = nullptr;
  lastKind = ErrorKind::crt;
  lastErrno = error;
  errorCount++;
  return -1;
}
long long failText(const char* text) {
  lastNote = nullptr;
  lastKind = ErrorKind::text;
  lastText = text;
  errorCount++;
  return -1;
}
long long failNote(const char* note) {
  lastNote = note;
  return -1;
}
bool lastFailureIs(DWORD code) { return lastKind == ErrorKind::win32 && lastWin32 == code; }

unsigned long platErrorCount() { return errorCount; }

int platLastErrorIsNoSpace() {
  if (lastKind == ErrorKind::crt) return lastErrno == ENOSPC;
  return lastKind == ErrorKind::win32 &&
         (lastWin32 == ERROR_DISK_FULL || lastWin32 == ERROR_HANDLE_DISK_FULL);
}

void platNoteOutOfMemory() { failCrt(ENOMEM); }

// ---- the system calls, each through the failure seam --------------------------------------
// A call the seam fails records the seam's errno and leaves the system alone.

HANDLE sysCreateFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (int e = platFaultHit(PLAT_FAULT_OPEN)) {
    failCrt(e);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) failWin32();
  return h;
}

HANDLE sysOpenRelative(HANDLE dir, const char* name, ACCESS_MASK access, ULONG disposition,
                       ULONG options) {
  if (int e = platFaultHit(PLAT_FAULT_OPEN)) {
    failCrt(e);
    return INVALID_HANDLE_VALUE;
  }
  // The name converted the way the "A" functions convert theirs.
  WCHAR wide[MAX_PATH];
  UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int length = MultiByteToWideChar(codePage, 0, name, -1, wide, MAX_PATH);
  if (length <= 1) {
    failWin32(length == 1 ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Buffer = wide;
  text.Length = (USHORT)((length - 1) * sizeof(WCHAR));
  text.MaximumLength = (USHORT)(length * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, dir, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE h = INVALID_HANDLE_VALUE;
  NTSTATUS result = NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) {
    failWin32(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool sysTransfer(HANDLE h, char* buffer, DWORD count, DWORD* moved, OVERLAPPED* at, bool write) {
  size_t allowed = count;
  if (int e = platFaultHit(write ? PLAT_FAULT_WRITE : PLAT_FAULT_READ, &allowed)) {
    failCrt(e);
    return false;
  }
  BOOL ok = write ? WriteFile(h, buffer, (DWORD)allowed, moved, at)
                  : ReadFile(h, buffer, (DWORD)allowed, moved, at);
  if (!ok) failWin32();
  return ok != 0;
}

bool sysCloseHandle(HANDLE h) {
  int e = platFaultHit(PLAT_FAULT_CLOSE);
  bool closed = CloseHandle(h) != 0;
  if (e) return failCrt(e), false;
  if (!closed) failWin32();
  return closed;
}

namespace {

// A failure the seam chose, as a Win32 code: EACCES and EBUSY stand for the refusals a
// replacement meets; any other error keeps its C run-time code, marked with the bit Win32
// leaves to applications.
constexpr DWORD kSeamCode = 0x20000000u;
DWORD seamCode(int error) {
  if (error == EACCES) return ERROR_ACCESS_DENIED;
  if (error == EBUSY) return ERROR_SHARING_VIOLATION;
  return kSeamCode | (DWORD)error;
}

long long failCode(DWORD code) {
  return (code & kSeamCode) ? failCrt((int)(code & ~kSeamCode)) : failWin32(code);
}

// path in the wide "\\?\" form of its full path, which no length limit of the ANSI calls
// stops (the fallback below names both files that way). False when it does not fit.
bool verbatimPath(const char* path, wchar_t* out, size_t outChars) {
  wchar_t wide[PLAT_PATH_MAX], full[PLAT_PATH_MAX];
  UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  if (MultiByteToWideChar(codePage, 0, path, -1, wide, PLAT_PATH_MAX) <= 1) return false;
  if (wcsncmp(wide, L"\\\\?\\", 4) == 0) {
    if (wcslen(wide) >= outChars) return false;
    wcscpy(out, wide);
    return true;
  }
  DWORD n = GetFullPathNameW(wide, PLAT_PATH_MAX, full, nullptr);
  if (n == 0 || n >= PLAT_PATH_MAX) return false;
  bool unc = full[0] == L'\\' && full[1] == L'\\';
  const wchar_t* prefix = unc ? L"\\\\?\\UNC\\" : L"\\\\?\\";
  const wchar_t* rest = unc ? full + 2 : full;
  if (wcslen(prefix) + wcslen(rest) >= outChars) return false;
  wcscpy(out, prefix);
  wcscat(out, rest);
  return true;
}

// One classic replacement: 0, or the reason it failed.
DWORD moveOnce(const char* from, const char* to) {
  if (int e = platFaultHit(PLAT_FAULT_RENAME)) return seamCode(e);
  // MOVEFILE_WRITE_THROUGH makes a move between volumes (a copy and a delete) wait for the
  // disk; a rename within one volume it leaves as it is: the caller flushes the directory.
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  return GetLastError();
}

// Renames from over to with POSIX semantics (Windows 10 1809 and later): the target may be
// held open by readers (with delete sharing), who keep reading the old file, as on POSIX.
// 0, or the reason it failed (where the system does not offer it, too). Like the classic
// move it leaves the directory to the caller's flush; the file's data was flushed before.
DWORD renameOverOpenFile(const char* from, const char* to) {
  if (int e = platFaultHit(PLAT_FAULT_RENAME)) return seamCode(e);
  wchar_t source[PLAT_PATH_MAX];
  alignas(FILE_RENAME_INFO) char block[sizeof(FILE_RENAME_INFO) + PLAT_PATH_MAX * sizeof(wchar_t)];
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(block);
  memset(block, 0, sizeof(FILE_RENAME_INFO));
  if (!verbatimPath(from, source, PLAT_PATH_MAX) ||
      !verbatimPath(to, info->FileName, PLAT_PATH_MAX))
    return ERROR_FILENAME_EXCED_RANGE;
  info->Flags = 0x1 | 0x2;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | _POSIX_SEMANTICS
  info->FileNameLength = (DWORD)(wcslen(info->FileName) * sizeof(wchar_t));
  HANDLE h = CreateFileW(source, DELETE | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  // FileRenameInfoEx (22): named by number, as older headers do not know it.
  DWORD size = (DWORD)(sizeof(FILE_RENAME_INFO) + info->FileNameLength);
  DWORD error = SetFileInformationByHandle(h, (FILE_INFO_BY_HANDLE_CLASS)22, info, size)
                    ? 0
                    : GetLastError();
  CloseHandle(h);
  return error;
}

bool refusedForAnInstant(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace

bool sysMoveFile(const char* from, const char* to) {
  // The target may be held for an instant by another process replacing it too (or by a
  // scanner), or for long by a running manager reading it: the first is tried again for
  // about a second, the second replaced with POSIX semantics where the system can.
  DWORD error = 0;
  for (int attempt = 1;; attempt++) {
    error = moveOnce(from, to);
    if (error == 0) return true;
    if (!refusedForAnInstant(error)) break;
    if (renameOverOpenFile(from, to) == 0) return true;
    if (attempt == 8) break;  // the classic replacement's own reason, not the fallback's
    Sleep(25 * attempt);
  }
  failCode(error);
  return false;
}

int sysFlushDirectory(const char* dir) {
  if (int e = platFaultHit(PLAT_FAULT_FLUSH)) return (int)failCrt(e);
  // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS, and flushes only when opened
  // for writing; file systems other than NTFS may refuse the flush itself.
  HANDLE h = CreateFileA(dir, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  DWORD error = 0;
  if (h == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    if (!FlushFileBuffers(h)) error = GetLastError();
    CloseHandle(h);
  }
  if (error == 0) return 1;
  for (DWORD refusal : {ERROR_ACCESS_DENIED, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED,
                        ERROR_INVALID_PARAMETER})
    if (error == refusal) return 0;
  return (int)failWin32(error);
}

HANDLE sysOpenLockFile(const char* path) {
  if (int e = platFaultHit(PLAT_FAULT_LOCK)) {
    failCrt(e);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) failWin32();
  return h;
}

void sysReleaseLock(HANDLE h) { CloseHandle(h); }

bool sysFinalPath(const char* path, char* out, size_t outSize) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return failWin32(), false;
  DWORD n = GetFinalPathNameByHandleA(h, out, (DWORD)outSize, FILE_NAME_NORMALIZED);
  DWORD error = GetLastError();
  CloseHandle(h);
  if (n == 0 || n >= outSize) return failWin32(n ? ERROR_FILENAME_EXCED_RANGE : error), false;
  return true;
}

bool sysProcessGone(DWORD pid) {
  if (platFaultHit(PLAT_FAULT_STAT)) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

// The calls below share one shape: the seam's failure, else the call's own.
namespace {
bool checked(t_platFaultOp op, BOOL (*call)(void*), void* context) {
  if (int e = platFaultHit(op)) return failCrt(e), false;
  if (call(context)) return true;
  failWin32();
  return false;
}
}  // namespace

bool sysDeleteFile(const char* path) {
  return checked(PLAT_FAULT_REMOVE, [](void* p) { return DeleteFileA((const char*)p); },
                 (void*)path);
}

bool sysCreateDirectory(const char* path) {
  return checked(PLAT_FAULT_MKDIR,
                 [](void* p) { return CreateDirectoryA((const char*)p, nullptr); }, (void*)path);
}

bool sysFlush(HANDLE h) {
  return checked(PLAT_FAULT_FLUSH, [](void* p) { return FlushFileBuffers((HANDLE)p); }, h);
}

bool sysSetFileTime(HANDLE h, const FILETIME* written) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  if (SetFileTime(h, nullptr, nullptr, written)) return true;
  failWin32();
  return false;
}

bool sysFileInfo(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  if (GetFileInformationByHandle(h, info)) return true;
  failWin32();
  return false;
}

bool sysFileSize(HANDLE h, LARGE_INTEGER* size) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  if (GetFileSizeEx(h, size)) return true;
  failWin32();
  return false;
}

bool sysIsDisk(HANDLE h) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  return GetFileType(h) == FILE_TYPE_DISK;
}

bool sysSetEndOfFile(HANDLE h, long long size) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  if (SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) return true;
  failWin32();
  return false;
}

DWORD sysAttributes(const char* path) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesA(path);
}

bool sysPathInfo(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e), false;
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

HANDLE sysFindFirst(const char* pattern, WIN32_FIND_DATAA* found) {
  if (int e = platFaultHit(PLAT_FAULT_OPEN)) return failCrt(e), INVALID_HANDLE_VALUE;
  HANDLE h = FindFirstFileA(pattern, found);
  if (h == INVALID_HANDLE_VALUE) failWin32();
  return h;
}

int sysFindNext(HANDLE search, WIN32_FIND_DATAA* found) {
  if (int e = platFaultHit(PLAT_FAULT_LIST)) return (int)failCrt(e);
  if (FindNextFileA(search, found)) return 1;
  DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : (int)failWin32(error);
}

// Not counted: the search is gone whatever the result, which tells nothing worth acting on.
void sysFindClose(HANDLE search) { FindClose(search); }

int sysCrtOpenRead(const char* path) {
  if (int e = platFaultHit(PLAT_FAULT_OPEN)) return (int)failCrt(e);
  int fd = _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
  if (fd < 0) failCrt(errno);
  return fd;
}

void sysCrtClose(int fd) {
  platFaultHit(PLAT_FAULT_CLOSE);
  _close(fd);
}

int sysCrtRead(int fd, void* buffer, unsigned count) {
  size_t allowed = count;
  if (int e = platFaultHit(PLAT_FAULT_READ, &allowed)) return (int)failCrt(e);
  int r = _read(fd, buffer, (unsigned)allowed);
  if (r < 0) failCrt(errno);
  return r;
}

int sysCrtWrite(int fd, const void* buffer, unsigned count) {
  size_t allowed = count;
  if (int e = platFaultHit(PLAT_FAULT_WRITE, &allowed)) return (int)failCrt(e);
  int r = _write(fd, buffer, (unsigned)allowed);
  if (r < 0) failCrt(errno);
  return r;
}

long long sysCrtSeek(int fd, long long offset, int whence) {
  if (int e = platFaultHit(PLAT_FAULT_STAT)) return failCrt(e);
  long long r = _lseeki64(fd, offset, whence);
  if (r < 0) failCrt(errno);
  return r;
}

void sysWriteStderr(const char* text, size_t length) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  DWORD mode;
  bool console = GetConsoleMode(err, &mode) != 0;
  while (length > 0) {
    DWORD chunk = length > (1u << 20) ? (1u << 20) : (DWORD)length, written = 0;
    BOOL ok = console ? WriteConsoleA(err, text, chunk, &written, nullptr)
                      : WriteFile(err, text, chunk, &written, nullptr);
    if (!ok || written == 0) return;
    text += written;
    length -= written;
  }
}

// ---- end of the system calls -------------------------------------------------------------

namespace {

HANDLE toWin(PlatHandle h) { return reinterpret_cast<HANDLE>(h); }
PlatHandle fromWin(HANDLE h) { return reinterpret_cast<PlatHandle>(h); }

// Opens and creates share reading with others, as the engine's opens ask, and deleting
// and renaming (FILE_SHARE_DELETE): the builder must be able to replace a group file that
// the running manager holds open, as on POSIX. Writers are shut out while a handle is open.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

PlatHandle openPath(const char* path, DWORD access, DWORD disposition) {
  return fromWin(sysCreateFile(path, access, kShare, disposition,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN));
}

// Whether a path names an existing directory: CreateFileA refuses one with "access
// denied", which would hide the real reason.
bool isDirectory(const char* path) {
  DWORD attributes = sysAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

PlatHandle openExisting(const char* path, DWORD access) {
  PlatHandle h = openPath(path, access, OPEN_EXISTING);
  if (h == INVALID_HANDLE && lastFailureIs(ERROR_ACCESS_DENIED) && isDirectory(path))
    failCrt(EISDIR);
  return h;
}

}  // namespace

int platHostPath(const char* path, char* out, size_t outSize, int) {
  // Windows takes the engine's paths as they are: backslashes, names in any case.
  size_t n = strlen(path);
  if (n + 1 > outSize) return 0;
  memcpy(out, path, n + 1);
  return 1;
}

PlatHandle platOpenRead(const char* path) { return openExisting(path, GENERIC_READ); }

PlatHandle platOpenFile(const char* path, int writable) {
  PlatHandle h = openExisting(path, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
  if (h == INVALID_HANDLE || platIsRegularFile(h) == 1) return h;
  // A device name (CON, NUL, COM1) or a pipe opens too; only disk files are files here.
  sysCloseHandle(toWin(h));
  failCrt(EINVAL);
  return INVALID_HANDLE;
}

// Windows matches names without regard to case itself: an existing file spelled otherwise
// is the one emptied.
PlatHandle platCreateMatched(const char* path) {
  return openPath(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

PlatHandle platOpenHostRead(const char* hostPath) { return openExisting(hostPath, GENERIC_READ); }

PlatHandle platOpenHostDir(const char* hostDir) {
  // FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileA open a directory at all.
  HANDLE h = sysCreateFile(hostDir, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION info;
  if (h != INVALID_HANDLE_VALUE &&
      (!sysFileInfo(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
    sysCloseHandle(h);
    failWin32(ERROR_DIRECTORY);
    h = INVALID_HANDLE_VALUE;
  }
  return fromWin(h);
}

PlatHandle platOpenInDir(PlatHandle dir, const char* name) {
  return fromWin(sysOpenRelative(toWin(dir), name, GENERIC_READ, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY));
}

long long platFileSize(PlatHandle h) {
  LARGE_INTEGER size;
  if (!sysFileSize(toWin(h), &size)) return -1;
  return size.QuadPart;
}

int platIsRegularFile(PlatHandle h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!sysIsDisk(toWin(h))) return 0;
  if (!sysFileInfo(toWin(h), &info)) return -1;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
}

int platFdIsRegularFile(int fd) {
  intptr_t os = _get_osfhandle(fd);
  return os == -1 ? 0 : platIsRegularFile((PlatHandle)os);
}

// One ReadFile or WriteFile at an absolute offset: the offset rides in the OVERLAPPED
// record, so no shared file pointer is involved.
long long platHostTransferOnce(PlatHandle h, long long offset, char* buffer, size_t count,
                               bool write) {
  if (offset < 0) return failCrt(EINVAL);
  OVERLAPPED at{};
  at.Offset = (DWORD)((unsigned long long)offset & 0xFFFFFFFFu);
  at.OffsetHigh = (DWORD)((unsigned long long)offset >> 32);
  DWORD chunk = count > (1u << 30) ? (1u << 30) : (DWORD)count;  // the calls take a DWORD
  DWORD moved = 0;
  if (sysTransfer(toWin(h), buffer, chunk, &moved, &at, write)) return moved;
  if (!write && lastFailureIs(ERROR_HANDLE_EOF)) {  // reading at or past the end
    errorCount--;
    return 0;
  }
  return -1;
}

// Repeats positioned transfers until count bytes have moved or the file ended. An error,
// even after some bytes moved, gives -1 with its reason kept: a short count then always
// means the end of the file, never a failure.
long long platHostTransferAt(PlatHandle h, long long offset, char* buffer, size_t count,
                             bool write) {
  size_t done = 0;
  while (done < count) {
    long long r =
        platHostTransferOnce(h, offset + (long long)done, buffer + done, count - done, write);
    if (r < 0) return -1;
    if (r == 0 && write) return failWin32(ERROR_WRITE_FAULT);  // nothing written, no reason
    if (r == 0) break;
    done += (size_t)r;
  }
  return (long long)done;
}

long long platCopyRange(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                        long long count) {
  // Win32 has no copy between two open handles at given offsets (CopyFileEx copies whole
  // named files), so the bytes go through a buffer.
  return platCopyBuffered(src, srcOffset, dst, dstOffset, count);
}

int platFlush(PlatHandle h) { return sysFlush(toWin(h)) ? 0 : -1; }

// Windows has no call that starts the writeback of a byte range without waiting for it:
// FlushFileBuffers takes the whole file and returns only when it is on the disk, so calling
// it behind the writer would stall the writer each time. The cache manager already writes
// behind on its own (its lazy writer sends out dirty pages of every file each second, and it
// holds a writer back once too much of the cache is dirty), which leaves the final flush
// mostly the tail and keeps dirty memory bounded without us.
void platWriteBehindBegin(PlatWriteBehind* behind, PlatHandle h) {
  behind->handle = h;
  behind->started = behind->waited = 0;
  behind->off = 1;
}

int platWriteBehind(PlatWriteBehind*, long long) { return 0; }

int platSetWriteTime(PlatHandle h, std::int64_t time) {
  // FILETIME counts 100-nanosecond steps from 1601.
  unsigned long long ticks = (unsigned long long)(time + 11644473600LL) * 10000000ULL;
  FILETIME written;
  written.dwLowDateTime = (DWORD)ticks;
  written.dwHighDateTime = (DWORD)(ticks >> 32);
  return sysSetFileTime(toWin(h), &written) ? 0 : -1;
}

int platClose(PlatHandle h) {
  if (h == INVALID_HANDLE) return 0;
  return sysCloseHandle(toWin(h)) ? 0 : -1;
}

// ---- the run-time library's descriptors --------------------------------------------------
// In binary mode: the line reader's seeks count bytes, and text mode would turn "\r\n"
// into "\n" behind its back.

int platFdOpenRead(const char* path) {
  // The run-time library refuses a directory here with "permission denied"; the real
  // reason is clearer.
  if (isDirectory(path)) return (int)failCrt(EISDIR);
  return sysCrtOpenRead(path);
}

void platFdClose(int fd) {
  if (fd >= 0) sysCrtClose(fd);
}

long platFdRead(int fd, void* buffer, unsigned long count) {
  // Whole like the run-time library's read of a file: short only at the end of the file.
  unsigned long done = 0;
  while (done < count) {
    size_t chunk = count - done > 0x40000000ul ? 0x40000000ul : count - done;
    int r = sysCrtRead(fd, (char*)buffer + done, (unsigned)chunk);
    if (r < 0) return -1;
    if (r == 0) break;
    done += (unsigned long)r;
  }
  return (long)done;
}

long platFdWrite(int fd, const void* buffer, unsigned long count) {
  unsigned long done = 0;
  while (done < count) {
    size_t chunk = count - done > 0x40000000ul ? 0x40000000ul : count - done;
    int r = sysCrtWrite(fd, (const char*)buffer + done, (unsigned)chunk);
    if (r < 0) return -1;
    if (r == 0) return (long)failCrt(EIO);
    done += (unsigned long)r;
  }
  return (long)done;
}

long platFdSeek(int fd, long offset, int origin) {
  int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  long long r = sysCrtSeek(fd, offset, whence);
  if (r < 0) return -1;
  if (r > 0x7FFFFFFFLL) return (long)failCrt(EOVERFLOW);  // long has 32 bits on Windows
  return (long)r;
}

int platMakeDir(const char* path) { return sysCreateDirectory(path) ? 0 : -1; }

// ---- directory search --------------------------------------------------------------------

namespace {

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
std::int64_t unixSeconds(const FILETIME& t) {
  unsigned long long ticks = ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
  return (std::int64_t)(ticks / 10000000ull) - 11644473600LL;
}

// A match that is a link to a file (a reparse point) shows the link's own size and time:
// the callers want its target's, as POSIX gives them. A dangling link is left out.
bool followLink(const PlatFind* find, PlatFindData* data) {
  char path[PLAT_PATH_MAX];
  if ((size_t)snprintf(path, sizeof path, "%s%s", find->hostDir, data->name) >= sizeof path)
    return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!sysPathInfo(path, &info)) {
    if (!find->withBroken) return false;
    data->brokenLink = 1;
    data->size = 0;
    data->sizeLow = 0;
    data->writeTime = 0;
    return true;
  }
  data->isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  std::int64_t size = ((std::int64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  data->size = data->isDirectory ? 0 : size;
  data->sizeLow = data->isDirectory ? 0 : info.nFileSizeLow;
  data->writeTime = data->isDirectory ? 0 : unixSeconds(info.ftLastWriteTime);
  return true;
}

bool fillFindData(const PlatFind* find, const WIN32_FIND_DATAA& found, PlatFindData* data) {
  size_t length = strlen(found.cFileName);
  if (length >= sizeof data->name || !platMatchName(find->pattern, found.cFileName)) return false;
  memcpy(data->name, found.cFileName, length + 1);
  data->isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  data->brokenLink = 0;
  data->unlooked = 0;  // the listing gives every size and time: a search by names only too
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !data->isDirectory)
    return followLink(find, data);
  // The callers want no size or time of a directory.
  std::int64_t size = ((std::int64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow;
  data->size = data->isDirectory ? 0 : size;
  data->sizeLow = data->isDirectory ? 0 : found.nFileSizeLow;
  data->writeTime = data->isDirectory ? 0 : unixSeconds(found.ftLastWriteTime);
  return true;
}

// The searched directory's identity (volume and file index), which recognises a directory
// entered again through a link. When it cannot be had, a number no other search gets.
void identify(PlatFind* find) {
  static std::atomic<std::uint64_t> unknown{0};
  BY_HANDLE_FILE_INFORMATION info;
  if (sysPathInfo(find->hostDir[0] ? find->hostDir : ".", &info)) {
    find->device = info.dwVolumeSerialNumber;
    find->inode = ((std::uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  } else {
    find->device = ~0ull;
    find->inode = ++unknown;
  }
}

// Whether the search that just failed only found nothing (or no directory), as opposed to
// a directory that exists but could not be read.
bool nothingThere() {
  for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_NO_MORE_FILES,
                      ERROR_DIRECTORY, ERROR_INVALID_NAME})
    if (lastFailureIs(error)) return true;
  return false;
}

int searchFirst(PlatFind* find, const char* pattern, PlatFindData* data, int withBroken) {
  if (platSplitFindPattern(find, pattern, true) < 0) return 0;
  find->withBroken = withBroken;
  char everything[PLAT_PATH_MAX];
  if ((size_t)snprintf(everything, sizeof everything, "%s*", find->hostDir) >= sizeof everything)
    return 0;
  WIN32_FIND_DATAA found;
  // The system's search also matches the old 8.3 short names ("*.htm" takes index.html,
  // "*.lua" takes Animate.lua~): a wildcard lists the whole directory and our own rule, the
  // one the POSIX search applies, picks by the long name, so both hosts take the same
  // files. A plain name is looked up as it is (a short alias it hits fails the rule).
  HANDLE h = sysFindFirst(strpbrk(find->pattern, "*?") ? everything : pattern, &found);
  if (h == INVALID_HANDLE_VALUE) {
    find->unreadable = !nothingThere();
    return 0;
  }
  find->dir = h;
  identify(find);
  if (fillFindData(find, found, data) || platFindNext(find, data)) return 1;
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
  return searchFirst(find, pattern, data, 1);
}

int platLookInDir(PlatHandle dir, const char* name, PlatFindData* data) {
  HANDLE h = sysOpenRelative(toWin(dir), name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0);
  if (h == INVALID_HANDLE_VALUE) return nothingThere() ? 0 : -1;
  BY_HANDLE_FILE_INFORMATION info;
  bool looked = sysFileInfo(h, &info);
  sysCloseHandle(h);
  if (!looked) return -1;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  data->isDirectory = 0;
  data->brokenLink = 0;
  data->unlooked = 0;
  data->size = ((std::int64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  data->sizeLow = info.nFileSizeLow;
  data->writeTime = unixSeconds(info.ftLastWriteTime);
  return 1;
}

int platFindNext(PlatFind* find, PlatFindData* data) {
  if (!find->dir) return 0;
  WIN32_FIND_DATAA found;
  int more;
  while ((more = sysFindNext(static_cast<HANDLE>(find->dir), &found)) > 0)
    if (fillFindData(find, found, data)) return 1;
  if (more < 0) find->unreadable = 1;  // the listing broke off: the rest is unknown
  return 0;
}

void platFindClose(PlatFind* find) {
  if (find->dir) sysFindClose(static_cast<HANDLE>(find->dir));
  find->dir = nullptr;
}

// ---- errors and the console --------------------------------------------------------------

namespace {
const char* lastReason() {
  if (lastKind == ErrorKind::text) return lastText;
  if (lastKind == ErrorKind::crt) return strerror(lastErrno);
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                lastWin32, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), lastMessage,
                                sizeof lastMessage, nullptr);
  if (length == 0) {
    snprintf(lastMessage, sizeof lastMessage, "Windows error %lu", (unsigned long)lastWin32);
    return lastMessage;
  }
  // A one-line reason like strerror's: no line break or closing full stop.
  while (length > 0 && strchr("\r\n .", lastMessage[length - 1])) length--;
  lastMessage[length] = 0;
  return lastMessage;
}
}  // namespace

const char* platLastError() {
  if (!lastNote) return lastReason();
  thread_local char noted[512];
  snprintf(noted, sizeof noted, "%s %s", lastReason(), lastNote);
  return noted;
}

void platWriteStderr(const char* text, size_t length) { sysWriteStderr(text, length); }

int platKeyState(int key) { return GetAsyncKeyState(key) & 1; }

void platHostMessageBox(const char* text, const char* caption) {
  MessageBoxA(nullptr, text, caption, MB_OK);
}

int platOtherThreadsEnded() { return RtlDllShutdownInProgress() ? 1 : 0; }

int platOnFork(void (*)(), void (*)(), void (*)()) { return 0; }  // no fork on this host

int platProcessorCount() {
  DWORD_PTR process = 0, system = 0;
  int count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    for (; process; process &= process - 1) count++;
  // A mask covers one processor group; a process spread over several has none to show.
  if (count == 0) count = (int)GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return count > 0 ? count : 1;
}

PlatHandle platDuplicate(PlatHandle h) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), (HANDLE)h, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    failWin32();
    return INVALID_HANDLE;
  }
  return (PlatHandle)copy;
}
