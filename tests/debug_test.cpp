// The debug console: the "DBG: " prefix rule of the shared pending line, the log file,
// and text too long for the buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/debug/debug.h"
#include "support/test_support.h"

namespace {

using Lines = std::vector<std::string>;

// The pending line and the log file are process-wide: start and end every test clean.
class Debug : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugStop();
    DebugStart();
  }
  void TearDown() override {
    DebugStop();
    DebugStart();
  }
};

using DebugLines = Debug;
using DebugLog = Debug;

TEST_F(DebugLines, PrefixFollowsDebugPrintfLinesOnly) {
  TempDir dir;
  DebugAttachFile((dir / "log.txt").c_str());
  LineCapture capture;
  DebugPrintf("one\n");
  ConPrintf("two\n");
  DebugPrintf("three\n");
  EXPECT_EQ(capture.lines(), (Lines{"one", "DBG: two", "three"}));
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), "one\ntwo\nthree\n");
}

TEST_F(DebugLines, TextWithoutNewlineWaitsForALaterOne) {
  TempDir dir;
  DebugAttachFile((dir / "log.txt").c_str());
  LineCapture capture;
  DebugPrintf("par%s", "t");
  EXPECT_EQ(readFile(dir / "log.txt"), "part");  // the log file has it at once
  EXPECT_TRUE(capture.lines().empty());
  ConPrintf("ial %d\n", 7);
  EXPECT_EQ(capture.lines(), (Lines{"partial 7"}));
}

TEST_F(DebugLines, EveryNewlineOfOneCallEndsALine) {
  LineCapture capture;
  DebugPrintf("a\nb\n");
  ConPrintf("x\ny\nz");
  ConPrintf("\n");
  EXPECT_EQ(capture.lines(), (Lines{"a", "DBG: b", "DBG: x", "y", "z"}));
}

TEST_F(DebugLines, BareNewlineHandsOnAnEmptyOrBarePrefixedLine) {
  LineCapture capture;
  ConPrintf("\n");
  DebugPrintf("\n");
  DebugPrintf("\n");
  ConPrintf("\n");
  ConPrintf("\n");
  EXPECT_EQ(capture.lines(), (Lines{"", "", "DBG: ", "DBG: ", ""}));
}

TEST_F(DebugLog, ReattachClosesTheOldFileAndBadNamesLeaveNone) {
  TempDir dir;
  DebugAttachFile((dir / "a.txt").c_str());
  DebugPrintf("to a\n");
  DebugAttachFile((dir / "b.txt").c_str());
  ConPrintf("to b\n");
  DebugAttachFile("");
  LineCapture capture;
  DebugPrintf("to none\n");
  DebugAttachFile((dir / "c.txt").c_str());
  DebugAttachFile((dir / "missing/deeper/c.txt").c_str());
  DebugPrintf("still none\n");
  EXPECT_EQ(readFile(dir / "a.txt"), "to a\n");
  EXPECT_EQ(readFile(dir / "b.txt"), "to b\n");
  EXPECT_EQ(readFile(dir / "c.txt"), "");
  EXPECT_FALSE(fileExists(dir / "missing/deeper/c.txt"));
  // Without a log file the line output is still fed.
  EXPECT_EQ(capture.lines(), (Lines{"to none", "DBG: still none"}));
}

TEST_F(DebugLog, AttachEmptiesAnExistingFile) {
  TempDir dir;
  writeFile(dir / "log.txt", "old contents\n");
  DebugAttachFile((dir / "log.txt").c_str());
  ConPrintf("new\n");
  DebugStop();
  ConPrintf("after stop\n");
  EXPECT_EQ(readFile(dir / "log.txt"), "new\n");
}

// Formatted text is cut at 1023 characters, pending text at 511, without running over.
TEST_F(DebugLines, OverlongTextIsCut) {
  TempDir dir;
  DebugAttachFile((dir / "log.txt").c_str());
  LineCapture capture;
  std::string longText(2000, 'a');
  DebugPrintf("%s\n", longText.c_str());  // the newline falls beyond the cut
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), std::string(1023, 'a'));
  EXPECT_TRUE(capture.lines().empty());
  ConPrintf("b\n");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], std::string(511, 'a'));

  DebugPrintf("x\n");
  ConPrintf("%s", std::string(300, 'c').c_str());
  ConPrintf("%s\nshort\n", std::string(300, 'd').c_str());
  ASSERT_EQ(capture.lines().size(), 4u);
  EXPECT_EQ(capture.lines()[2], "DBG: " + std::string(300, 'c') + std::string(206, 'd'));
  EXPECT_EQ(capture.lines()[3], "short");
}

TEST_F(DebugLines, ConsoleTextBypassesLogAndLineOutput) {
  TempDir dir;
  DebugAttachFile((dir / "log.txt").c_str());
  LineCapture capture;
  ::testing::internal::CaptureStderr();
  W32ConPrintf("Error: file %s can not be opened\n", "X.DAT");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: file X.DAT can not be opened\n");
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), "");
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(DebugKeyPressed(27), 0);
}

}  // namespace
