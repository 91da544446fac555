// The POSIX host layer's own: the system calls that the failure seam counts, and the slot
// that keeps the reason of the last failure. Included by the POSIX units only.
#pragma once
#include <dirent.h>
#include <sys/types.h>

// Records errno as the reason of the last failure (what platLastError tells); returns -1.
int platRecordError();
// Records error as the reason of the last failure; returns -1.
int platRecordErrorCode(int error);

int sysOpen(const char* path, int flags, mode_t mode = 0666);
int sysOpenAt(int dir, const char* name, int flags, mode_t mode = 0666);
DIR* sysOpenDir(const char* path);
ssize_t sysPread(int fd, void* buffer, size_t count, off_t at);
ssize_t sysPwrite(int fd, const void* buffer, size_t count, off_t at);
ssize_t sysRead(int fd, void* buffer, size_t count);
ssize_t sysWrite(int fd, const void* buffer, size_t count);
int sysClose(int fd);  // the descriptor is closed whatever the result
int sysRename(const char* from, const char* to);
int sysLinkAt(int fromDir, const char* from, int toDir, const char* to, int flags);
