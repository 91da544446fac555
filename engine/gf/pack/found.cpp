// What the collection does with each file a search finds: the checks that refuse it or
// leave it out, its record in the write list, the warnings of names that will not travel
// to another host, and the looks at its size and date, acted on in the order found.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/pack/collect.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/looks.h"
#include "engine/gf/pack/write_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Whether a file the search found is the one at place.
bool isAt(const t_gfOutputPlace& place, const PlatFind* find, const char* name) {
  return place.known && find->device == place.device && find->inode == place.inode &&
         std::strcmp(name, place.leaf) == 0;
}

// Whether a file the search found is the group being written, from an earlier build.
bool isOutput(const t_gfBuild* build, const PlatFind* find, const char* name) {
  return isAt(build->output, find, name);
}

// The format's dates run from 1980 to 2107; any other is stored as no date at all (0).
void warnOfDate(const char* name, std::int64_t written, t_gfBuild* build) {
  char shown[PLAT_PATH_MAX];
  gfReportf(build->warn,
            "'%s' was last written in %lld, outside the years a group can date "
            "(1980 to 2107): stored without a date",
            gfShownPath(name, shown, sizeof shown), (long long)platYearOf(written));
}

// A name that will not come back the same on another host is still stored (the build
// list's rules decide the group), with a warning: a group is read on every host. A backslash
// is a name character on POSIX but a level separator in a group, on every host.
void warnOfNotPortable(const char* name, size_t dirLength, const char* hostName, t_gfSearch* search,
                       t_gfBuild* build) {
  const char* why = nullptr;
  if (std::strchr(hostName, '\\')) {
    why = "the name holds a backslash, which a group takes as a level separator: it is "
          "unpacked as a directory and a file in it";
  } else if (dirLength == 0) {
    why = gfNotPortableName(name);
  } else {
    if (search->levelsPlain == 0) {
      char levels[GF_PATH_MAX + 1];
      std::snprintf(levels, sizeof levels, "%.*s", (int)(dirLength - 1), name);
      search->levelsPlain = gfNotPortableName(levels) || gfEscapingNameReason(levels) ? -1 : 1;
    }
    // Below plain levels only the file's own name can break a rule: the same answer as
    // the whole name's, for a look at the leaf alone.
    const char* own = name + dirLength;
    bool wide = false;
    for (const char* c = own; *c && !wide; c++) wide = (unsigned char)*c >= 0x80;
    if (search->levelsPlain < 0 || wide)
      why = gfNotPortableName(name);
    else
      why = gfWindowsPartReason(own, std::strlen(own));
  }
  if (!why) return;
  char shown[PLAT_PATH_MAX];
  gfShownPath(name, shown, sizeof shown);
  size_t whole = std::strlen(shown), leaf = std::strlen(hostName);
  if (whole >= leaf) std::memcpy(shown + whole - leaf, hostName, leaf);  // its own '\\' kept
  gfReportf(build->warn, "'%s' is not portable: %s", shown, why);
}

