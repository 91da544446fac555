// The builder's collection of files: the directory searches a mask or a path leads to (in
// every spelling of its directory part), by names, with the looks at the files' sizes and
// dates running beside them; where the group being written lies; the date clamp.
#include "engine/gf/pack/collect.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/gf/base/group_format.h"
#include "engine/gf/pack/write_list.h"
#include "engine/gf/base/names.h"
#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

void collect(const char* mask, int recurse, t_gfBuild* build, const t_gfVisit* path) {
  if (gfCancelRequested()) {  // a tree may take long to search: asked once per directory
    gfFail(build, "interrupted");
    return;
  }
  const char* last = std::strrchr(mask, '\\');
  size_t dirLength = last && last != mask ? (size_t)(last - mask) + 1 : 0;
  char dirPart[GF_PATH_MAX + 1];
  char search[GF_PATH_MAX + 1];
  if (!gfJoinPath(search, build->root, mask)) {
    gfFail(build, "the mask '%s' is too long", mask);
    return;
  }
  std::memcpy(dirPart, mask, dirLength);
  dirPart[dirLength] = 0;
  const char* pattern = mask + dirLength;
  PlatFind find;
  PlatFindData found;
  if (!platFindFirstNamesOnly(&find, search, &found)) {
    if (find.unreadable)
      gfFail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
    return;
  }
  if (gfOnPath(&find, path)) {  // entered again through a link
    platFindClose(&find);
    return;
  }
  t_gfVisit here{find.device, find.inode, path};
  t_gfSearch held{&find, GF_NO_TEXT};
  do {
    if (!found.isDirectory) {
      gfAddFound(dirPart, &held, &found, build);
    } else if (recurse && found.name[0] != '.') {
      char deeper[GF_PATH_MAX + 1];
      int n = std::snprintf(deeper, sizeof deeper, "%s%s\\%s", dirPart, found.name, pattern);
      if (n < 0 || n > GF_PATH_MAX)
        gfFail(build, "the mask '%s%s\\%s' is too long", dirPart, found.name, pattern);
      else
        collect(deeper, 1, build, &here);
    }
  } while (!build->failed && platFindNext(&find, &found));
  if (!build->failed && find.unreadable)
    gfFail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
  platFindClose(&find);
}

// The mask with '/' taken as '\\', as the directory search takes it; false when too long.
bool backslashMask(const char* mask, char* out) {
  size_t n = std::strlen(mask);
  if (n > GF_PATH_MAX) return false;
  for (size_t i = 0; i <= n; i++) out[i] = mask[i] == '/' ? '\\' : mask[i];
  return true;
}

// Collects the mask in every spelling of its directory part: where the path as written
// leads to none (textures/ lacks walls/, TEXTURES/ has it), the spellings still find it.
void collectSpellings(const char* mask, int recurse, t_gfBuild* build) {
  const char* last = std::strrchr(mask, '\\');
  size_t dirLength = last && last != mask ? (size_t)(last - mask) + 1 : 0;
  char dirPart[GF_PATH_MAX + 1];
  std::memcpy(dirPart, mask, dirLength);
  dirPart[dirLength] = 0;
  t_gfSpellings spellings;
  // No spelling found: the search by the mask itself says why (a missing or unreadable level).
  if (dirLength == 0 || !gfSpellDirectory(build->root, dirPart, &spellings) ||
      spellings.count == 0) {
    collect(mask, recurse, build, nullptr);
  } else {
    for (int i = 0; i < spellings.count && !build->failed; i++) {
      char spelled[GF_PATH_MAX + 1];
      if (gfJoinPath(spelled, spellings.paths[i].path, mask + dirLength))
        collect(spelled, recurse, build, nullptr);
      else
        gfFail(build, "the mask '%s%s' is too long", spellings.paths[i].path, mask + dirLength);
    }
  }
  ENGINE_DELETE(spellings.paths);
}

// What path (below root, no wildcard) is in one of its directory part's spellings: 1 a
// directory, 0 a file, -1 nothing, -2 a directory that cannot be read, -3 a broken link.
int pathKind(const char* root, const char* path) {
  char search[GF_PATH_MAX + 1];
  PlatFind find;
  PlatFindData found;
  if (gfJoinPath(search, root, path) && platFindFirstWithBroken(&find, search, &found)) {
    platFindClose(&find);
    return found.brokenLink ? -3 : found.isDirectory ? 1 : 0;
  }
  int kind = find.unreadable ? -2 : -1;
  const char* last = std::strrchr(path, '\\');
  if (!last) return kind;
  char dirPart[GF_PATH_MAX + 1];
  std::memcpy(dirPart, path, (size_t)(last - path) + 1);
  dirPart[last - path + 1] = 0;
  t_gfSpellings spellings;
  if (gfSpellDirectory(root, dirPart, &spellings)) {
    for (int i = 0; i < spellings.count && kind < 0; i++) {
      if (!gfJoinPath(search, root, spellings.paths[i].path, last + 1) ||
          !platFindFirst(&find, search, &found))
        continue;
      platFindClose(&find);
      kind = found.isDirectory ? 1 : 0;
    }
  }
  ENGINE_DELETE(spellings.paths);
  return kind;
}

}  // namespace

