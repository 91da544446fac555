// The names an unpack has met so far: a hash of each, folded without regard to case, that
// tells which entries must wait for the work before them.
#include <cstdint>
#include <cstring>

#include "engine/gf/unpack/unpack_met.h"

#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

// Folded beyond ASCII too, roughly: a run of bytes above 0x7F counts as one, whatever it is,
// so that two spellings of a name a host folds (accented letters, another encoding's length)
// hash alike and are written in order. Such a false match only costs a wait.
std::uint64_t foldedHash(const char* name, size_t length, std::uint64_t kind) {
  std::uint64_t h = 1469598103934665603ull ^ kind;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c >= 0x80 && i > 0 && (unsigned char)name[i - 1] >= 0x80) continue;
    h = (h ^ (c >= 0x80 ? 0x80 : asciiLower(c))) * 1099511628211ull;
  }
  return h ? h : 1;
}

constexpr std::uint64_t kFileName = 0, kLevelName = 0x9E3779B97F4A7C15ull;

bool metBefore(const t_gfNamesMet* met, std::uint64_t h) { return met->hashes.has(h); }

void noteMet(t_gfNamesMet* met, std::uint64_t h) {
  met->broken = met->broken || !met->hashes.add(h, ENGINE_HERE);
}

}  // namespace

bool gfMeetsEarlierName(t_gfNamesMet* met, const char* name, int keep) {
  bool seen = met->broken;
  int level = 0;
  for (const char* c = name; *c; c++) {
    if (*c != '\\') continue;
    if (level++ < keep) continue;
    size_t length = (size_t)(c - name);
    seen = seen || metBefore(met, foldedHash(name, length, kFileName));
    noteMet(met, foldedHash(name, length, kLevelName));
  }
  size_t length = std::strlen(name);
  std::uint64_t h = foldedHash(name, length, kFileName);
  seen = seen || metBefore(met, h) || metBefore(met, foldedHash(name, length, kLevelName));
  noteMet(met, h);
  return seen;
}
