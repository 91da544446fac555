// Editing a group file: files added (replacing every copy of their names) and names removed,
// the kept entries copied range by range from the old group, the result written by the one
// group writer in one commit.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/gf/pack/collect.h"
#include "engine/gf/base/group_format.h"
#include "engine/gf/base/group_open.h"
#include "engine/gf/pack/group_writer.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/write_list.h"
#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

struct t_gfStoredName {
  char text[GF_NAME_MAX + 1];
};

// One edit: the names to take out of the old group, sorted for lookups.
struct t_gfEdit : t_gfJob {
  t_gfWriteList files{};
  int added = 0;  // the first records of files are the added ones
  std::uint32_t* addedOrder = nullptr;  // their record numbers by stored name
  t_gfStoredName* removes = nullptr;  // stored forms, sorted
  bool* removeUsed = nullptr;
  int removeCount = 0;
  t_gfEditVisitor told = nullptr;
  void* toldContext = nullptr;
  t_gfDateClamp clamp = {};  // of the added files' dates
};

const char* addedName(const t_gfEdit* edit, int i) {
  return gfWriteText(&edit->files, gfWriteEntryNumber(&edit->files, edit->addedOrder[i])->name);
}

// Sorts the added files by stored name and refuses two of one name, or a name that would
// leave the directory it is unpacked into. A name only Windows refuses (a device name, a
// trailing dot) is added with the collection's warning, as a build stores it.
void checkAdded(t_gfEdit* edit) {
  edit->added = edit->files.count;
  edit->addedOrder = ENGINE_NEW_ARRAY(std::uint32_t, (size_t)edit->added + 1);
  if (!edit->addedOrder) {
    gfFail(edit, "not enough memory for %d files", edit->added);
    return;
  }
  for (int i = 0; i < edit->added; i++) edit->addedOrder[i] = (std::uint32_t)i;
  std::sort(edit->addedOrder, edit->addedOrder + edit->added, [edit](std::uint32_t a, std::uint32_t b) {
    int c = asciiCompareAnyCase(gfWriteText(&edit->files, gfWriteEntryNumber(&edit->files, a)->name),
                          gfWriteText(&edit->files, gfWriteEntryNumber(&edit->files, b)->name));
    return c ? c < 0 : a < b;
  });
  for (int i = 0; i < edit->added && !edit->failed; i++) {
    char stored[GF_PATH_MAX + 1];
    gfWriteStoredName(&edit->files, gfWriteEntryNumber(&edit->files, edit->addedOrder[i]), stored);
    if (const char* why = gfEscapingNameReason(stored))
      gfFail(edit, "cannot add '%s': the unpacker refuses the name: %s", stored, why);
    else if (i > 0 && asciiCompareAnyCase(addedName(edit, i - 1), addedName(edit, i)) == 0)
      gfFail(edit, "cannot add both '%s' and '%s': they would be stored under one name, '%s'",
             addedName(edit, i - 1), addedName(edit, i), stored);
  }
}

bool isAdded(const t_gfEdit* edit, const char* name) {
  int low = 0, high = edit->added;
  while (low < high) {
    int mid = (low + high) / 2;
    int c = asciiCompareAnyCase(addedName(edit, mid), name);
    if (c == 0) return true;
    if (c < 0)
      low = mid + 1;
    else
      high = mid;
  }
  return false;
}

// Marks the remove name that name is, if any; whether there was one.
bool takeExact(t_gfEdit* edit, const char* name) {
  auto* end = edit->removes + edit->removeCount;
  auto* at = std::lower_bound(edit->removes, end, name,
                              [](const t_gfStoredName& a, const char* key) {
                                return asciiCompareAnyCase(a.text, key) < 0;
                              });
  if (at == end || asciiCompareAnyCase(at->text, name) != 0) return false;
  edit->removeUsed[at - edit->removes] = true;
  return true;
}

