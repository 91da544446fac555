// The thread count of the manager's parallel jobs, and the crews of helper threads that run
// them. Threads are started per job: a job is a whole unpack, pack or scan, against which a
// thread's start costs nothing, and no thread outlives the call that needed it.
#include "engine/gf/pool.h"

#include <atomic>
#include <cstdlib>
#include <system_error>

#include "engine/gf/gf_internal.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

int gfRefuseHelperThread = 0;

namespace {

std::atomic<int> threadSetting{0};  // 0: chosen by the environment and the processors

int clampThreads(long n) { return n < 1 ? 1 : n > GF_THREADS_MAX ? GF_THREADS_MAX : (int)n; }

// A thread count as text: digits only, 1 to GF_THREADS_MAX; 0 for anything else.
long countFromText(const char* text) {
  long n = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return 0;
    n = n * 10 + (*c - '0');
    if (n > GF_THREADS_MAX) return 0;
  }
  return n;
}

// TARNPAK_THREADS as a count, or 0 when unset or no count in range (the default then).
long fromEnvironment() {
  const char* text = std::getenv("TARNPAK_THREADS");
  return text ? countFromText(text) : 0;
}

}  // namespace

int gfWarnOfThreadSetting(t_gfReport warn) {
  const char* text = std::getenv("TARNPAK_THREADS");
  if (!text || !*text || countFromText(text) > 0) return 0;  // empty: as if unset
  gfReportf(warn, "TARNPAK_THREADS '%s' is not a whole number from 1 to %d: using the default, %d",
            text, GF_THREADS_MAX, clampThreads(platProcessorCount()));
  return 1;
}

void gfSetThreads(int count) { threadSetting.store(count > 0 ? count : 0); }

int gfThreads() {
  long n = threadSetting.load();
  if (n == 0) n = fromEnvironment();
  if (n == 0) n = platProcessorCount();
  return clampThreads(n);
}

// std::thread reports a refused thread by throwing: this is one of the few places the engine
// catches an exception, so that nothing is thrown out of the library.
int gfCrewStart(t_gfCrew* crew, int count, void (*work)(void*), void* context) {
  crew->count = 0;
  if (count > GF_THREADS_MAX) count = GF_THREADS_MAX;
  while (crew->count < count && !gfRefuseHelperThread) {
    try {
      crew->threads[crew->count] = std::thread(work, context);
    } catch (const std::system_error&) {
      break;
    }
    crew->count++;
  }
  return crew->count;
}

void gfCrewJoin(t_gfCrew* crew) {
  for (int i = 0; i < crew->count; i++) crew->threads[i].join();
  crew->count = 0;
}
