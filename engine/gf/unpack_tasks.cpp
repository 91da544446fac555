// The unpacker's task scheduling: the owner fills tasks in directory order, the helpers
// write them, and the owner hands their messages on in the same order.
#include <cstring>

#include "engine/gf/unpacker.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

void gfUnpackHelper(void* context) {
  // The owner's thread takes the tool's signals: its handler then never runs on top of a
  // helper, and stops every helper where it is when it comes to make or name a file.
  platBlockToolSignals();
  auto* job = static_cast<t_gfUnpackJob*>(context);
  t_gfWindow window{static_cast<unsigned char*>(ENGINE_NEW(kWindowSize)), 0, 0};
  std::unique_lock<std::mutex> held(job->lock);
  for (;;) {
    job->changed.wait(held, [job] { return job->leaving || job->started < job->dispatched; });
    if (job->started >= job->dispatched) break;
    t_gfTask* task = job->tasks[job->started++ % job->taskCount];
    task->state = GF_TASK_RUNNING;
    held.unlock();
    gfRunTask(job->group, task, &window);
    held.lock();
    task->state = GF_TASK_DONE;
    job->changed.notify_all();
  }
  held.unlock();
  ENGINE_DELETE(window.bytes);
}

namespace {

// Hands the oldest task's messages on and frees its slot; waits for it to be done.
void retireOne(t_gfUnpackJob* job, std::unique_lock<std::mutex>& held) {
  t_gfTask* task = job->tasks[job->retired % job->taskCount];
  job->changed.wait(held, [task] { return task->state == GF_TASK_DONE; });
  for (std::uint32_t at = 0; at < task->messagesUsed;
       at += (std::uint32_t)std::strlen(task->messages + at) + 1)
    gfReportf(job->sink, "%s", task->messages + at);
  job->failures += task->failures;
  if (task->dir != INVALID_HANDLE) platClose(task->dir);
  gfReleaseListing(task->listing);
  task->state = GF_TASK_FREE;
  job->retired++;
}

}  // namespace

t_gfTask* gfNewTask(t_gfUnpackJob* job) {
  std::unique_lock<std::mutex> held(job->lock);
  while (job->dispatched - job->retired >= job->taskCount) retireOne(job, held);
  t_gfTask* task = job->tasks[job->dispatched % job->taskCount];
  task->dir = INVALID_HANDLE;
  task->dirFresh = false;
  task->listing = nullptr;
  task->group = job->group;
  task->fileCount = task->textUsed = 0;
  task->messagesUsed = 0;
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
  std::lock_guard<std::mutex> guard(job->lock);
  task->state = job->helpers == 0 ? GF_TASK_DONE : GF_TASK_QUEUED;
  job->dispatched++;
  job->changed.notify_all();
}

void gfWaitForAll(t_gfUnpackJob* job) {
  gfDispatch(job);
  std::unique_lock<std::mutex> held(job->lock);
  while (job->retired < job->dispatched) retireOne(job, held);
}