// Marks every remove name that takes name: the name itself, a directory level above it, or
// a mask matching it. Whether one did.
bool takeRemoved(t_gfEdit* edit, const char* name) {
  bool taken = takeExact(edit, name);
  char level[GF_NAME_MAX + 1];
  for (size_t i = 0; name[i] && i < sizeof level; i++) {
    if (name[i] != '\\') continue;
    std::memcpy(level, name, i);
    level[i] = 0;
    taken = takeExact(edit, level) || taken;
  }
  for (int i = 0; i < edit->removeCount; i++)
    if (std::strpbrk(edit->removes[i].text, "*?") && platMatchName(edit->removes[i].text, name)) {
      edit->removeUsed[i] = true;
      taken = true;
    }
  if (taken && edit->told) edit->told(name, edit->toldContext);
  return taken;
}

bool prepareRemoves(t_gfEdit* edit, const char* const* removes, int count) {
  edit->removes = ENGINE_NEW_ARRAY(t_gfStoredName, (size_t)count + 1);
  edit->removeUsed = static_cast<bool*>(ENGINE_NEW_ZERO((size_t)count + 1));
  if (!edit->removes || !edit->removeUsed) {
    gfFail(edit, "not enough memory for %d names", count);
    return false;
  }
  for (int i = 0; i < count; i++) {
    if (!gfStoredForm(removes[i], edit->removes[i].text)) {
      gfFail(edit, "cannot remove '%s': longer than a stored name can be", removes[i]);
      return false;
    }
    char* text = edit->removes[i].text;  // "sounds/" is the level SOUNDS
    for (size_t n = std::strlen(text); n > 1 && text[n - 1] == '\\'; n--) text[n - 1] = 0;
  }
  edit->removeCount = count;
  std::sort(edit->removes, edit->removes + count,
            [](const t_gfStoredName& a, const t_gfStoredName& b) {
              return asciiCompareAnyCase(a.text, b.text) < 0;  // equal names side by side
            });
  return true;
}

// Takes every entry of the old group that is neither removed nor replaced, as a range.
void keepOld(t_gfEdit* edit, const char* path, PlatHandle group, t_gfDirectory* directory) {
  long cursor = 0;
  t_gfDirEntry e;
  while (directory && !edit->failed && gfNextDirEntry(directory, &cursor, &e)) {
    if (takeRemoved(edit, e.name) || isAdded(edit, e.name)) continue;
    t_gfWriteEntry* f = gfWriteAddRange(&edit->files, e.name, group, path, e.dataOffset, e.dataSize);
    if (!f) {
      gfFail(edit, "not enough memory for the directory of '%s'", path);
      return;
    }
    f->date = e.date;
    f->time = e.time;
  }
  // Equal remove names: one marked stands for all.
  for (int i = 1; i < edit->removeCount; i++)
    if (asciiCompareAnyCase(edit->removes[i - 1].text, edit->removes[i].text) == 0 &&
        (edit->removeUsed[i - 1] || edit->removeUsed[i]))
      edit->removeUsed[i - 1] = edit->removeUsed[i] = true;
  if (edit->failed) return;
  for (int i = 0; i < edit->removeCount; i++)  // every name that matches nothing is told
    if (!edit->removeUsed[i]) {
      char shown[PLAT_PATH_MAX];
      const char* text = edit->removes[i].text;
      gfReportf(edit->sink, std::strpbrk(text, "*?") ? "group file '%s' holds no name matching '%s'"
                                                     : "group file '%s' holds no file named '%s', nor one below it",
                gfShownPath(path, shown, sizeof shown), text);
      edit->failed = 1;
    }
}

void freeEdit(t_gfEdit* edit) {
  gfWriteFree(&edit->files);
  ENGINE_DELETE(edit->addedOrder);
  ENGINE_DELETE(edit->removes);
  ENGINE_DELETE(edit->removeUsed);
}

// Whether nothing at all has the name target (a host path) now.
bool nothingThere(const char* target) {
  PlatFind find;
  PlatFindData found;
  if (!platFindFirst(&find, target, &found)) return !find.unreadable;
  platFindClose(&find);
  return false;
}

