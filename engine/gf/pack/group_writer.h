// The group writer: the one routine that writes a list of entries as a group file, used by
// the builder and the edits, where it writes it and the lock its writers hold, and the
// copier that moves the entries' bytes.
#pragma once
#include "engine/gf/base/names.h"
#include "engine/gf/pack/sums.h"
#include "engine/gf/pack/write_list.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// ---- where a group is written, and the lock of its writers -------------------------------
// A group file about to be replaced: the file its name leads to (a symbolic link is
// followed, never replaced) and the lock that every job replacing it holds, an edit for its
// whole read-modify-commit and a build for its commit, so that no job's change is lost to
// another's.
struct t_gfGroupPlace {
  char target[PLAT_PATH_MAX];  // host path
  PlatFileLock lock;
};
// How long a job waits for another's lock before it gives up, in milliseconds.
extern int gfGroupLockWaitMs;
// Finds where the group name is written; 0, or 1 after reporting why not.
int gfPlaceGroup(const char* name, t_gfGroupPlace* place, t_gfJob* job);
// Takes the lock of a placed group, waiting for another holder at most gfGroupLockWaitMs;
// 0, or 1 after reporting why not (a wait that ran out says so).
int gfLockGroup(const char* name, t_gfGroupPlace* place, t_gfJob* job);
void gfUnlockGroup(t_gfGroupPlace* place);  // one not locked is ignored

// ---- writing ----------------------------------------------------------------------------
// What a job asks of the writer besides its entries.
struct t_gfWriteOptions {
  const char* sums = nullptr;  // the sums file to write beside the group (null: none)
  t_gfReport warn = nullptr;   // hears of the debris of killed jobs removed (null: nobody)
  // A handle the caller holds on the group being replaced, closed (and set invalid) once the
  // data is copied and before the new group takes the name: Windows refuses to replace a
  // file its own process holds open. Null: none.
  PlatHandle* closeBeforeCommit = nullptr;
  // Set when the caller has placed the group and holds its lock; else the writer places it
  // and holds the lock for the commit.
  t_gfGroupPlace* held = nullptr;
};

// Writes the entries of list, in table order, as the group file name with flag as its build
// flag: data placed behind the scrambled directory, copied by the copier (feeding the sums
// stage when a sums file is wanted), and the whole made visible in one commit (an existing
// file of that name stays whole on any failure). 0 when the group was written, 1 after
// reporting to sink why not.
int gfWriteGroup(const char* name, unsigned flag, t_gfWriteList* list, t_gfReport sink,
                 const t_gfWriteOptions& options = {});

// Whether groups are written durably (gfSetDurable): flushed before they take their name,
// their writeback started behind the copy.
bool gfDurableWrites();

// ---- the copier (copier.cpp) --------------------------------------------------------------
// Copies every entry's bytes to its offset in out, in table order: the crew's threads read
// ahead, the caller's thread alone writes. With sums set, every entry whose bytes are read
// (the small files, by the threads that read them) is fed to it; the large ones the host
// copies without showing them. Returns -1 when all went well, else the place in the table
// order of the first entry that failed (count when the failure belongs to no entry), with the
// failure described.
int gfCopyData(const t_gfWriteList* files, PlatHandle out, t_gfEntrySums* sums,
               t_gfCopyFailure* failure);
