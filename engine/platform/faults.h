// The engine's test seam. Failures on demand: a test can make the Nth call of one kind of the
// host layer (an open, a read, a write, ...) fail with a chosen error, or move fewer bytes
// than asked, the Nth tracked allocation fail as when memory runs out, and the Nth helper
// thread be refused. Moments: a test's hook runs at a named point of a job. Internal to the
// engine: nothing here is exported from the shared library; tests link the static one.
#pragma once
#include <cstddef>

enum t_platFaultOp {
  PLAT_FAULT_OPEN,    // files and directories, searches included
  PLAT_FAULT_READ,    // positioned and descriptor reads
  PLAT_FAULT_WRITE,   // positioned and descriptor writes
  PLAT_FAULT_CLOSE,   //
  PLAT_FAULT_RENAME,  // renames, and the link that names an anonymous file
  PLAT_FAULT_REMOVE,  // removals of names
  PLAT_FAULT_MKDIR,   // directory creation
  PLAT_FAULT_FLUSH,   // flushes of a file's data to the disk
  PLAT_FAULT_STAT,    // looks at a file's type, size or position, or sets its mode
  PLAT_FAULT_LIST,    // a case-blind lookup's listing of a directory, and each next entry
  PLAT_FAULT_ALLOC,   // the tracked allocator's blocks (the error is ignored: memory runs out)
  PLAT_FAULT_LOCK,    // taking an advisory lock (flock; on Windows the unshared open)
  PLAT_FAULT_THREAD,  // helper threads a job starts (the error is ignored: the thread is refused)
  PLAT_FAULT_OPS,
};

// Counts calls from zero from now on, without failing any.
void platFaultCount();
// Counts calls from zero; the nth call of op (1: the next one) fails with error, or, when
// error is 0, moves at most shortCount bytes (at least one). With persist, so does every later call
// of op.
void platFaultArm(t_platFaultOp op, long nth, int error, std::size_t shortCount = 0,
                  bool persist = false);
// Counts calls from zero; calls first to first + count - 1 of op fail with error: a run of
// refusals that a caller is to try again after (a replacement refused a few times).
void platFaultArmRun(t_platFaultOp op, long first, long count, int error);
// Stops counting and failing.
void platFaultOff();
// Calls of op since the last platFaultCount or platFaultArm.
long platFaultCalls(t_platFaultOp op);
// The kinds of the last calls counted (up to 64 are kept), oldest first: at most max of them
// go to out; returns how many did. For tests of the order of a few calls.
int platFaultRecent(t_platFaultOp* out, int max);

// ---- for the host layer's own wrappers -------------------------------------------------
// Whether the seam is counting at all (one load: cheap when off).
bool platFaultOn();
// Counts one call of op. Returns the error it must fail with, or 0; for a transfer, count
// may come back smaller.
int platFaultHit(t_platFaultOp op, std::size_t* count = nullptr);

// ---- moments a test may step in at ---------------------------------------------------------
// Points of the engine's jobs where a test's hook runs: to change files between two steps,
// or to hold a thread at a known point. Without a hook a moment costs one load.
enum t_platMoment {
  PLAT_MOMENT_PACK_COLLECTED,  // a pack has found its files and has read none of them yet
  PLAT_MOMENT_READ_SERVED,     // the read worker is about to serve a request (detail: it)
  PLAT_MOMENT_LEVEL_LOOKED,    // a level was looked at and found no link, and is about to be
                               // opened (detail: its name; POSIX hosts)
  PLAT_MOMENTS,
};
// Sets the hook of a moment; null takes it away.
void platMomentHook(t_platMoment moment, void (*hook)(const void* detail));
// Runs the moment's hook, if one is set, with detail.
void platMoment(t_platMoment moment, const void* detail = nullptr);
