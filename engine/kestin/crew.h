// The crew: helper threads started and joined per job, how many a job may use, and the ring
// of numbered batches in which a job's owner and its helpers share work in a fixed order.
#pragma once
#include <condition_variable>
#include <mutex>
#include <thread>

constexpr int CREW_MAX = 16;  // past this, the disk and the kernel's locks decide

// The thread count for parallel jobs, 1 to CREW_MAX: crewSetThreads's setting, else
// TARNPAK_THREADS from the environment, else the processors the process may run on. 1 is
// the sequential path: a job then runs on the caller's thread alone.
int crewThreads();
// 0: back to the environment and the processors.
void crewSetThreads(int count);
// TARNPAK_THREADS when it is set but no whole number from 1 to CREW_MAX (it is then not
// used), else null; and the count used instead, from the processors.
const char* crewRefusedSetting();
int crewDefaultThreads();

// Helper threads of one job. Each runs work(context); the job's own records (slots filled by
// the helpers, consumed by the caller in a fixed order) keep results free of timing.
struct t_crew {
  std::thread threads[CREW_MAX];
  int count;
};
// Starts up to count threads; returns how many started (the system may refuse some, and the
// job then runs with fewer, down to none: the caller's thread alone).
int crewStart(t_crew* crew, int count, void (*work)(void* context), void* context);
void crewJoin(t_crew* crew);

// ---- numbered batches in a ring of slots, retired in order ----------------------------------
// A job's work cut into batches numbered in the order they are issued. Batch n lives in slot
// n % slots until it is retired, so at most `slots` batches are out at once and memory stays
// bounded. Workers claim issued batches and finish them in any order; the job's owner
// retires them in number order, which is the order its results come out in whatever the
// timing. The ring counts; the caller keeps each slot's payload in an array of its own.
// Every function but crewRingOpen is called with lock held.
constexpr int CREW_RING_MAX = 2 * CREW_MAX + 2;  // two batches a thread, and two more

struct t_crewRing {
  std::mutex lock;
  std::condition_variable finishing;  // a batch finished: the owner waits for it
  std::condition_variable moving;     // a batch issued or retired, or the job over: workers wait
  int slots = 1;
  long issued = 0;   // batches numbered so far
  long claimed = 0;  // batches a worker has taken
  long retired = 0;  // batches the owner is done with
  bool over = false;
  bool finished[CREW_RING_MAX] = {};
};

// Makes the ring slots places long (1 to CREW_RING_MAX).
void crewRingOpen(t_crewRing* ring, int slots);
int crewRingSlot(const t_crewRing* ring, long batch);
// Whether another batch may be issued: its slot's previous batch has been retired.
bool crewRingHasRoom(const t_crewRing* ring);
// Numbers the next batch (the caller made sure of room) for a worker to claim, and wakes
// one; its number.
long crewRingIssue(t_crewRing* ring);
// Numbers the next batch and claims it at once, for a ring whose batches are done by
// whoever numbers them (no batch waits to be claimed); wakes no one.
long crewRingTake(t_crewRing* ring);
// Whether an issued batch waits for a worker.
bool crewRingClaimable(const t_crewRing* ring);
long crewRingClaim(t_crewRing* ring);  // the oldest batch no worker has taken
void crewRingFinish(t_crewRing* ring, long batch);
bool crewRingFinished(const t_crewRing* ring, long batch);
// The owner: waits until the oldest batch not yet retired has finished; its number.
long crewRingAwaitOldest(t_crewRing* ring, std::unique_lock<std::mutex>& held);
// The owner is done with the oldest batch: its slot may take a new one.
void crewRingRetire(t_crewRing* ring);
// No batch will be issued any more: every waiting worker wakes to leave.
void crewRingClose(t_crewRing* ring);
