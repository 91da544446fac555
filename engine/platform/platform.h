// The host layer: every operation the engine needs from the operating system, and the
// conversions between host file times and MS-DOS dates. Nothing else includes OS headers.
#pragma once
#include <cstddef>
#include <cstdint>

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
int platHostPath(const char* path, char* out, size_t outSize, int keepLast = 0);

// ---- files by handle ---------------------------------------------------------------------
// All transfers are positioned: they never move a shared file pointer, so a transfer on a
// shared handle cannot race another thread's.
PlatHandle platOpenRead(const char* path);
// The file manager's opens: an existing regular file, for reading and writing or reading
// only. Anything else (a directory, a FIFO, a device) is refused without waiting on it.
PlatHandle platOpenFile(const char* path, int writable);
// Creates or empties a file for reading and writing. An existing file whose name differs
// only in case is the one emptied, as on a case-blind system.
PlatHandle platCreateMatched(const char* path);
// Opens a host path as it stands (one a directory search gave).
PlatHandle platOpenHostRead(const char* hostPath);
// A host directory held open so that many files in it open by name alone, without the
// host walking the whole path again for each.
PlatHandle platOpenHostDir(const char* hostDir);
PlatHandle platOpenInDir(PlatHandle dir, const char* name);
long long platFileSize(PlatHandle h);  // -1 on failure
// Bytes transferred (fewer only at the end of the file), or -1 when an error stopped the
// transfer, even after some bytes moved; platLastError then tells why.
long long platReadAt(PlatHandle h, long long offset, void* buffer, size_t count);
// One read: may deliver fewer bytes than asked before the end of the file. For a regular
// file a short count means the end was reached.
long long platReadSome(PlatHandle h, long long offset, void* buffer, size_t count);
long long platWriteAt(PlatHandle h, long long offset, const void* buffer, size_t count);
// One write: may move fewer bytes than asked (a full disk); -1 when it moved none.
long long platWriteSome(PlatHandle h, long long offset, const void* buffer, size_t count);
// Copies count bytes between two files at the given offsets with the host's fastest means;
// returns the bytes copied (fewer when the source ended early), or -1 when an error
// stopped the copy.
long long platCopyRange(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                        long long count);
// platCopyRange that takes the bytes through buffer (size bytes) where the two offsets lie at
// different places within a page: the host's copy then fills every page of the target in two
// pieces, and a read and a write of large blocks cost a quarter to a third less.
long long platCopyRangeVia(PlatHandle src, long long srcOffset, PlatHandle dst,
                           long long dstOffset, long long count, void* buffer, size_t size);
int platFlush(PlatHandle h);

// ---- writing behind a file being written ------------------------------------------------
// A file written front to back and flushed at the end: each finished stretch's writeback is
// started while the writing goes on, so that the final flush waits only for the tail, and
// stretches well behind the writer are waited for, so that the dirty memory the file holds
// stays bounded. Where the host has no such means nothing is done and the final flush does
// it all.
struct PlatWriteBehind {
  PlatHandle handle;
  long long started;  // writeback started for the bytes before this offset
  long long waited;   // and waited for before this one
  int off;            // the host or the file system has none: nothing more is tried
};
void platWriteBehindBegin(PlatWriteBehind* behind, PlatHandle h);
// Every byte of the file before end is written and stays as it is. 0, or -1 when writing
// back failed (platLastError says why): the host may report that failure only once, so the
// final flush may not hear of it and the file must count as not written.
int platWriteBehind(PlatWriteBehind* behind, long long end);
// Sets the file's last-write time (seconds since 1970, UTC); its access time stays. 0 on
// success.
int platSetWriteTime(PlatHandle h, std::int64_t time);
int platClose(PlatHandle h);  // 0 on success; the handle is gone either way
// Whether the open file is a regular file (not a pipe, device, socket or directory): 1 or 0;
// -1 when the host could not tell (platLastError says why).
int platIsRegularFile(PlatHandle h);

// ---- run-time library style descriptors (line readers, formatted output) ----------------
int platFdOpenRead(const char* path);  // -1 on failure
void platFdClose(int fd);
int platFdIsRegularFile(int fd);  // as platIsRegularFile
// Short only at the end of the file; -1 on failure.
long platFdRead(int fd, void* buffer, unsigned long count);
long platFdWrite(int fd, const void* buffer, unsigned long count);
// origin 0: from the start, 1: from the position, 2: from the end. New position or -1.
long platFdSeek(int fd, long offset, int origin);

