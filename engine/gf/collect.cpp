// The builder's collection of files: the directory searches a mask or a path leads to,
// each file found checked and added to the write list, and the group being written noticed
// among them.
#include "engine/gf/collect.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/group_format.h"
#include "engine/gf/group_writer.h"
#include "engine/gf/names.h"
#include "engine/kestin/ascii.h"

namespace {

// One directory search: where its files are on the host, once a file has been found.
struct t_gfSearch {
  const PlatFind* find;
  std::uint32_t hostDir;  // GF_NO_TEXT until stored
};

// Whether a file the search found is the group being written, from an earlier build.
bool isOutput(const t_gfBuild* build, const PlatFind* find, const char* name) {
  const t_gfOutputPlace& out = build->output;
  return out.known && find->device == out.device && find->inode == out.inode &&
         std::strcmp(name, out.leaf) == 0;
}

void addBuildFile(const char* name, size_t leaf, t_gfSearch* search, const PlatFindData* found,
                  t_gfBuild* build) {
  t_gfWriteList* files = build->files;
  if (search->hostDir == GF_NO_TEXT) search->hostDir = gfWriteAddText(files, search->find->hostDir);
  t_gfWriteEntry* f = search->hostDir == GF_NO_TEXT
                          ? nullptr
                          : gfWriteAddHostFile(files, name, leaf, search->hostDir);
  if (!f) {
    gfFail(build, "cannot take '%s' into the build: out of memory", name);
    return;
  }
  f->size = (std::uint32_t)found->size;
  platTimeToDos(found->writeTime, &f->date, &f->time);
}

void addFound(const char* dirPart, t_gfSearch* search, const PlatFindData* found,
              t_gfBuild* build) {
  char name[GF_PATH_MAX + 1];
  if (!gfJoinPath(name, dirPart, found->name) ||
      std::strlen(build->root) + std::strlen(name) > GF_PATH_MAX) {
    gfFail(build, "the name '%s%s' is longer than a group can store", dirPart, found->name);
    return;
  }
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (found->size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) {
    gfFail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)found->size);
    return;
  }
  if (std::strlen(search->find->hostDir) + std::strlen(found->name) >= PLAT_PATH_MAX) {
    gfFail(build, "cannot take '%s' into the build: its host path is too long", name);
    return;
  }
  if (build->skipOutput && isOutput(build, search->find, found->name)) {
    char shown[PLAT_PATH_MAX];
    gfReportf(build->warn, "leaving out '%s': it is the group file being written",
              gfShownPath(name, shown, sizeof shown));
    return;
  }
  addBuildFile(name, std::strlen(dirPart), search, found, build);
  build->found++;
  if (build->lineNumber && isOutput(build, search->find, found->name))
    gfWarnLine(build, "takes '%s', the group file being written: the previous group is packed "
             "into the new one", name);
}

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
  if (!platFindFirst(&find, search, &found)) {
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
      addFound(dirPart, &held, &found, build);
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

// Whether two names are one on a host that matches names without regard to case.
bool sameNameAnyCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (asciiUpper((unsigned char)*a) != asciiUpper((unsigned char)*b)) return false;
  return *a == *b;
}

}  // namespace

void gfWarnLine(t_gfBuild* build, const char* format, ...) {
  if (!build->warn) return;
  char what[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  gfReportf(build->warn, "group.cfg line %d '%s': %s", build->lineNumber, build->lineText, what);
}

void gfCollectMask(const char* rawMask, int recurse, int line, t_gfBuild* build) {
  char mask[GF_PATH_MAX + 1];
  if (!backslashMask(rawMask, mask)) {
    gfFail(build, "the mask '%s' is too long", rawMask);
    return;
  }
  const char* why = gfEscapingNameReason(mask);  // a pattern, not a name to create
  if (why && line > 0)
    gfFail(build, "refusing line %d of the build list, '%s': %s", line, rawMask, why);
  else if (why)
    gfFail(build, "refusing the mask '%s': %s", rawMask, why);
  else
    collect(mask, recurse, build, nullptr);
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
    if (!found.isDirectory && (exact || (!out->known && sameNameAnyCase(found.name, leaf)))) {
      out->known = 1;
      std::snprintf(out->leaf, sizeof out->leaf, "%s", found.name);
      if (exact) break;
    }
  } while (platFindNext(&find, &found));
  out->device = find.device;
  out->inode = find.inode;
  platFindClose(&find);
}

int gfCollectPath(const char* root, const char* path, const char* group, t_gfWriteList* files,
                  t_gfReport sink, t_gfReport warn) {
  t_gfBuild build{{sink, 0}, root, files};
  build.warn = warn;
  build.skipOutput = true;
  gfPlaceOutput(group, &build.output);
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
  PlatFind find;
  PlatFindData found;
  if (!isDir && platFindFirst(&find, search, &found)) {
    isDir = found.isDirectory != 0;
    platFindClose(&find);
  } else if (!isDir) {
    char shown[PLAT_PATH_MAX];
    gfFail(&build, "cannot add '%s': %s", gfShownPath(search, shown, sizeof shown),
           find.unreadable ? platLastError() : "No such file or directory");
    return 1;
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
