// Pooled doubly linked lists: the node and pool page records and the List_ operations.
// Nodes come from one process-wide pool of 8192-node pages; a node given back is reused.
#pragma once
#include "tarnpak/engine_api.h"

struct t_listPage;

// One list node. Only next, prev and data belong to the list; slot and page to the pool.
struct struct_list {
  struct_list* next;  // null at the last node
  struct_list* prev;  // null at the first node
  void* data;         // the caller's value; never looked into, never owned
  int slot;           // the node's entry in its page's slot stack
  t_listPage* page;   // the page that holds the node
};

constexpr int LIST_PAGE_NODES = 8192;

// A pool page. slots[0 .. used-1] point to the nodes in use, the rest to the free nodes;
// the next node handed out is the one at slots[used].
struct t_listPage {
  struct_list nodes[LIST_PAGE_NODES];
  struct_list* slots[LIST_PAGE_NODES];
  int used;
  int number;  // 0 for the first page after start or List_Close, then 1, 2, ...
  t_listPage* nextPage;
  t_listPage* prevPage;
};

// The pool needs no set-up; kept for callers that expect it.
ENGINE_API void List_Init();
// Releases every page and restarts the page numbering; every node handed out is invalid.
ENGINE_API void List_Close();

// Each returns the new node, or null (after a message box) when no page could be had;
// the list is then unchanged.
// Into an empty list as its only node, otherwise directly after the first node.
ENGINE_API struct_list* List_Add(struct_list*& head, void* data);
ENGINE_API struct_list* List_AddToHead(struct_list*& head, void* data);
ENGINE_API struct_list* List_AddToEnd(struct_list*& head, void* data);

// Unlinks node and gives it back. Returns the node that followed it (null when it was the
// last), and null for a null node or an empty list. A node without prev counts as the first.
ENGINE_API struct_list* List_Del(struct_list*& head, struct_list* node);
// List_Del of the first node whose data equals the value; null when there is none.
ENGINE_API struct_list* List_DelByData(struct_list*& head, void* data);
// The first node whose data equals the value, or null.
ENGINE_API struct_list* List_Find(struct_list*& head, void* data);
// Nodes from first along next; 0 for null.
ENGINE_API int List_Count(struct_list* first);
// Appends list b after the last node of list a; nothing when either is null or when one
// already leads to the other (that would close a loop).
ENGINE_API void List_AddList(struct_list* a, struct_list* b);
// Merges count ascending lists (data ordered as a signed pointer-width integer) into one
// new ascending list without repeated values. The input lists are left as they are, but
// every entry of the array is null on return.
ENGINE_API struct_list* List_MergeSorted(struct_list** lists, int count);
// Bytes of all pages, nodes in use and free nodes.
ENGINE_API void List_GetSummary(long* bytes, long* used, long* freeNodes);