// ---- directories -------------------------------------------------------------------------
int platMakeDir(const char* path);  // one level; 0 on success, -1 on failure

// One match of a directory search.
struct PlatFindData {
  char name[256];  // as stored on disk
  int isDirectory;
  std::uint32_t sizeLow;   // low 32 bits of the size
  std::int64_t writeTime;  // last write, seconds since 1970-01-01 UTC
  std::int64_t size;       // the whole size of a file; 0 for a directory
  // A symbolic link whose target is missing (or a loop of links): given only by a search
  // started with platFindFirstWithBroken, as a file without size or time.
  int brokenLink;
  // A regular file given by name only (platFindFirstNamesOnly): size and time not looked at.
  int unlooked;
};

// A running directory search; the caller owns the record (nothing is allocated for it).
struct PlatFind {
  void* dir;
  char hostDir[PLAT_PATH_MAX];  // the searched directory on the host, ending in '/'
  char pattern[256];            // the wildcard name
  // Set when the directory exists but could not be read, or its listing broke off;
  // platLastError tells why. A directory that does not exist just finds nothing.
  int unreadable;
  std::uint64_t device, inode;  // the searched directory's identity, to recognise loops
  int withBroken;               // broken links are given too (platFindFirstWithBroken)
  int namesOnly;                // regular files given unlooked (platFindFirstNamesOnly)
};

// Starts a search for pattern: a directory part plus a wildcard name. '*' and '?' match
// without regard to case, and "*.*" (any pattern ending in ".*") also matches names without
// a dot, always against the name as stored (never a host's short alias of it). "." and ".."
// are returned like any other entry. Returns 1 with the first match,
// or 0 when the search cannot start or finds nothing (then nothing needs closing).
int platFindFirst(PlatFind* find, const char* pattern, PlatFindData* data);
// The same search, also giving the broken links it matches (brokenLink set): a caller that
// names what it leaves out, where the others pass over them as over names of nothing.
int platFindFirstWithBroken(PlatFind* find, const char* pattern, PlatFindData* data);
// platFindFirstWithBroken that gives a regular file by its name alone (unlooked set, no size
// or time) where the host's listing tells regular files apart without a look at each (POSIX;
// Windows lists sizes and times anyway): a caller may look at them later, on other threads,
// with platLookInDir. Directories, links and the rest come as platFindFirstWithBroken gives them.
int platFindFirstNamesOnly(PlatFind* find, const char* pattern, PlatFindData* data);
// Looks at the entry name of the directory open on dir, following links: 1 a regular file
// (data's size and time filled), 0 none there any more (gone, or no longer a regular file),
// -1 the look failed (platLastError says why).
int platLookInDir(PlatHandle dir, const char* name, PlatFindData* data);
int platFindNext(PlatFind* find, PlatFindData* data);
void platFindClose(PlatFind* find);
// The search's wildcard rule by itself.
int platMatchName(const char* pattern, const char* name);

// ---- errors and the console --------------------------------------------------------------
const char* platLastError();  // the reason of the last failed call, as text
// How many calls have failed on this thread so far: a caller whose callee hides failures
// (a line reader gives an empty line) compares the count before and after.
unsigned long platErrorCount();
// Whether the last failure was a full disk (or a full quota): more writes would fail alike.
int platLastErrorIsNoSpace();
// Records running out of memory as the reason of the last failure (counted like any other):
// the tracked allocator calls it, so that a caller whose callee hides a failed block (a line
// reader gives an empty line) sees it as it sees a failed read.
void platNoteOutOfMemory();
void platWriteStderr(const char* text, size_t length);
int platKeyState(int key);  // bit 0: pressed since the last query
void platMessageBox(const char* text, const char* caption);
// Puts a function of the caller's in place of the message box (null puts the box back):
// tests see the text, and a run on Windows does not wait on a dialog nobody answers.
typedef void (*PlatMessageBoxHook)(const char* text, const char* caption);
PlatMessageBoxHook platSetMessageBoxHook(PlatMessageBoxHook hook);

