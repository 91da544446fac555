// The cache list and what is kept beside it: the victim order as a heap, and the nodes of
// each record index; every change of the list keeps the three together.
#include "engine/gf/manager/cache_list.h"

#include <cstdint>
#include <cstring>

#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

// The list keeps the order the victim rule breaks ties by: the first file cached stays
// first, every later one goes directly behind it, so behind the first node the list runs
// from the newest node to the oldest.
t_gfCacheNode* gfCacheList = nullptr;
unsigned long long gfCacheMade = 0;
// Every node, as a heap with the one the victim rule would choose first on top (largest
// size, then nearest the list's head). A node whose copy was dropped from outside
// (gfUncacheFile(index)) stays in the list, and the victim rule looks at it just as at the
// others, with its record's size: so it stays in the heap, under the same key. Choosing a
// victim looks at the top and, below a file still being read, at its children: a few steps
// however many nodes the list has gathered, instead of a walk of them all with the read
// queue's lock taken at each.
t_engineArray<t_gfCacheNode*> gfCacheHeap{};
// Nodes that found no room in the heap when memory failed; the victim rule walks the list
// for them while there are any.
int gfCacheOutside = 0;
// The newest node of each record index, the others behind it through sameNext, so that a
// record's nodes are found without a walk of the list. A removal renumbers the table: the
// map is then made again from the list before its next use.
t_engineArray<t_gfCacheNode*> gfCacheByIndex{};
unsigned long gfCacheMapStamp = 0;
bool gfCacheMapBroken = false;  // memory failed while it was made: the list is walked instead
// Nodes looked at by the cache's searches, for tests that check a search's cost.
unsigned long long gfCacheLookCount = 0;

// ---- the victim order ------------------------------------------------------------------

// Whether the victim rule prefers a to b: the larger file, and of equal sizes the one met
// first walking the list from its head.
bool prefers(const t_gfCacheNode* a, const t_gfCacheNode* b) {
  if (a->size != b->size) return a->size > b->size;
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

void heapAdd(t_gfCacheNode* n) {
  n->heapAt = -1;
  if (!gfCacheHeap.push(n, ENGINE_HERE)) {
    gfCacheOutside++;
    return;
  }
  heapPut((int)gfCacheHeap.count - 1, n);
  siftUp(n->heapAt);
}

void heapTake(t_gfCacheNode* n) {
  int at = n->heapAt;
  if (at < 0) {
    gfCacheOutside--;
    return;
  }
  n->heapAt = -1;
  t_gfCacheNode* last = gfCacheHeap[--gfCacheHeap.count];
  if (last == n) return;
  heapPut(at, last);
  siftUp(at);
  siftDown(last->heapAt);
}

// A node's key changed (its record's size): it moves to its new place.
void heapRekey(t_gfCacheNode* n) {
  if (n->heapAt < 0) return;
  siftUp(n->heapAt);
  siftDown(n->heapAt);
}

bool finished(const t_gfCacheNode* n) {
  gfCacheLookCount++;
  const t_gfFileInfo* r = gfRecordAt(n->index);
  return r && n->size > 0 && gfReadCompleted(r->readId);
}

// The preferred finished node of the heap below place at, if it beats best: a finished
// node hides everything below it, so only files still being read are looked under.
void bestInHeap(int at, t_gfCacheNode** best) {
  if (at >= (int)gfCacheHeap.count) return;
  t_gfCacheNode* n = gfCacheHeap[at];
  if (*best && !prefers(n, *best)) return;
  if (n->size <= 0) return;  // no victim, and nor is anything below it
  if (finished(n)) {
    *best = n;
    return;
  }
  bestInHeap(2 * at + 1, best);
  bestInHeap(2 * at + 2, best);
}


// ---- the map from record index to nodes -------------------------------------------------

void mapUnlink(t_gfCacheNode* n) {
  if (n->sameNext) n->sameNext->samePrev = n->samePrev;
  if (n->samePrev)
    n->samePrev->sameNext = n->sameNext;
  else if (!gfCacheMapBroken && n->index >= 0 && n->index < (long)gfCacheByIndex.count)
    gfCacheByIndex[(std::uint32_t)n->index] = n->sameNext;
  n->sameNext = n->samePrev = nullptr;
}

void mapLink(t_gfCacheNode* n) {
  n->sameNext = n->samePrev = nullptr;
  if (gfCacheMapBroken || n->index < 0) return;
  std::uint32_t i = (std::uint32_t)n->index;
  if (i >= gfCacheByIndex.count) {
    std::uint32_t more = i + 1 - gfCacheByIndex.count;
    if (!gfCacheByIndex.reserve(more, ENGINE_HERE)) {
      gfCacheMapBroken = true;
      return;
    }
    std::memset(static_cast<void*>(gfCacheByIndex.items + gfCacheByIndex.count), 0,
                sizeof(t_gfCacheNode*) * more);
    gfCacheByIndex.count += more;
  }
  n->sameNext = gfCacheByIndex[i];
  if (n->sameNext) n->sameNext->samePrev = n;
  gfCacheByIndex[i] = n;
}

// Makes the map again when the table was renumbered since it was made (or memory failed
// it then): every node's index has followed its record, the map's places have not.
void mapRefresh() {
  if (gfCacheMapStamp == gfTableRenumberings() && !gfCacheMapBroken) return;
  gfCacheMapStamp = gfTableRenumberings();
  gfCacheMapBroken = false;
  gfCacheByIndex.count = 0;
  for (t_gfCacheNode* n = gfCacheList; n; n = n->next) mapLink(n);
}

// The newest node of record i, the rest behind it through sameNext; null when it has none
// or the map is broken (the caller then walks the list).
t_gfCacheNode* nodesOf(long i) {
  mapRefresh();
  if (gfCacheMapBroken || i < 0 || i >= (long)gfCacheByIndex.count) return nullptr;
  return gfCacheByIndex[(std::uint32_t)i];
}

// ---- the list --------------------------------------------------------------------------

}  // namespace

