// The engine library services: tracked allocator, small containers, buffer readers, clock,
// line output, case folding.
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#define ENGINE_UNIT "kestin test"
#include "engine/platform/ascii.h"
#include "engine/kestin/containers.h"
#include "engine/platform/faults.h"
#include "support/test_support.h"

TEST(TrackedAllocator, CountsLiveBlocksPerUnit) {
  long before = memLiveBlocks(nullptr);
  void* a = memNewDbg(10, "unit a", 1);
  void* b = memNewDbg(20, "unit b", 2);
  void* c = memNewDbg(30, "unit a", 3);
  EXPECT_EQ(memLiveBlocks("unit a"), 2);
  EXPECT_EQ(memLiveBytes("unit a"), 40);
  EXPECT_EQ(memLiveBlocks("unit b"), 1);
  EXPECT_EQ(memLiveBlocks(nullptr), before + 3);
  memDeleteDbg(c);
  memDeleteDbg(a);
  EXPECT_EQ(memLiveBlocks("unit a"), 0);
  memDeleteDbg(b);
  memDeleteDbg(nullptr);
  EXPECT_EQ(memLiveBlocks(nullptr), before);
}

TEST(TrackedAllocator, ReportsUnitLineAndSize) {
  static std::vector<std::string> seen;
  seen.clear();
  void* a = ENGINE_NEW(7);
  int line = __LINE__ - 1;
  memReportLive([](const char* text) { seen.push_back(text); });
  EXPECT_NE(std::find(seen.begin(), seen.end(), "kestin test:" + std::to_string(line) + " 7"),
            seen.end());
  ENGINE_DELETE(a);
}

TEST(TrackedAllocator, HelpersRefuseOverflowingSizes) {
  EXPECT_EQ(ENGINE_NEW_ARRAY(long, (size_t)-1 / 4), nullptr);
#if SIZE_MAX > 0xFFFFFFFFu
  EXPECT_EQ(engineNew((size_t)1 << 33, 1, ENGINE_UNIT, __LINE__), nullptr);
#else
  // A block near 4 GiB with its header would wrap to a small one.
  EXPECT_EQ(memNewDbg(0xFFFFFFF8u, "kestin test", __LINE__), nullptr);
#endif
  int* zeros = ENGINE_NEW_ARRAY(int, 4);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(zeros[0] | zeros[1] | zeros[2] | zeros[3], 0);
  ENGINE_DELETE(zeros);
  EXPECT_EQ(memLiveBlocks(ENGINE_UNIT), 0);
}

// Growth keeps every item and value, values of one hash stay apart, and a growth that
// fails for want of memory leaves the container as it was, ready to grow later.
TEST(Containers, GrowKeepingTheirItemsAndSurviveAFailedGrowth) {
  t_engineArray<long> array{};
  for (long i = 0; i < 1000; i++) ASSERT_TRUE(array.push(i * 7, ENGINE_HERE));
  t_engineSet set{};
  for (std::uint64_t i = 1; i <= 1000; i++) {
    ASSERT_TRUE(set.add(i << 32 | 1, ENGINE_HERE));
    ASSERT_TRUE(set.add(5ull << 32 | (i + 1), ENGINE_HERE));  // all of hash 5
  }
  ASSERT_TRUE(set.add(5ull << 32 | 2, ENGINE_HERE));  // in already: counted once
  EXPECT_EQ(set.count, 2000u);
  EXPECT_TRUE(set.has(1000ull << 32 | 1));
  EXPECT_FALSE(set.has(1001ull << 32 | 1));
  long ofFive = 0;
  set.find(5, [&](std::uint64_t v) { ofFive += (std::uint32_t)v >= 2; return false; });
  EXPECT_EQ(ofFive, 1000);

  std::uint32_t room = array.room, setRoom = set.room;
  while (array.count < room) array.push(0, ENGINE_HERE);
  while ((set.count + 1ull) * 2 <= set.room)  // full up to the point where it must grow
    set.add((std::uint64_t)(set.count + 7) << 32, ENGINE_HERE);
  platFaultArm(PLAT_FAULT_ALLOC, 1, ENOMEM, 0, true);
  EXPECT_FALSE(array.push(-1, ENGINE_HERE));
  EXPECT_FALSE(set.add(99999ull << 32, ENGINE_HERE));
  platFaultOff();
  EXPECT_EQ(array.room, room);
  EXPECT_EQ(set.room, setRoom);
  EXPECT_EQ(array[999], 999 * 7);
  EXPECT_TRUE(set.has(5ull << 32 | 1001));
  EXPECT_TRUE(array.push(-1, ENGINE_HERE));
  EXPECT_TRUE(set.add(99999ull << 32, ENGINE_HERE));
  EXPECT_EQ(array[array.count - 1], -1);
  EXPECT_TRUE(set.has(5ull << 32 | 1001) && set.has(99999ull << 32));
  array.release();
  set.release();
  EXPECT_EQ(memLiveBlocks("kestin test"), 0);
}

TEST(BufferReaders, ChainLittleEndianUnaligned) {
  unsigned char bytes[] = {0xFF, 0x05, 0x00, 'A', '.', 'T', 0x23, 0x00, 0x00, 0x80, 0x21, 0x2E};
  unsigned char* p = bytes + 1;  // deliberately unaligned
  unsigned short w;
  int i;
  char name[4] = {};
  p = get_w(p, w);
  EXPECT_EQ(w, 5);
  p = get_a(p, name, 3);
  EXPECT_STREQ(name, "A.T");
  p = get_i(p, i);
  EXPECT_EQ(i, (int)0x80000023);  // signed 32-bit
  p = get_w(p, w);
  EXPECT_EQ(w, 0x2E21);
  EXPECT_EQ(p, bytes + sizeof bytes);
}

TEST(Clock, RunsForward) {
  double a = GetCurTime(), b = GetCurTime();
  EXPECT_LE(a, b);
}

TEST(LineOutput, GoesToTheInstalledSink) {
  LineCapture capture;
  kestinLineOutput(3, 43, "hello", 0);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], "hello");
}

// Only a to z and A to Z change case: 'z' and 'Z' are the last to, and the six characters
// between 'Z' and 'a' (a backslash among them) never do.
TEST(AsciiCase, FoldsTheLettersAndNothingElse) {
  for (int c = 0; c < 256; c++) {
    bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
    EXPECT_EQ(asciiUpper(c), lower ? c - 32 : c) << c;
    EXPECT_EQ(asciiLower(c), upper ? c + 32 : c) << c;
  }
}
