// A patch between two versions of a group: every entry of the new group that the old one
// lacks or holds with other bytes, each dated so that the table takes it over the old copy,
// written by the one group writer under the patch's lock.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/group_open.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/group_writer.h"
#include "engine/gf/pack/range_compare.h"
#include "engine/gf/pack/write_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// One stored copy of a name.
struct t_gfPatchCopy {
  std::uint32_t name;  // in its side's names, upper case
  std::int32_t offset;
  std::int32_t size;
  std::uint16_t date;
  std::uint16_t time;
  std::uint32_t index;  // its place in the directory
};

// One of the two groups: its copies in the table's order (by name, the latest copy of a
// name first, equal dates in directory order), so the first copy of a name is the one the
// table keeps.
struct t_gfPatchSide {
  const char* path;
  PlatHandle handle;
  unsigned flag;
  t_gfPatchCopy* copies;
  char* names;
  int count;
};

// A name of either group: its copies, the comparisons that decide whether it changed, and
// what the patch does with it.
struct t_gfPatchName {
  int oldAt;  // old's latest copy, -1: none
  int newAt;  // new's copy that counts, -1: none
  int pairs;  // its comparisons, from here to pairEnd in the job's pairs
  int pairEnd;
  bool sizeDiffers;  // a latest copy of old has another size than new's
  bool inPatch;
  bool redated;
  std::uint16_t date;  // as the patch stores it
  std::uint16_t time;
};

struct t_gfPatch : t_gfJob {
  t_gfPatchSide sides[2] = {};  // old, new
  t_gfPatchName* names = nullptr;
  int nameCount = 0;
  t_gfRangePair* pairs = nullptr;
  int pairCount = 0;
  int inPatch = 0;
  t_gfWriteList files{};
};

struct t_gfShown {
  char text[PLAT_PATH_MAX];
  explicit t_gfShown(const char* path) { gfShownPath(path, text, sizeof text); }
};

struct t_gfIsoTime {
  char text[32];
  t_gfIsoTime(std::uint16_t date, std::uint16_t time) {
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", 1980u + (date >> 9),
                  (date >> 5) & 15u, date & 31u, time >> 11u, (time >> 5) & 63u, (time & 31u) * 2);
  }
};

const char* copyName(const t_gfPatchSide* side, int i) {
  return side->names + side->copies[i].name;
}

// The end of the run of copies that share the name of copy i.
int runEnd(const t_gfPatchSide* side, int i) {
  int end = i + 1;
  while (end < side->count && std::strcmp(copyName(side, end), copyName(side, i)) == 0) end++;
  return end;
}

// Takes the copies of one side's directory, their names upper-cased as the table keeps them.
// Every name fits: an entry takes its name's length and 14 bytes more in the directory.
bool takeCopies(t_gfPatch* patch, t_gfPatchSide* side, const t_gfDirectory* directory) {
  side->copies = ENGINE_NEW_ARRAY(t_gfPatchCopy, (size_t)directory->entryCount + 1);
  side->names = static_cast<char*>(ENGINE_NEW((size_t)directory->dirSize + 1));
  if (!side->copies || !side->names) {
    gfFail(patch, "not enough memory for the directory of '%s'", t_gfShown(side->path).text);
    return false;
  }
  std::uint32_t used = 0;
  long cursor = 0;
  t_gfDirEntry e;
  for (; gfNextDirEntry(directory, &cursor, &e); side->count++) {
    size_t length = std::strlen(e.name) + 1;
    std::memcpy(side->names + used, e.name, length);
    gfUpperCase(side->names + used);
    side->copies[side->count] = {used, e.dataOffset, e.dataSize, e.date, e.time,
                                 (std::uint32_t)side->count};
    used += (std::uint32_t)length;
  }
  std::sort(side->copies, side->copies + side->count,
            [side](const t_gfPatchCopy& a, const t_gfPatchCopy& b) {
              int byName = std::strcmp(side->names + a.name, side->names + b.name);
              if (byName != 0) return byName < 0;
              int byTime = platCompareDosTime(a.date, a.time, b.date, b.time);
              return byTime != 0 ? byTime > 0 : a.index < b.index;
            });
  return true;
}

