// The crew: the thread count of parallel jobs, the helper threads that run them, and the ring
// of numbered batches they share. Threads are started per job: a job is a whole unpack, pack
// or scan, against which a thread's start costs nothing, and no thread outlives its call.
#include "engine/kestin/crew.h"

#include <atomic>
#include <cstdlib>
#include <system_error>

#include "engine/platform/faults.h"
#include "engine/platform/platform.h"

namespace {

std::atomic<int> threadSetting{0};  // 0: chosen by the environment and the processors

int clampThreads(long n) { return n < 1 ? 1 : n > CREW_MAX ? CREW_MAX : (int)n; }

// A thread count as text: digits only, 1 to CREW_MAX; 0 for anything else.
long countFromText(const char* text) {
  long n = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return 0;
    n = n * 10 + (*c - '0');
    if (n > CREW_MAX) return 0;
  }
  return n;
}

// TARNPAK_THREADS as a count, or 0 when unset or no count in range (the default then).
long fromEnvironment() {
  const char* text = std::getenv("TARNPAK_THREADS");
  return text ? countFromText(text) : 0;
}

}  // namespace

const char* crewRefusedSetting() {
  const char* text = std::getenv("TARNPAK_THREADS");
  return text && *text && countFromText(text) == 0 ? text : nullptr;  // empty: as if unset
}

int crewDefaultThreads() { return clampThreads(platProcessorCount()); }

void crewSetThreads(int count) { threadSetting.store(count > 0 ? count : 0); }

int crewThreads() {
  long n = threadSetting.load();
  if (n == 0) n = fromEnvironment();
  if (n == 0) n = platProcessorCount();
  return clampThreads(n);
}

// std::thread reports a refused thread by throwing: this is one of the few places the engine
// catches an exception, so that nothing is thrown out of the library. The test seam can
// refuse a thread as the system would.
int crewStart(t_crew* crew, int count, void (*work)(void*), void* context) {
  crew->count = 0;
  if (count > CREW_MAX) count = CREW_MAX;
  while (crew->count < count && platFaultHit(PLAT_FAULT_THREAD) == 0) {
    try {
      crew->threads[crew->count] = std::thread(work, context);
    } catch (const std::system_error&) {
      break;
    }
    crew->count++;
  }
  return crew->count;
}

void crewJoin(t_crew* crew) {
  for (int i = 0; i < crew->count; i++) crew->threads[i].join();
  crew->count = 0;
}

// ---- the ring ------------------------------------------------------------------------------

void crewRingOpen(t_crewRing* ring, int slots) {
  ring->slots = slots < 1 ? 1 : slots > CREW_RING_MAX ? CREW_RING_MAX : slots;
}

int crewRingSlot(const t_crewRing* ring, long batch) { return (int)(batch % ring->slots); }

bool crewRingHasRoom(const t_crewRing* ring) { return ring->issued - ring->retired < ring->slots; }

long crewRingIssue(t_crewRing* ring) {
  long batch = ring->issued++;
  ring->finished[crewRingSlot(ring, batch)] = false;
  ring->moving.notify_one();
  return batch;
}

// No one is woken: the taker does the batch itself.
long crewRingTake(t_crewRing* ring) {
  long batch = ring->issued++;
  ring->claimed = ring->issued;
  ring->finished[crewRingSlot(ring, batch)] = false;
  return batch;
}

bool crewRingClaimable(const t_crewRing* ring) { return ring->claimed < ring->issued; }

long crewRingClaim(t_crewRing* ring) { return ring->claimed++; }

// Only the owner waits for finished batches.
void crewRingFinish(t_crewRing* ring, long batch) {
  ring->finished[crewRingSlot(ring, batch)] = true;
  ring->finishing.notify_one();
}

bool crewRingFinished(const t_crewRing* ring, long batch) {
  return batch >= ring->retired && batch < ring->issued &&
         ring->finished[crewRingSlot(ring, batch)];
}

long crewRingAwaitOldest(t_crewRing* ring, std::unique_lock<std::mutex>& held) {
  long oldest = ring->retired;
  ring->finishing.wait(held, [ring, oldest] { return crewRingFinished(ring, oldest); });
  return oldest;
}

// One slot freed: one batch more may be issued.
void crewRingRetire(t_crewRing* ring) {
  ring->finished[crewRingSlot(ring, ring->retired++)] = false;
  ring->moving.notify_one();
}

void crewRingClose(t_crewRing* ring) {
  ring->over = true;
  ring->moving.notify_all();
}
