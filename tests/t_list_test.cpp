// The pooled lists: node order of the insertions, removal, merging, and the page pool's
// numbering, reuse, summary and out-of-memory handling.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/debug/debug.h"
#include "engine/kestin/kestin.h"
#include "engine/t_list/t_list.h"
#include "engine/t_list/t_list_internal.h"
#include "support/test_support.h"

namespace {

void* v(std::intptr_t n) { return reinterpret_cast<void*>(n); }

// The values along next, checking on the way that every prev link points back.
std::vector<std::intptr_t> values(struct_list* head) {
  std::vector<std::intptr_t> out;
  struct_list* before = nullptr;
  for (struct_list* node = head; node; node = node->next) {
    EXPECT_EQ(node->prev, before);
    out.push_back(reinterpret_cast<std::intptr_t>(node->data));
    before = node;
  }
  return out;
}

struct_list* listOf(std::vector<std::intptr_t> items) {
  struct_list* head = nullptr;
  for (std::intptr_t item : items) List_AddToEnd(head, v(item));
  return head;
}

struct Summary {
  long bytes, used, free;
};
Summary summary() {
  Summary s;
  List_GetSummary(&s.bytes, &s.used, &s.free);
  return s;
}

// Every line after the first DebugPrintf line carries the debug console's "DBG: " prefix.
int pageMessages(const LineCapture& capture) {
  int n = 0;
  for (const std::string& line : capture.lines()) {
    n += line == "t_list: new page was allocated." || line == "DBG: t_list: new page was allocated.";
  }
  return n;
}

// The pool is process-wide: every test starts and ends with an empty one.
class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugStop();
    DebugStart();
    List_Close();
  }
  void TearDown() override {
    List_Close();
    EXPECT_EQ(memLiveBlocks("t_list"), 0);
  }
};

using ListOrder = ListTest;
using ListDel = ListTest;
using ListMerge = ListTest;
using ListPool = ListTest;

TEST_F(ListOrder, FirstNodeStandsAlone) {
  struct_list* head = nullptr;
  struct_list* node = List_Add(head, v(7));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(head, node);
  EXPECT_EQ(node->next, nullptr);
  EXPECT_EQ(node->prev, nullptr);
  EXPECT_EQ(List_Count(head), 1);
  EXPECT_EQ(List_Count(nullptr), 0);
}

TEST_F(ListOrder, AddGoesSecondAddToHeadFirstAddToEndLast) {
  struct_list *a = nullptr, *b = nullptr, *c = nullptr;
  for (int i = 1; i <= 3; i++) {
    List_Add(a, v(i));
    List_AddToHead(b, v(i));
    List_AddToEnd(c, v(i));
  }
  EXPECT_EQ(values(a), (std::vector<std::intptr_t>{1, 3, 2}));
  EXPECT_EQ(values(b), (std::vector<std::intptr_t>{3, 2, 1}));
  EXPECT_EQ(values(c), (std::vector<std::intptr_t>{1, 2, 3}));
}

TEST_F(ListOrder, FindComparesTheWholePointerValue) {
  std::intptr_t high = (std::intptr_t)1 << (sizeof(void*) * 8 - 2);
  struct_list* head = listOf({high + 5, 5, 9});
  EXPECT_EQ(List_Find(head, v(5)), head->next);
  EXPECT_EQ(List_Find(head, v(high + 5)), head);
  EXPECT_EQ(List_Find(head, v(4)), nullptr);
  struct_list* empty = nullptr;
  EXPECT_EQ(List_Find(empty, v(5)), nullptr);
}

TEST_F(ListOrder, AddListAppendsAndRefusesALoop) {
  struct_list* a = listOf({1, 2});
  struct_list* b = listOf({3, 4});
  List_AddList(a, nullptr);
  List_AddList(nullptr, b);
  EXPECT_EQ(values(a), (std::vector<std::intptr_t>{1, 2}));
  List_AddList(a, b);
  EXPECT_EQ(values(a), (std::vector<std::intptr_t>{1, 2, 3, 4}));
  // Appending a list, or part of it, to itself would make every later walk endless.
  List_AddList(a, a);
  List_AddList(a, b->next);
  EXPECT_EQ(values(a), (std::vector<std::intptr_t>{1, 2, 3, 4}));
}