// Opens one group and takes its copies; false after reporting why not.
bool loadSide(t_gfPatch* patch, t_gfPatchSide* side, const char* path) {
  side->path = path;
  t_gfDirectory directory;
  side->handle = gfOpenGroup(path, &directory, patch->sink);
  if (side->handle == INVALID_HANDLE) {
    patch->failed = 1;
    return false;
  }
  side->flag = gfReadBuildFlag(side->handle);
  bool taken = takeCopies(patch, side, &directory);
  gfFreeDirectory(&directory);
  return taken;
}

// The comparisons of new's copy with each copy of old dated as old's latest: the table may
// keep any of them, so the name is unchanged only when all of them hold new's bytes.
void queuePairs(t_gfPatch* patch, t_gfPatchName* item, int oldEnd) {
  const t_gfPatchSide& old = patch->sides[0];
  const t_gfPatchCopy& fresh = patch->sides[1].copies[item->newAt];
  const t_gfPatchCopy& latest = old.copies[item->oldAt];
  int end = item->oldAt + 1;
  while (end < oldEnd && platCompareDosTime(old.copies[end].date, old.copies[end].time,
                                            latest.date, latest.time) == 0)
    end++;
  for (int k = item->oldAt; k < end; k++) item->sizeDiffers |= old.copies[k].size != fresh.size;
  if (item->sizeDiffers) return;  // changed whatever the bytes say
  for (int k = item->oldAt; k < end; k++)
    patch->pairs[patch->pairCount++] = {old.copies[k].offset, fresh.offset, fresh.size, false};
  item->pairEnd = patch->pairCount;
}

// Walks both sides by name, one item per name of either.
bool pairNames(t_gfPatch* patch) {
  const t_gfPatchSide* old = &patch->sides[0];
  const t_gfPatchSide* fresh = &patch->sides[1];
  patch->names = ENGINE_NEW_ARRAY(t_gfPatchName, (size_t)old->count + fresh->count + 1);
  patch->pairs = ENGINE_NEW_ARRAY(t_gfRangePair, (size_t)old->count + 1);
  if (!patch->names || !patch->pairs) {
    gfFail(patch, "not enough memory to compare %d and %d entries", old->count, fresh->count);
    return false;
  }
  for (int i = 0, j = 0; i < old->count || j < fresh->count;) {
    int c = i == old->count     ? 1
            : j == fresh->count ? -1
                                : std::strcmp(copyName(old, i), copyName(fresh, j));
    t_gfPatchName item{};
    item.oldAt = c <= 0 ? i : -1;
    item.newAt = c >= 0 ? j : -1;
    item.pairs = item.pairEnd = patch->pairCount;
    int oldEnd = c <= 0 ? runEnd(old, i) : i;
    if (c == 0) queuePairs(patch, &item, oldEnd);
    i = oldEnd;
    if (c >= 0) j = runEnd(fresh, j);
    patch->names[patch->nameCount++] = item;
  }
  return true;
}

bool compareCopies(t_gfPatch* patch) {
  t_gfCompareFailure why;
  int bad = gfCompareRanges(patch->sides[0].handle, patch->sides[1].handle, patch->pairs,
                            patch->pairCount, &why);
  if (bad < 0) return true;
  if (why.kind == GF_COPY_INTERRUPTED)
    gfFail(patch, "interrupted");
  else if (why.kind == GF_COPY_NO_MEMORY)
    gfFail(patch, "not enough memory to compare the groups");
  else
    gfFail(patch, "cannot read group file '%s': %s", t_gfShown(patch->sides[why.side].path).text,
           why.reason);
  return false;
}

