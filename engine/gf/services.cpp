// Host services the engine's programs need, offered through the library's interface so
// that no program reaches into the host layer.
#include "engine/gf/gf_internal.h"

int gfMatchName(const char* pattern, const char* name) { return platMatchName(pattern, name); }

int gfDosToUnixTime(unsigned short date, unsigned short time, long long* seconds) {
  std::int64_t t = 0;
  int ok = platDosToTime(date, time, &t);
  if (seconds) *seconds = ok ? (long long)t : 0;
  return ok;
}

void gfInstallToolSignals() { platInstallToolSignals(); }

namespace {
// Per thread: each job is asked by the thread that started it, the only one that calls this.
thread_local t_gfCancelCheck tCancelCheck = nullptr;
thread_local void* tCancelContext = nullptr;
}  // namespace

void gfSetCancelCheck(t_gfCancelCheck check, void* context) {
  tCancelCheck = check;
  tCancelContext = context;
}

bool gfCancelRequested() { return tCancelCheck && tCancelCheck(tCancelContext) != 0; }
