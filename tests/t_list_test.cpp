// The pooled lists: node order, removal, merging, and the pool's numbering, reuse, summary
// and out-of-memory handling.
#include "tarnpak/t_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarnpak/debug.h"
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "engine/t_list/t_list_internal.h"
#include "support/test_support.h"

namespace {

using Values = std::vector<std::intptr_t>;
void* v(std::intptr_t n) { return reinterpret_cast<void*>(n); }

// The values along next, checking that every prev link points back.
Values values(struct_list* head) {
  Values out;
  for (struct_list *node = head, *before = nullptr; node; before = node, node = node->next) {
    EXPECT_EQ(node->prev, before);
    out.push_back(reinterpret_cast<std::intptr_t>(node->data));
  }
  return out;
}

struct_list* listOf(Values items) {
  struct_list* head = nullptr;
  for (std::intptr_t item : items) List_AddToEnd(head, v(item));
  return head;
}

long usedNodes() {
  long bytes, used, freeNodes;
  List_GetSummary(&bytes, &used, &freeNodes);
  return used;
}

// Lines after the first DebugPrintf line carry the debug console's "DBG: " prefix.
int pageMessages(const LineCapture& capture) {
  int n = 0;
  for (const std::string& line : capture.lines()) {
    n +=
        line == "t_list: new page was allocated." || line == "DBG: t_list: new page was allocated.";
  }
  return n;
}

// Whether call shows a message box whose text holds text.
std::string boxText;
bool messageBoxSays(void (*call)(), const char* text) {
  boxText.clear();
  PlatMessageBoxHook previous =
      platSetMessageBoxHook([](const char* shown, const char*) { boxText += shown; });
  call();
  platSetMessageBoxHook(previous);
  return boxText.find(text) != std::string::npos;
}

// The pool is process-wide: every test starts and ends with an empty one.
class List : public ::testing::Test {
 protected:
  void SetUp() override { DebugStart(), List_Close(); }
  void TearDown() override {
    List_Close();
    EXPECT_EQ(memLiveBlocks("t_list"), 0);
  }
};

TEST_F(List, InsertionOrder) {
  struct_list *a = nullptr, *b = nullptr, *c = nullptr;
  for (int i = 1; i <= 3; i++) List_Add(a, v(i)), List_AddToHead(b, v(i)), List_AddToEnd(c, v(i));
  EXPECT_EQ(values(a), (Values{1, 3, 2}));
  EXPECT_EQ(values(b), (Values{3, 2, 1}));
  EXPECT_EQ(values(c), (Values{1, 2, 3}));
  // Equality takes the whole pointer value, not its low 32 bits.
  std::intptr_t high = (std::intptr_t)1 << (sizeof(void*) * 8 - 2);
  struct_list* d = listOf({high + 5, 5});
  EXPECT_EQ(List_Find(d, v(5)), d->next);
}

TEST_F(List, DelReturnsTheFollowingNode) {
  struct_list* head = listOf({1, 2, 3});
  struct_list* second = head->next;
  EXPECT_EQ(List_Del(head, head), second);
  EXPECT_EQ(head, second);
  head = listOf({1, 2, 3});
  struct_list *mid = head->next, *last = mid->next;
  EXPECT_EQ(List_Del(head, mid), last);
  EXPECT_EQ(List_Del(head, last), nullptr);
  EXPECT_EQ(List_Del(head, head), nullptr);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(List_Del(head, second), nullptr);  // empty list
  head = listOf({4, 2, 4});
  EXPECT_EQ(List_Del(head, nullptr), nullptr);
  EXPECT_EQ(List_DelByData(head, v(9)), nullptr);
  // Taken before the call: the call moves head, and the order in which a call's arguments
  // are evaluated is unspecified.
  struct_list* afterFirst = head->next;
  EXPECT_EQ(List_DelByData(head, v(4)), afterFirst);
  EXPECT_EQ(head, afterFirst);
  EXPECT_EQ(values(head), (Values{2, 4}));
  EXPECT_EQ(usedNodes(), 2 + 2);
}

TEST_F(List, AddListAppendsButNeverMakesALoop) {
  struct_list *a = listOf({1, 2}), *b = listOf({3});
  List_AddList(a, nullptr);
  List_AddList(a, b);
  List_AddList(a, a);
  List_AddList(a, b);
  List_AddList(a->next, a);  // a's tail after its own head would loop too
  ASSERT_EQ(b->next, nullptr);
  ASSERT_EQ(a->prev, nullptr);
  EXPECT_EQ(values(a), (Values{1, 2, 3}));
}

TEST_F(List, MergeSortedConsumesTheArray) {
  struct_list *a = listOf({1, 3, 5}), *b = listOf({1, 2, 5, 6});
  struct_list* two[] = {a, b};
  EXPECT_EQ(values(List_MergeSorted(two, 2)), (Values{1, 2, 3, 5, 6}));
  EXPECT_EQ(two[0], nullptr);
  EXPECT_EQ(two[1], nullptr);
  EXPECT_EQ(values(a), (Values{1, 3, 5}));
  EXPECT_EQ(List_MergeSorted(two, 0), nullptr);
  struct_list* one[] = {listOf({4, 4, 7})};
  EXPECT_EQ(values(List_MergeSorted(one, 1)), (Values{4, 7}));
  struct_list* negative[] = {listOf({1, 40}), nullptr, listOf({-3, 2})};
  EXPECT_EQ(values(List_MergeSorted(negative, 3)), (Values{-3, 1, 2, 40}));
  // Unsorted input: smallest heads, ties taken from the list last taken from.
  struct_list* unsorted[] = {listOf({1, 0}), listOf({1, 5})};
  EXPECT_EQ(values(List_MergeSorted(unsorted, 2)), (Values{1, 0, 1, 5}));
}

// 8193 nodes in use open page 1; a node given back to page 0 is the next one handed out,
// and once page 0 is full again the pool goes back to page 1.
TEST_F(List, PagesNumberSummaryAndReuse) {
  LineCapture capture;
  struct_list* head = nullptr;
  std::vector<struct_list*> nodes;
  nodes.push_back(List_AddToHead(head, v(0)));
  long bytes, used, freeNodes;
  List_GetSummary(&bytes, &used, &freeNodes);
  EXPECT_EQ(bytes, (long)sizeof(t_listPage));
  EXPECT_EQ(used, 1);
  EXPECT_EQ(freeNodes, LIST_PAGE_NODES - 1);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"t_list: new page was allocated."}));
  while ((int)nodes.size() <= LIST_PAGE_NODES) nodes.push_back(List_AddToHead(head, v(1)));
  EXPECT_EQ(pageMessages(capture), 2);
  EXPECT_EQ(nodes[LIST_PAGE_NODES - 1]->page->number, 0);
  EXPECT_EQ(nodes[LIST_PAGE_NODES]->page->number, 1);
  List_Del(head, nodes[100]);
  EXPECT_EQ(List_AddToHead(head, v(2)), nodes[100]);
  EXPECT_EQ(List_AddToHead(head, v(3))->page, nodes[LIST_PAGE_NODES]->page);
  EXPECT_EQ(memLiveBlocks("t_list"), 2);
  List_Close();
  head = nullptr;
  EXPECT_EQ(List_Add(head, v(1))->page->number, 0);
}