t_gfCacheNode* gfCacheListFirst() { return gfCacheList; }

t_gfCacheNode* gfCacheListVictim() {
  t_gfCacheNode* best = nullptr;
  if (gfCacheOutside > 0)
    for (t_gfCacheNode* n = gfCacheList; n; n = n->next)
      if (n->heapAt < 0 && (!best || prefers(n, best)) && finished(n)) best = n;
  bestInHeap(0, &best);
  return best;
}

// Each new node goes behind the first, as the list has always been kept.
bool gfCacheListAdd(long index) {
  mapRefresh();
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
  heapAdd(n);
  mapLink(n);
  return true;
}

// Takes node out of the list; returns the node behind it.
t_gfCacheNode* gfCacheListRemove(t_gfCacheNode* node) {
  mapRefresh();
  t_gfCacheNode* next = node->next;
  heapTake(node);
  mapUnlink(node);
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

// Takes every node of record index out of the list.
void gfCacheListRemoveRecord(long index) {
  if (t_gfCacheNode* n = nodesOf(index)) {
    while (n) {
      t_gfCacheNode* same = n->sameNext;
      gfCacheListRemove(n);
      n = same;
    }
    return;
  }
  if (!gfCacheMapBroken) return;
  for (t_gfCacheNode* n = gfCacheList; n;) n = n->index == index ? gfCacheListRemove(n) : n->next;
}

void gfCacheListResize(long index, long long size) {
  if (t_gfCacheNode* n = nodesOf(index)) {
    for (; n; n = n->sameNext) {
      n->size = size;
      heapRekey(n);
    }
    return;
  }
  if (!gfCacheMapBroken) return;
  for (t_gfCacheNode* n = gfCacheList; n; n = n->next)
    if (n->index == index) {
      n->size = size;
      heapRekey(n);
    }
}

void gfCacheListClear() {
  while (gfCacheList) gfCacheListRemove(gfCacheList);
  gfCacheHeap.release();
  gfCacheByIndex.release();
  gfCacheOutside = 0;
  gfCacheMapBroken = false;
}

unsigned long long gfCacheLooks() { return gfCacheLookCount; }
