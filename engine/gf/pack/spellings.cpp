// Directories and files whose names differ only in case, as the collection meets them: a
// tree copied from a disk blind to case may hold sounds/, Sounds/ and SOUNDS/ side by side.
// The engine's table merges them (their stored names are one), so a mask's directory part
// takes them all, and of two files that get one stored name the table's copy is stored.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/gf/pack/collect.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/write_list.h"
#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

bool addSpelling(t_gfSpellings* out, const char* prefix, const char* name) {
  if (out->count == kMaxSpellings) return false;
  return gfJoinPath(out->paths[out->count++].path, prefix, name, "\\");
}

// The directories of one level below prefix whose names are part's in any case.
bool spellLevel(const char* root, const char* prefix, const char* part, t_gfSpellings* out) {
  char search[GF_PATH_MAX + 1];
  if (!gfJoinPath(search, root, prefix, part)) return false;
  PlatFind find;
  PlatFindData found;
  if (!platFindFirst(&find, search, &found)) return true;  // none: the search says why later
  bool fits = true;
  do {
    if (found.isDirectory && asciiEqualAnyCase(found.name, part))
      fits = fits && addSpelling(out, prefix, found.name);
  } while (platFindNext(&find, &found));
  platFindClose(&find);
  return fits;
}

}  // namespace

bool gfSpellDirectory(const char* root, const char* dirPart, t_gfSpellings* out) {
  t_gfSpellings next;
  out->paths = ENGINE_NEW_ARRAY(t_gfSpelled, kMaxSpellings);
  next.paths = ENGINE_NEW_ARRAY(t_gfSpelled, kMaxSpellings);
  bool fine = out->paths && next.paths;
  if (fine) out->paths[out->count++].path[0] = 0;
  for (const char* part = dirPart; fine && *part;) {
    const char* end = std::strchr(part, '\\');
    char name[GF_PATH_MAX + 1];
    std::memcpy(name, part, (size_t)(end - part));
    name[end - part] = 0;
    part = end + 1;
    if (!name[0] || std::strpbrk(name, "*?") || !std::strcmp(name, ".") ||
        !std::strcmp(name, "..")) {
      fine = false;
      break;
    }
    next.count = 0;
    for (int i = 0; fine && i < out->count; i++)
      fine = spellLevel(root, out->paths[i].path, name, &next);
    std::swap(out->paths, next.paths);
    std::swap(out->count, next.count);
  }
  ENGINE_DELETE(next.paths);
  if (fine)
    std::sort(out->paths, out->paths + out->count, [](const t_gfSpelled& a, const t_gfSpelled& b) {
      return std::strcmp(a.path, b.path) < 0;
    });
  return fine;
}

namespace {

// Whether record a is the copy to keep rather than b: the newer, of equal dates the one whose
// host path comes first in byte order (the order a directory lists names in is no order).
bool keptBefore(const t_gfWriteList* files, std::uint32_t a, std::uint32_t b) {
  const t_gfWriteEntry* x = gfWriteEntryNumber(files, a);
  const t_gfWriteEntry* y = gfWriteEntryNumber(files, b);
  if (int byTime = platCompareDosTime(x->date, x->time, y->date, y->time)) return byTime > 0;
  char pathA[PLAT_PATH_MAX] = "", pathB[PLAT_PATH_MAX] = "";
  gfWriteSourcePath(files, x, pathA, sizeof pathA);
  gfWriteSourcePath(files, y, pathB, sizeof pathB);
  return std::strcmp(pathA, pathB) < 0;
}

// Of count records of one stored name, keeps the one keptBefore puts first.
void keepNewest(t_gfBuild* build, const std::uint32_t* same, int count, bool* keep, int first) {
  t_gfWriteList* files = build->files;
  std::uint32_t best = same[0];
  for (int k = 1; k < count; k++)
    if (keptBefore(files, same[k], best)) best = same[k];
  for (int k = 0; k < count; k++) keep[same[k] - (std::uint32_t)first] = same[k] == best;
  char stored[GF_PATH_MAX + 1], source[PLAT_PATH_MAX] = "", shown[PLAT_PATH_MAX];
  gfWriteStoredName(files, gfWriteEntryNumber(files, best), stored);
  gfWriteSourcePath(files, gfWriteEntryNumber(files, best), source, sizeof source);
  gfReportf(build->warn,
            "'%s' is found %d times, in names that differ only in case: stored "
            "once, from '%s' (the newest, the copy the engine's table takes)",
            stored, count, gfShownPath(source, shown, sizeof shown));
}

}  // namespace

void gfMergeCaseCopies(t_gfBuild* build, int first) {
  t_gfWriteList* files = build->files;
  int n = files->count - first;
  if (n < 2) return;
  auto* order = ENGINE_NEW_ARRAY(std::uint32_t, (size_t)n);
  auto* keep = static_cast<bool*>(ENGINE_NEW(sizeof(bool) * (size_t)n));
  if (!order || !keep) {
    gfFail(build, "not enough memory for the names of %d files", n);
  } else {
    for (int i = 0; i < n; i++) keep[i] = true;
    gfWriteSortRange(files, first, order);
    for (int i = 0; i < n;) {
      int end = i + 1;
      while (end < n && gfWriteSameName(files, order[i], order[end])) end++;
      if (end - i > 1) keepNewest(build, order + i, end - i, keep, first);
      i = end;
    }
    int before = files->count;
    gfWriteDropRecords(files, first, keep);
    build->found -= before - files->count;
    // The whole list, every name once: already the table order, which the writer's sort
    // would only find again (a tree of one "*.* r" line is the common build).
    if (first == 0 && files->count == before) {
      gfWriteKeepOrder(files, order);
      order = nullptr;
    }
  }
  ENGINE_DELETE(order);
  ENGINE_DELETE(keep);
}
