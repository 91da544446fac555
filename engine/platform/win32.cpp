// The Win32 implementation of the host layer: files by handle, the run-time library's
// descriptors, directory search, the console, keys and message boxes.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>

#include "engine/platform/platform.h"

// In ntdll since Windows XP; mingw's headers do not declare it.
extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress(void);

namespace {

// The last failure of this thread: a Win32 error code, a C run-time errno, or a fixed text
// for reasons Windows has no code of its own for.
enum class ErrorKind { win32, crt, text };
thread_local ErrorKind lastKind = ErrorKind::win32;
thread_local DWORD lastWin32 = 0;
thread_local int lastErrno = 0;
thread_local const char* lastText = "";
thread_local char lastMessage[256];

long long failWin32(DWORD code) {
  lastKind = ErrorKind::win32;
  lastWin32 = code;
  return -1;
}
long long failWin32() { return failWin32(GetLastError()); }
long long failCrt() {
  lastKind = ErrorKind::crt;
  lastErrno = errno;
  return -1;
}
long long failText(const char* text) {
  lastKind = ErrorKind::text;
  lastText = text;
  return -1;
}

HANDLE toWin(PlatHandle h) { return reinterpret_cast<HANDLE>(h); }
PlatHandle fromWin(HANDLE h) { return reinterpret_cast<PlatHandle>(h); }

// Others may read a file the engine has open, as the engine's opens ask; they may also
// rename or delete it (FILE_SHARE_DELETE), so that the builder can replace a group the
// running manager holds open, as it can on POSIX.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

PlatHandle openPath(const char* path, DWORD access, DWORD disposition, DWORD flags = 0) {
  HANDLE h = CreateFileA(path, access, kShare, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) failWin32();
  return fromWin(h);
}

// Whether a path names an existing directory: CreateFileA refuses one with "access
// denied", which would hide the real reason.
bool isDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

PlatHandle openExisting(const char* path, DWORD access) {
  PlatHandle h = openPath(path, access, OPEN_EXISTING);
  if (h == INVALID_HANDLE && lastWin32 == ERROR_ACCESS_DENIED && isDirectory(path))
    failText("Is a directory");
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
PlatHandle platOpenReadWrite(const char* path) {
  return openExisting(path, GENERIC_READ | GENERIC_WRITE);
}
PlatHandle platCreateFile(const char* path) {
  return openPath(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

PlatHandle platOpenFile(const char* path, int writable) {
  PlatHandle h = openExisting(path, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
  if (h == INVALID_HANDLE) return h;
  // A device name (CON, NUL, COM1) or a pipe opens too; only disk files are files here.
  if (GetFileType(toWin(h)) != FILE_TYPE_DISK) {
    CloseHandle(toWin(h));
    failText("Not a regular file");
    return INVALID_HANDLE;
  }
  return h;
}

PlatHandle platCreateMatched(const char* path) { return platCreateFile(path); }

PlatHandle platOpenHostRead(const char* hostPath) { return openExisting(hostPath, GENERIC_READ); }

PlatHandle platOpenHostDir(const char* hostDir) {
  // FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileA open a directory at all.
  HANDLE h = CreateFileA(hostDir, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE) {
    failWin32();
  } else if (!GetFileInformationByHandle(h, &info) ||
             !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    failWin32(ERROR_DIRECTORY);
    h = INVALID_HANDLE_VALUE;
  }
  return fromWin(h);
}

namespace {

// Opens or creates name relative to the directory handle dir with the native call, which
// (unlike CreateFileA) takes a directory handle to start from. The name is converted the
// way the "A" functions convert theirs.
PlatHandle openRelative(PlatHandle dir, const char* name, ACCESS_MASK access, ULONG disposition,
                        ULONG options) {
  WCHAR wide[PLAT_PATH_MAX];
  UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int length = MultiByteToWideChar(codePage, 0, name, -1, wide, PLAT_PATH_MAX);
  if (length <= 1 || length > 32767) {
    failWin32(length == 1 ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE;
  }
  UNICODE_STRING text;
  text.Buffer = wide;
  text.Length = (USHORT)((length - 1) * sizeof(WCHAR));
  text.MaximumLength = (USHORT)(length * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, toWin(dir), nullptr);
  IO_STATUS_BLOCK status;
  HANDLE h = INVALID_HANDLE_VALUE;
  NTSTATUS result =
      NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                   kShare, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) {
    failWin32(RtlNtStatusToDosError(result));
    return INVALID_HANDLE;
  }
  return fromWin(h);
}

}  // namespace

PlatHandle platOpenInDir(PlatHandle dir, const char* name) {
  return openRelative(dir, name, GENERIC_READ, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
}

long long platFileSize(PlatHandle h) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(toWin(h), &size)) return failWin32();
  return size.QuadPart;
}

namespace {

// One ReadFile or WriteFile at an absolute offset: the offset rides in the OVERLAPPED
// record, so no shared file pointer is involved. Bytes moved, 0 at the end, -1 on error.
long long transferOnce(PlatHandle h, long long offset, char* buffer, size_t count, bool write) {
  OVERLAPPED at{};
  at.Offset = (DWORD)((unsigned long long)offset & 0xFFFFFFFFu);
  at.OffsetHigh = (DWORD)((unsigned long long)offset >> 32);
  DWORD chunk = count > (1u << 30) ? (1u << 30) : (DWORD)count;  // ReadFile takes a DWORD
  DWORD moved = 0;
  BOOL ok = write ? WriteFile(toWin(h), buffer, chunk, &moved, &at)
                  : ReadFile(toWin(h), buffer, chunk, &moved, &at);
  if (ok) return moved;
  DWORD error = GetLastError();
  if (!write && error == ERROR_HANDLE_EOF) return 0;  // reading at or past the end
  return failWin32(error);
}

// Repeats positioned transfers until count bytes have moved, the file ended, or an error
// came; an error after some bytes moved counts as a short transfer.
long long transferAt(PlatHandle h, long long offset, char* buffer, size_t count, bool write) {
  if (offset < 0) return failWin32(ERROR_NEGATIVE_SEEK);
  size_t done = 0;
  while (done < count) {
    long long r = transferOnce(h, offset + (long long)done, buffer + done, count - done, write);
    if (r < 0) return done ? (long long)done : -1;
    if (r == 0) break;
    done += (size_t)r;
  }
  return (long long)done;
}

}  // namespace

long long platReadAt(PlatHandle h, long long offset, void* buffer, size_t count) {
  return transferAt(h, offset, static_cast<char*>(buffer), count, false);
}

long long platReadSome(PlatHandle h, long long offset, void* buffer, size_t count) {
  if (offset < 0) return failWin32(ERROR_NEGATIVE_SEEK);
  return transferOnce(h, offset, static_cast<char*>(buffer), count, false);
}

long long platWriteAt(PlatHandle h, long long offset, const void* buffer, size_t count) {
  return transferAt(h, offset, static_cast<char*>(const_cast<void*>(buffer)), count, true);
}

long long platCopyRange(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                        long long count) {
  // Win32 has no copy between two open handles at given offsets (CopyFileEx copies whole
  // named files), so the bytes go through a buffer.
  static thread_local char buffer[1 << 16];
  long long done = 0;
  while (done < count) {
    long long want = count - done;
    size_t chunk = want < (long long)sizeof buffer ? (size_t)want : sizeof buffer;
    long long r = platReadAt(src, srcOffset + done, buffer, chunk);
    if (r < 0) return done ? done : -1;
    if (r == 0) break;
    long long w = platWriteAt(dst, dstOffset + done, buffer, (size_t)r);
    if (w != r) return done ? done + (w > 0 ? w : 0) : -1;
    done += r;
  }
  return done;
}

int platFlush(PlatHandle h) { return FlushFileBuffers(toWin(h)) ? 0 : (int)failWin32(); }

void platClose(PlatHandle h) {
  if (h != INVALID_HANDLE) CloseHandle(toWin(h));
}

PlatHandle platCreateTemp(const char* nearPath, char* tempPath, size_t tempSize) {
  static LONG counter = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    unsigned n = (unsigned)InterlockedIncrement(&counter);
    int length = snprintf(tempPath, tempSize, "%s.tmp%lu.%u", nearPath,
                          (unsigned long)GetCurrentProcessId(), n);
    if (length < 0 || (size_t)length >= tempSize) {
      failWin32(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE;
    }
    // CREATE_NEW refuses a name that exists, so a stray file is never taken over.
    PlatHandle h = openPath(tempPath, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    if (h != INVALID_HANDLE || lastWin32 != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE;
}

int platRenameHost(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : (int)failWin32();
}

int platRemoveHost(const char* path) { return DeleteFileA(path) ? 0 : (int)failWin32(); }

// The run-time library's descriptors, in binary mode: the line reader's seeks count bytes,
// and text mode would turn "\r\n" into "\n" behind its back.
int platFdOpenRead(const char* path) {
  if (isDirectory(path)) return (int)failText("Is a directory");
  int fd = _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
  if (fd < 0) failCrt();
  return fd;
}

void platFdClose(int fd) {
  if (fd >= 0) _close(fd);
}

long platFdRead(int fd, void* buffer, unsigned long count) {
  unsigned chunk = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : (unsigned)count;
  int r = _read(fd, buffer, chunk);
  return r < 0 ? (long)failCrt() : (long)r;
}

long platFdWrite(int fd, const void* buffer, unsigned long count) {
  unsigned long done = 0;
  while (done < count) {
    unsigned long left = count - done;
    unsigned chunk = left > 0x7FFFFFFFu ? 0x7FFFFFFFu : (unsigned)left;
    int r = _write(fd, (const char*)buffer + done, chunk);
    if (r <= 0) return done ? (long)done : (long)failCrt();
    done += (unsigned long)r;
  }
  return (long)done;
}

long platFdSeek(int fd, long offset, int origin) {
  int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  long long r = _lseeki64(fd, offset, whence);
  if (r < 0) return (long)failCrt();
  if (r > 0x7FFFFFFFLL) return (long)failWin32(ERROR_ARITHMETIC_OVERFLOW);  // long is 32 bits
  return (long)r;
}

int platMakeDir(const char* path) {
  return CreateDirectoryA(path, nullptr) ? 0 : (int)failWin32();
}

namespace {

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
std::int64_t unixSeconds(const FILETIME& t) {
  unsigned long long ticks = ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
  return (std::int64_t)(ticks / 10000000ull) - 11644473600LL;
}

bool fillFindData(const WIN32_FIND_DATAA& found, PlatFindData* data) {
  size_t length = strlen(found.cFileName);
  if (length >= sizeof data->name) return false;
  memcpy(data->name, found.cFileName, length + 1);
  data->isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  // The callers want no size or time of a directory.
  data->sizeLow = data->isDirectory ? 0 : found.nFileSizeLow;
  data->writeTime = data->isDirectory ? 0 : unixSeconds(found.ftLastWriteTime);
  return true;
}

}  // namespace

int platFindFirst(PlatFind* find, const char* pattern, PlatFindData* data) {
  find->dir = nullptr;
  const char* slash = nullptr;
  for (const char* c = pattern; *c; c++)
    if (*c == '\\' || *c == '/' || (*c == ':' && c == pattern + 1)) slash = c;
  const char* name = slash ? slash + 1 : pattern;
  size_t nameLength = strlen(name), dirLength = slash ? (size_t)(name - pattern) : 0;
  if (nameLength == 0 || nameLength >= sizeof find->pattern || dirLength >= sizeof find->hostDir)
    return 0;
  memcpy(find->pattern, name, nameLength + 1);
  memcpy(find->hostDir, pattern, dirLength);
  find->hostDir[dirLength] = 0;
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pattern, &found);
  if (h == INVALID_HANDLE_VALUE) {
    failWin32();
    return 0;
  }
  find->dir = h;
  if (fillFindData(found, data) || platFindNext(find, data)) return 1;
  platFindClose(find);
  return 0;
}

int platFindNext(PlatFind* find, PlatFindData* data) {
  if (!find->dir) return 0;
  WIN32_FIND_DATAA found;
  while (FindNextFileA(static_cast<HANDLE>(find->dir), &found))
    if (fillFindData(found, data)) return 1;
  return 0;
}

void platFindClose(PlatFind* find) {
  if (find->dir) FindClose(static_cast<HANDLE>(find->dir));
  find->dir = nullptr;
}

int platFindPath(const PlatFind* find, const PlatFindData* data, char* out, size_t outSize) {
  return (size_t)snprintf(out, outSize, "%s%s", find->hostDir, data->name) < outSize;
}

const char* platLastError() {
  if (lastKind == ErrorKind::text) return lastText;
  if (lastKind == ErrorKind::crt) return strerror(lastErrno);
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, lastWin32, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                lastMessage, sizeof lastMessage, nullptr);
  if (length == 0) {
    snprintf(lastMessage, sizeof lastMessage, "Windows error %lu", (unsigned long)lastWin32);
    return lastMessage;
  }
  // A one-line reason like strerror's: no line break or closing full stop.
  while (length > 0 && strchr("\r\n .", lastMessage[length - 1])) length--;
  lastMessage[length] = 0;
  return lastMessage;
}

void platWriteStderr(const char* text, size_t length) {
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

int platKeyState(int key) { return GetAsyncKeyState(key) & 1; }

namespace {
std::atomic<PlatMessageBoxHook> messageBoxHook{nullptr};
}  // namespace

PlatMessageBoxHook platSetMessageBoxHook(PlatMessageBoxHook hook) {
  return messageBoxHook.exchange(hook);
}

void platMessageBox(const char* text, const char* caption) {
  if (PlatMessageBoxHook hook = messageBoxHook.load()) return hook(text, caption);
  MessageBoxA(nullptr, text, caption, MB_OK);
}

int platOtherThreadsEnded() { return RtlDllShutdownInProgress() ? 1 : 0; }
