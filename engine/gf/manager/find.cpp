// The table as a program searches and edits it: a search by wildcard mask in table order,
// and a record deleted (files are inserted by the loose files' layer).
#include <cstring>

#include "engine/gf/manager/cache.h"
#include "engine/gf/manager/loose_files.h"
#include "engine/gf/manager/table.h"
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

// The record's cached copy and loose handle go first, while its index still names it; the
// removal then renumbers every handle and cache node that refers to a record.
void gfDeleteFile(const char* name) {
  long i = gfFetch(name);
  t_gfFileInfo* r = gfRecordAt(i);
  if (!r) return;
  gfCacheForget(i);
  gfDetachHandle(gfRecordAt(i));
  gfTableRemove(i);
}
