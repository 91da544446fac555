// Every failure path of the builder and the unpacker, driven through the host layer's
// failure seam: a failed call leaves nothing behind, keeps an older group, and its message
// keeps the real reason; a short transfer changes nothing at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/gf/manager/table.h"
#include "engine/kestin/memory_report.h"
#include "engine/platform/faults.h"
#include "support/test_support.h"
#include "tarnpak/kestin.h"

namespace {

std::vector<std::string> messages;
void collect(const char* message) { messages.push_back(message); }

const t_platFaultOp kOps[] = {PLAT_FAULT_OPEN, PLAT_FAULT_READ, PLAT_FAULT_WRITE, PLAT_FAULT_CLOSE,
                              PLAT_FAULT_RENAME};
const char* const kOpNames[] = {"open", "read", "write", "close", "rename"};

std::string pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; i++) s[i] = (char)(i * 13 + seed + i / 251);
  return s;
}

// Small files on three levels and one large enough to be copied on its own.
const std::vector<StoredFile> kFiles = {{"A.TXT", "alpha"},
                                        {"BIG.BIN", pattern(300 * 1024, 1)},
                                        {"SUB\\B.TXT", pattern(5000, 2)},
                                        {"SUB\\DEEPER\\C.TXT", "c"}};

bool anyMessageHas(const std::string& text) {
  for (auto& m : messages)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

struct Fault {
  t_platFaultOp op;
  long nth;  // 0: count only
  int error;
  size_t shortCount;
  bool persist;
};

class Failures : public ::testing::Test {
 protected:
  TempDir root, out;
  std::string group = out / "newgrp.grp";
  long calls[PLAT_FAULT_OPS] = {};

  void SetUp() override {
    for (auto& f : kFiles) {
      std::string path = f.name;
      for (char& c : path)
        if (c == '\\') c = '/';
      for (char& c : path) c = (char)std::tolower((unsigned char)c);
      writeFile(root / path, f.data);
    }
    writeFile(root / "group.cfg", "*.txt\nbig.bin\nsub\\*.* r\n");
  }

  void arm(const Fault& f) {
    messages.clear();
    if (f.nth == 0)
      platFaultCount();
    else
      platFaultArm(f.op, f.nth, f.error, f.shortCount, f.persist);
  }

  void disarm() {
    platFaultOff();
    for (int op = 0; op < PLAT_FAULT_OPS; op++) calls[op] = platFaultCalls((t_platFaultOp)op);
  }

  int build(const Fault& f) {
    gfStart(root.path().c_str());
    arm(f);
    int status = TarnpakChecked(group.c_str(), 1, collect);
    disarm();
    gfStop();
    EXPECT_EQ(memLiveBlocks("gf manager"), 0);
    return status;
  }

  // Unpacks the group into a fresh directory and gives back what is there.
  int unpack(const std::string& image, const Fault& f, std::vector<std::string>* tree,
             std::vector<std::string>* contents) {
    writeFile(out / "data.grp", image);
    TempDir work(true);
    arm(f);
    int status = gfUnpackChecked((out / "data.grp").c_str(), collect);
    disarm();
    *tree = listTree(work.path());
    contents->clear();
    for (auto& name : *tree) contents->push_back(readFile(work / name));
    EXPECT_EQ(memLiveBlocks("gf manager"), 0);
    return status;
  }
};

// The stored content of a file unpacked under its host path.
std::string storedContent(const std::string& hostPath) {
  for (auto& f : kFiles) {
    std::string path = f.name;
    for (char& c : path)
      if (c == '\\') c = '/';
    if (path == hostPath) return f.data;
  }
  return "(not stored)";
}

}  // namespace

