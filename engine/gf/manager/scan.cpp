// The start-up scan: the root's group files first, then every loose file below the root,
// walked on the crew's threads, made into the table's records; or one group file's entries.
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/gf/manager/scan.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/manager/groups.h"
#include "engine/gf/base/names.h"
#include "engine/gf/manager/table.h"
#include "engine/kestin/crew.h"
#include "tarnpak/debug.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

// One file found by the scan, kept in a list until the table is made.
struct t_gfScanEntry {
  char* name;        // the full path
  PlatHandle group;  // the group file holding the entry, or INVALID_HANDLE for a loose file
  long offset;
  long long size;
  std::uint16_t date;
  std::uint16_t time;
  int inGroup;
};

// The entry and its name in one block: the scan makes one per file, and tracked allocations
// (each taking the allocator's lock) were a quarter of gfStart's time outside the kernel.
t_gfScanEntry* newEntry(const char* name) {
  size_t length = std::strlen(name) + 1;
  auto* e = static_cast<t_gfScanEntry*>(ENGINE_NEW(sizeof(t_gfScanEntry) + length));
  if (!e) return nullptr;
  std::memset(e, 0, sizeof *e);
  e->group = INVALID_HANDLE;
  e->name = reinterpret_cast<char*>(e + 1);
  std::memcpy(e->name, name, length);
  return e;
}

void freeEntry(t_gfScanEntry* e) { ENGINE_DELETE(e); }

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

// ---- the loose files, on the crew's threads -------------------------------------------------
// Each directory becomes a node that one thread fills with what the search found, in the
// search's order: its files' entries and its subdirectories' nodes, which go to the queue
// for any thread to fill. When every node is filled, the caller's thread walks the nodes
// depth first and lists the entries in the order of a depth-first search, whatever the
// timing. With one thread the caller fills every node itself.

struct t_gfScanNode {
  char* dir;                // the path, ending in a backslash
  const t_gfVisit* above;   // the directories on the path above it
  t_gfVisit here;
  t_engineArray<void*> items;  // a scan entry, or (tagged with bit 0) a t_gfScanNode
  t_gfScanNode* nextQueued;
};

struct t_gfScanJob {
  std::mutex lock;
  std::condition_variable changed;
  t_gfScanNode* queued = nullptr;  // a stack: the order nodes are filled in does not matter
  int busy = 0;                    // nodes taken and not yet filled
};

t_gfScanNode* newNode(const char* dir, const t_gfVisit* above) {
  size_t n = std::strlen(dir) + 1;
  auto* node = static_cast<t_gfScanNode*>(ENGINE_NEW_ZERO(sizeof(t_gfScanNode) + n));
  if (!node) return nullptr;
  node->dir = reinterpret_cast<char*>(node + 1);
  std::memcpy(node->dir, dir, n);
  node->above = above;
  return node;
}

// Fills one node from its directory's search; the subdirectories found go to the queue.
void fillNode(t_gfScanJob* job, t_gfScanNode* node) {
  char pattern[GF_PATH_MAX + 1];
  PlatFind find;
  PlatFindData found;
  if (!gfJoinPath(pattern, node->dir, "*.*") || !platFindFirst(&find, pattern, &found)) return;
  if (gfOnPath(&find, node->above)) {  // entered again through a link
    platFindClose(&find);
    return;
  }
  node->here = {find.device, find.inode, node->above};
  do {
    char path[GF_PATH_MAX + 1];
    if (!found.isDirectory) {
      if (!gfJoinPath(path, node->dir, found.name)) continue;
      t_gfScanEntry* e = newEntry(path);
      if (!e) continue;
      e->size = found.size;
      platTimeToDos(found.writeTime, &e->date, &e->time);
      if (!node->items.push(e, ENGINE_HERE)) freeEntry(e);
    } else if (found.name[0] != '.' && gfJoinPath(path, node->dir, found.name, "\\")) {
      t_gfScanNode* child = newNode(path, &node->here);
      if (!child) continue;
      void* tagged = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(child) | 1);
      if (!node->items.push(tagged, ENGINE_HERE)) {
        ENGINE_DELETE(child);
        continue;
      }
      std::lock_guard<std::mutex> guard(job->lock);
      child->nextQueued = job->queued;
      job->queued = child;
      job->changed.notify_one();
    }
  } while (platFindNext(&find, &found));
  platFindClose(&find);
}