bool changed(const t_gfPatch* patch, const t_gfPatchName& item) {
  if (item.oldAt < 0 || item.sizeDiffers) return true;
  for (int k = item.pairs; k < item.pairEnd; k++)
    if (patch->pairs[k].differ) return true;
  return false;
}

// The date and time one tick (two seconds) after the given pair; a pair that is no date
// gives the first one a group can store, which the table takes as later. False after the
// last date a group can store.
bool nextTick(std::uint16_t date, std::uint16_t time, std::uint16_t* nextDate,
              std::uint16_t* nextTime) {
  std::int64_t seconds;
  if (!platDosToTime(date, time, &seconds)) {
    *nextDate = 1 << 5 | 1;  // 1980-01-01
    *nextTime = 0;
    return true;
  }
  return platTimeToDos(seconds + 2, nextDate, nextTime) != 0;
}

// Which names go into the patch, and the date each is stored with: new's own when it is
// later than old's latest copy, else the next tick after that. False after reporting a
// copy that cannot be dated later.
bool decide(t_gfPatch* patch) {
  const t_gfPatchSide* old = &patch->sides[0];
  const t_gfPatchSide* fresh = &patch->sides[1];
  for (int k = 0; k < patch->nameCount; k++) {
    t_gfPatchName* item = &patch->names[k];
    if (item->newAt < 0 || !changed(patch, *item)) continue;
    const t_gfPatchCopy& copy = fresh->copies[item->newAt];
    item->inPatch = true;
    item->date = copy.date;
    item->time = copy.time;
    patch->inPatch++;
    if (item->oldAt < 0) continue;
    const t_gfPatchCopy& before = old->copies[item->oldAt];
    if (platCompareDosTime(copy.date, copy.time, before.date, before.time) > 0) continue;
    item->redated = true;
    if (!nextTick(before.date, before.time, &item->date, &item->time)) {
      gfFail(patch, "cannot make the patch's copy of '%s' win: '%s' holds it dated %s, the "
             "last date a group can store", copyName(fresh, item->newAt),
             t_gfShown(old->path).text, t_gfIsoTime(before.date, before.time).text);
      return false;
    }
  }
  return true;
}

void tellRedated(const t_gfPatch* patch, const t_gfPatchName& item, t_gfReport warn) {
  const t_gfPatchSide* old = &patch->sides[0];
  const t_gfPatchSide* fresh = &patch->sides[1];
  const t_gfPatchCopy& copy = fresh->copies[item.newAt];
  const t_gfPatchCopy& before = old->copies[item.oldAt];
  gfReportf(warn, "'%s' in '%s' is dated %s, not later than its copy in '%s' (%s): the patch "
            "stores it dated %s, so that it wins", copyName(fresh, item.newAt),
            t_gfShown(fresh->path).text, t_gfIsoTime(copy.date, copy.time).text,
            t_gfShown(old->path).text, t_gfIsoTime(before.date, before.time).text,
            t_gfIsoTime(item.date, item.time).text);
}

