// The debug console: the "DBG: " prefix rule of the shared pending line, the log file,
// and text too long for the buffers.
#include "tarnpak/debug.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using Lines = std::vector<std::string>;

// The pending line and the log file are process-wide: start and end every test clean.
class Debug : public ::testing::Test {
 protected:
  void SetUp() override { DebugStop(), DebugStart(); }
  void TearDown() override { DebugStop(), DebugStart(); }
  TempDir dir;
  LineCapture capture;
};

TEST_F(Debug, PrefixFollowsDebugPrintfLinesOnly) {
  DebugAttachFile((dir / "log.txt").c_str());
  DebugPrintf("one\n");
  ConPrintf("two\n");
  DebugPrintf("three\n");
  DebugPrintf("a\nb\n");  // two lines from one call
  ConPrintf("\n");        // bare newlines: the bare prefix, then an empty line
  ConPrintf("\n");
  EXPECT_EQ(capture.lines(), (Lines{"one", "DBG: two", "three", "DBG: a", "DBG: b", "DBG: ", ""}));
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), hostText("one\ntwo\nthree\na\nb\n\n\n"));
}

TEST_F(Debug, TextWithoutNewlineWaitsForALaterOne) {
  DebugAttachFile((dir / "log.txt").c_str());
  DebugPrintf("par%s", "t");
  EXPECT_EQ(readFile(dir / "log.txt"), "part");  // the log file has it at once
  EXPECT_TRUE(capture.lines().empty());
  ConPrintf("ial %d\nrest", 7);
  EXPECT_EQ(capture.lines(), (Lines{"partial 7"}));
}

TEST_F(Debug, AttachReplacesTheLogAndBadNamesLeaveNone) {
  writeFile(dir / "a.txt", "old contents\n");
  DebugAttachFile((dir / "a.txt").c_str());
  DebugPrintf("to a\n");
  DebugAttachFile((dir / "b.txt").c_str());
  ConPrintf("to b\n");
  DebugAttachFile("");
  ConPrintf("to none\n");
  DebugAttachFile((dir / "c.txt").c_str());
  DebugAttachFile((dir / "missing/deeper/c.txt").c_str());
  ConPrintf("still none\n");
  EXPECT_EQ(readFile(dir / "a.txt"), hostText("to a\n"));
  EXPECT_EQ(readFile(dir / "b.txt"), hostText("to b\n"));
  EXPECT_EQ(readFile(dir / "c.txt"), "");
  EXPECT_EQ(capture.lines().back(), "still none");  // the line output is still fed
}

// Formatted text is cut at 1023 characters, pending text at 511, without running over.
TEST_F(Debug, OverlongTextIsCut) {
  DebugAttachFile((dir / "log.txt").c_str());
  DebugPrintf("%s\n", std::string(2000, 'a').c_str());  // the newline falls beyond the cut
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), std::string(1023, 'a'));
  EXPECT_TRUE(capture.lines().empty());
  ConPrintf("b\n");
  DebugPrintf("x\n");
  ConPrintf("%s", std::string(300, 'c').c_str());
  ConPrintf("%s\n", std::string(300, 'd').c_str());
  EXPECT_EQ(capture.lines(), (Lines{std::string(511, 'a'), "x",
                                    "DBG: " + std::string(300, 'c') + std::string(206, 'd')}));
}

TEST_F(Debug, ConsoleTextBypassesLogAndLineOutput) {
  DebugAttachFile((dir / "log.txt").c_str());
  ::testing::internal::CaptureStderr();
  W32ConPrintf("Error: file %s can not be opened\n", "X.DAT");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: file X.DAT can not be opened\n");
  DebugStop();
  EXPECT_EQ(readFile(dir / "log.txt"), "");
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
