// Search of the file table by wildcard mask, in table order.
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "tarnpak/stdinputoutput.h"

namespace {

constexpr int kFieldSize = 256;  // t_findfirst's name and mask

// Fills f from the first record at or behind from whose name matches the mask; 0 when none.
int findFrom(t_findfirst* f, long from) {
  if (!f || !gfTablePresent()) return 0;
  char mask[kFieldSize];
  std::memcpy(mask, f->mask, kFieldSize);
  mask[kFieldSize - 1] = 0;
  for (char* c = mask; *c; c++)
    if (*c == '/') *c = '\\';  // '/' separates directories as a backslash does
  for (long i = from < 0 ? 0 : from; i < gfTableCount(); i++) {
    const char* name = gfRecordAt(i)->name;
    if (!ZSMaskCompare(mask, name)) continue;
    f->index = i;
    const char* slash = std::strrchr(mask, '\\');
    size_t skip = slash ? (size_t)(slash - mask) + 1 : 0;
    size_t length = std::strlen(name);
    // A name shorter than the mask's directory part matches too (the comparison stops
    // when either string ends); it has nothing behind that part.
    const char* rest = skip <= length ? name + skip : "";
    std::strncpy(f->name, rest, kFieldSize - 1);
    f->name[kFieldSize - 1] = 0;
    return 1;
  }
  return 0;
}

}  // namespace

int gfFindFirst(t_findfirst* f) { return findFrom(f, 0); }

int gfFindNext(t_findfirst* f) {
  if (!f) return 0;
  if (findFrom(f, f->index + 1)) return 1;
  f->index = gfTableCount() + 1;
  return 0;
}

void gfFindClose(t_findfirst*) {}