void gfCollectMask(const char* rawMask, int recurse, int line, t_gfBuild* build) {
  char mask[GF_PATH_MAX + 1];
  const char* why = backslashMask(rawMask, mask) ? gfEscapingNameReason(mask)  // a pattern
                                                 : "the mask is too long";
  if (why && line > 0) {
    gfReportf(build->sink, "refusing line %d of the build list, '%s': %s", line, rawMask, why);
    build->refusedLines++;
    return;
  } else if (why) {
    gfFail(build, "refusing the mask '%s': %s", rawMask, why);
    return;
  }
  int first = build->files->count;
  build->looks = gfLooksOpen(build->clamp.on != 0, build->clamp.to);
  if (!build->looks) {
    gfFail(build, "not enough memory to collect the mask '%s'", rawMask);
    return;
  }
  collectSpellings(mask, recurse, build);
  gfLooksClose(build->looks);
  build->looks = nullptr;
  if (!build->failed) gfApplyLooks(build, first);
  if (!build->failed) gfMergeCaseCopies(build, first);
}

int gfPathKind(const char* root, const char* path) {
  char mask[GF_PATH_MAX + 1];
  return backslashMask(path, mask) ? pathKind(root, mask) : -1;
}

void gfPlaceOutput(const char* name, t_gfOutputPlace* out) {
  char host[PLAT_PATH_MAX];
  if (!platHostPath(name, host, sizeof host)) return;
  const char* leaf = host;
  for (const char* c = host; *c; c++)
    if (*c == '/' || *c == '\\') leaf = c + 1;
  PlatFind find;
  PlatFindData found;
  if (std::strlen(leaf) >= sizeof out->leaf || !platFindFirst(&find, host, &found)) return;
  do {
    // The exact name first; else (a host blind to case) the name in another case.
    bool exact = std::strcmp(found.name, leaf) == 0;
    if (!found.isDirectory && (exact || (!out->known && asciiEqualAnyCase(found.name, leaf)))) {
      out->known = 1;
      std::snprintf(out->leaf, sizeof out->leaf, "%s", found.name);
      if (exact) break;
    }
  } while (platFindNext(&find, &found));
  out->device = find.device;
  out->inode = find.inode;
  platFindClose(&find);
}

int gfCollectPath(const char* root, const char* path, const char* group, const char* lockFile,
                  t_gfWriteList* files, const t_gfDateClamp& clamp, t_gfReport sink,
                  t_gfReport warn) {
  t_gfBuild build{{sink, 0}, root, files, clamp};
  build.warn = warn;
  build.skipOutput = true;
  gfPlaceOutput(group, &build.output);
  if (lockFile) gfPlaceOutput(lockFile, &build.lockFile);
  char mask[GF_PATH_MAX + 1], search[GF_PATH_MAX + 1];
  if (!backslashMask(path, mask) || !gfJoinPath(search, root, mask)) {
    gfFail(&build, "the path '%s' is too long for a group", path);
    return 1;
  }
  if (std::strpbrk(mask, "*?")) {
    gfFail(&build, "cannot add '%s': '*' and '?' are wildcards, not part of a stored name", path);
    return 1;
  }
  size_t n = std::strlen(mask);
  while (n > 0 && mask[n - 1] == '\\') mask[--n] = 0;  // "maps/" is the directory maps
  bool isDir = n == 0;
  if (!isDir) {
    int kind = pathKind(root, mask);
    if (kind < 0) {
      char shown[PLAT_PATH_MAX];
      gfFail(&build, "cannot add '%s': %s", gfShownPath(search, shown, sizeof shown),
             kind == -3   ? "it is a broken symbolic link"
             : kind == -2 ? platLastError()
                          : "No such file or directory");
      return 1;
    }
    isDir = kind == 1;
  }
  char taken[GF_PATH_MAX + 1];
  if (!gfJoinPath(taken, mask, isDir ? (n ? "\\*.*" : "*.*") : "")) {
    gfFail(&build, "the path '%s' is too long for a group", path);
    return 1;
  }
  gfCollectMask(taken, isDir, 0, &build);
  if (!build.failed && build.found == 0 && isDir)
    gfReportf(warn, "'%s' holds no file to add", n ? path : ".");
  return build.failed;
}

int gfReadDateClamp(t_gfDateClamp* clamp, t_gfJob* job, t_gfReport warn) {
  *clamp = t_gfDateClamp{};
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text) return 0;
  // A plain decimal count: no sign, blank or suffix, as the reproducible-builds convention
  // has it; anything else is a mistake the user should hear of, not a date to guess.
  bool digits = text[0] != 0 && std::strspn(text, "0123456789") == std::strlen(text);
  errno = 0;
  char* end = nullptr;
  unsigned long long value = digits ? std::strtoull(text, &end, 10) : 0;
  if (!digits || errno == ERANGE || value > 0x7FFFFFFFFFFFFFFFull) {
    char shown[4 * GF_PATH_MAX + 1];
    gfEscapeControls(text, shown, sizeof shown);
    gfFail(job, "SOURCE_DATE_EPOCH '%s' is not a decimal count of seconds", shown);
    return 1;
  }
  clamp->on = 1;
  clamp->to = (std::int64_t)value;
  constexpr std::int64_t kFirstDate = 315532800;  // 1980-01-01 00:00:00 UTC
  if (clamp->to < kFirstDate) {
    clamp->to = kFirstDate;
    gfReportf(warn, "SOURCE_DATE_EPOCH %s is before 1980, the first date a group holds: "
              "files are dated no later than 1980-01-01 00:00:00 UTC", text);
  }
  return 0;
}
