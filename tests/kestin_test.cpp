// The engine library services: tracked allocator, buffer readers, clock, line output.
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"

#include <gtest/gtest.h>

#include "engine/kestin/alloc.h"
#include "support/test_support.h"

#define ENGINE_UNIT "kestin test"

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
  EXPECT_EQ(engineNew((size_t)1 << 33, 1, ENGINE_UNIT, __LINE__), nullptr);
  int* zeros = ENGINE_NEW_ARRAY(int, 4);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(zeros[0] | zeros[1] | zeros[2] | zeros[3], 0);
  ENGINE_DELETE(zeros);
  EXPECT_EQ(memLiveBlocks(ENGINE_UNIT), 0);
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
