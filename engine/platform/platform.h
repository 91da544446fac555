// The host layer: every operation the engine needs from the operating system, and the
// conversions between host file times and MS-DOS dates. Nothing else includes OS headers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/engine_api.h"

// An open file: a descriptor on POSIX, a Win32 HANDLE on Windows, held in an integer of
// pointer width under a name of its own so that it never meets <windows.h>'s HANDLE.
// The invalid value has all bits set (INVALID_HANDLE_VALUE on Windows).
typedef std::intptr_t PlatHandle;
constexpr PlatHandle INVALID_HANDLE = -1;

constexpr int PLAT_PATH_MAX = 4096;

// ---- host paths --------------------------------------------------------------------------
// The engine speaks Windows paths: backslash separators, names matched without regard to
// case. platHostPath turns one into the host's path: backslashes become '/', and every
// component that does not exist under its exact name is looked up without regard to case
// (exact name first, then the first match in byte order). With keepLast set the last
// component is kept as given (for an entry about to be created). Returns 0 when the result
// would not fit outSize.
ENGINE_API int platHostPath(const char* path, char* out, size_t outSize, int keepLast = 0);

// ---- files by handle ---------------------------------------------------------------------
// All transfers are positioned: they never move a shared file pointer, so a transfer on a
// shared handle cannot race another thread's.
ENGINE_API PlatHandle platOpenRead(const char* path);
ENGINE_API PlatHandle platOpenReadWrite(const char* path);
ENGINE_API PlatHandle platCreateFile(const char* path);  // create or truncate, read-write
// The file manager's opens: an existing regular file, for reading and writing or reading
// only. Anything else (a directory, a FIFO, a device) is refused without waiting on it.
ENGINE_API PlatHandle platOpenFile(const char* path, int writable);
// Creates or empties a file for reading and writing. Unlike platCreateFile, an existing
// file whose name differs only in case is the one emptied, as on a case-blind system.
ENGINE_API PlatHandle platCreateMatched(const char* path);
// Opens a host path as it stands (one a directory search or platCreateTemp gave).
ENGINE_API PlatHandle platOpenHostRead(const char* hostPath);
// A host directory held open so that many files in it open by name alone, without the
// host walking the whole path again for each.
ENGINE_API PlatHandle platOpenHostDir(const char* hostDir);
ENGINE_API PlatHandle platOpenInDir(PlatHandle dir, const char* name);
ENGINE_API long long platFileSize(PlatHandle h);  // -1 on failure
// Bytes transferred (fewer only at the end of the file or on failure), or -1 when nothing
// could be transferred because of an error.
ENGINE_API long long platReadAt(PlatHandle h, long long offset, void* buffer, size_t count);
// One read: may deliver fewer bytes than asked before the end of the file. For a regular
// file a short count means the end was reached.
ENGINE_API long long platReadSome(PlatHandle h, long long offset, void* buffer, size_t count);
ENGINE_API long long platWriteAt(PlatHandle h, long long offset, const void* buffer, size_t count);
// Copies count bytes between two files at the given offsets with the host's fastest means;
// returns the bytes copied (fewer when the source ended early), or -1 on an error.
ENGINE_API long long platCopyRange(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                                   long long count);
ENGINE_API int platFlush(PlatHandle h);
ENGINE_API void platClose(PlatHandle h);

// A new, empty file beside nearPath (same directory) with a unique name, open read-write;
// its host path goes to tempPath. INVALID_HANDLE on failure.
ENGINE_API PlatHandle platCreateTemp(const char* nearPath, char* tempPath, size_t tempSize);
// Host-path operations (the arguments are host paths, as platCreateTemp gives them).
ENGINE_API int platRenameHost(const char* from, const char* to);  // 0 on success
ENGINE_API int platRemoveHost(const char* path);                  // 0 on success

// ---- run-time library style descriptors (line readers, formatted output) ----------------
ENGINE_API int platFdOpenRead(const char* path);  // -1 on failure
ENGINE_API void platFdClose(int fd);
ENGINE_API long platFdRead(int fd, void* buffer, unsigned long count);  // -1 on failure
ENGINE_API long platFdWrite(int fd, const void* buffer, unsigned long count);
// origin 0: from the start, 1: from the position, 2: from the end. New position or -1.
ENGINE_API long platFdSeek(int fd, long offset, int origin);

// ---- directories -------------------------------------------------------------------------
ENGINE_API int platMakeDir(const char* path);  // one level; 0 on success, -1 on failure

// One match of a directory search.
struct PlatFindData {
  char name[256];  // as stored on disk
  int isDirectory;
  std::uint32_t sizeLow;   // low 32 bits of the size
  std::int64_t writeTime;  // last write, seconds since 1970-01-01 UTC
};

// A running directory search; the caller owns the record (nothing is allocated for it).
struct PlatFind {
  void* dir;
  char hostDir[PLAT_PATH_MAX];  // the searched directory on the host, ending in '/'
  char pattern[256];            // the wildcard name
};

// Starts a search for pattern: a directory part plus a wildcard name. '*' and '?' match
// without regard to case, and "*.*" (any pattern ending in ".*") also matches names without
// a dot. "." and ".." are returned like any other entry. Returns 1 with the first match,
// or 0 when the search cannot start or finds nothing (then nothing needs closing).
ENGINE_API int platFindFirst(PlatFind* find, const char* pattern, PlatFindData* data);
ENGINE_API int platFindNext(PlatFind* find, PlatFindData* data);
ENGINE_API void platFindClose(PlatFind* find);
// The host path of a match just returned; 0 when it does not fit.
ENGINE_API int platFindPath(const PlatFind* find, const PlatFindData* data, char* out,
                            size_t outSize);
// The search's wildcard rule by itself.
ENGINE_API int platMatchName(const char* pattern, const char* name);

// ---- errors and the console --------------------------------------------------------------
ENGINE_API const char* platLastError();  // the reason of the last failed call, as text
ENGINE_API void platWriteStderr(const char* text, size_t length);
ENGINE_API int platKeyState(int key);  // bit 0: pressed since the last query
ENGINE_API void platMessageBox(const char* text, const char* caption);
// Puts a function of the caller's in place of the message box (null puts the box back):
// tests see the text, and a run on Windows does not wait on a dialog nobody answers.
typedef void (*PlatMessageBoxHook)(const char* text, const char* caption);
ENGINE_API PlatMessageBoxHook platSetMessageBoxHook(PlatMessageBoxHook hook);

// ---- the end of the process --------------------------------------------------------------
// Whether the process is ending and the host has already ended all its other threads:
// Windows does so before it runs a DLL's exit-time destructors, where joining a thread
// would then wait forever. Always 0 on POSIX, which runs them with the threads alive.
ENGINE_API int platOtherThreadsEnded();

// ---- MS-DOS dates and times --------------------------------------------------------------
// UTC seconds since 1970 to MS-DOS date and time (seconds halved). A time the format
// cannot hold (before 1980 or after 2107) gives 0/0 and the result 0.
ENGINE_API int platTimeToDos(std::int64_t time, std::uint16_t* date, std::uint16_t* dosTime);
// The reverse; 0 when the pair is not a valid date and time.
ENGINE_API int platDosToTime(std::uint16_t date, std::uint16_t dosTime, std::int64_t* time);
// Compares two date and time pairs in time: -1, 0 or 1. A pair that is not a valid date
// and time counts as earlier than any valid one.
ENGINE_API int platCompareDosTime(std::uint16_t dateA, std::uint16_t timeA, std::uint16_t dateB,
                                  std::uint16_t timeB);