// A file found but not packed, told with why: "'NAME' WHY: left out" (of the build list line
// being collected, when there is one).
void warnLeftOut(const char* name, const char* why, t_gfBuild* build) {
  char shown[PLAT_PATH_MAX];
  gfShownPath(name, shown, sizeof shown);
  if (build->lineNumber)
    gfWarnLine(build, "'%s' %s: left out", shown, why);
  else
    gfReportf(build->warn, "'%s' %s: left out", shown, why);
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
  if (found->unlooked) {  // its size and date come from the looks, beside the search
    gfLookAdd(build->looks, f, gfWriteText(files, search->hostDir),
              gfWriteText(files, f->name) + leaf);
    return;
  }
  f->size = (std::uint32_t)found->size;
  std::int64_t written = found->writeTime;
  if (build->clamp.on && written > build->clamp.to) written = build->clamp.to;
  if (!platTimeToDos(written, &f->date, &f->time)) warnOfDate(name, written, build);
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

void gfAddFound(const char* dirPart, t_gfSearch* search, const PlatFindData* found,
                t_gfBuild* build) {
  char name[GF_PATH_MAX + 1];
  if (!gfJoinPath(name, dirPart, found->name) ||
      std::strlen(build->root) + std::strlen(name) > GF_PATH_MAX) {
    gfFail(build, "the name '%s%s' is longer than a group can store", dirPart, found->name);
    return;
  }
  if (found->brokenLink) {  // no file to pack, but not one to lose without a word either
    warnLeftOut(name, "is a broken symbolic link", build);
    build->brokenLinks++;
    return;
  }
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (!found->unlooked && found->size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) {
    gfFail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)found->size);
    return;
  }
  if (std::strlen(search->find->hostDir) + std::strlen(found->name) >= PLAT_PATH_MAX) {
    gfFail(build, "cannot take '%s' into the build: its host path is too long", name);
    return;
  }
  if (build->skipOutput && isAt(build->lockFile, search->find, found->name)) return;
  if (build->skipOutput && isOutput(build, search->find, found->name)) {
    char shown[PLAT_PATH_MAX];
    gfReportf(build->warn, "leaving out '%s': it is the group file being written",
              gfShownPath(name, shown, sizeof shown));
    return;
  }
  size_t leaf = std::strlen(dirPart);
  addBuildFile(name, leaf, search, found, build);
  warnOfNotPortable(name, leaf, found->name, search, build);
  build->found++;
  if (build->lineNumber && isOutput(build, search->find, found->name))
    gfWarnLine(build,
               "takes '%s', the group file being written: the previous group is packed "
               "into the new one",
               name);
}

// Acts on the looks at the files collected from first on, in their order: a file gone since
// the search is left out as if never found, a date outside the format's years is warned of,
// and a file too large or a look that failed ends the build.
void gfApplyLooks(t_gfBuild* build, int first) {
  t_gfWriteList* files = build->files;
  bool* keep = nullptr;
  for (int i = first; i < files->count && !build->failed; i++) {
    t_gfWriteEntry* f = gfWriteEntryNumber(files, (std::uint32_t)i);
    if (f->look == GF_LOOK_DONE) continue;
    const char* name = gfWriteText(files, f->name);
    const char* hostDir = gfWriteText(files, f->hostDir);
    std::int64_t size = 0, written = 0;
    auto look = (t_gfLook)f->look;
    // The rare outcomes are looked at once more, here, for what their messages tell.
    if (look != GF_LOOK_GONE)
      look = gfLookNow(f, hostDir, name + f->leaf, build->clamp.on != 0, build->clamp.to, &size,
                       &written);
    f->look = GF_LOOK_DONE;
    if (look == GF_LOOK_NO_DATE) {
      warnOfDate(name, build->clamp.on && written > build->clamp.to ? build->clamp.to : written,
                 build);
    } else if (look == GF_LOOK_TOO_LARGE) {
      gfFail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)size);
    } else if (look == GF_LOOK_FAILED || look == GF_LOOK_WAITING) {
      gfFail(build, "cannot read directory '%s': %s", hostDir, platLastError());
    } else if (look == GF_LOOK_GONE) {  // removed (or replaced) after the search saw it
      warnLeftOut(name, "was removed while the build looked", build);
      int n = files->count - first;
      if (!keep && (keep = static_cast<bool*>(ENGINE_NEW(sizeof(bool) * (size_t)n))) != nullptr)
        for (int k = 0; k < n; k++) keep[k] = true;
      if (!keep) {
        gfFail(build, "not enough memory for the names of %d files", n);
        break;
      }
      keep[i - first] = false;
    }
  }
  if (keep && !build->failed) {
    int before = files->count;
    gfWriteDropRecords(files, first, keep);
    build->found -= before - files->count;
  }
  ENGINE_DELETE(keep);
}
