// The unpacker's task scheduling on the crew's ring: the owner fills tasks in directory
// order, the helpers write them, and the owner hands their messages on in the same order.
#include <cstdio>
#include <cstring>

#include "engine/gf/unpack/unpack_tasks.h"

#include "engine/gf/base/names.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

void gfUnpackHelper(void* context) {
  // The owner's thread takes the tool's signals: its handler then never runs on top of a
  // helper, and stops every helper where it is when it comes to make or name a file.
  platBlockToolSignals();
  auto* job = static_cast<t_gfUnpackJob*>(context);
  t_crewRing* ring = &job->ring;
  PlatSpares spares{};
  t_gfWindow window{static_cast<unsigned char*>(ENGINE_NEW(kWindowSize)), 0, 0, &spares};
  std::unique_lock<std::mutex> held(ring->lock);
  for (;;) {
    ring->moving.wait(held, [ring] { return ring->over || crewRingClaimable(ring); });
    if (!crewRingClaimable(ring)) break;
    long n = crewRingClaim(ring);
    t_gfTask* task = job->tasks[crewRingSlot(ring, n)];
    held.unlock();
    gfRunTask(job->group, task, &window);
    held.lock();
    crewRingFinish(ring, n);
  }
  held.unlock();
  gfDropSpares(&spares, &job->shared);
  ENGINE_DELETE(window.bytes);
}

void gfDropSpares(PlatSpares* spares, t_gfShared* shared) {
  if (platDropSpares(spares) == 0) return;
  if (shared->keptLeft.fetch_add(1) == 0)
    std::snprintf(shared->keptReason, sizeof shared->keptReason, "%s", platLastError());
}

namespace {

// Hands the oldest task's messages on and frees its slot; waits for it to be done.
void retireOne(t_gfUnpackJob* job, std::unique_lock<std::mutex>& held) {
  t_crewRing* ring = &job->ring;
  t_gfTask* task = job->tasks[crewRingSlot(ring, crewRingAwaitOldest(ring, held))];
  const t_engineArray<char>& messages = task->messages;
  for (std::uint32_t at = 0; at < messages.count;
       at += (std::uint32_t)std::strlen(&messages[at]) + 1)
    gfReportf(job->sink, "%s", &messages[at]);
  job->failures += task->failures;
  if (task->dir != INVALID_HANDLE) platClose(task->dir);
  gfReleaseListing(task->listing);
  crewRingRetire(ring);
}

}  // namespace

t_gfTask* gfNewTask(t_gfUnpackJob* job) {
  t_crewRing* ring = &job->ring;
  std::unique_lock<std::mutex> held(ring->lock);
  while (!crewRingHasRoom(ring)) retireOne(job, held);
  t_gfTask* task = job->tasks[crewRingSlot(ring, ring->issued)];
  task->dir = INVALID_HANDLE;
  task->dirFresh = false;
  task->listing = nullptr;
  task->group = job->group;
  task->fileCount = task->textUsed = 0;
  task->bytes = 0;
  task->messages.count = 0;
  task->failures = 0;
  task->flags = job->flags;
  task->shared = &job->shared;
  return task;
}

void gfDispatch(t_gfUnpackJob* job) {
  t_gfTask* task = job->current;
  if (!task) return;
  job->current = nullptr;
  if (job->helpers == 0 && task->fileCount > 0) gfRunTask(job->group, task, &job->window);
  std::lock_guard<std::mutex> guard(job->ring.lock);
  if (job->helpers == 0)
    crewRingFinish(&job->ring, crewRingTake(&job->ring));  // written already
  else
    crewRingIssue(&job->ring);
}

void gfWaitForAll(t_gfUnpackJob* job) {
  gfDispatch(job);
  t_crewRing* ring = &job->ring;
  std::unique_lock<std::mutex> held(ring->lock);
  while (ring->retired < ring->issued) retireOne(job, held);
}
