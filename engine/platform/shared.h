// What the POSIX and Win32 host layers share: temporary names and the list of them an
// interrupt removes, the start of a new file, positioned reads and writes, the buffered copy,
// and the few calls each backend gives the shared parts. Included by platform/ only.
#pragma once
#include "engine/platform/platform.h"

// Puts path (a host path shorter than PLAT_PATH_MAX) on the list the interrupt handlers
// remove; returns its slot, or -1 when the list is full and the file goes unguarded.
int platArmTempName(const char* path);
// The same for a name inside the held directory dir (INVALID_HANDLE: path is a host path).
int platArmTempNameIn(PlatHandle dir, const char* path);
void platDisarmTempName(int slot);  // -1 is ignored
// Calls remove on every name on the list, with its directory (INVALID_HANDLE for a host
// path). Safe in a signal handler: it only loads atomics and reads names already complete.
void platRemoveArmedTempNames(void (*remove)(PlatHandle dir, const char* path));

// The name gate: a writing thread makes, names, drops and lists its files between Enter and
// Leave; a signal handler closes the gate, which waits until no thread is inside and parks
// for good every thread that comes to it afterwards. Lock-free: safe in a signal handler.
void platEnterNameGate();
void platLeaveNameGate();
void platCloseNameGate();
// In a child just forked: the list and the gate as if no thread were writing, for the
// writers of the parent do not exist in the child (and their files are not its own to
// remove).
void platForgetOtherWriters();
// The backend's waits: a thread that never returns (the process ends around it), and a
// pause in a handler's wait for the gate.
[[noreturn]] void platHostParkForever();
void platHostYield();

// A fresh temporary name beside target, "target.tarnpak-tmp-PID-N" with N new on every
// call; false when it does not fit outSize. Both hosts' new files take their names from
// here. The mark is the tool's own: the clean-up of a dead process's debris removes only
// names of this pattern, which no user's file is likely to carry.
#define PLAT_TEMP_MARK ".tarnpak-tmp-"
bool platTempName(const char* target, unsigned long processId, char* out, size_t outSize);
// Whether name (one component) is a temporary name platTempName gives for a target whose
// last component is targetName: "targetName.tarnpak-tmp-PID-N", both numbers plain decimal.
// If so, *processId is the PID of the process that made it.
bool platIsTempNameOf(const char* targetName, const char* name, unsigned long* processId);
// Starts a search record for pattern: clears it, puts the wildcard name (after the last '\\'
// or '/', or after a drive's colon when driveColon is set) into find->pattern and the
// directory part as written, separator included, into find->hostDir. Returns the directory
// part's length, or -1 when the name is empty or either part does not fit.
long platSplitFindPattern(PlatFind* find, const char* pattern, bool driveColon);
// The last component of a host path (after the last '/' or '\\').
const char* platLastComponent(const char* path);
// Makes a file under a fresh temporary name beside target, given in temp: make is tried on
// one name after another while it finds the name taken, up to 100 names. make returns 1
// when it made the file, 0 when the name was taken, -1 when it failed otherwise, with its
// failure recorded either way. 0 when made; else -1, the failure recorded and temp empty.
typedef int (*PlatMakeNamed)(const char* temp, void* context);
int platMakeTempBeside(const char* target, char* temp, size_t tempSize, PlatMakeNamed make,
                       void* context);

// Clears every field of a new file and takes path's host form as its target: 0, or -1 (the
// failure recorded) when the host path does not fit.
int platNewFileStart(PlatNewFile* file, const char* path);

// Copies count bytes through a buffer with positioned reads and writes; the bytes copied
// (fewer when the source ends first), or -1.
long long platCopyBuffered(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                           long long count);

// ---- what each backend gives the shared parts -------------------------------------------
// The backend's message box when no hook is set: a dialog on Windows, a line on stderr
// elsewhere.
void platHostMessageBox(const char* text, const char* caption);
// This process's id, as temporary names carry it.
unsigned long platHostProcessId();
// Whether the process pid has ended, as far as the host can tell (a process it cannot ask
// about counts as alive).
bool platHostProcessGone(unsigned long pid);
// Closes h, and removes the file of a host path, each for what is thrown away: the caller
// goes on whatever comes of it.
void platHostDropHandle(PlatHandle h);
void platHostDropPath(const char* path);
// Runs work(context) inside the name gate, as a writing thread makes, names and drops its
// files there (the POSIX backend also blocks the tool's signals in the thread meanwhile).
void platHostInNameGate(void (*work)(void* context), void* context);
// Makes the regular file name in dir, open for writing, only when nothing has that name:
// INVALID_HANDLE (the failure recorded) when it cannot, *taken set when the name was there.
PlatHandle platHostCreateNewInDir(PlatHandle dir, const char* name, int* taken);
// Records, in the host's own words, that a name does not fit; -1.
int platHostFailNameTooLong();
// Reads (write false) or writes count bytes of buffer at offset of h, whole unless a read
// meets the end of the file; the bytes moved, or -1 (the failure recorded).
long long platHostTransferAt(PlatHandle h, long long offset, char* buffer, size_t count,
                             bool write);
// One positioned read or write: the bytes moved (fewer than count when the host moved fewer),
// 0 at the end of the file, or -1 (the failure recorded).
long long platHostTransferOnce(PlatHandle h, long long offset, char* buffer, size_t count,
                               bool write);
