// The tracked allocator: a header before every block, a list of live blocks, counters, and
// the failure seam's switch that makes a chosen block fail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/kestin/memory_report.h"
#include "engine/platform/faults.h"
#include "engine/platform/platform.h"
#include "tarnpak/kestin.h"

namespace {

struct alignas(std::max_align_t) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  const char* unit;
  int line;
  unsigned int size;
  unsigned int magic;
};

constexpr unsigned int kLiveMagic = 0x4B455354;  // marks a header of a live block

std::mutex lock;
BlockHeader* live = nullptr;  // newest first

bool sameUnit(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

// A fork while a helper thread changes the list would leave the child's list half changed
// and its lock held for good: the lock is taken around the fork (it is only ever held for a
// few pointer moves, and never while waiting for anything else).
void lockForFork() { lock.lock(); }
void unlockAfterFork() { lock.unlock(); }
[[maybe_unused]] const int forkSafe = platOnFork(lockForFork, unlockAfterFork, unlockAfterFork);

}  // namespace

void* memNewDbg(unsigned int size, const char* file, int line) {
  // Tests make the Nth block fail as when memory runs out.
  // On a 32-bit host the header and a size near 4 GiB would wrap to a small block.
  // (Compared as a sum in size_t: where size_t is wider the test is simply true.)
  bool fits = static_cast<std::size_t>(size) + sizeof(BlockHeader) >= sizeof(BlockHeader);
  auto* h = platFaultHit(PLAT_FAULT_ALLOC) || !fits
                ? nullptr
                : static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (!h) {
    platNoteOutOfMemory();
    return nullptr;
  }
  h->unit = file;
  h->line = line;
  h->size = size;
  h->magic = kLiveMagic;
  std::lock_guard<std::mutex> guard(lock);
  h->prev = nullptr;
  h->next = live;
  if (live) live->prev = h;
  live = h;
  return h + 1;
}

void memDeleteDbg(void* block) {
  if (!block) return;
  BlockHeader* h = static_cast<BlockHeader*>(block) - 1;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (h->magic != kLiveMagic) std::abort();  // not ours, or released twice
    h->magic = 0;
    if (h->prev)
      h->prev->next = h->next;
    else
      live = h->next;
    if (h->next) h->next->prev = h->prev;
  }
  std::free(h);
}

long memLiveBlocks(const char* unit) {
  std::lock_guard<std::mutex> guard(lock);
  long n = 0;
  for (BlockHeader* h = live; h; h = h->next)
    if (!unit || sameUnit(unit, h->unit)) n++;
  return n;
}

long long memLiveBytes(const char* unit) {
  std::lock_guard<std::mutex> guard(lock);
  long long n = 0;
  for (BlockHeader* h = live; h; h = h->next)
    if (!unit || sameUnit(unit, h->unit)) n += h->size;
  return n;
}

long memReportLive(void (*report)(const char* line)) {
  std::lock_guard<std::mutex> guard(lock);
  long n = 0;
  for (BlockHeader* h = live; h; h = h->next, n++) {
    char text[256];
    std::snprintf(text, sizeof text, "%s:%d %u", h->unit ? h->unit : "?", h->line, h->size);
    if (report) report(text);
  }
  return n;
}