// ---- the end of the process --------------------------------------------------------------
// Whether the process is ending and the host has already ended all its other threads:
// Windows does so before it runs a DLL's exit-time destructors, where joining a thread
// would then wait forever. Always 0 on POSIX, which runs them with the threads alive.
int platOtherThreadsEnded();

// ---- MS-DOS dates and times --------------------------------------------------------------
// UTC seconds since 1970 to MS-DOS date and time (seconds halved). A time the format
// cannot hold (before 1980 or after 2107) gives 0/0 and the result 0.
int platTimeToDos(std::int64_t time, std::uint16_t* date, std::uint16_t* dosTime);
// The reverse; 0 when the pair is not a valid date and time.
int platDosToTime(std::uint16_t date, std::uint16_t dosTime, std::int64_t* time);
// The civil year (UTC) of time, seconds since 1970.
std::int64_t platYearOf(std::int64_t time);
// Compares two date and time pairs in time: -1, 0 or 1. A pair that is not a valid date
// and time counts as earlier than any valid one.
int platCompareDosTime(std::uint16_t dateA, std::uint16_t timeA, std::uint16_t dateB,
                       std::uint16_t timeB);

// ---- writing below a held directory, never through a link --------------------------------
// Opens the directory level name (one component) inside dir: the exact name first, else the
// first name in byte order that matches without regard to case; made when there is none.
// Never follows a link: a level that is a symbolic link gives INVALID_HANDLE with *isLink
// set. dir INVALID_HANDLE stands for the current directory.
PlatHandle platOpenLevel(PlatHandle dir, const char* name, int* isLink);
// Creates the regular file name (exact spelling) in dir, open for writing, truncating a
// regular file of that name. A symbolic link (or pipe, socket, device) of that name is
// removed and replaced, so nothing is written through it and its target stays untouched.
PlatHandle platCreateInDir(PlatHandle dir, const char* name);
int platRemoveInDir(PlatHandle dir, const char* name);  // 0 on success
// platOpenLevel that also tells, in *made, whether the level was made just now (always 0
// on Windows, where nothing is ever looked up by case: the host matches names itself).
PlatHandle platOpenLevelNoting(PlatHandle dir, const char* name, int* isLink, int* made);
// platCreateInDir that also tells, in *fresh, whether nothing had the name, so that a new
// file was made (always 0 on Windows, where an existing file whose name differs only in
// case is the one opened).
PlatHandle platCreateInDirNoting(PlatHandle dir, const char* name, int* fresh);
// Calls visit with every name in dir but "." and "..", and whether it is a regular file:
// what a writer needs to find a file whose name differs only in case. Lists nothing on
// Windows, which matches names without regard to case itself. 0 on success.
typedef void (*PlatListVisit)(const char* name, int isRegular, void* context);
int platListForCaseMatch(PlatHandle dir, PlatListVisit visit, void* context);

// ---- files an interrupt leaves whole or absent ---------------------------------------------
// A job writing many files (the unpacker) makes, names and drops each file through these. A
// file being written is on the list the tool's signal handlers remove from the moment it
// exists. A handler waits for every thread in the middle of one of these calls and stops each
// thread that comes to one afterwards, so the list holds still while it is removed; the
// calling thread has the three signals blocked meanwhile, so the handler never runs on top of
// one. The directory dir must stay open until the file is off the list.

// Makes the regular file name in dir, open for writing, only when nothing has that name;
// *token is its place on the list. INVALID_HANDLE when it cannot be made, with *taken set
// when the name was there already.
PlatHandle platCreateGuardedInDir(PlatHandle dir, const char* name, int* token, int* taken);
// Makes a file beside name in dir under a temporary name of the tool's pattern
// ("name.tmpPID.N", given in temp), open for writing, on the list.
PlatHandle platCreateBesideInDir(PlatHandle dir, const char* name, char* temp, size_t tempSize,
                                 int* token);
