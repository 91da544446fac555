// The POSIX host layer's own: the system calls, each through the failure seam, and the slot
// that keeps the reason of the last failure. Included by the POSIX units only. Nothing else
// in the engine makes a system call (tools/check_raw_calls.sh checks it).
#pragma once
#include <dirent.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

// Records errno as the reason of the last failure (what platLastError tells); returns -1.
int platRecordError();
// Records error as the reason of the last failure; returns -1.
int platRecordErrorCode(int error);
// Records error with a note that platLastError puts after its text (a static string, such
// as what the failure left behind); returns -1.
int platRecordErrorNoted(int error, const char* note);

int sysOpen(const char* path, int flags, mode_t mode = 0666);
int sysOpenAt(int dir, const char* name, int flags, mode_t mode = 0666);
DIR* sysOpenDir(const char* path);
ssize_t sysPread(int fd, void* buffer, size_t count, off_t at);
ssize_t sysPwrite(int fd, const void* buffer, size_t count, off_t at);
ssize_t sysRead(int fd, void* buffer, size_t count);
ssize_t sysWrite(int fd, const void* buffer, size_t count);
int sysClose(int fd);  // the descriptor is closed whatever the result
int sysRename(const char* from, const char* to);
int sysRenameAt(int fromDir, const char* from, int toDir, const char* to);
// renameat2 with RENAME_EXCHANGE (the two names swap their files) or RENAME_NOREPLACE (no
// file of the name to is replaced), counted as renames.
int sysExchangeAt(int fromDir, const char* from, int toDir, const char* to);
int sysRenameNewAt(int fromDir, const char* from, int toDir, const char* to);
int sysTruncate(int fd, off_t size);  // ftruncate, counted as a write
int sysSetMode(int fd, mode_t mode);  // fchmod, counted as a look
// The bytes of the names of the file's extended attributes (0: none), and its inode flags
// (FS_IOC_GETFLAGS; 0 where the file system keeps none); counted as looks.
ssize_t sysAttributeNames(int fd);
int sysInodeFlags(int fd, unsigned* flags);
// Whether no other open file description holds the file: a write lease taken and given back
// at once (1), refused (0) or not to be had here (-1). Counted as a lock.
int sysOpenNowhereElse(int fd);
int sysLinkAt(int fromDir, const char* from, int toDir, const char* to, int flags);
int sysUnlink(const char* path);
int sysUnlinkAt(int dir, const char* name);
int sysMkdir(const char* path);
int sysMkdirAt(int dir, const char* name);
int sysFsync(int fd);
int sysFdatasync(int fd);
// Opens the directory at path, flushes it (the names in it) to the disk and closes it: one
// flush for the seam, so that a test fails it as it fails a file's.
int sysFlushDirectory(const char* path);
// Whether no process has the id pid any more (kill with signal 0 says ESRCH). Counted as a
// look (PLAT_FAULT_STAT); a failed look says the process lives.
bool sysProcessGone(long pid);
int sysSetFileTime(int fd, const struct timespec* times);  // futimens
int sysLstat(const char* path, struct stat* st);
int sysFstat(int fd, struct stat* st);
int sysFstatAt(int dir, const char* name, struct stat* st, int flags);
int sysAccess(const char* path);  // whether it exists
off_t sysSeek(int fd, off_t offset, int whence);
int sysSetBlocking(int fd);
// flock, counted as PLAT_FAULT_LOCK.
int sysFlock(int fd, int operation);
// Removes the companion of a held lock, then closes it (which releases the lock), in that
// order so that a waiter can tell the file it then holds is gone. Not counted: a failure
// leaves an unlocked companion the next holder takes over, nothing to act on.
void sysReleaseLock(int fd, const char* path);
// realpath into out (PATH_MAX bytes), counted as a look (PLAT_FAULT_STAT).
char* sysRealPath(const char* path, char* out);
int sysDup(int fd);          // a second descriptor, closed on exec
// Listings for a case-blind lookup of one name: the directory at path, or dir itself (the
// directory handle stays the caller's). The seam counts them as PLAT_FAULT_LIST, apart from
// the opens a caller sees.
DIR* sysListDir(const char* path);
DIR* sysListAt(int dir);
// The next entry; null at the end, or with errno set when the listing broke off.
struct dirent* sysReadDir(DIR* dir);
void sysCloseDir(DIR* dir);
// copy_file_range; the seam does not count it: under the seam copies go through reads and
// writes it can count and fail.
ssize_t sysCopyRange(int src, off_t* srcAt, int dst, off_t* dstAt, size_t count);
// sync_file_range; outside the seam too: the write-behind it serves is advisory, and a test
// that fails the Nth flush counts the flushes a pack makes whatever its size.
int sysSyncRange(int fd, off_t at, off_t count, unsigned flags);
// The console: outside the seam, as nothing handles a failure to print.
ssize_t sysWriteStderr(const void* text, size_t length);
