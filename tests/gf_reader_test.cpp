// The asynchronous read worker: ids, completion order, the full queue, stopping with reads
// pending, and a stress run of many reads checked byte for byte across restarts.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "engine/gf/manager/reader.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#include "support/reader_gate.h"
#include "support/test_support.h"

namespace {

class ReadWorker : public ::testing::Test {
 protected:
  TempDir root;
  void SetUp() override { ReaderGate::install(); }
  void TearDown() override {
    ReaderGate::open();
    stopAndExpectNoEngineBlocks();
    ReaderGate::remove();
  }
};

}  // namespace

TEST_F(ReadWorker, AReadIsPendingUntilTheWorkerHasItAndReadsCompleteInOrder) {
  writeFile(root / "data.bin", "0123456789abcdef");
  ReaderGate::close();
  gfStart(root.path().c_str());
  GFILE* f = gfOpen("DATA.BIN");
  char a[4] = {}, b[4] = {}, c[4] = {};
  long first = gfReadStart(f, 0, a, 4);
  long second = gfReadStart(f, 4, b, 4);
  long third = gfReadStart(f, 12, c, 4);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  EXPECT_EQ(gfReadCompleted(first), 0);
  EXPECT_EQ(gfReadCompleted(third), 0);
  EXPECT_EQ(gfTell(f), 0);  // a queued read leaves the position alone
  ReaderGate::open();
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(third) == 1; }));
  EXPECT_EQ(gfReadCompleted(first), 1);
  EXPECT_EQ(ReaderGate::served(), (std::vector<long>{first, second, third}));
  EXPECT_EQ(std::string(a, 4) + std::string(b, 4) + std::string(c, 4), "01234567cdef");
  EXPECT_EQ(gfReadCompleted(0), 1);
  gfClose(f);
}

TEST_F(ReadWorker, AQueuedReadOfAGroupedFileReadsItsBytesAtItsOffset) {
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "alpha"}, {"B.TXT", "bravo!"}, {"C", "c"}}));
  gfStart(root.path().c_str());
  GFILE* f = gfOpen("B.TXT");
  char buf[8];
  std::memset(buf, '?', sizeof buf);
  long id = gfReadStart(f, 0, buf, (int)gfSize(f));
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(id) == 1; }));
  EXPECT_EQ(std::string(buf, 8), "bravo!??");
  gfClose(f);
}

TEST_F(ReadWorker, WithTheQueueFullTheNextReadIsDoneAtOnce) {
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "alpha"}, {"B.TXT", "bravo"}}));
  ReaderGate::close();
  gfStart(root.path().c_str());
  GFILE* f = gfOpen("A.TXT");
  gfSetPassword(f, "");
  static char sink[GF_READ_QUEUE_SIZE][2];
  long last = 0;
  for (int i = 0; i < GF_READ_QUEUE_SIZE; i++) last = gfReadStart(f, 0, sink[i], 2);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  char now[16];
  std::memset(now, 0, sizeof now);
  long direct = gfReadStart(f, 3, now, 10);
  EXPECT_EQ(direct, last + 1);
  EXPECT_EQ(gfReadCompleted(direct), 1);
  EXPECT_EQ(gfReadCompleted(last), 0);
  // Done at once: cut to the window, through the key, and the position moves.
  EXPECT_EQ(now[0], (char)('h' ^ (GF_PASSWORD_FILLER + 3)));
  EXPECT_EQ(now[1], (char)('a' ^ (GF_PASSWORD_FILLER + 4)));
  EXPECT_EQ(now[2], 0);
  EXPECT_EQ(gfTell(f), 5);
  ReaderGate::open();
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(last) == 1; }));
  EXPECT_EQ(std::string(sink[GF_READ_QUEUE_SIZE - 1], 2), "al");  // queued: plain bytes
  char again[2];
  long queued = gfReadStart(f, 0, again, 2);
  EXPECT_EQ(queued, direct + 1);
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(queued) == 1; }));
  gfClose(f);
}

TEST_F(ReadWorker, StopReturnsWithoutServingPendingReadsAndIdsKeepCounting) {
  writeFile(root / "data.bin", std::string(64, 'd'));
  ReaderGate::close();
  gfStart(root.path().c_str());
  GFILE* f = gfOpen("DATA.BIN");
  char buffers[5][8];
  std::memset(buffers, '-', sizeof buffers);
  long last = 0;
  for (auto& b : buffers) last = gfReadStart(f, 0, b, 8);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  gfClose(f);
  gfStop();  // the gate lets go when the stop is asked for
  for (auto& b : buffers) EXPECT_EQ(std::string(b, 8), "--------");
  ReaderGate::open();
  gfStart(root.path().c_str());
  f = gfOpen("DATA.BIN");
  char b[8];
  long next = gfReadStart(f, 0, b, 8);
  EXPECT_EQ(next, last + 1);
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(next) == 1; }));
  gfClose(f);
}

