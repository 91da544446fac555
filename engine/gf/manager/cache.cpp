// The whole-file cache: files read into memory by the read worker and kept in their
// records, within a byte budget that drops the largest finished file when exceeded.
#include <cstring>

#include "engine/gf/manager/cache.h"

#include "engine/debug/debug_internal.h"
#include "engine/gf/manager/reader.h"
#include "engine/gf/manager/table.h"
#include "tarnpak/debug.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

constexpr int gfCacheLimit = 4000000;  // four million bytes

// One cached file in the list. Its index is one of the table's holders, so it follows its
// record when a removal renumbers the table.
struct t_gfCacheNode {
  long index;
  t_gfIndexHolder holder;
  t_gfCacheNode* prev;
  t_gfCacheNode* next;
  long long size;           // the record's size when it was cached
  unsigned long long made;  // the order the nodes were made in
  int heapAt;               // its place in gfCacheHeap, or -1 when its copy went meanwhile
};

// The list keeps the order the victim rule breaks ties by: the first file cached stays
// first, every later one goes directly behind it, so behind the first node the list runs
// from the newest node to the oldest.
t_gfCacheNode* gfCacheList = nullptr;
int gfCacheTotal = 0;
unsigned long long gfCacheMade = 0;
// The nodes whose record still holds the copy they were made for, as a heap with the one
// the victim rule would choose first on top (largest size, then nearest the list's head).
// A node's size cannot change while it is here: a record holding a cached copy tells the
// cache before its size changes, and its nodes go. So choosing a victim looks at the top
// and, below a file still being read, at its children: a few steps instead of a walk of
// every cached file with the read queue's lock taken at each.
t_engineArray<t_gfCacheNode*> gfCacheHeap{};
// Nodes whose copy was dropped from outside (gfUncacheFile(index)) stay in the list, and
// the victim rule still looks at them with their record's size as it is now.
int gfCacheLoose = 0;
// Blocks of records that left the table or changed size while their read still ran:
// released at gfStop, after the worker has ended.
struct_list* gfCacheAside = nullptr;

// The messages go to the log and the line output; when neither keeps them, they are not
// formatted at all (the cache prints two per file it reads).
void note(const char* format, long value, const char* name = nullptr) {
  if (!debugHeard()) return debugPassOverLine();
  if (name)
    DebugPrintf(format, name, (int)value);
  else
    DebugPrintf(format, (int)value);
}

// ---- the victim order ------------------------------------------------------------------

long long sizeOf(const t_gfCacheNode* n) {
  if (n->heapAt >= 0) return n->size;
  const t_gfFileInfo* r = gfRecordAt(n->index);
  return r ? r->size : 0;
}

// Whether the victim rule prefers a to b: the larger file, and of equal sizes the one met
// first walking the list from its head.
bool prefers(const t_gfCacheNode* a, const t_gfCacheNode* b) {
  long sa = sizeOf(a), sb = sizeOf(b);
  if (sa != sb) return sa > sb;
  if (a == gfCacheList || b == gfCacheList) return a == gfCacheList;
  return a->made > b->made;
}

void heapPut(int at, t_gfCacheNode* n) {
  gfCacheHeap[at] = n;
  n->heapAt = at;
}

void siftUp(int at) {
  t_gfCacheNode* n = gfCacheHeap[at];
  while (at > 0 && prefers(n, gfCacheHeap[(at - 1) / 2])) {
    heapPut(at, gfCacheHeap[(at - 1) / 2]);
    at = (at - 1) / 2;
  }
  heapPut(at, n);
}

void siftDown(int at) {
  t_gfCacheNode* n = gfCacheHeap[at];
  for (;;) {
    int child = 2 * at + 1;
    if (child >= (int)gfCacheHeap.count) break;
    if (child + 1 < (int)gfCacheHeap.count && prefers(gfCacheHeap[child + 1], gfCacheHeap[child]))
      child++;
    if (!prefers(gfCacheHeap[child], n)) break;
    heapPut(at, gfCacheHeap[child]);
    at = child;
  }
  heapPut(at, n);
}

bool heapAdd(t_gfCacheNode* n) {
  if (!gfCacheHeap.push(n, ENGINE_HERE)) return false;
  heapPut((int)gfCacheHeap.count - 1, n);
  siftUp(n->heapAt);
  return true;
}

// Takes n out of the heap; it then counts among the nodes whose copy went.
void heapTake(t_gfCacheNode* n) {
  int at = n->heapAt;
  if (at < 0) return;
  n->heapAt = -1;
  gfCacheLoose++;
  t_gfCacheNode* last = gfCacheHeap[--gfCacheHeap.count];
  if (last == n) return;
  heapPut(at, last);
  siftUp(at);
  siftDown(last->heapAt);
}

bool finished(const t_gfCacheNode* n) {
  const t_gfFileInfo* r = gfRecordAt(n->index);
  return r && sizeOf(n) > 0 && gfReadCompleted(r->readId);
}

// The preferred finished node of the heap below place at, if it beats best: a finished
// node hides everything below it, so only files still being read are looked under.
void bestInHeap(int at, t_gfCacheNode** best) {
  if (at >= (int)gfCacheHeap.count) return;
  t_gfCacheNode* n = gfCacheHeap[at];
  if (*best && !prefers(n, *best)) return;
  if (finished(n)) {
    *best = n;
    return;
  }
  bestInHeap(2 * at + 1, best);
  bestInHeap(2 * at + 2, best);
}

