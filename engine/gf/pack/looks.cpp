// The collection's looks at the files it found by name: handed to a helper thread in chunks
// of records, so that the looks (a third of a search of a deep tree) run beside the search
// instead of after each name. The search never waits for the helper: when every chunk is
// taken it looks at its own.
#include "engine/gf/pack/looks.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "engine/gf/base/group_format.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Records a hand-over carries, and hand-overs waiting at most: a hand-over costs a wake-up,
// which on a loaded machine is worth many looks.
constexpr int kChunk = 128;
constexpr int kChunks = 8;

struct t_gfLookItem {
  t_gfWriteEntry* f;
  const char* hostDir;
  const char* leaf;
};

struct t_gfLookChunk {
  t_gfLookItem items[kChunk];
  int count = 0;
};

// The directory a thread looks in, held while the files of one search follow each other.
struct t_gfLookDir {
  const char* path = nullptr;
  PlatHandle handle = INVALID_HANDLE;
  ~t_gfLookDir() { platClose(handle); }
};

}  // namespace

struct t_gfLooks {
  bool clamp;
  std::int64_t clampTo;
  t_gfLookChunk filling;  // the search's own, not shared
  t_gfLookDir searchDir;  // the search's thread's directory
  std::mutex lock;        // guards everything below
  std::condition_variable waiting;  // a chunk waits, or the looks are over: the helper wakes
  t_gfLookChunk queued[kChunks];
  int first = 0, count = 0;  // the waiting chunks, oldest first, in a ring
  bool over = false;
  bool started = false;
  t_crew crew;
};

namespace {

t_gfLook lookAt(t_gfLookDir* dir, const t_gfLookItem& item, bool clamp, std::int64_t clampTo,
                std::int64_t* size, std::int64_t* written) {
  if (dir->path != item.hostDir) {
    platClose(dir->handle);
    dir->path = item.hostDir;
    dir->handle = platOpenHostDir(item.hostDir);
  }
  PlatFindData data;
  int found = dir->handle == INVALID_HANDLE ? -1 : platLookInDir(dir->handle, item.leaf, &data);
  if (found <= 0) return found < 0 ? GF_LOOK_FAILED : GF_LOOK_GONE;
  *size = data.size;
  *written = data.writeTime;
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (data.size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) return GF_LOOK_TOO_LARGE;
  t_gfWriteEntry* f = item.f;
  f->size = (std::uint32_t)data.size;
  std::int64_t stored = clamp && data.writeTime > clampTo ? clampTo : data.writeTime;
  if (platTimeToDos(stored, &f->date, &f->time)) return GF_LOOK_DONE;
  f->date = f->time = 0;
  return GF_LOOK_NO_DATE;
}

void lookAtChunk(t_gfLooks* looks, t_gfLookDir* dir, const t_gfLookChunk& chunk) {
  for (int i = 0; i < chunk.count; i++) {
    std::int64_t size, written;
    chunk.items[i].f->look =
        lookAt(dir, chunk.items[i], looks->clamp, looks->clampTo, &size, &written);
  }
}

// Takes the oldest waiting chunk into taken (the lock held); false when none waits.
bool takeChunk(t_gfLooks* looks, t_gfLookChunk* taken) {
  if (looks->count == 0) return false;
  *taken = looks->queued[looks->first];
  looks->first = (looks->first + 1) % kChunks;
  looks->count--;
  return true;
}

void helper(void* context) {
  auto* looks = static_cast<t_gfLooks*>(context);
  t_gfLookDir dir;
  t_gfLookChunk chunk;
  std::unique_lock<std::mutex> held(looks->lock);
  for (;;) {
    looks->waiting.wait(held, [looks] { return looks->count > 0 || looks->over; });
    if (!takeChunk(looks, &chunk)) break;
    held.unlock();
    lookAtChunk(looks, &dir, chunk);
    held.lock();
  }
}

// Hands the search's full chunk to the helper (started at the first), or looks at it on the
// search's thread when the helper has enough waiting or cannot run.
void handOver(t_gfLooks* looks) {
  if (!looks->started && crewThreads() > 1) {
    looks->started = true;
    crewStart(&looks->crew, 1, helper, looks);
  }
  if (looks->crew.count > 0) {
    std::lock_guard<std::mutex> held(looks->lock);
    if (looks->count < kChunks) {
      looks->queued[(looks->first + looks->count) % kChunks] = looks->filling;
      looks->count++;
      looks->filling.count = 0;
      looks->waiting.notify_one();
      return;
    }
  }
  lookAtChunk(looks, &looks->searchDir, looks->filling);
  looks->filling.count = 0;
}

}  // namespace

t_gfLooks* gfLooksOpen(bool clamp, std::int64_t clampTo) {
  void* block = ENGINE_NEW(sizeof(t_gfLooks));  // it holds a lock: made in place
  if (!block) return nullptr;
  auto* looks = new (block) t_gfLooks;
  looks->clamp = clamp;
  looks->clampTo = clampTo;
  looks->crew.count = 0;
  return looks;
}

void gfLookAdd(t_gfLooks* looks, t_gfWriteEntry* f, const char* hostDir, const char* leaf) {
  f->look = GF_LOOK_WAITING;
  looks->filling.items[looks->filling.count++] = {f, hostDir, leaf};
  if (looks->filling.count == kChunk) handOver(looks);
}

void gfLooksClose(t_gfLooks* looks) {
  lookAtChunk(looks, &looks->searchDir, looks->filling);
  looks->filling.count = 0;
  {
    // The search's thread takes what still waits rather than wait for the helper to.
    std::unique_lock<std::mutex> held(looks->lock);
    looks->over = true;
    looks->waiting.notify_all();
    t_gfLookChunk chunk;
    while (takeChunk(looks, &chunk)) {
      held.unlock();
      lookAtChunk(looks, &looks->searchDir, chunk);
      held.lock();
    }
  }
  crewJoin(&looks->crew);
  looks->~t_gfLooks();
  ENGINE_DELETE(looks);
}

t_gfLook gfLookNow(t_gfWriteEntry* f, const char* hostDir, const char* leaf, bool clamp,
                   std::int64_t clampTo, std::int64_t* size, std::int64_t* written) {
  t_gfLookDir dir;
  return lookAt(&dir, {f, hostDir, leaf}, clamp, clampTo, size, written);
}