// Renames the finished file temp over name (replacing a file, link or pipe, never writing
// through it) and takes it off the list; 0 on success. On failure temp is removed.
int platReplaceGuardedInDir(PlatHandle dir, const char* temp, const char* name, int token);
// Removes the file name being written (it failed) and takes it off the list.
void platDropGuardedInDir(PlatHandle dir, const char* name, int token);
// Takes a complete file off the list: an interrupt from now on leaves it. -1 is ignored.
void platUnguardPartialFile(int token);
// ---- spare files: a replaced file's blocks written again ---------------------------------
// Replacing a file frees its blocks, and some file systems wait for the disk to discard them
// (ext4 mounted with discard): that wait, one per file, was most of an update's time. A
// writer thread therefore keeps the old copies its replacements take out of the tree, under
// temporary names on the interrupt list, and writes a later file into one of them instead of
// into a new file: blocks are reused, none freed. Only a plain file of its own is kept (one
// name, this user's, no extended attributes or inode flags) and only taken when nobody has it
// open; it is then given the mode and group a new file would get, in a directory whose new
// files take no default ACL. Hosts without the means keep no spare.
constexpr int PLAT_SPARE_MAX = 8;
struct PlatSpare {
  PlatHandle dir;       // a handle of its own on the directory it lies in
  PlatHandle handle;    // open for reading and writing
  long long allocated;  // the bytes of its blocks
  int token;            // its place on the interrupt list
  char name[320];
};
struct PlatSpares {  // zero-initialise
  int count;
  PlatSpare spare[PLAT_SPARE_MAX];
};
// A spare for a new file of size bytes beside name in dir: one whose blocks the file fills
// without any being freed, moved beside name under a temporary name (in temp, on the list as
// *token), cut to size and open for writing from its start, as platCreateBesideInDir gives.
// INVALID_HANDLE when none fits (the caller makes a new file).
PlatHandle platTakeSpareInDir(PlatSpares* spares, PlatHandle dir, const char* name,
                              long long size, char* temp, size_t tempSize, int* token);
// platReplaceGuardedInDir that keeps the old copy: the complete file temp and name are
// exchanged where the host can, and what name held joins the spares when it may be written
// again, else is removed. 0 on success; on failure temp is removed.
int platReplaceKeepingInDir(PlatSpares* spares, PlatHandle dir, const char* temp,
                            const char* name, int token);
// Removes every spare: a writer's end. 0, or -1 when a name could not be removed (the
// reason recorded): a temporary file is left beside the tree.
int platDropSpares(PlatSpares* spares);
// Opens the file name in dir for reading, to see whether it already holds what would be
// written there: never through a link, and only a file an unpack may leave in place, one
// that looks as a file written anew would (regular, no other name, owned by this process's
// user and writable by its owner). INVALID_HANDLE for anything else; *size gets its size.
PlatHandle platOpenKeepableInDir(PlatHandle dir, const char* name, long long* size);
// Dates the open file now (its last-write time), as writing it would; 0 on success.
int platTouch(PlatHandle h);
// Whether name in dir (a link not followed) is the open file: 1, else 0.
int platIsSameFileInDir(PlatHandle dir, const char* name, PlatHandle file);
// Whether name is a temporary name the tool gives for a file named targetName ("new files"
// below and files replaced by the unpacker) whose process is gone: a dead process's debris.
int platIsStaleTempNameOf(const char* targetName, const char* name);
// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread for good: a job's helper threads,
// so that a handler runs on the thread that leads the job and the helpers just stop.
void platBlockToolSignals();

// ---- a new file that takes its name only when complete -----------------------------------
// Written without a name where the file system allows it (so that not even a killed process
// leaves anything behind), else under a temporary name beside the target that the tool's
// signal handlers remove. Commit gives it the target's name, replacing what was there, in a
// way that lasts through a power cut: the data is flushed to the disk before the file takes
// a name, and the directory after the rename (a write-through move on Windows).
struct PlatNewFile {
  PlatHandle handle;
  int anonymous;               // no name yet
  // 1 (what create sets): commit flushes as said above. 0, for a scratch output: no flush;
  // the rename still replaces the target in one step for every other process, but after a
  // power cut or a system crash the name may hold the old file, or a new one partly
  // written or empty.
  int durable;
  int slot;                    // the temporary name's place in the signal handlers' list
  int debrisRemoved;           // how many names create removed (see below)
  char debris[PLAT_PATH_MAX];  // the last of them, a host path, for the caller to tell
  char target[PLAT_PATH_MAX];  // host paths
  char temp[PLAT_PATH_MAX];
};
// Creating removes first the temporary names of the target's own pattern that a killed
// process left beside it: regular files whose process is gone, nothing else (a link, a
// pipe or a directory of that name stays). 0 on success.
int platNewFileCreate(PlatNewFile* file, const char* path);
// Flushes the data, closes the file (checking the result) and renames it into place; 0 on
// success. On failure before the rename the new file is gone and whatever had the target's
// name is kept. A failed flush of the directory after the rename fails too (platLastError
// says so): the new file is in place, but a power cut could undo the replacement.
int platNewFileCommit(PlatNewFile* file);
void platNewFileDiscard(PlatNewFile* file);

