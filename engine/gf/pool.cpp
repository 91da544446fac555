// The thread count of the manager's parallel jobs, and the crews of helper threads that run
// them. Threads are started per job: a job is a whole unpack, pack or scan, against which a
// thread's start costs nothing, and no thread outlives the call that needed it.
#include "engine/gf/pool.h"

#include <atomic>
#include <cstdlib>
#include <system_error>

#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

int gfRefuseHelperThread = 0;

namespace {

std::atomic<int> threadSetting{0};  // 0: chosen by the environment and the processors

int clampThreads(long n) { return n < 1 ? 1 : n > GF_THREADS_MAX ? GF_THREADS_MAX : (int)n; }

// TARNPAK_THREADS as a count, or 0 when unset or not a number.
long fromEnvironment() {
  const char* text = std::getenv("TARNPAK_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  return *end == 0 && n > 0 ? n : 0;
}

}  // namespace

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
