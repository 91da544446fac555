// The list pool (pages, taking and giving back nodes) and the List_ operations on it.
#include "tarnpak/t_list.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "tarnpak/debug.h"
#include "engine/platform/platform.h"
#include "engine/t_list/t_list_internal.h"

#define ENGINE_UNIT "t_list"
#include "engine/kestin/alloc.h"

namespace {

t_listPage* firstPage = nullptr;
t_listPage* currentPage = nullptr;  // where the next node is taken from; may be null
int pageCounter = 0;                // the number the next new page gets
bool failNextPage = false;

t_listPage* lastPage() {
  t_listPage* page = firstPage;
  while (page && page->nextPage) page = page->nextPage;
  return page;
}

// A cleared page at the end of the chain with every slot pointing to its own node.
t_listPage* addPage() {
  void* block = failNextPage ? nullptr : ENGINE_NEW(sizeof(t_listPage));
  failNextPage = false;
  if (!block) return nullptr;
  std::memset(block, 0, sizeof(t_listPage));
  t_listPage* page = static_cast<t_listPage*>(block);
  page->number = pageCounter++;
  for (int i = 0; i < LIST_PAGE_NODES; i++) page->slots[i] = &page->nodes[i];
  page->prevPage = lastPage();
  if (page->prevPage) {
    page->prevPage->nextPage = page;
  } else {
    firstPage = page;
  }
  DebugPrintf("t_list: new page was allocated.\n");
  return page;
}

// The earliest page with a free node, or a new one; null when none can be allocated.
t_listPage* pageWithRoom() {
  for (t_listPage* page = firstPage; page; page = page->nextPage) {
    if (page->used < LIST_PAGE_NODES) return page;
  }
  return addPage();
}

// Hands out the node at slots[used] of the current page. The current page moves on once
// it is full, past the following pages that are full or have a single free node.
struct_list* takeNode() {
  if (!currentPage) currentPage = pageWithRoom();
  t_listPage* page = currentPage;
  if (!page) return nullptr;
  struct_list* node = page->slots[page->used];
  node->page = page;
  node->slot = page->used;
  while (currentPage && currentPage->used >= LIST_PAGE_NODES - 1) {
    currentPage = currentPage->nextPage;
  }
  page->used++;
  return node;
}

// Swaps the node's slot with the last slot in use, so taking and giving back stay constant
// time; an earlier page than the current one is refilled first.
void giveBack(struct_list* node) {
  t_listPage* page = node->page;
  int last = page->used - 1;
  page->slots[last]->slot = node->slot;
  std::swap(page->slots[node->slot], page->slots[last]);
  page->used--;
  if (currentPage && currentPage->number > page->number) currentPage = page;
}

struct_list* outOfMemory() {
  platMessageBox("List_Add: not enough memory!", "");
  return nullptr;
}

struct_list* startList(struct_list*& head, struct_list* node, void* data) {
  node->next = nullptr;
  node->prev = nullptr;
  node->data = data;
  head = node;
  return node;
}

struct_list* insertAfter(struct_list* at, struct_list* node, void* data) {
  struct_list* following = at->next;
  node->next = following;
  node->prev = at;
  node->data = data;
  at->next = node;
  if (following) following->prev = node;
  return node;
}

struct_list* lastNode(struct_list* node) {
  while (node->next) node = node->next;
  return node;
}

std::intptr_t value(const struct_list* node) { return reinterpret_cast<std::intptr_t>(node->data); }

// The list to take from next: m while it is not null (else the lowest one that is not),
// replaced by any list with a strictly smaller first value. -1 when all are empty.
int smallestHead(struct_list** lists, int count, int m) {
  if (!lists[m]) {
    m = 0;
    while (m < count && !lists[m]) m++;
    if (m == count) return -1;
  }
  for (int i = 0; i < count; i++) {
    if (lists[i] && value(lists[m]) > value(lists[i])) m = i;
  }
  return m;
}

void releaseList(struct_list* head) {
  while (head) List_Del(head, head);
}

}  // namespace

void listFailNextPage() { failNextPage = true; }

void List_Init() {}

void List_Close() {
  t_listPage* page = firstPage;
  while (page) {
    t_listPage* next = page->nextPage;
    ENGINE_DELETE(page);
    page = next;
  }
  firstPage = nullptr;
  currentPage = nullptr;
  pageCounter = 0;
}

struct_list* List_Add(struct_list*& head, void* data) {
  struct_list* node = takeNode();
  if (!node) return outOfMemory();
  if (!head) return startList(head, node, data);
  return insertAfter(head, node, data);
}

struct_list* List_AddToHead(struct_list*& head, void* data) {
  struct_list* node = takeNode();
  if (!node) return outOfMemory();
  if (!head) return startList(head, node, data);
  node->prev = head->prev;
  node->next = head;
  node->data = data;
  head->prev = node;
  head = node;
  return node;
}

struct_list* List_AddToEnd(struct_list*& head, void* data) {
  struct_list* node = takeNode();
  if (!node) return outOfMemory();
  if (!head) return startList(head, node, data);
  return insertAfter(lastNode(head), node, data);
}

struct_list* List_Del(struct_list*& head, struct_list* node) {
  if (!node || !head) return nullptr;
  struct_list* next = node->next;
  struct_list* prev = node->prev;
  if (prev) prev->next = next;
  if (next) next->prev = prev;
  if (!prev) head = next;
  giveBack(node);
  return next;
}

struct_list* List_DelByData(struct_list*& head, void* data) {
  struct_list* node = List_Find(head, data);
  return node ? List_Del(head, node) : nullptr;
}

struct_list* List_Find(struct_list*& head, void* data) {
  for (struct_list* node = head; node; node = node->next) {
    if (node->data == data) return node;
  }
  return nullptr;
}

int List_Count(struct_list* first) {
  int count = 0;
  for (; first; first = first->next) count++;
  return count;
}

void List_AddList(struct_list* a, struct_list* b) {
  if (!a || !b) return;
  // b leading to a (a is part of b's list) closes a loop as surely as a leading to b.
  for (struct_list* node = b; node; node = node->next) {
    if (node == a) return;
  }
  struct_list* last = a;
  for (;; last = last->next) {
    if (last == b) return;
    if (!last->next) break;
  }
  last->next = b;
  b->prev = last;
}

struct_list* List_MergeSorted(struct_list** lists, int count) {
  if (count <= 0) return nullptr;
  struct_list* first = nullptr;
  struct_list* last = nullptr;
  int m = 0;
  while ((m = smallestHead(lists, count, m)) >= 0) {
    void* v = lists[m]->data;
    lists[m] = lists[m]->next;
    if (last && last->data == v) continue;
    struct_list* node = last ? List_Add(last, v) : List_Add(first, v);
    if (!node) {
      // Out of memory: a partial merge would pass for a whole one, so give it all back.
      releaseList(first);
      for (int i = 0; i < count; i++) lists[i] = nullptr;
      return nullptr;
    }
    last = node;
  }
  return first;
}

void List_GetSummary(long* bytes, long* used, long* freeNodes) {
  *bytes = *used = *freeNodes = 0;
  for (t_listPage* page = firstPage; page; page = page->nextPage) {
    *bytes += (long)sizeof(t_listPage);
    *used += page->used;
    *freeNodes += LIST_PAGE_NODES - page->used;
  }
}