t_gfCacheNode* chooseVictim() {
  t_gfCacheNode* best = nullptr;
  if (gfCacheLoose > 0)
    for (t_gfCacheNode* n = gfCacheList; n; n = n->next)
      if (n->heapAt < 0 && (!best || prefers(n, best)) && finished(n)) best = n;
  bestInHeap(0, &best);
  return best;
}

// ---- the list --------------------------------------------------------------------------

// Each new node goes behind the first, as the list has always been kept.
bool addNode(long index) {
  auto* n = static_cast<t_gfCacheNode*>(ENGINE_NEW(sizeof(t_gfCacheNode)));
  if (!n) return false;
  n->index = index;
  n->size = gfRecordAt(index)->size;
  n->made = ++gfCacheMade;
  gfTableHold(&n->holder, &n->index);
  if (!gfCacheList) {
    n->prev = n->next = nullptr;
    gfCacheList = n;
  } else {
    n->prev = gfCacheList;
    n->next = gfCacheList->next;
    if (n->next) n->next->prev = n;
    gfCacheList->next = n;
  }
  if (!heapAdd(n)) {
    n->heapAt = -1;  // looked at by the walk of nodes outside the heap instead
    gfCacheLoose++;
  }
  return true;
}

// Takes node out of the list; returns the node behind it.
t_gfCacheNode* removeNode(t_gfCacheNode* node) {
  t_gfCacheNode* next = node->next;
  heapTake(node);
  gfCacheLoose--;
  if (node->prev)
    node->prev->next = next;
  else
    gfCacheList = next;
  if (next) next->prev = node->prev;
  // A new first node now wins its ties: it moves up in the heap.
  if (!node->prev && next && next->heapAt >= 0) siftUp(next->heapAt);
  gfTableLetGo(&node->holder);
  ENGINE_DELETE(node);
  return next;
}

// Releases record i's copy if its read has finished; false when it is kept.
bool releaseCopy(long i) {
  t_gfFileInfo* r = gfRecordAt(i);
  if (!r || !r->cacheData || !gfReadCompleted(r->readId)) return false;  // the worker may write it
  gfClose(r->cacheFile);
  ENGINE_DELETE(r->cacheData);
  r->readId = 0;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  gfCacheTotal -= (int)r->size;
  return true;
}

// Record i's copy went: its node leaves the heap and stays in the list.
void forgetCopy(long i) {
  for (t_gfCacheNode* n = gfCacheList; n; n = n->next)
    if (n->index == i) heapTake(n);
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
  note("CACHE SIZE: %d\n", gfCacheTotal);
  if (gfCacheTotal > gfCacheLimit) gfUncacheFile();
  addNode(i);
  return true;
}

// A file asked for again while its read still waits in the queue is read at once on the
// caller's thread, exactly as the worker would (the whole file at its absolute offset):
// the caller wants it now, and waiting for the worker to reach it, and to be given a
// processor, costs more than the read. While the worker reads the file itself, the caller
// takes the newest read off the queue instead, so that its wait drains the queue from
// the end the worker reaches last.
void readNow(const t_gfReadRequest& request) {
  gfReadAt(request.handle, request.offset, request.buffer, (unsigned long)request.size);
}

bool readyAfterHelping(const t_gfFileInfo* r) {
  t_gfReadRequest request;
  if (gfReadTakeBack(r->readId, &request)) {
    readNow(request);
    return true;
  }
  if (gfReadTakeBack(0, &request)) readNow(request);
  return gfReadCompleted(r->readId) != 0;
}

}  // namespace

t_gfFileInfo* gfCacheFile(const char* name) {
  if (!name) return nullptr;
  long i = gfFetch(name);
  if (i < 0) return nullptr;
  bool started = false;
  if (!gfRecordAt(i)->cacheData) {
    if (!startCaching(i)) return nullptr;
    started = true;
  }
  t_gfFileInfo* r = gfRecordAt(i);
  if (!gfReadCompleted(r->readId) && (started || !readyAfterHelping(r))) return nullptr;
  r->lastUse = (float)GetCurTime();
  return r;
}

// Drops the largest finished file. Every node names a record (a delete takes the record's
// nodes out before the table renumbers), and only such nodes count as finished.
void gfUncacheFile() {
  t_gfCacheNode* chosen = chooseVictim();
  if (!chosen) return;
  long i = chosen->index;
  // A node whose copy went earlier may win for a record cached again since: the copy it
  // releases is the newer node's, which then stays in the list without one.
  if (releaseCopy(i) && chosen->heapAt < 0) forgetCopy(i);
  note("UNCACHE <%s> SIZE: %d\n", gfCacheTotal, gfRecordAt(i)->name);
  removeNode(chosen);
}

// From outside, the record's node stays in the list without its copy; the victim rule
// still looks at it.
void gfUncacheFile(int index) {
  if (releaseCopy(index)) forgetCopy(index);
}

void gfUncacheAllFiles() {
  while (gfCacheList) {
    releaseCopy(gfCacheList->index);
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
  gfCacheHeap.release();
  gfCacheLoose = 0;
  while (gfCacheAside) {
    ENGINE_DELETE(gfCacheAside->data);
    List_Del(gfCacheAside, gfCacheAside);
  }
  gfCacheTotal = 0;
}

void gfCacheForget(long index) {
  for (t_gfCacheNode* n = gfCacheList; n;) n = n->index == index ? removeNode(n) : n->next;
  t_gfFileInfo* r = gfRecordAt(index);
  if (!r || !r->cacheData || releaseCopy(index)) return;
  // Still being read: the block must outlive the worker's write into it.
  if (!List_Add(gfCacheAside, r->cacheData)) return;  // kept by nobody: better lost than freed
  gfClose(r->cacheFile);
  gfCacheTotal -= (int)r->size;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  r->readId = 0;
}