// A caller that closes a loose file with reads still queued must not get another file's
// bytes: the closed descriptor's number is reused by the next open. Handles that stay open
// (a group file's, a loose file's second GFILE) keep their reads.
TEST_F(ReadWorker, ClosingALooseFileDropsItsQueuedReadsAndKeepsOthers) {
  writeFile(root / "mine.bin", std::string(16, 'm'));
  writeFile(root / "other.bin", std::string(16, 'o'));
  writeFile(root / "shared.bin", "shared bytes");
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "alpha"}, {"B.TXT", "bravo"}}));
  ReaderGate::close();
  gfStart(root.path().c_str());
  GFILE* mine = gfOpen("MINE.BIN");
  GFILE* groupA = gfOpen("A.TXT");
  GFILE* groupB = gfOpen("B.TXT");
  GFILE* shared1 = gfOpen("SHARED.BIN");
  GFILE* shared2 = gfOpen("SHARED.BIN");
  ASSERT_TRUE(mine && groupA && groupB && shared1 && shared2);
  char held[16], queued[16], bravo[5], sharedBytes[12];
  std::memset(held, '-', sizeof held);
  std::memset(queued, '-', sizeof queued);
  long heldId = gfReadStart(mine, 0, held, 16);  // the worker holds this one at the gate
  long queuedId = gfReadStart(mine, 0, queued, 16);
  long bravoId = gfReadStart(groupB, 0, bravo, 5);
  long sharedId = gfReadStart(shared2, 0, sharedBytes, 12);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  PlatHandle closed = mine->handle;
  gfClose(mine);
  gfClose(groupA);   // the group's handle stays open: B's read is kept
  gfClose(shared1);  // shared2 still holds the descriptor
  EXPECT_EQ(gfReadCompleted(heldId), 1);
  EXPECT_EQ(gfReadCompleted(queuedId), 1);
  EXPECT_EQ(gfReadCompleted(bravoId), 0);
  GFILE* other = gfOpen("OTHER.BIN");
  ASSERT_NE(other, nullptr);
#ifndef _WIN32
  EXPECT_EQ(other->handle, closed);  // POSIX hands out the lowest free descriptor
#endif
  (void)closed;
  ReaderGate::open();
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(sharedId) == 1; }));
  ASSERT_TRUE(waitFor([&] { return gfReadCompleted(bravoId) == 1; }));
  EXPECT_EQ(std::string(held, 16), std::string(16, '-'));
  EXPECT_EQ(std::string(queued, 16), std::string(16, '-'));
  EXPECT_EQ(std::string(bravo, 5), "bravo");
  EXPECT_EQ(std::string(sharedBytes, 12), "shared bytes");
  gfClose(other);
  gfClose(groupB);
  gfClose(shared2);
}

TEST_F(ReadWorker, ThousandsOfRandomReadsMatchTheBytesAcrossRestarts) {
  std::mt19937 random(1234);
  std::vector<StoredFile> stored;
  std::vector<std::string> loose;
  for (int i = 0; i < 12; i++) {
    std::string bytes(1 + random() % 70000, '\0');
    for (auto& c : bytes) c = (char)random();
    stored.push_back({"G" + std::to_string(10 + i), bytes});
    loose.push_back(bytes);
    writeFile(root / ("l" + std::to_string(10 + i)), bytes);
  }
  writeFile(root / "pack.grp", makeGroup(stored));
  struct Read {
    std::string expected;
    std::vector<char> buffer;
    long id;
  };
  for (int cycle = 0; cycle < 4; cycle++) {
    gfStart(root.path().c_str());
    std::vector<GFILE*> files;
    for (int i = 0; i < 12; i++) {
      files.push_back(gfOpen(("G" + std::to_string(10 + i)).c_str()));
      files.push_back(gfOpen(("L" + std::to_string(10 + i)).c_str()));
    }
    std::vector<Read> reads(1500);
    for (auto& r : reads) {
      int which = (int)(random() % files.size());
      const std::string& bytes = loose[(size_t)which / 2];
      size_t at = random() % bytes.size();
      size_t size = 1 + random() % (bytes.size() - at);
      r.expected = bytes.substr(at, size);
      r.buffer.assign(size, 0);
      r.id = gfReadStart(files[(size_t)which], (long)at, r.buffer.data(), (int)size);
    }
    if (cycle % 2) {  // a restart with reads still queued: those are dropped, never written
      gfStop();
      for (GFILE* f : files) gfClose(f);
      continue;
    }
    for (auto& r : reads) {
      ASSERT_TRUE(waitFor([&] { return gfReadCompleted(r.id) == 1; }));
      ASSERT_EQ(std::string(r.buffer.begin(), r.buffer.end()), r.expected);
    }
    for (GFILE* f : files) gfClose(f);
    gfStop();
  }
}
