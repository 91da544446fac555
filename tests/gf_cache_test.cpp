// The whole-file cache: polling until the bytes are in, the byte budget and its victim,
// the listing, dropping everything, and what a delete or a vanished file does to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "engine/gf/manager/cache_list.h"
#include "engine/gf/manager/reader.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#include "support/reader_gate.h"
#include "support/test_support.h"

namespace {

// The captured lines without the debug printer's "DBG: " prefix.
std::vector<std::string> plainLines(const LineCapture& capture) {
  std::vector<std::string> out;
  for (std::string line : capture.lines())
    out.push_back(line.rfind("DBG: ", 0) == 0 ? line.substr(5) : line);
  return out;
}

t_gfFileInfo* cacheNow(const char* name) {
  t_gfFileInfo* r = nullptr;
  waitFor([&] { return (r = gfCacheFile(name)) != nullptr; });
  return r;
}

class FileCache : public ::testing::Test {
 protected:
  TempDir root;
  void SetUp() override { ReaderGate::install(); }
  void start() { gfStart(root.path().c_str()); }
  void TearDown() override {
    ReaderGate::open();
    stopAndExpectNoEngineBlocks();
    ReaderGate::remove();
  }
};

}  // namespace

TEST_F(FileCache, ReturnsNullWhileReadingThenTheRecordWithItsBytes) {
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "cached bytes"}, {"B", "b"}}));
  ReaderGate::close();
  start();
  EXPECT_EQ(gfCacheFile("a.txt"), nullptr);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  EXPECT_EQ(gfCacheFile("a.txt"), nullptr);
  ReaderGate::open();
  t_gfFileInfo* a = cacheNow("a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, gfGetFileInfo("A.TXT"));
  EXPECT_EQ(std::string(static_cast<char*>(a->cacheData), (size_t)a->size), "cached bytes");
  EXPECT_EQ(gfCacheFile(nullptr), nullptr);
  EXPECT_EQ(gfCacheFile("missing"), nullptr);
}

TEST_F(FileCache, GoingOverTheBudgetDropsTheLargestFinishedFile) {
  writeFile(root / "two.bin", std::string(2000000, '2'));
  writeFile(root / "one-and-half.bin", std::string(1500000, 'h'));
  writeFile(root / "one.bin", std::string(1000000, '1'));
  start();
  LineCapture capture;
  ASSERT_NE(cacheNow("TWO.BIN"), nullptr);
  ASSERT_NE(cacheNow("ONE-AND-HALF.BIN"), nullptr);
  ASSERT_NE(cacheNow("ONE.BIN"), nullptr);
  EXPECT_EQ(plainLines(capture),
            (std::vector<std::string>{"CACHE SIZE: 2000000", "CACHE SIZE: 3500000",
                                      "CACHE SIZE: 4500000", "UNCACHE <TWO.BIN> SIZE: 2500000"}));
  EXPECT_EQ(gfGetFileInfo("TWO.BIN")->cacheData, nullptr);
  EXPECT_NE(gfGetFileInfo("ONE.BIN")->cacheData, nullptr);
}

TEST_F(FileCache, ASingleFileOverTheBudgetStaysCached) {
  writeFile(root / "big.bin", std::string(5000000, 'b'));
  start();
  LineCapture capture;
  t_gfFileInfo* big = cacheNow("big.bin");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(plainLines(capture), (std::vector<std::string>{"CACHE SIZE: 5000000"}));
  EXPECT_EQ(static_cast<char*>(big->cacheData)[4999999], 'b');
}

TEST_F(FileCache, WithTheQueueFullTheFirstCallReadsAtOnce) {
  writeFile(root / "a.txt", "abc");
  writeFile(root / "q.txt", "q");
  ReaderGate::close();
  start();
  GFILE* q = gfOpen("Q.TXT");
  static char sink[GF_READ_QUEUE_SIZE];
  for (int i = 0; i < GF_READ_QUEUE_SIZE; i++) gfReadStart(q, 0, &sink[i], 1);
  t_gfFileInfo* a = gfCacheFile("A.TXT");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(a->cacheData), 3), "abc");
  gfStop();
  gfClose(q);
}

TEST_F(FileCache, EqualSizesDropTheOneNearerTheHeadAndListingShowsTheList) {
  writeFile(root / "a.bin", std::string(1536, 'a'));
  writeFile(root / "b.bin", std::string(1024, 'b'));
  writeFile(root / "c.bin", std::string(1024, 'c'));
  start();
  cacheNow("A.BIN");
  cacheNow("B.BIN");
  cacheNow("C.BIN");  // the list is now A, C, B: each new file goes behind the first
  gfUncacheFile(0);   // A from outside: its node stays and is chosen again, freeing nothing
  LineCapture capture;
  gfUncacheFile();
  gfUncacheFile();
  EXPECT_EQ(plainLines(capture),
            (std::vector<std::string>{"UNCACHE <A.BIN> SIZE: 2048", "UNCACHE <C.BIN> SIZE: 1024"}));
  cacheNow("A.BIN");  // behind B, the first node
  LineCapture listing;
  gfPrintCache();
  EXPECT_EQ(plainLines(listing), (std::vector<std::string>{
                                     "File <B.BIN> size <1024> completed=TRUE",
                                     "File <A.BIN> size <1536> completed=TRUE", "Cache size=2Kb"}));
}

