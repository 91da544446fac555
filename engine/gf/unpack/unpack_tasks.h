// An unpack job and the scheduling of its tasks on the crew's ring: the owner fills tasks in
// directory order, the helpers write them, and the owner hands their messages on in the same
// order (unpack_tasks.cpp). unpacker.cpp walks the group's directory and fills the tasks.
#pragma once
#include "engine/gf/unpack/unpack_levels.h"
#include "engine/gf/unpack/unpack_met.h"
#include "engine/gf/unpack/unpack_write.h"
#include "engine/kestin/crew.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

constexpr int kMaxTasks = 2 * CREW_MAX;

// The tasks are the batches of the crew's ring: the owner issues them in directory order,
// the helpers claim and write them, and the owner retires them (hands their messages on) in
// the same order.
struct t_gfUnpackJob {
  PlatHandle group;
  t_gfReport sink;
  t_crewRing ring;
  t_gfTask* tasks[kMaxTasks];  // task number n uses tasks[crewRingSlot(&ring, n)]
  int taskCount;
  int helpers;
  int failures;
  int flags;  // GF_UNPACK_ flags
  t_gfLevels levels;
  t_gfNamesMet met;
  t_gfTask* current;  // being filled by the owner, or null
  t_gfWindow window;  // the owner's, when it writes the tasks itself
  t_gfShared shared;
};

// A helper thread's loop: takes queued tasks in order and writes them.
void gfUnpackHelper(void* context);
// The next task to fill, in a free slot (its previous task retired first).
t_gfTask* gfNewTask(t_gfUnpackJob* job);
// Hands the task being filled to the helpers (or, without any, writes it at once).
void gfDispatch(t_gfUnpackJob* job);
// Waits until every task handed out is done, and hands their messages on.
void gfWaitForAll(t_gfUnpackJob* job);
// Removes a writing thread's spares, counting in shared a failure to.
void gfDropSpares(PlatSpares* spares, t_gfShared* shared);