// The read-modify-commit, under the group's lock: the added files collected, the old group
// read, the new one written in its place.
void editLocked(t_gfEdit* edit, const t_gfEditOptions& options, const char* rootPath,
                t_gfGroupPlace* place) {
  const char* path = options.path;
  int flags = options.flags;
  for (int i = 0; i < options.addCount && !edit->failed; i++)
    edit->failed = gfCollectPath(rootPath, options.adds[i], path, place->lock.path,
                                 &edit->files, edit->clamp, edit->sink, options.warn);
  if (!edit->failed) checkAdded(edit);
  if (!edit->failed) prepareRemoves(edit, options.removes, options.removeCount);
  if (edit->failed) return;
  PlatHandle group = INVALID_HANDLE;
  unsigned flag = 1;
  bool fresh = (flags & GF_EDIT_NEW_GROUP) ||
               ((flags & GF_EDIT_MAKE_MISSING) && nothingThere(place->target));
  if (!fresh) {
    t_gfDirectory directory;
    group = gfOpenGroup(place->target, &directory, edit->sink);
    if (group == INVALID_HANDLE) {
      edit->failed = 1;
      return;
    }
    flag = gfReadBuildFlag(group);  // the old group's
    keepOld(edit, path, group, &directory);
    gfFreeDirectory(&directory);
  } else {
    keepOld(edit, path, group, nullptr);
  }
  t_gfWriteOptions writing;
  writing.sums = options.sums;
  writing.warn = options.warn;
  writing.closeBeforeCommit = &group;
  writing.held = place;
  if (!edit->failed && !(flags & GF_EDIT_DRY_RUN))
    edit->failed = gfWriteGroup(path, flag, &edit->files, edit->sink, writing);
  if (group != INVALID_HANDLE) platClose(group);
}

}  // namespace

int gfEditJob(const t_gfEditOptions* given) {
  t_gfEditOptions options;
  if (!gfTakeOptions(&options, given)) return 1;
  t_gfEdit edit;
  edit.sink = options.report;
  edit.told = options.told;
  edit.toldContext = options.context;
  // Added files' dates are clamped as a pack clamps them; kept entries keep theirs.
  edit.failed = gfReadDateClamp(&edit.clamp, &edit, options.warn);
  char rootPath[GF_PATH_MAX + 1];
  gfMakeRoot(rootPath, options.root && options.root[0] ? options.root : ".");
  // The lock first: the files to add are found while no other edit's lock file lies in
  // the tree, and the old group is read only once no other edit can replace it.
  t_gfGroupPlace place;
  place.lock.handle = INVALID_HANDLE;
  const char* path = options.path;
  if (!edit.failed)
    edit.failed = gfPlaceGroup(path, &place, &edit) || gfLockGroup(path, &place, &edit);
  if (!edit.failed) editLocked(&edit, options, rootPath, &place);
  gfUnlockGroup(&place);
  freeEdit(&edit);
  return edit.failed;
}

// The older forms, each one edit job.
static int editWith(t_gfEditOptions options) { return gfEditJob(&options); }

int gfEditGroup(const char* path, int flags, const char* root, const char* const* adds,
                int addCount, const char* const* removes, int removeCount, t_gfReport sink,
                t_gfReport warn) {
  return editWith({sizeof(t_gfEditOptions), path, flags, root, adds, addCount, removes,
                   removeCount, nullptr, nullptr, nullptr, sink, warn});
}

int gfEditGroupTold(const char* path, int flags, const char* root, const char* const* adds,
                    int addCount, const char* const* removes, int removeCount,
                    t_gfEditVisitor told, void* context, t_gfReport sink, t_gfReport warn) {
  return editWith({sizeof(t_gfEditOptions), path, flags, root, adds, addCount, removes,
                   removeCount, nullptr, told, context, sink, warn});
}

int gfEditGroupSummed(const char* path, int flags, const char* root, const char* const* adds,
                      int addCount, const char* const* removes, int removeCount,
                      const char* sums, t_gfReport sink, t_gfReport warn) {
  return editWith({sizeof(t_gfEditOptions), path, flags, root, adds, addCount, removes,
                   removeCount, sums, nullptr, nullptr, sink, warn});
}
