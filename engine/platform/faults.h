// Failures on demand: a test can make the Nth open, read, write, close or rename of the host
// layer fail with a chosen error, or move fewer bytes than asked. Internal to the engine:
// nothing here is exported from the shared library; tests link the static one.
#pragma once
#include <cstddef>

enum t_platFaultOp {
  PLAT_FAULT_OPEN,    // files and directories, searches included
  PLAT_FAULT_READ,    // positioned and descriptor reads
  PLAT_FAULT_WRITE,   // positioned and descriptor writes
  PLAT_FAULT_CLOSE,   //
  PLAT_FAULT_RENAME,  // renames, and the link that names an anonymous file
  PLAT_FAULT_OPS,
};

// Counts calls from zero from now on, without failing any.
void platFaultCount();
// Counts calls from zero; the nth call of op (1: the next one) fails with error, or, when
// error is 0, moves at most shortCount bytes (at least one). With persist, so does every later call
// of op.
void platFaultArm(t_platFaultOp op, long nth, int error, std::size_t shortCount = 0,
                  bool persist = false);
// Stops counting and failing.
void platFaultOff();
// Calls of op since the last platFaultCount or platFaultArm.
long platFaultCalls(t_platFaultOp op);

// ---- for the host layer's own wrappers -------------------------------------------------
// Whether the seam is counting at all (one load: cheap when off).
bool platFaultOn();
// Counts one call of op. Returns the error it must fail with, or 0; for a transfer, count
// may come back smaller.
int platFaultHit(t_platFaultOp op, std::size_t* count = nullptr);