// Tells each name that goes into the patch or stays, warns of the dates moved and the names
// a patch cannot take away, and lists the patch's entries. False when memory fails.
bool tellAndList(t_gfPatch* patch, const t_gfPatchOptions& options) {
  const t_gfPatchSide* old = &patch->sides[0];
  const t_gfPatchSide* fresh = &patch->sides[1];
  for (int k = 0; k < patch->nameCount; k++) {
    const t_gfPatchName& item = patch->names[k];
    t_gfPatchEntry told{};
    if (item.newAt < 0) {
      const t_gfPatchCopy& copy = old->copies[item.oldAt];
      told = {copyName(old, item.oldAt), GF_PATCH_STAYS, copy.size, copy.date, copy.time, 0,
              copy.date, copy.time};
      gfReportf(options.warn, "'%s' is in '%s' but not in '%s': it stays visible: a patch "
                "cannot remove it", told.name, t_gfShown(old->path).text,
                t_gfShown(fresh->path).text);
    } else if (item.inPatch) {
      const t_gfPatchCopy& copy = fresh->copies[item.newAt];
      told = {copyName(fresh, item.newAt), item.oldAt < 0 ? GF_PATCH_ADDED : GF_PATCH_CHANGED,
              copy.size, item.date, item.time, item.redated ? 1 : 0, copy.date, copy.time};
      if (item.redated) tellRedated(patch, item, options.warn);
      t_gfWriteEntry* f = gfWriteAddRange(&patch->files, told.name, fresh->handle, fresh->path,
                                          copy.offset, copy.size);
      if (!f) {
        gfFail(patch, "not enough memory for the directory of the patch");
        return false;
      }
      f->date = item.date;
      f->time = item.time;
    } else {
      continue;
    }
    if (options.told) options.told(&told, options.context);
  }
  if (patch->inPatch == 0)
    gfReportf(options.warn, "the patch '%s' is empty: '%s' holds no file that '%s' lacks or "
              "holds with other bytes", t_gfShown(options.path).text,
              t_gfShown(fresh->path).text, t_gfShown(old->path).text);
  return true;
}

// Refuses a patch or sums file that would take the place of a group the patch is made from.
bool refusePlaces(t_gfPatch* patch, const t_gfPatchOptions& options) {
  for (const char* group : {options.oldPath, options.newPath}) {
    const char* outputs[2][2] = {{"patch", options.path}, {"sums file", options.sums}};
    for (const auto& output : outputs) {
      if (!output[1] || !platSamePlace(output[1], group)) continue;
      gfFail(patch, "refusing to write %s '%s': it would replace group file '%s', which the "
             "patch is made from", output[0], t_gfShown(output[1]).text, t_gfShown(group).text);
      return true;
    }
  }
  return false;
}

// Everything from reading the two groups to the patch's commit, under the patch's lock.
void patchLocked(t_gfPatch* patch, const t_gfPatchOptions& options, t_gfGroupPlace* place) {
  if (!loadSide(patch, &patch->sides[0], options.oldPath) ||
      !loadSide(patch, &patch->sides[1], options.newPath) || !pairNames(patch) ||
      !compareCopies(patch) || !decide(patch) || !tellAndList(patch, options))
    return;
  t_gfWriteOptions writing;
  writing.sums = options.sums;
  writing.warn = options.warn;
  writing.held = place;
  patch->failed = gfWriteGroup(options.path, patch->sides[1].flag, &patch->files, patch->sink,
                               writing);
}

void freePatch(t_gfPatch* patch) {
  for (t_gfPatchSide& side : patch->sides) {
    if (side.handle != INVALID_HANDLE) platClose(side.handle);
    ENGINE_DELETE(side.copies);
    ENGINE_DELETE(side.names);
  }
  ENGINE_DELETE(patch->names);
  ENGINE_DELETE(patch->pairs);
  gfWriteFree(&patch->files);
}

}  // namespace

int gfPatchJob(const t_gfPatchOptions* given) {
  t_gfPatchOptions options;
  if (!gfTakeOptions(&options, given)) return 1;
  t_gfPatch patch;
  patch.sink = options.report;
  patch.failed = 0;
  for (t_gfPatchSide& side : patch.sides) side.handle = INVALID_HANDLE;
  if (!options.oldPath || !options.newPath || !options.path) {
    gfFail(&patch, "a patch needs the old group, the new group and the patch file to write");
    return 1;
  }
  t_gfGroupPlace place;
  place.lock.handle = INVALID_HANDLE;
  if (!refusePlaces(&patch, options) && !gfPlaceGroup(options.path, &place, &patch) &&
      !gfLockGroup(options.path, &place, &patch))
    patchLocked(&patch, options, &place);
  gfUnlockGroup(&place);
  freePatch(&patch);
  return patch.failed;
}