TEST_F(ListDel, ReturnsTheFollowingNodeAndMovesTheHead) {
  struct_list* head = listOf({1, 2, 3});
  struct_list* second = head->next;
  EXPECT_EQ(List_Del(head, head), second);  // first
  EXPECT_EQ(head, second);
  EXPECT_EQ(head->prev, nullptr);

  head = listOf({1, 2, 3});
  struct_list* third = head->next->next;
  EXPECT_EQ(List_Del(head, head->next), third);  // middle
  EXPECT_EQ(values(head), (std::vector<std::intptr_t>{1, 3}));
  EXPECT_EQ(List_Del(head, third), nullptr);  // last
  EXPECT_EQ(values(head), (std::vector<std::intptr_t>{1}));
  EXPECT_EQ(List_Del(head, head), nullptr);  // only
  EXPECT_EQ(head, nullptr);
}

TEST_F(ListDel, NullNodeEmptyListAndMissingValueChangeNothing) {
  struct_list* head = listOf({1, 2});
  struct_list* empty = nullptr;
  long used = summary().used;
  EXPECT_EQ(List_Del(head, nullptr), nullptr);
  EXPECT_EQ(List_Del(empty, head), nullptr);
  EXPECT_EQ(List_DelByData(head, v(5)), nullptr);
  EXPECT_EQ(summary().used, used);
  EXPECT_EQ(values(head), (std::vector<std::intptr_t>{1, 2}));
}

TEST_F(ListDel, ByDataRemovesTheFirstMatchOnly) {
  struct_list* head = listOf({4, 2, 4, 9});
  struct_list* following = head->next;
  EXPECT_EQ(List_DelByData(head, v(4)), following);
  EXPECT_EQ(values(head), (std::vector<std::intptr_t>{2, 4, 9}));
  EXPECT_EQ(List_DelByData(head, v(9)), nullptr);
  EXPECT_EQ(values(head), (std::vector<std::intptr_t>{2, 4}));
  EXPECT_EQ(summary().used, 2);
}

TEST_F(ListMerge, MergesWithoutRepeatsAndConsumesTheArray) {
  struct_list* a = listOf({1, 3, 5});
  struct_list* b = listOf({1, 2, 5, 6});
  struct_list* lists[] = {a, b};
  EXPECT_EQ(values(List_MergeSorted(lists, 2)), (std::vector<std::intptr_t>{1, 2, 3, 5, 6}));
  EXPECT_EQ(lists[0], nullptr);
  EXPECT_EQ(lists[1], nullptr);
  EXPECT_EQ(values(a), (std::vector<std::intptr_t>{1, 3, 5}));  // inputs untouched
  EXPECT_EQ(values(b), (std::vector<std::intptr_t>{1, 2, 5, 6}));
  EXPECT_EQ(summary().used, 7 + 5);
}

TEST_F(ListMerge, EdgeCounts) {
  EXPECT_EQ(List_MergeSorted(nullptr, 0), nullptr);
  EXPECT_EQ(List_MergeSorted(nullptr, -1), nullptr);
  struct_list* single[] = {listOf({4, 4, 7})};
  EXPECT_EQ(values(List_MergeSorted(single, 1)), (std::vector<std::intptr_t>{4, 7}));
  struct_list* none[] = {nullptr, nullptr, nullptr};
  EXPECT_EQ(List_MergeSorted(none, 3), nullptr);
}

TEST_F(ListMerge, OrdersSignedAndTakesSmallestHeadsOfUnsortedInput) {
  struct_list* signedLists[] = {listOf({1, 40}), nullptr, listOf({-3, 2})};
  EXPECT_EQ(values(List_MergeSorted(signedLists, 3)),
            (std::vector<std::intptr_t>{-3, 1, 2, 40}));
  // Ties keep taking from the list last taken from.
  struct_list* unsorted[] = {listOf({1, 0}), listOf({1, 5})};
  EXPECT_EQ(values(List_MergeSorted(unsorted, 2)), (std::vector<std::intptr_t>{1, 0, 1, 5}));
}

TEST_F(ListMerge, OutOfMemoryGivesBackThePartialList) {
  struct_list* head = nullptr;
  for (int i = 0; i < LIST_PAGE_NODES - 3; i++) List_AddToHead(head, v(i));
  struct_list* lists[] = {listOf({1, 2}), listOf({3})};  // page 0 is now full
  listFailNextPage();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(List_MergeSorted(lists, 2), nullptr);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("List_Add: not enough memory!"),
            std::string::npos);
  EXPECT_EQ(lists[0], nullptr);
  EXPECT_EQ(lists[1], nullptr);
  EXPECT_EQ(summary().used, LIST_PAGE_NODES);
}