TEST_F(Failures, EveryFailedCallOfTheBuilderKeepsTheOlderGroupAndTheReason) {
  ASSERT_EQ(build({PLAT_FAULT_OPEN, 0, 0, 0, false}), 0);
  const std::string reference = readFile(group);
  long reached[PLAT_FAULT_OPS];
  std::copy(calls, calls + PLAT_FAULT_OPS, reached);
  // A failed look at a found file (POSIX looks at each one) must not leave it out quietly.
  std::vector<std::pair<t_platFaultOp, std::string>> ops;
  for (size_t i = 0; i < sizeof kOps / sizeof kOps[0]; i++) ops.push_back({kOps[i], kOpNames[i]});
#ifndef _WIN32
  ops.push_back({PLAT_FAULT_STAT, "stat"});
#endif
  for (const auto& [op, opName] : ops) {
    ASSERT_GT(reached[op], 0) << opName;
    for (long n = 1; n <= reached[op] + 1; n++) {
      SCOPED_TRACE(opName + " " + std::to_string(n));
      writeFile(group, "the older group");
      int status = build({op, n, EIO, 0, false});
      if (status == 0) {
        EXPECT_EQ(readFile(group), reference);
        // Reads, writes and renames all matter; opens, closes and looks may have a way
        // around (the group is then the same bytes: no file was left out).
        EXPECT_TRUE(n > reached[op] || op == PLAT_FAULT_OPEN || op == PLAT_FAULT_CLOSE ||
                    op == PLAT_FAULT_STAT);
      } else {
        EXPECT_EQ(readFile(group), "the older group");
        EXPECT_TRUE(anyMessageHas(std::strerror(EIO))) << (messages.empty() ? "" : messages[0]);
      }
      EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});
    }
  }
  // The group's own close comes last: its failure is a failed build.
  writeFile(group, "the older group");
  EXPECT_EQ(build({PLAT_FAULT_CLOSE, reached[PLAT_FAULT_CLOSE], EIO, 0, false}), 1);
  EXPECT_EQ(readFile(group), "the older group");
}

TEST_F(Failures, TheDataIsFlushedBeforeTheGroupTakesItsNameAndTheDirectoryAfter) {
  ASSERT_EQ(build({PLAT_FAULT_OPEN, 0, 0, 0, false}), 0);
  const std::string reference = readFile(group);
  const long flushes = calls[PLAT_FAULT_FLUSH];
  // The commit's calls, in order, as the last of the build's (allocations aside).
  t_platFaultOp recent[64];
  int n = platFaultRecent(recent, 64);
  std::vector<t_platFaultOp> tail;
  for (int i = 0; i < n; i++)
    if (recent[i] != PLAT_FAULT_ALLOC) tail.push_back(recent[i]);
#ifdef _WIN32  // the data, the close, the rename, the directory
  const std::vector<t_platFaultOp> commit = {PLAT_FAULT_FLUSH, PLAT_FAULT_CLOSE, PLAT_FAULT_RENAME,
                                             PLAT_FAULT_FLUSH};
#else  // the data, the anonymous file's name, its close, the rename, the directory
  const std::vector<t_platFaultOp> commit = {PLAT_FAULT_FLUSH, PLAT_FAULT_RENAME, PLAT_FAULT_CLOSE,
                                             PLAT_FAULT_RENAME, PLAT_FAULT_FLUSH};
#endif
  ASSERT_GE(tail.size(), commit.size());
  EXPECT_EQ(std::vector<t_platFaultOp>(tail.end() - commit.size(), tail.end()), commit);

  // A failed flush of the data fails the build with the reason and keeps the older group.
  const long dataFlush =
      flushes - (long)std::count(commit.begin(), commit.end(), PLAT_FAULT_FLUSH) + 1;
  writeFile(group, "the older group");
  EXPECT_EQ(build({PLAT_FAULT_FLUSH, dataFlush, EIO, 0, false}), 1);
  EXPECT_EQ(readFile(group), "the older group");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("cannot write group file"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find(std::strerror(EIO)), std::string::npos) << messages[0];
  EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});
  // A failed flush of the directory: the new group is in place, yet the build fails and
  // says why, since a power cut could still bring the older one back.
  writeFile(group, "the older group");
  EXPECT_EQ(build({PLAT_FAULT_FLUSH, flushes, EIO, 0, false}), 1);
  EXPECT_EQ(readFile(group), reference);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(std::strerror(EIO)), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("in place"), std::string::npos) << messages[0];
  EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});
}