// ---- the file a new file replaces, and the lock of the jobs that replace it --------------
// The host path of the file that path names, following symbolic links to the end: a new
// file committed there replaces the file a link points to and leaves the link as it is. A
// path that is no link gives its host path. 0 on success; -1 when the host cannot tell
// (a dangling link or a loop: platLastError says why).
int platFollowLinks(const char* path, char* out, size_t outSize);

// Whether two paths lead to one file, each followed through a link of its last name as
// platFollowLinks does: one existing file (device and inode; volume and file index), or,
// where either does not exist yet, one directory and last names equal without regard to
// case. 1 or 0 (0 too when either cannot be followed).
int platSamePlace(const char* a, const char* b);

// An advisory lock held by the jobs that replace the file at a host path (one from
// platFollowLinks), so that two of them never both read the old file and both replace it.
// It lives in a companion file beside it, the path with ".lock" appended, which no rename
// touches: a lock on the file itself would stay with the old file once a new one took its
// name. POSIX: flock on the companion, which its holder removes on release; a holder that
// dies releases the lock with its descriptors and leaves at most an unlocked companion,
// which the next holder takes over. Windows: the companion opened unshared and deleted on
// close, which the system also does for a holder that dies. An interrupt (platInstall
// ToolSignals) removes a held companion.
struct PlatFileLock {
  PlatHandle handle;
  int slot;                  // its place on the interrupt handlers' list
  char path[PLAT_PATH_MAX];  // the companion
};
enum { PLAT_LOCKED = 0, PLAT_LOCK_FAILED = -1, PLAT_LOCK_BUSY = 1 };
// Takes the lock of the file at hostPath, waiting at most waitMs milliseconds for another
// holder to release it: PLAT_LOCKED, PLAT_LOCK_BUSY when the wait ran out (lock->path names
// the companion), or PLAT_LOCK_FAILED (platLastError says why).
int platLockFile(PlatFileLock* lock, const char* hostPath, int waitMs);
void platUnlockFile(PlatFileLock* lock);  // a lock not held is ignored

// For a program such as the tool: a write past the file size limit fails with "File too
// large" instead of killing the process, and SIGINT, SIGTERM and SIGHUP remove the
// temporary names of unfinished new files and the guarded files being written before the
// process ends as the signal says.
void platInstallToolSignals();

// ---- SHA-256 from the host's own library ------------------------------------------------
// The host's maintained implementation (libcrypto's EVP on POSIX, CNG on Windows), which
// uses the processor's SHA instructions where present. One hasher serves one thread at a
// time and any number of messages in turn.
constexpr int PLAT_SHA256_SIZE = 32;
struct PlatSha256;
// A new hasher, ready for a message; null when the host offers none (platLastError says why).
PlatSha256* platSha256Open();
int platSha256Add(PlatSha256* hasher, const void* bytes, size_t count);  // 0 on success
// The digest of the message added since the last finish; the hasher is then ready for the
// next message. 0 on success.
int platSha256Finish(PlatSha256* hasher, unsigned char digest[PLAT_SHA256_SIZE]);
void platSha256Close(PlatSha256* hasher);  // null is ignored

// ---- processors --------------------------------------------------------------------------
// How many processors this process may run on (its affinity), at least 1.
int platProcessorCount();
// Has before run just before the process forks (in the forking thread), and inParent and
// inChild just after, in the parent and in the child, so that a lock another thread holds
// at that moment is not inherited held by a child in which that thread does not exist.
// Hosts without fork run none of them. 0 on success.
int platOnFork(void (*before)(), void (*inParent)(), void (*inChild)());
// A second handle on the same open file or directory, closed on its own; INVALID_HANDLE on
// failure.
PlatHandle platDuplicate(PlatHandle h);
