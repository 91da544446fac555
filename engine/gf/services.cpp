// Host services the engine's programs need, offered through the library's interface so
// that no program reaches into the host layer.
#include "engine/gf/gf_internal.h"
#include "engine/kestin/crew.h"

int gfMatchName(const char* pattern, const char* name) { return platMatchName(pattern, name); }

int gfDosToUnixTime(unsigned short date, unsigned short time, long long* seconds) {
  std::int64_t t = 0;
  int ok = platDosToTime(date, time, &t);
  if (seconds) *seconds = ok ? (long long)t : 0;
  return ok;
}

void gfInstallToolSignals() { platInstallToolSignals(); }

void gfSetThreads(int count) { crewSetThreads(count); }

#ifndef TARNPAK_VERSION
#define TARNPAK_VERSION "unknown"
#endif

const char* gfVersion() { return TARNPAK_VERSION; }
