// The start-up scan: the root's group files first, then every loose file below the root,
// made into the table's records.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#include "tarnpak/debug.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

// The entry and its name in one block: the scan makes one per file, and tracked allocations
// (each taking the allocator's lock) were a quarter of gfStart's time outside the kernel.
t_gfScanEntry* gfNewScanEntry(const char* name) {
  size_t length = std::strlen(name) + 1;
  auto* e = static_cast<t_gfScanEntry*>(ENGINE_NEW(sizeof(t_gfScanEntry) + length));
  if (!e) return nullptr;
  std::memset(e, 0, sizeof *e);
  e->group = INVALID_HANDLE;
  e->name = reinterpret_cast<char*>(e + 1);
  std::memcpy(e->name, name, length);
  return e;
}

void gfFreeScanEntry(t_gfScanEntry* e) { ENGINE_DELETE(e); }

namespace {

void addLooseFile(struct_list** list, const char* path, const PlatFindData* found) {
  t_gfScanEntry* e = gfNewScanEntry(path);
  if (!e) return;
  e->size = (long)found->sizeLow;
  platTimeToDos(found->writeTime, &e->date, &e->time);
  if (!List_Add(*list, e)) gfFreeScanEntry(e);
}

// A root that cannot be read gives an empty table, as an empty one does: the debug log
// says which it was, so that a program embedding the manager can find out why.
void explainEmptyRoot(const char* dir) {
  char host[PLAT_PATH_MAX];
  if (!platHostPath(dir, host, sizeof host)) return;
  PlatHandle h = platOpenHostDir(host);
  if (h != INVALID_HANDLE) {  // readable, and empty
    platClose(h);
    return;
  }
  size_t n = std::strlen(host);
  // Shown without the separator the root ends in.
  if (n > 1 && (host[n - 1] == '/' || host[n - 1] == '\\')) host[n - 1] = 0;
  char shown[4 * GF_PATH_MAX + 1];
  gfEscapeControls(host, shown, sizeof shown);
  DebugPrintf("gfStart: cannot read the root directory '%s': %s\n", shown, platLastError());
}

}  // namespace

void gfScanRoot(struct_list** list, const char* dir) {
  char pattern[GF_PATH_MAX + 1];
  PlatFind find;
  PlatFindData found;
  if (gfJoinPath(pattern, dir, "*.grp") && platFindFirst(&find, pattern, &found)) {
    do {
      char path[GF_PATH_MAX + 1];
      if (found.isDirectory || !gfJoinPath(path, dir, found.name)) continue;
      PlatHandle group = platOpenRead(path);
      gfReadGroup(list, group);
      if (group != INVALID_HANDLE && gfIsGroupHandle(group)) gfNoteGroupName(group, found.name);
    } while (platFindNext(&find, &found));
    platFindClose(&find);
  }
  gfScanDir(list, dir);
  if (!*list) explainEmptyRoot(dir);
}

bool gfOnPath(const PlatFind* find, const t_gfVisit* path) {
  for (; path; path = path->up)
    if (path->device == find->device && path->inode == find->inode) return true;
  return false;
}

namespace {

void scanDir(struct_list** list, const char* dir, const t_gfVisit* above) {
  char pattern[GF_PATH_MAX + 1];
  PlatFind find;
  PlatFindData found;
  if (!gfJoinPath(pattern, dir, "*.*") || !platFindFirst(&find, pattern, &found)) return;
  if (gfOnPath(&find, above)) {  // entered again through a link
    platFindClose(&find);
    return;
  }
  t_gfVisit here{find.device, find.inode, above};
  do {
    char path[GF_PATH_MAX + 1];
    if (!found.isDirectory) {
      // A path beyond the manager's limit could never be opened by name: left out.
      if (gfJoinPath(path, dir, found.name)) addLooseFile(list, path, &found);
    } else if (found.name[0] != '.' && gfJoinPath(path, dir, found.name, "\\")) {
      scanDir(list, path, &here);
    }
  } while (platFindNext(&find, &found));
  platFindClose(&find);
}

}  // namespace

void gfScanDir(struct_list** list, const char* dir) { scanDir(list, dir, nullptr); }

void gfReadGroup(struct_list** list, PlatHandle group) {
  if (group == INVALID_HANDLE) return;
  t_gfDirectory directory;
  if (gfLoadDirectory(group, &directory) != GF_DIR_OK) {  // not a group, or not a sound one
    platClose(group);
    return;
  }
  if (!gfAddGroup(group)) {
    gfFreeDirectory(&directory);
    platClose(group);
    return;
  }
  long cursor = 0;
  t_gfDirEntry entry;
  while (gfNextDirEntry(&directory, &cursor, &entry)) {
    char path[GF_PATH_MAX + 1 + GF_NAME_MAX + 1];
    std::snprintf(path, sizeof path, "%s%s", gfRoot, entry.name);
    t_gfScanEntry* e = gfNewScanEntry(path);
    if (!e) break;
    e->group = group;
    e->offset = entry.dataOffset;
    e->size = entry.dataSize;
    e->date = entry.date;
    e->time = entry.time;
    e->inGroup = 1;
    if (!List_Add(*list, e)) {
      gfFreeScanEntry(e);
      break;
    }
  }
  gfFreeDirectory(&directory);
}

namespace {

// Fills record r from scan entry e; false when memory for the name fails.
bool makeRecord(t_gfFileInfo* r, const t_gfScanEntry* e, size_t rootLength) {
  *r = t_gfFileInfo{};
  r->name = gfNewRecordName(e->name + rootLength);
  if (!r->name) return false;
  r->size = e->size;
  r->date = e->date;
  r->time = e->time;
  r->inGroup = e->inGroup;
  r->offset = e->offset;
  r->handle = e->group;
  if (!gfWantsWavHeader(r)) return true;
  if (e->inGroup) {
    gfReadWavHeader(r, e->group, e->offset);
    return true;
  }
  PlatHandle h = platOpenRead(e->name);
  if (h == INVALID_HANDLE) return true;
  gfReadWavHeader(r, h, 0);
  platClose(h);
  return true;
}

}  // namespace

// Every entry and node of the scan is given back on the way, whether or not its record
// could be made.
void gfScanIntoTable(const char* root) {
  struct_list* list = nullptr;
  gfScanRoot(&list, root);
  gfTableFromScan(list, root);
}

void gfTableFromScan(struct_list* list, const char* root) {
  bool present = gfTableOpen(List_Count(list));
  size_t rootLength = std::strlen(root);
  while (list) {
    auto* e = static_cast<t_gfScanEntry*>(list->data);
    t_gfFileInfo r;
    if (present && makeRecord(&r, e, rootLength) && gfTableAppend(r) < 0) ENGINE_DELETE(r.name);
    gfFreeScanEntry(e);
    List_Del(list, list);
  }
  gfTableSortUnique();
}