void scanWorker(void* context) {
  auto* job = static_cast<t_gfScanJob*>(context);
  std::unique_lock<std::mutex> held(job->lock);
  for (;;) {
    job->changed.wait(held, [job] { return job->queued || job->busy == 0; });
    t_gfScanNode* node = job->queued;
    if (!node) break;  // nothing queued and nothing being filled: done
    job->queued = node->nextQueued;
    job->busy++;
    held.unlock();
    fillNode(job, node);
    held.lock();
    if (--job->busy == 0 && !job->queued) job->changed.notify_all();
  }
}

// Lists the node's entries depth first, giving every node back on the way.
void listNode(struct_list** list, t_gfScanNode* node) {
  for (std::uint32_t i = 0; i < node->items.count; i++) {
    auto bits = reinterpret_cast<std::uintptr_t>(node->items[i]);
    if (bits & 1) {
      listNode(list, reinterpret_cast<t_gfScanNode*>(bits & ~(std::uintptr_t)1));
      continue;
    }
    auto* e = static_cast<t_gfScanEntry*>(node->items[i]);
    if (!List_Add(*list, e)) freeEntry(e);
  }
  node->items.release();
  ENGINE_DELETE(node);
}

// Every loose file below dir, on the crew's threads and the caller's.
void scanLoose(struct_list** list, const char* dir) {
  t_gfScanNode* root = newNode(dir, nullptr);
  if (!root) return;
  t_gfScanJob job;
  job.queued = root;
  job.busy = 0;
  t_crew crew;
  crewStart(&crew, crewThreads() - 1, scanWorker, &job);
  scanWorker(&job);
  crewJoin(&crew);
  listNode(list, root);
}

// ---- group files ---------------------------------------------------------------------------

// Lists the entries of the group file open on group, which joins the root's groups; a file
// that is no sound group is closed.
void readGroup(struct_list** list, PlatHandle group) {
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
    t_gfScanEntry* e = newEntry(path);
    if (!e) break;
    e->group = group;
    e->offset = entry.dataOffset;
    e->size = entry.dataSize;
    e->date = entry.date;
    e->time = entry.time;
    e->inGroup = 1;
    if (!List_Add(*list, e)) {
      freeEntry(e);
      break;
    }
  }
  gfFreeDirectory(&directory);
}

void scanRoot(struct_list** list, const char* dir) {
  char pattern[GF_PATH_MAX + 1];
  PlatFind find;
  PlatFindData found;
  if (gfJoinPath(pattern, dir, "*.grp") && platFindFirst(&find, pattern, &found)) {
    do {
      char path[GF_PATH_MAX + 1];
      if (found.isDirectory || !gfJoinPath(path, dir, found.name)) continue;
      PlatHandle group = platOpenRead(path);
      readGroup(list, group);
      if (group != INVALID_HANDLE && gfIsGroupHandle(group)) gfNoteGroupName(group, found.name);
    } while (platFindNext(&find, &found));
    platFindClose(&find);
  }
  scanLoose(list, dir);
  if (!*list) explainEmptyRoot(dir);
}

// ---- the records ---------------------------------------------------------------------------

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

// Makes the scan entries of list (names beginning with root) into a new table in table
// order. Every entry and node of the scan is given back on the way, whether or not its
// record could be made.
void tableFromScan(struct_list* list, const char* root) {
  bool present = gfTableOpen(List_Count(list));
  size_t rootLength = std::strlen(root);
  while (list) {
    auto* e = static_cast<t_gfScanEntry*>(list->data);
    t_gfFileInfo r;
    if (present && makeRecord(&r, e, rootLength) && gfTableAppend(r) < 0) ENGINE_DELETE(r.name);
    freeEntry(e);
    List_Del(list, list);
  }
  gfTableSortUnique();
}

}  // namespace

void gfScanIntoTable(const char* root) {
  struct_list* list = nullptr;
  scanRoot(&list, root);
  tableFromScan(list, root);
}

// Without the root's loose files or its other groups.
void gfScanGroupIntoTable(const char* path) {
  struct_list* list = nullptr;
  PlatHandle group = platOpenRead(path);
  readGroup(&list, group);  // closes a group it cannot read
  if (group != INVALID_HANDLE && gfIsGroupHandle(group)) {
    const char* leaf = path;
    for (const char* c = path; *c; c++)
      if (*c == '/' || *c == '\\') leaf = c + 1;
    gfNoteGroupName(group, leaf);
  }
  tableFromScan(list, gfRoot);
}
