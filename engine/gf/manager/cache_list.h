// The cache list: one node per cached file, in the order the victim rule breaks ties by, with
// the victim order and the nodes of each record kept beside it, so that no operation of the
// cache walks the list.
#pragma once
#include "engine/gf/manager/table.h"

// One cached file in the list. Its index is one of the table's holders, so it follows its
// record when a removal renumbers the table.
struct t_gfCacheNode {
  long index;
  t_gfIndexHolder holder;
  t_gfCacheNode* prev;
  t_gfCacheNode* next;
  t_gfCacheNode* sameNext;  // the other nodes of the same record (gfCacheByIndex)
  t_gfCacheNode* samePrev;
  long long size;           // the record's size: the cache hears of every change of it
  unsigned long long made;  // the order the nodes were made in
  int heapAt;               // its place in gfCacheHeap, or -1 when memory failed it a place
};

// The first node: the first file cached since the list was last empty; the newest is second.
t_gfCacheNode* gfCacheListFirst();
// Adds a node for record index behind the first; false when memory fails (nothing added).
bool gfCacheListAdd(long index);
// Takes node out of the list; returns the node behind it.
t_gfCacheNode* gfCacheListRemove(t_gfCacheNode* node);
// Takes every node of record index out of the list.
void gfCacheListRemoveRecord(long index);
// The nodes of record index take the size it is about to have.
void gfCacheListResize(long index, long long size);
// The node the victim rule chooses: the largest file whose read has finished, of equal sizes
// the one nearest the list's head; null when there is none.
t_gfCacheNode* gfCacheListVictim();
// Empties the list (at gfStop).
void gfCacheListClear();
// Nodes the cache's searches have looked at since the program began (for tests of their
// cost).
unsigned long long gfCacheLooks();