// A group and its sums file cannot be renamed together: whichever call fails, the message
// says whether the new group is in place, and the sums on disk are never of a group that is
// not (the new sums only ever beside the new group).
TEST_F(Failures, WithSumsEveryFailureSaysWhatIsInPlace) {
  const std::string sums = out / "s";
  auto buildSummed = [&](const Fault& f) {
    arm(f);
    int status = TarnpakFromSummed(root.path().c_str(), group.c_str(), 1, sums.c_str(), collect,
                                   nullptr);
    disarm();
    EXPECT_EQ(memLiveBlocks("gf manager"), 0);
    return status;
  };
  ASSERT_EQ(buildSummed({PLAT_FAULT_OPEN, 0, 0, 0, false}), 0);
  const std::string reference = readFile(group), referenceSums = readFile(sums);
  long reached[PLAT_FAULT_OPS];
  std::copy(calls, calls + PLAT_FAULT_OPS, reached);
  for (auto op : {PLAT_FAULT_RENAME, PLAT_FAULT_FLUSH, PLAT_FAULT_CLOSE, PLAT_FAULT_WRITE}) {
    for (long n = 1; n <= reached[op]; n++) {
      SCOPED_TRACE("kind " + std::to_string(op) + ", call " + std::to_string(n));
      writeFile(group, "the older group");
      writeFile(sums, "the older sums");
      int status = buildSummed({op, n, EIO, 0, false});
      std::string nowGroup = readFile(group), nowSums = readFile(sums);
      EXPECT_TRUE(nowGroup == reference || nowGroup == "the older group");
      EXPECT_TRUE(nowSums == referenceSums || nowSums == "the older sums");
      EXPECT_FALSE(nowSums == referenceSums && nowGroup != reference);
      if (status == 0) {
        EXPECT_EQ(nowGroup + nowSums, reference + referenceSums);
        continue;
      }
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(anyMessageHas("in place"), nowGroup == reference) << messages[0];
      EXPECT_TRUE(anyMessageHas(std::strerror(EIO))) << messages[0];
      EXPECT_EQ(listTree(out.path()), (std::vector<std::string>{"newgrp.grp", "s"}));
    }
  }
}

TEST_F(Failures, AFullDiskIsReportedAsSuchWhereverItStrikes) {
  ASSERT_EQ(build({PLAT_FAULT_OPEN, 0, 0, 0, false}), 0);
  long writes = calls[PLAT_FAULT_WRITE];
  for (long n = 1; n <= writes; n++) {
    SCOPED_TRACE("write " + std::to_string(n));
    writeFile(group, "the older group");
    EXPECT_EQ(build({PLAT_FAULT_WRITE, n, ENOSPC, 0, true}), 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("No space left on device"), std::string::npos) << messages[0];
    EXPECT_EQ(readFile(group), "the older group");
    EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});
  }
}

// A full disk stays full: the unpack stops at the first file that does not fit and counts
// the rest in one line, instead of a message for each of them.
TEST_F(Failures, AFullDiskStopsTheUnpackAtTheFirstFile) {
  const std::string image = makeGroup(kFiles);
  std::vector<std::string> tree, contents;
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    gfSetThreads(threads);
    EXPECT_EQ(unpack(image, {PLAT_FAULT_WRITE, 1, ENOSPC, 0, true}, &tree, &contents), 1);
    EXPECT_TRUE(tree.empty());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("No space left on device"), std::string::npos) << messages[0];
    EXPECT_NE(messages[1].find("3 more files were not written"), std::string::npos) << messages[1];
  }
  gfSetThreads(0);
}

TEST_F(Failures, ShortTransfersInTheBuilderChangeNothing) {
  ASSERT_EQ(build({PLAT_FAULT_OPEN, 0, 0, 0, false}), 0);
  const std::string reference = readFile(group);
  long reached[PLAT_FAULT_OPS];
  std::copy(calls, calls + PLAT_FAULT_OPS, reached);
  for (auto op : {PLAT_FAULT_READ, PLAT_FAULT_WRITE}) {
    for (long n = 1; n <= reached[op]; n++) {
      SCOPED_TRACE(std::string(kOpNames[op]) + " " + std::to_string(n));
      ASSERT_EQ(build({op, n, 0, 1, false}), 0) << (messages.empty() ? "" : messages[0]);
      EXPECT_EQ(readFile(group), reference);
    }
    ASSERT_EQ(build({op, 1, 0, 4000, true}), 0);  // every transfer short
    EXPECT_EQ(readFile(group), reference);
  }
}

TEST_F(Failures, EveryFailedCallOfTheUnpackerLeavesOnlyWholeFiles) {
  const std::string image = makeGroup(kFiles);
  std::vector<std::string> tree, contents;
  ASSERT_EQ(unpack(image, {PLAT_FAULT_OPEN, 0, 0, 0, false}, &tree, &contents), 0);
  ASSERT_EQ(tree.size(), kFiles.size());
  long reached[PLAT_FAULT_OPS];
  std::copy(calls, calls + PLAT_FAULT_OPS, reached);
  for (auto op : kOps) {
    for (long n = 1; n <= reached[op]; n++) {
      SCOPED_TRACE(std::string(kOpNames[op]) + " " + std::to_string(n));
      for (int error : {EIO, ENOSPC}) {
        int status = unpack(image, {op, n, error, 0, false}, &tree, &contents);
        for (size_t i = 0; i < tree.size(); i++)
          EXPECT_EQ(contents[i], storedContent(tree[i])) << tree[i];  // no partial file
        if (status == 0) {
          EXPECT_EQ(tree.size(), kFiles.size());
          // Only the group's and levels' closes may fail; with several threads a run may
          // make fewer calls (each writer reads the group through its own window).
          EXPECT_TRUE(op == PLAT_FAULT_CLOSE || calls[op] < n);
        } else {
          EXPECT_LT(tree.size(), kFiles.size());
          EXPECT_TRUE(anyMessageHas(std::strerror(error))) << (messages.empty() ? "" : messages[0]);
        }
      }
    }
  }
  for (long n = 1; n <= reached[PLAT_FAULT_WRITE]; n++) {  // short writes and reads: no harm
    ASSERT_EQ(unpack(image, {PLAT_FAULT_WRITE, n, 0, 7, false}, &tree, &contents), 0);
    ASSERT_EQ(unpack(image, {PLAT_FAULT_READ, n, 0, 7, false}, &tree, &contents), 0);
    for (size_t i = 0; i < tree.size(); i++) EXPECT_EQ(contents[i], storedContent(tree[i]));
  }
}