TEST_F(ListPool, FirstNodeOpensPageZero) {
  Summary empty = summary();
  EXPECT_EQ(empty.bytes, 0);
  EXPECT_EQ(empty.used, 0);
  EXPECT_EQ(empty.free, 0);
  LineCapture capture;
  struct_list* head = nullptr;
  List_Add(head, v(1));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"t_list: new page was allocated."}));
  EXPECT_EQ(head->page->number, 0);
  Summary one = summary();
  EXPECT_EQ(one.bytes, (long)sizeof(t_listPage));
  EXPECT_EQ(one.used, 1);
  EXPECT_EQ(one.free, LIST_PAGE_NODES - 1);
  EXPECT_EQ(memLiveBlocks("t_list"), 1);
}

// 8193 nodes in use open page 1; a node given back to page 0 is the next one out, and once
// page 0 is full again the pool returns to page 1.
TEST_F(ListPool, SecondPageNumberingAndReuseOfEarlierPage) {
  LineCapture capture;
  struct_list* head = nullptr;
  std::vector<struct_list*> nodes;
  for (int i = 0; i <= LIST_PAGE_NODES; i++) nodes.push_back(List_AddToHead(head, v(i)));
  EXPECT_EQ(pageMessages(capture), 2);
  EXPECT_EQ(nodes[LIST_PAGE_NODES - 1]->page->number, 0);
  EXPECT_EQ(nodes[LIST_PAGE_NODES]->page->number, 1);
  EXPECT_EQ(summary().bytes, 2 * (long)sizeof(t_listPage));

  struct_list* given = nodes[100];
  List_Del(head, given);
  EXPECT_EQ(List_AddToHead(head, v(-1)), given);
  struct_list* after = List_AddToHead(head, v(-2));
  EXPECT_EQ(after->page->number, 1);
  EXPECT_EQ(after->page, nodes[LIST_PAGE_NODES]->page);
  EXPECT_EQ(pageMessages(capture), 2);
  EXPECT_EQ(List_Count(head), LIST_PAGE_NODES + 2);
}

// Removing in a scattered order must keep every node's slot entry pointing at it.
TEST_F(ListPool, SlotStackStaysConsistentUnderScatteredRemoval) {
  struct_list* head = nullptr;
  std::vector<struct_list*> nodes;
  for (int i = 0; i < 1000; i++) nodes.push_back(List_AddToHead(head, v(i)));
  for (int i = 0; i < 1000; i += 3) List_Del(head, nodes[(i * 7) % 1000]);
  std::vector<bool> seen(LIST_PAGE_NODES, false);
  int count = 0;
  for (struct_list* node = head; node; node = node->next, count++) {
    t_listPage* page = node->page;
    ASSERT_LT(node->slot, page->used);
    EXPECT_EQ(page->slots[node->slot], node);
    EXPECT_FALSE(seen[node->slot]);
    seen[node->slot] = true;
  }
  EXPECT_EQ(count, summary().used);
  for (int i = 0; i < 400; i++) List_AddToHead(head, v(i));  // reuse must not hand out a live node
  std::vector<bool> again(LIST_PAGE_NODES, false);
  for (struct_list* node = head; node; node = node->next) {
    ASSERT_FALSE(again[node - node->page->nodes]);
    again[node - node->page->nodes] = true;
  }
}

TEST_F(ListPool, CloseReleasesEveryPageAndRestartsNumbering) {
  struct_list* head = nullptr;
  for (int i = 0; i <= LIST_PAGE_NODES; i++) List_AddToHead(head, v(i));
  EXPECT_EQ(memLiveBlocks("t_list"), 2);
  List_Close();
  EXPECT_EQ(memLiveBlocks("t_list"), 0);
  EXPECT_EQ(summary().bytes, 0);
  head = nullptr;
  EXPECT_EQ(List_Add(head, v(1))->page->number, 0);
}

TEST_F(ListPool, FailedPageLeavesTheListUnchanged) {
  struct_list* head = nullptr;
  listFailNextPage();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(List_Add(head, v(1)), nullptr);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("List_Add: not enough memory!"),
            std::string::npos);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(summary().bytes, 0);

  for (int i = 0; i < LIST_PAGE_NODES; i++) List_AddToHead(head, v(i));
  struct_list* first = head;
  LineCapture capture;
  listFailNextPage();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(List_AddToHead(head, v(-1)), nullptr);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(head, first);
  EXPECT_EQ(head->prev, nullptr);
  EXPECT_EQ(List_Count(head), LIST_PAGE_NODES);
  EXPECT_EQ(pageMessages(capture), 0);  // no page, no claim of one

  // The failure used no page number: the next page is still page 1.
  struct_list* later = List_AddToEnd(head, v(-1));
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->page->number, 1);
  EXPECT_EQ(pageMessages(capture), 1);
}

}  // namespace
