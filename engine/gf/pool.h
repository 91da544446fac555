// The threads the manager's parallel jobs share (the unpacker's writers, the builder's
// readers, the scans): how many to use, and a crew of them started and joined per job.
#pragma once
#include <thread>

constexpr int GF_THREADS_MAX = 16;  // past this, the disk and the kernel's locks decide

// The thread count for parallel jobs, 1 to GF_THREADS_MAX: gfSetThreads's setting, else
// TARNPAK_THREADS from the environment, else the processors the process may run on. 1 is
// the sequential path: a job then runs on the caller's thread alone.
int gfThreads();

// Helper threads of one job. Each runs work(context); the job's own records (slots filled
// by the helpers, consumed by the caller in a fixed order) keep results free of timing.
struct t_gfCrew {
  std::thread threads[GF_THREADS_MAX];
  int count;
};
// Starts up to count threads; returns how many started (the system may refuse some, and
// the job then runs with fewer, down to none: the caller's thread alone).
int gfCrewStart(t_gfCrew* crew, int count, void (*work)(void* context), void* context);
void gfCrewJoin(t_gfCrew* crew);

// Set by tests: starting a helper thread fails as when the system refuses one.
extern int gfRefuseHelperThread;