// Scattered removal must keep slots[slot] pointing at every node in use, and reuse must
// never hand out a node that is still in a list.
TEST_F(List, SlotStackStaysConsistent) {
  struct_list* head = nullptr;
  std::vector<struct_list*> nodes;
  for (int i = 0; i < 1000; i++) nodes.push_back(List_AddToHead(head, v(i)));
  for (int i = 0; i < 1000; i += 3) List_Del(head, nodes[(i * 7) % 1000]);
  for (int i = 0; i < 400; i++) List_AddToHead(head, v(i));
  std::vector<bool> seen(LIST_PAGE_NODES, false);
  for (struct_list* node = head; node; node = node->next) {
    ASSERT_LT(node->slot, node->page->used);
    EXPECT_EQ(node->page->slots[node->slot], node);
    ASSERT_FALSE(seen[node->slot]);
    seen[node->slot] = true;
  }
  EXPECT_EQ(List_Count(head), usedNodes());
}

TEST_F(List, FailedPageLeavesListsUnchanged) {
  static struct_list* head;
  head = nullptr;
  listFailNextPage();
  EXPECT_TRUE(messageBoxSays([] { EXPECT_EQ(List_Add(head, v(1)), nullptr); },
                             "List_Add: not enough memory!"));
  EXPECT_EQ(head, nullptr);
  for (int i = 0; i < LIST_PAGE_NODES - 3; i++) List_AddToHead(head, v(i));
  static struct_list* lists[2];
  lists[0] = listOf({1, 2}), lists[1] = listOf({3});  // page 0 is full now
  struct_list* first = head;
  LineCapture capture;
  listFailNextPage();
  EXPECT_TRUE(messageBoxSays([] { EXPECT_EQ(List_AddToHead(head, v(-1)), nullptr); }, "memory"));
  EXPECT_EQ(head, first);
  EXPECT_EQ(head->prev, nullptr);
  // A merge that runs out after one node gives back its partial list instead of passing
  // it off as whole.
  List_Del(head, head);
  listFailNextPage();
  EXPECT_TRUE(messageBoxSays([] { EXPECT_EQ(List_MergeSorted(lists, 2), nullptr); }, "memory"));
  EXPECT_EQ(lists[1], nullptr);
  EXPECT_EQ(usedNodes(), LIST_PAGE_NODES - 1);
  EXPECT_EQ(pageMessages(capture), 0);  // no page, no claim of one
  List_AddToEnd(head, v(-1));
  EXPECT_EQ(List_AddToEnd(head, v(-2))->page->number, 1);  // no page number was spent
}

}  // namespace
