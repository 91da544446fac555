// Paths in strings, directory creation, the line readers and formatted output to a handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "engine/platform/platform.h"
#include "tarnpak/stdinputoutput.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

std::string fitted(const char* path, int maxLength) {
  char buf[600] = {};
  std::string(path).copy(buf, sizeof buf - 1);
  ZSFitPathToSize(buf, maxLength);
  return buf;
}

std::string loggedOut(const char* path, int levels) {
  char buf[300] = {};
  std::string(path).copy(buf, sizeof buf - 1);
  ZSLogoutFromDir(buf, levels);
  return buf;
}

// Every line one reader delivers from bytes, up to maxCalls calls.
std::vector<std::string> readAll(const std::string& bytes, long size, bool header,
                                 int maxCalls = 6) {
  TempDir dir;
  writeFile(dir / "f.txt", bytes);
  int fd = platFdOpenRead((dir / "f.txt").c_str());
  EXPECT_GE(fd, 0);
  std::vector<std::string> lines;
  std::vector<char> buf((std::size_t)size + 8, '#');
  for (int i = 0; i < maxCalls; i++) {
    if (header)
      ReadHdrLN(fd, buf.data(), size);
    else
      ReadLN(fd, buf.data(), size);
    EXPECT_EQ(buf[(std::size_t)size], '#') << "written past size";
    lines.push_back(buf.data());
  }
  platFdClose(fd);
  EXPECT_EQ(memLiveBlocks("stdinputoutput"), 0);
  return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(Paths, TrailingSlashAndDirectories) {
  char p[64] = "c:\\a";
  ZSAddPathSlash(p);
  EXPECT_STREQ(p, "c:\\a\\");
  ZSAddPathSlash(p);
  EXPECT_STREQ(p, "c:\\a\\");
  char e[8] = "";
  ZSAddPathSlash(e);
  EXPECT_STREQ(e, "");
  char q[64] = "c:\\a";
  ZSLogToDir(q, "b");
  EXPECT_STREQ(q, "c:\\a\\b\\");
}

TEST(Paths, LeavingDirectories) {
  EXPECT_EQ(loggedOut("c:\\a", 0), "c:\\a\\");
  EXPECT_EQ(loggedOut("c:\\a\\b", 1), "c:\\a\\");
  EXPECT_EQ(loggedOut("c:\\a\\b\\", 1), "c:\\a\\");
  EXPECT_EQ(loggedOut("c:\\a\\b", 2), "c:\\");
  EXPECT_EQ(loggedOut("c:\\a\\b", 3), "");
  EXPECT_EQ(loggedOut("c:\\a\\b", -4), "c:\\a\\b\\");
}

TEST(Paths, SplitNameAndExtension) {
  char name[64], ext[64];
  SplitToNE("c:\\dir\\file.tar.gz", name, ext);
  EXPECT_STREQ(name, "file.tar");
  EXPECT_STREQ(ext, "gz");
  SplitToNE("c:\\dir.x\\file", name, ext);
  EXPECT_STREQ(name, "dir");
  EXPECT_STREQ(ext, "x\\file");
  SplitToNE("c:\\dir\\file", name, ext);
  EXPECT_STREQ(name, "c:\\dir\\file");
  EXPECT_STREQ(ext, "");
}

TEST(Paths, FitToSizeShortensMiddleComponents) {
  const char* p = "c:\\games\\data\\textures\\walls\\brick.bmp";
  EXPECT_EQ(fitted(p, 30), "c:\\games\\...\\walls\\brick.bmp");
  EXPECT_EQ(fitted(p, 36), "c:\\games\\textures\\walls\\brick.bmp");
  EXPECT_EQ(fitted(p, 20), "c:\\games\\brick.bmp");
  EXPECT_EQ(fitted(p, 10), "c:\\games\\brick.bmp");
  EXPECT_EQ(fitted(p, 38), p);
  EXPECT_EQ(fitted(p, -1), p);
  EXPECT_EQ(fitted("c:\\a-long-dir\\file", 3), "c:\\a-long-dir\\file");
  EXPECT_EQ(fitted("c:\\a\\\\\\b\\c", 5), "c:\\a\\c");  // empty components go too
}

TEST(Paths, FitToSizeOverlongPathStaysInBounds) {
  std::string p = "c:";
  for (char c : std::string("defg")) p += "\\" + std::string(100, c);
  std::string r = fitted((p + "\\h").c_str(), 40);
  EXPECT_LE(r.size(), 255u);
  EXPECT_EQ(r.substr(0, 103), "c:\\" + std::string(100, 'd'));
}

TEST(Paths, MakePathCreatesEveryLevelBeforeTheName) {
  TempDir dir(true);
  auto entries = [&] {
    std::vector<std::string> names;
    for (auto& e : fs::recursive_directory_iterator(dir.path()))
      names.push_back(fs::relative(e.path(), dir.path()).generic_string() +
                      (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  };
  ZSMakePath("a\\b\\c.txt");
  EXPECT_EQ(entries(), (std::vector<std::string>{"a/", "a/b/"}));
  ZSMakePath("a\\b\\d\\e\\");  // existing levels are no reason to stop
  ZSMakePath("x/y/z");
  ZSMakePath("q:");
  ZSMakePath("q:\\r\\");  // the drive level is not made into a directory
  EXPECT_EQ(entries(), (std::vector<std::string>{"a/", "a/b/", "a/b/d/", "a/b/d/e/"}));
  ZSMakePath(("m\\" + std::string(300, 'n') + "\\o").c_str());  // cut, no overrun
  EXPECT_TRUE(fs::is_directory(dir / "m"));
}

TEST(LineReader, LinesWithMixedEnds) {
  EXPECT_EQ(readAll("ab\r\ncd\ne", 512, false), (Lines{"ab", "cd", "e", "", "", ""}));
  EXPECT_EQ(readAll("\n\nx\n", 512, false), (Lines{"", "", "x", "", "", ""}));
}

TEST(LineReader, RestOfLongLineIsSkipped) {
  EXPECT_EQ(readAll("abcdef\ng\n", 4, false, 3), (Lines{"abc", "g", ""}));
  EXPECT_EQ(readAll("abc\nd", 4, false, 3), (Lines{"abc", "d", ""}));
  std::string big(5000, 'z');
  EXPECT_EQ(readAll(big + "\nok\n", 512, false, 3), (Lines{std::string(511, 'z'), "ok", ""}));
  EXPECT_EQ(readAll("abc", 1, false, 2), (Lines{"", ""}));
}

TEST(LineReader, UnreadableHandleGivesEmptyLine) {
  char buf[16] = "stale";
  ReadLN(-1, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  std::strcpy(buf, "stale");
  ReadHdrLN(-1, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(memLiveBlocks("stdinputoutput"), 0);
}

TEST(HeaderReader, FoldsContinuationLines) {
  EXPECT_EQ(readAll("Subject: a\r\n b\r\nTo: c\r\n\r\n", 512, true, 4),
            (Lines{"Subject: a b", "To: c", "", ""}));
  EXPECT_EQ(readAll("A:\tx\r\n\ty\r\n", 512, true, 2), (Lines{"A: x y", ""}));
  EXPECT_EQ(readAll("a\nb\r\n", 512, true, 3), (Lines{"a", "b", ""}));
}

TEST(HeaderReader, RestOfLongHeaderIsSkippedAcrossFolds) {
  // The fold straddles the block boundary of the skipping reads.
  std::string bytes = "Key: 0123456789\r\n more\r\n and more\r\nNext: 1\r\n";
  EXPECT_EQ(readAll(bytes, 8, true, 3), (Lines{"Key: 01", "Next: 1", ""}));
  std::string big = "K: " + std::string(3000, 'v') + "\r\n " + std::string(3000, 'w');
  EXPECT_EQ(readAll(big + "\r\nN: 2\r\n", 512, true, 3),
            (Lines{"K: " + std::string(508, 'v'), "N: 2", ""}));
}

TEST(FormattedOutput, WritesTextWithoutTerminatorAndCutsAt511) {
  TempDir dir;
  int fd = createDescriptor(dir / "out.txt");
  ASSERT_GE(fd, 0);
  hprintf(fd, "%s=%d;", "n", 42);
  hprintf(fd, "%s", std::string(700, 'q').c_str());
  platFdClose(fd);
  EXPECT_EQ(readFile(dir / "out.txt"), "n=42;" + std::string(511, 'q'));
}