TEST_F(FileCache, UncacheAllEmptiesTheListIndexZeroIncluded) {
  writeFile(root / "a.bin", "aaaa");
  writeFile(root / "b.bin", "bb");
  writeFile(root / "empty.bin", "");
  start();
  ASSERT_EQ(gfFetch("A.BIN"), 0);
  cacheNow("A.BIN");
  cacheNow("B.BIN");
  t_gfFileInfo* empty = cacheNow("EMPTY.BIN");
  ASSERT_NE(empty, nullptr);  // a file of 0 bytes is cached like any other
  EXPECT_NE(empty->cacheData, nullptr);
  gfUncacheAllFiles();
  for (long i = 0; i < gfTableCount(); i++)
    EXPECT_EQ(gfTableRecord(i)->cacheData, nullptr) << i;
  LineCapture listing;
  gfPrintCache();
  EXPECT_EQ(plainLines(listing), (std::vector<std::string>{"Cache size=0Kb"}));
  gfUncacheFile(-1);
  gfUncacheFile(12345);  // outside the table: nothing
}

TEST_F(FileCache, AnOutsideUncacheThenCachingAgainStartsANewRead) {
  writeFile(root / "a.txt", "first");
  start();
  t_gfFileInfo* a = cacheNow("A.TXT");
  long firstId = a->readId;
  gfUncacheFile((int)gfFetch("A.TXT"));
  EXPECT_EQ(a->cacheData, nullptr);
  EXPECT_EQ(a->readId, 0);
  a = cacheNow("A.TXT");
  ASSERT_NE(a, nullptr);
  EXPECT_GT(a->readId, firstId);
}

TEST_F(FileCache, AFileGoneFromDiskIsNotCached) {
  writeFile(root / "gone.txt", "soon gone");
  writeFile(root / "stays.txt", "here");
  start();
  unlink((root / "gone.txt").c_str());
  LineCapture capture;
  EXPECT_EQ(gfCacheFile("GONE.TXT"), nullptr);
  EXPECT_EQ(gfGetFileInfo("GONE.TXT")->cacheData, nullptr);
  EXPECT_TRUE(capture.lines().empty());  // the total did not move
}

TEST_F(FileCache, ACachedRecordsNodeFollowsItAcrossADelete) {
  writeFile(root / "a.bin", std::string(100, 'a'));
  writeFile(root / "m.bin", std::string(300, 'm'));
  writeFile(root / "z.bin", std::string(200, 'z'));
  start();
  cacheNow("Z.BIN");
  cacheNow("M.BIN");
  gfDeleteFile("A.BIN");  // Z moves from index 2 to 1, M from 1 to 0
  LineCapture listing;
  gfPrintCache();
  EXPECT_EQ(plainLines(listing),
            (std::vector<std::string>{"File <Z.BIN> size <200> completed=TRUE",
                                      "File <M.BIN> size <300> completed=TRUE", "Cache size=0Kb"}));
  gfDeleteFile("M.BIN");  // a cached record leaves: its copy and its node go with it
  LineCapture after;
  gfPrintCache();
  EXPECT_EQ(plainLines(after),
            (std::vector<std::string>{"File <Z.BIN> size <200> completed=TRUE", "Cache size=0Kb"}));
}

TEST_F(FileCache, StopReleasesCopiesWhoseReadsNeverRan) {
  writeFile(root / "a.txt", "aaaa");
  writeFile(root / "b.txt", "bbbb");
  ReaderGate::close();
  start();
  EXPECT_EQ(gfCacheFile("A.TXT"), nullptr);
  EXPECT_EQ(gfCacheFile("B.TXT"), nullptr);
  ASSERT_TRUE(ReaderGate::waitUntilHeld());
  gfDeleteFile("B.TXT");  // its read is still queued: the block waits for gfStop
  gfStop();               // TearDown checks that nothing is left
}

// A loader within the budget drops each file once used; the dropped copies' nodes stay in
// the list, and neither its next drops nor a victim chosen among them may look at them all.
TEST_F(FileCache, DroppedCopiesNodesStayListedButAreNotWalked) {
  std::vector<StoredFile> files{{"BIG1", std::string(2500000, '1')},
                                {"BIG2", std::string(2500000, '2')}};
  for (int k = 0; k < 1200; k++) files.push_back({"F" + std::to_string(1000 + k), "some bytes"});
  writeFile(root / "g.grp", makeGroup(files));
  start();
  auto loadAndDrop = [](int from, int to) {
    unsigned long long before = gfCacheLooks();
    for (int k = from; k < to; k++) {
      std::string name = "F" + std::to_string(1000 + k);
      EXPECT_NE(cacheNow(name.c_str()), nullptr) << name;
      gfUncacheFile((int)gfFetch(name.c_str()));
    }
    return gfCacheLooks() - before;
  };
  unsigned long long early = loadAndDrop(0, 100);
  loadAndDrop(100, 1100);
  EXPECT_LE(loadAndDrop(1100, 1200), early);
  LineCapture capture;
  unsigned long long before = gfCacheLooks();
  cacheNow("BIG1");
  cacheNow("BIG2");  // over the budget: the victim is BIG1, found without the 1200 nodes
  EXPECT_LT(gfCacheLooks() - before, 20u);
  EXPECT_EQ(plainLines(capture),
            (std::vector<std::string>{"CACHE SIZE: 2500000", "CACHE SIZE: 5000000",
                                      "UNCACHE <BIG1> SIZE: 2500000"}));
  LineCapture listing;
  gfPrintCache();
  EXPECT_EQ(listing.lines().size(), 1202u);  // BIG2, the 1200 dropped files, the total
}
