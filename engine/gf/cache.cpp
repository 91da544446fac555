// The whole-file cache: files read into memory by the read worker and kept in their
// records, within a byte budget that drops the largest finished file when exceeded.
#include <cstring>

#include "tarnpak/debug.h"
#include "engine/gf/gf_internal.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int gfCacheLimit = 4000000;  // four million bytes

// One cached file in the list. Its index is one of the table's holders, so it follows its
// record when a removal renumbers the table.
struct t_gfCacheNode {
  long index;
  t_gfIndexHolder holder;
  t_gfCacheNode* next;
};

t_gfCacheNode* gfCacheList = nullptr;  // the first cached file stays first
int gfCacheTotal = 0;
// Blocks of records that left the table or changed size while their read still ran:
// released at gfStop, after the worker has ended.
struct_list* gfCacheAside = nullptr;

bool inTable(long index) { return gfRecordAt(index) != nullptr; }

// Each new node goes behind the first, as the list has always been kept.
bool addNode(long index) {
  auto* n = static_cast<t_gfCacheNode*>(ENGINE_NEW(sizeof(t_gfCacheNode)));
  if (!n) return false;
  n->index = index;
  gfTableHold(&n->holder, &n->index);
  if (!gfCacheList) {
    n->next = nullptr;
    gfCacheList = n;
  } else {
    n->next = gfCacheList->next;
    gfCacheList->next = n;
  }
  return true;
}

// Takes node out of the list; returns the node behind it.
t_gfCacheNode* removeNode(t_gfCacheNode* node) {
  t_gfCacheNode* next = node->next;
  for (t_gfCacheNode** link = &gfCacheList; *link; link = &(*link)->next) {
    if (*link != node) continue;
    *link = next;
    break;
  }
  gfTableLetGo(&node->holder);
  ENGINE_DELETE(node);
  return next;
}

// Starts caching record i; false when the file cannot be opened or its block had.
bool startCaching(long i) {
  t_gfFileInfo* r = gfRecordAt(i);
  if (r->size < 0 || r->size > 0x7FFFFFFF) return false;  // beyond one read's reach
  GFILE* f = gfOpen(r->name);
  if (!f) return false;
  r = gfRecordAt(i);
  void* block = ENGINE_NEW((size_t)r->size);
  if (!block) {
    gfClose(f);
    return false;
  }
  r->cacheData = block;
  r->cacheFile = f;
  r->readId = gfReadStart(f, 0, block, (int)r->size);
  r->lastUse = (float)GetCurTime();
  gfCacheTotal += (int)r->size;
  DebugPrintf("CACHE SIZE: %d\n", gfCacheTotal);
  if (gfCacheTotal > gfCacheLimit) gfUncacheFile();
  addNode(i);
  return true;
}

}  // namespace

t_gfFileInfo* gfCacheFile(const char* name) {
  if (!name) return nullptr;
  long i = gfFetch(name);
  if (i < 0) return nullptr;
  if (!gfRecordAt(i)->cacheData && !startCaching(i)) return nullptr;
  t_gfFileInfo* r = gfRecordAt(i);
  if (!gfReadCompleted(r->readId)) return nullptr;
  r->lastUse = (float)GetCurTime();
  return r;
}

void gfUncacheFile() {
  long best = 0;
  t_gfCacheNode* chosen = nullptr;
  for (t_gfCacheNode* n = gfCacheList; n; n = n->next) {
    const t_gfFileInfo* r = gfRecordAt(n->index);
    if (!r) {
      DebugPrintf("gfUncacheFile(): error\n");
      continue;
    }
    if (r->size > best && gfReadCompleted(r->readId)) {
      best = r->size;
      chosen = n;
    }
  }
  if (!chosen) return;
  long i = chosen->index;
  gfUncacheFile((int)i);
  DebugPrintf("UNCACHE <%s> SIZE: %d\n", gfRecordAt(i)->name, gfCacheTotal);
  removeNode(chosen);
}

void gfUncacheFile(int index) {
  t_gfFileInfo* r = gfRecordAt(index);
  if (!r || !r->cacheData || !gfReadCompleted(r->readId)) return;  // the worker may write it
  gfClose(r->cacheFile);
  ENGINE_DELETE(r->cacheData);
  r->readId = 0;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  gfCacheTotal -= (int)r->size;
}

void gfUncacheAllFiles() {
  while (gfCacheList) {
    long i = gfCacheList->index;
    if (inTable(i)) gfUncacheFile((int)i);
    removeNode(gfCacheList);
  }
}

void gfPrintCache() {
  long sum = 0;
  for (t_gfCacheNode* n = gfCacheList; n; n = n->next) {
    const t_gfFileInfo* r = gfRecordAt(n->index);
    if (!r) {
      ConPrintf("error line\n");
      continue;
    }
    ConPrintf("File <%s> size <%d> completed=%s\n", r->name, (int)r->size,
              gfReadCompleted(r->readId) ? "TRUE" : "FALSE");
    sum += r->size;
  }
  ConPrintf("Cache size=%dKb\n", (int)(sum / 1024));
}

void gfCacheStart() { gfTableOnResize(gfCacheForget); }

void gfCacheCloseFiles() {
  for (long i = 0; i < gfTableCount(); i++) {
    t_gfFileInfo* r = gfRecordAt(i);
    if (r->cacheFile) gfClose(r->cacheFile);
    r->cacheFile = nullptr;
  }
}

void gfCacheReset() {
  gfTableOnResize(nullptr);
  while (gfCacheList) removeNode(gfCacheList);
  while (gfCacheAside) {
    ENGINE_DELETE(gfCacheAside->data);
    List_Del(gfCacheAside, gfCacheAside);
  }
  gfCacheTotal = 0;
}

void gfCacheForget(long index) {
  for (t_gfCacheNode* n = gfCacheList; n;) n = n->index == index ? removeNode(n) : n->next;
  t_gfFileInfo* r = gfRecordAt(index);
  if (!r || !r->cacheData) return;
  gfUncacheFile((int)index);
  if (!r->cacheData) return;
  // Still being read: the block must outlive the worker's write into it.
  if (!List_Add(gfCacheAside, r->cacheData)) return;  // kept by nobody: better lost than freed
  gfClose(r->cacheFile);
  gfCacheTotal -= (int)r->size;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  r->readId = 0;
}