// ---- out of memory ---------------------------------------------------------------------------
// Each job runs again and again with its 1st, 2nd, ... tracked allocation failing, until a run
// makes fewer allocations than the one chosen: every run ends cleanly, and once the manager
// stops no engine block is left.

namespace {

// Runs job with the nth allocation failing; whether the job reached that allocation.
template <typename Job>
bool withAllocationFailing(long n, Job job) {
  platFaultArm(PLAT_FAULT_ALLOC, n, ENOMEM);
  job();
  platFaultOff();
  return platFaultCalls(PLAT_FAULT_ALLOC) >= n;
}

constexpr long kAllocationLimit = 5000;  // far beyond what these small jobs allocate

}  // namespace

TEST_F(Failures, EveryFailedAllocationOfAStartEndsCleanly) {
  writeFile(root / "old.grp", makeGroup({{"IN\\GROUP.TXT", "stored"}, {"A.TXT", "older"}}));
  long n = 1;
  for (; n < kAllocationLimit; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    bool hit = withAllocationFailing(n, [&] {
      gfStart(root.path().c_str());
      // What the table holds stays usable, whatever it lacks.
      for (long i = 0; i < gfTableCount(); i++) ASSERT_NE(gfTableRecord(i), nullptr);
    });
    stopAndExpectNoEngineBlocks();
    if (!hit) break;
  }
  EXPECT_GT(n, 1);
  EXPECT_LT(n, kAllocationLimit);
  // With memory enough, the table is whole.
  gfStart(root.path().c_str());
  EXPECT_GE(gfFetch("IN\\GROUP.TXT"), 0);
  EXPECT_GE(gfFetch("SUB\\DEEPER\\C.TXT"), 0);
  stopAndExpectNoEngineBlocks();
}

TEST_F(Failures, EveryFailedAllocationOfAPackEndsCleanly) {
  ASSERT_EQ(TarnpakFrom(root.path().c_str(), group.c_str(), 1, collect), 0);
  const std::string reference = readFile(group);
  stopAndExpectNoEngineBlocks();
  long n = 1;
  for (; n < kAllocationLimit; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    writeFile(group, "the older group");
    messages.clear();
    int status = 0;
    bool hit = withAllocationFailing(
        n, [&] { status = TarnpakFrom(root.path().c_str(), group.c_str(), 1, collect); });
    if (status == 0) {
      EXPECT_TRUE(readFile(group) == reference);  // a way around the failure, or none hit
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(readFile(group), "the older group");
      EXPECT_FALSE(messages.empty());
    }
    EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});
    stopAndExpectNoEngineBlocks();
    if (!hit) break;
  }
  EXPECT_GT(n, 1);
  EXPECT_LT(n, kAllocationLimit);
}

TEST_F(Failures, EveryFailedAllocationOfAnUnpackEndsCleanly) {
  writeFile(out / "data.grp", makeGroup(kFiles));
  long n = 1;
  for (; n < kAllocationLimit; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    messages.clear();
    TempDir work(true);
    int status = 0;
    bool hit = withAllocationFailing(
        n, [&] { status = gfUnpackChecked((out / "data.grp").c_str(), collect); });
    std::vector<std::string> tree = listTree(work.path());
    for (auto& name : tree) EXPECT_EQ(readFile(work / name), storedContent(name)) << name;
    if (status == 0) {
      EXPECT_EQ(tree.size(), kFiles.size());
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_FALSE(messages.empty());
    }
    stopAndExpectNoEngineBlocks();
    if (!hit) break;
  }
  EXPECT_GT(n, 1);
  EXPECT_LT(n, kAllocationLimit);
}
