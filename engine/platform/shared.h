// What the POSIX and Win32 host layers share: temporary names and the list of them an
// interrupt removes, the buffered copy, and each backend's own message box. Included by
// platform/ only.
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

// Copies count bytes through a buffer with positioned reads and writes; the bytes copied
// (fewer when the source ends first), or -1.
long long platCopyBuffered(PlatHandle src, long long srcOffset, PlatHandle dst, long long dstOffset,
                           long long count);

// The backend's message box when no hook is set: a dialog on Windows, a line on stderr
// elsewhere.
void platHostMessageBox(const char* text, const char* caption);
