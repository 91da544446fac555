// The group builder: the build list's rules, the bytes it writes, and what it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "engine/gf/base/group_format.h"
#include "engine/gf/pack/group_writer.h"
#include "tarnpak/gf.h"
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "engine/platform/faults.h"
#include "tarnpak/t_list.h"
#include "support/test_support.h"

namespace {

constexpr long long k2003 = 1041422400;  // 2003-01-01 12:00:00 UTC

std::vector<std::string> messages;
void collect(const char* message) { messages.push_back(message); }

// Builds root by its build list into out; returns the status.
int build(const TempDir& root, const std::string& out, int flag = 1) {
  gfStart(root.path().c_str());
  messages.clear();
  int status = TarnpakChecked(out.c_str(), flag, collect);
  gfStop();
  return status;
}

// The stored names of a group file, in directory order.
std::vector<std::string> storedNames(const std::string& group) {
  std::vector<std::string> names;
  PlatHandle h = platOpenRead(group.c_str());
  t_gfDirectory d;
  if (gfLoadDirectory(h, &d) == GF_DIR_OK) {
    long cursor = 0;
    t_gfDirEntry e;
    while (gfNextDirEntry(&d, &cursor, &e)) names.push_back(e.name);
    gfFreeDirectory(&d);
  }
  platClose(h);
  return names;
}

class Builder : public ::testing::Test {
 protected:
  TempDir root, out;
  std::string group = out / "newgrp.grp";
  void TearDown() override { EXPECT_EQ(memLiveBlocks("gf manager"), 0); }
};

}  // namespace

TEST_F(Builder, WritesTheThirtyEightByteExampleExactly) {
  writeFile(root / "a.txt", "abc");
  setWriteTime(root / "a.txt", k2003);
  writeFile(root / "group.cfg", "a.txt\r\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(readFile(group), makeGroup({{"A.TXT", "abc"}}));

  ASSERT_EQ(build(root, group, 7), 0);  // the flag changes the header word and nothing else
  std::string seven = readFile(group);
  EXPECT_EQ(seven[4], 7);
  seven[4] = 1;
  EXPECT_EQ(seven, makeGroup({{"A.TXT", "abc"}}));
}

TEST_F(Builder, BuildListEndsAtTheFirstBlankLineAndTakesOneMaskPerLine) {
  for (const char* name : {"a.txt", "b.txt", "my", "file.txt", "c.txt"})
    writeFile(root / name, name);
  writeFile(root / "group.cfg", "  a.txt\t \nmy file.txt\n \t \nb.txt\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), (std::vector<std::string>{"A.TXT", "MY"}));

  writeFile(root / "group.cfg", "\na.txt\n");
  std::remove(group.c_str());  // over a group holding files, an empty one is refused
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(readFile(group).size(), 16u);  // the empty group
}

TEST_F(Builder, RecursesOnlyWithALowerCaseR) {
  writeFile(root / "pics.bmp", "1");
  writeFile(root / "pics/a.bmp", "2");
  writeFile(root / "pics/sub/b.bmp", "3");
  writeFile(root / "pics/.svn/c.bmp", "4");
  writeFile(root / "pics/picsdir/d.bmp", "5");
  writeFile(root / "group.cfg", "pics*.*\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), std::vector<std::string>{"PICS.BMP"});

  writeFile(root / "group.cfg", "pics\\*.* R\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), std::vector<std::string>{"PICS\\A.BMP"});

  writeFile(root / "group.cfg", "pics\\*.* rec\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group),
            (std::vector<std::string>{"PICS\\A.BMP", "PICS\\PICSDIR\\D.BMP", "PICS\\SUB\\B.BMP"}));
  // The pattern applies again at every level, to directories as well as files.
  writeFile(root / "pics/pics_a.bmp", "6");
  writeFile(root / "pics/picsdir/pics_d.bmp", "7");
  writeFile(root / "group.cfg", "pics*.* r1\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), (std::vector<std::string>{"PICS.BMP", "PICS\\PICSDIR\\PICS_D.BMP",
                                                          "PICS\\PICS_A.BMP"}));
}

// Stored names sort upper-cased by unsigned bytes: 'z' as 'Z', before the six characters
// between 'Z' and 'a', which no case folding touches; '{' behind them all.
TEST_F(Builder, SortsNamesUpperCasedAroundTheCharactersBetweenTheCases) {
  std::vector<std::string> names = {"{a", "`a", "_a", "^a", "]a", "[a", "za", "Zb", "ya", "@a"};
  for (const std::string& name : names) writeFile(root / name, name);
  writeFile(root / "group.cfg", "*\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), (std::vector<std::string>{"@A", "GROUP.CFG", "YA", "ZA", "ZB",
                                                          "[A", "]A", "^A", "_A", "`A", "{A"}));
}

TEST_F(Builder, OverlappingMasksStoreAFileTwice) {
  writeFile(root / "soundsmaterial.wav", "wave");
  writeFile(root / "group.cfg", "sounds*.*\nsoundsmaterial*.*\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group),
            (std::vector<std::string>{"SOUNDSMATERIAL.WAV", "SOUNDSMATERIAL.WAV"}));
  EXPECT_EQ(readFile(group).substr(readFile(group).size() - 8), "wavewave");
}

TEST_F(Builder, ReportsAMissingBuildListAndWritesNothing) {
  writeFile(root / "a.txt", "a");
  EXPECT_EQ(build(root, group), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("group.cfg"), std::string::npos);
  EXPECT_FALSE(fileExists(group));

  std::filesystem::create_directory(root / "group.cfg");  // not a list: no empty group
  EXPECT_EQ(build(root, group), 1);
  EXPECT_FALSE(fileExists(group));
}

TEST_F(Builder, AFileThatChangesAfterTheSearchStopsTheBuildAndKeepsTheOldGroup) {
  writeFile(root / "a.txt", "abc");
  writeFile(root / "group.cfg", "a.txt\n");
  writeFile(group, "the previous group");
  static std::string grow;
  grow = root / "a.txt";
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, [](const void*) { writeFile(grow, "abcdef"); });
  EXPECT_EQ(build(root, group), 1);
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("changed size"), std::string::npos);
  EXPECT_EQ(readFile(group), "the previous group");
  EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"newgrp.grp"});  // no temporary left
}

TEST_F(Builder, RefusesNamesAGroupCannotStore) {
  std::string longName(250, 'n');
  writeFile(root / ("d/" + longName), "x");
  writeFile(root / "group.cfg", "d\\*.*\n");
  EXPECT_EQ(build(root, group), 1);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_FALSE(fileExists(group));

  writeFile(root / "group.cfg", std::string(300, 'm') + "\n");
  EXPECT_EQ(build(root, group), 1);
  EXPECT_NE(messages[0].find("too long"), std::string::npos);
}

#ifndef _WIN32  // names that differ only by case are one name on Windows
TEST_F(Builder, CopiesFromTheFileTheSearchFound) {
  // Two names that differ only by case are one to the table, which keeps the newer: the
  // stored copy holds that file's bytes, not those of the name the host maps to first.
  writeFile(root / "Name.txt", "first");
  writeFile(root / "NAME.TXT", "second");
  setWriteTime(root / "Name.txt", 1041422400);
  setWriteTime(root / "NAME.TXT", 1041422400 - 3600);
  writeFile(root / "group.cfg", "name.txt\n");
  ASSERT_EQ(build(root, group), 0);
  std::string bytes = readFile(group);
  EXPECT_EQ(storedNames(group), (std::vector<std::string>{"NAME.TXT"}));
  EXPECT_TRUE(bytes.find("first") != std::string::npos &&
              bytes.find("second") == std::string::npos);
}
#endif

TEST_F(Builder, PackedTreeUnpacksByteForByteAndLoads) {
  std::vector<std::string> names;
  for (int i = 0; i < 60; i++) {
    std::string name = "lvl" + std::to_string(i % 4) + "/sub" + std::to_string(i % 3) + "/f" +
                       std::to_string(i) + ".dat";
    std::string data(i * 997 % 5000, '\0');
    for (size_t k = 0; k < data.size(); k++) data[k] = (char)(k * 31 + i);
    writeFile(root / name, data);
  }
  writeFile(root / "big.bin", std::string(2 * 1024 * 1024 + 3, 'B'));
  writeFile(root / "group.cfg", "*.* r\n");
  ASSERT_EQ(build(root, group), 0) << (messages.empty() ? "" : messages[0]);

  TempDir unpacked(true);
  ASSERT_EQ(gfUnpackChecked(group.c_str(), collect), 0);
  std::vector<std::string> source = listTree(root.path()), copy = listTree(unpacked.path());
  ASSERT_EQ(source.size(), copy.size());
  for (size_t i = 0; i < source.size(); i++) {
    std::string upper = source[i];
    for (char& c : upper) c = (char)std::toupper((unsigned char)c);
    EXPECT_EQ(copy[i], upper);
    EXPECT_EQ(readFile(unpacked / copy[i]), readFile(root / source[i])) << source[i];
  }

  TempDir loaded;
  std::filesystem::copy_file(group, loaded / "data.grp");
  gfStart(loaded.path().c_str());
  EXPECT_EQ(gfTableCount(), (int)source.size() + 1);
  t_gfFileInfo* r = gfGetFileInfo("lvl1\\sub2\\f5.dat");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->inGroup, 1);
  gfStop();
}

TEST_F(Builder, ACopyFailureAmongManyBatchesStopsTheBuild) {
  std::string block(200 * 1024, 'q');
  for (int i = 0; i < 24; i++) writeFile(root / ("f" + std::to_string(100 + i) + ".dat"), block);
  writeFile(root / "large.bin", std::string(600 * 1024, 'L'));
  writeFile(root / "group.cfg", "*.dat\nlarge.bin\n");
  static std::string victim;
  victim = root / "f117.dat";
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, [](const void*) { std::remove(victim.c_str()); });
  EXPECT_EQ(build(root, group), 1);
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, nullptr);
  EXPECT_FALSE(fileExists(group));
  EXPECT_EQ(listTree(out.path()).size(), 0u);

  writeFile(victim, block);
  ASSERT_EQ(build(root, group), 0);
  std::string bytes = readFile(group);
  EXPECT_EQ(bytes.size(), 16 + 25 * 14 + 24 * 8 + 9 + 24 * block.size() + 600 * 1024);
  EXPECT_EQ(bytes.substr(bytes.size() - 600 * 1024), std::string(600 * 1024, 'L'));
}

TEST_F(Builder, TakesASlashInAMaskAsABackslash) {
  writeFile(root / "sounds/step.wav", "s");
  writeFile(root / "sounds/material/metal.wav", "m");
  writeFile(root / "group.cfg", "sounds/*.* r\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group),
            (std::vector<std::string>{"SOUNDS\\MATERIAL\\METAL.WAV", "SOUNDS\\STEP.WAV"}));
}

TEST_F(Builder, RefusesMasksThatLeaveTheGameDirectory) {
  TempDir outside;
  writeFile(outside / "secret.txt", "private");
  writeFile(root / "a.txt", "a");
  std::string rootName = std::filesystem::path(root.path()).filename().string();
  std::vector<std::string> masks{"..\\secret.txt",
                                 "../secret.txt",
                                 "sub\\..\\..\\secret.txt",
                                 outside / "secret.txt",
                                 "\\" + outside.path().substr(1) + "\\secret.txt",
                                 "c:\\secret.txt",
                                 "..\\" + rootName + "\\a.txt"};
  for (const std::string& mask : masks) {
    writeFile(root / "group.cfg", "a.txt\n" + mask + "\n");
    EXPECT_EQ(build(root, group), 1) << mask;
    ASSERT_EQ(messages.size(), 1u) << mask;
    EXPECT_NE(messages[0].find("line 2 of the build list, '" + mask + "'"), std::string::npos)
        << messages[0];
    EXPECT_FALSE(fileExists(group));
  }
  writeFile(root / "group.cfg", "a.txt\n..\\\x1b[2J\n");  // the message shows no raw escape
  EXPECT_EQ(build(root, group), 1);
  EXPECT_NE(messages[0].find("'..\\\\x1B[2J'"), std::string::npos) << messages[0];
}

#ifndef _WIN32  // symbolic links
TEST_F(Builder, EntersEachDirectoryOnceWhateverTheLinks) {
  writeFile(root / "a.txt", "a");
  writeFile(root / "sub/b.txt", "b");
  std::filesystem::create_directory_symlink(".", root / "self1");
  std::filesystem::create_directory_symlink(".", root / "self2");
  std::filesystem::create_directory_symlink("..", root / "sub/up");
  writeFile(root / "group.cfg", "*.* r\n");
  ASSERT_EQ(build(root, group), 0);
  EXPECT_EQ(storedNames(group), (std::vector<std::string>{"A.TXT", "GROUP.CFG", "SUB\\B.TXT"}));
}
#endif

TEST_F(Builder, RefusesFilesTooLargeForAGroupBeforeReadingThem) {
  writeFile(root / "a.txt", "a");
  for (long long size : {4LL << 30, (4LL << 30) + 1, 3LL << 30}) {
    std::filesystem::resize_file(root / "a.txt", 1);
    writeFile(root / "huge.bin", "");
    std::filesystem::resize_file(root / "huge.bin", (std::uintmax_t)size);  // sparse: cheap
    writeFile(root / "group.cfg", "a.txt\nhuge.bin\n");
    EXPECT_EQ(build(root, group), 1) << size;
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("'huge.bin' is too large for a group (" + std::to_string(size)),
              std::string::npos)
        << messages[0];
    EXPECT_FALSE(fileExists(group));
  }
}

TEST_F(Builder, ReportsAnUnreadableDirectoryAndFails) {
  writeFile(root / "a.txt", "a");
  writeFile(root / "secret/b.txt", "b");
  // Opens: 1 the build list, 2 the root's search, 3 its one subdirectory.
  writeFile(root / "group.cfg", "*.* r\n");
  gfStart(root.path().c_str());
  messages.clear();
  platFaultArm(PLAT_FAULT_OPEN, 3, EACCES);
  EXPECT_EQ(TarnpakChecked(group.c_str(), 1, collect), 1);
  platFaultOff();
  gfStop();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("cannot read directory '" + hostSpelling(root.path() + "\\secret\\") +
                             "': Permission"),
            std::string::npos)
      << messages[0];
  EXPECT_FALSE(fileExists(group));

  // Named by a mask: opens 1 the build list, 2 the root, for the spellings of 'secret', 3
  // the directory.
  writeFile(root / "group.cfg", "secret\\*.*\n");
  gfStart(root.path().c_str());
  messages.clear();
  platFaultArm(PLAT_FAULT_OPEN, 3, EACCES);
  EXPECT_EQ(TarnpakChecked(group.c_str(), 1, collect), 1);
  platFaultOff();
  gfStop();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("Permission denied"), std::string::npos) << messages[0];
  EXPECT_FALSE(fileExists(group));
}

TEST_F(Builder, AReadErrorInTheBuildListFailsTheBuild) {
  writeFile(root / "a.txt", "a");
  writeFile(root / "b.txt", "b");
  writeFile(root / "group.cfg", "a.txt\nb.txt\n");
  gfStart(root.path().c_str());
  messages.clear();
  platFaultArm(PLAT_FAULT_READ, 2, EIO);  // the read for the second line
  EXPECT_EQ(TarnpakChecked(group.c_str(), 1, collect), 1);
  platFaultOff();
  gfStop();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("cannot read build list"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("Input/output error"), std::string::npos);
  EXPECT_FALSE(fileExists(group));
}

#ifndef _WIN32  // FIFOs
TEST_F(Builder, NeverWaitsOnAPipe) {
  writeFile(root / "a.txt", "a");
  ASSERT_EQ(mkfifo((root / "group.cfg").c_str(), 0600), 0);
  EXPECT_EQ(build(root, group), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("is not a regular file"), std::string::npos) << messages[0];
  EXPECT_EQ(gfCheckBuildList(root.path().c_str(), collect), 1);

  // A source that turns into a pipe between the search and the copy.
  std::remove((root / "group.cfg").c_str());
  writeFile(root / "group.cfg", "a.txt\n");
  static std::string source;
  source = root / "a.txt";
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, [](const void*) {
    std::remove(source.c_str());
    mkfifo(source.c_str(), 0600);
  });
  EXPECT_EQ(build(root, group), 1);
  platMomentHook(PLAT_MOMENT_PACK_COLLECTED, nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("is no longer a regular file"), std::string::npos) << messages[0];
  EXPECT_FALSE(fileExists(group));
}
#endif

// The bytes of a group are the same whatever the thread count, and when no helper thread
// can start: small files read ahead in batches, large ones copied by the writer, in one tree.
TEST_F(Builder, WritesTheSameBytesForEveryThreadCount) {
  for (int i = 0; i < 6; i++)
    writeFile(root / ("f" + std::to_string(i) + ".dat"), std::string(300 * 1024, (char)('a' + i)));
  for (int i = 0; i < 300; i++)
    writeFile(root / ("d" + std::to_string(i % 7) + "/s" + std::to_string(i) + ".dat"),
              std::string((size_t)(i * 97 % 9000), (char)('A' + i % 26)));
  writeFile(root / "group.cfg", "*.* r\n");
  gfSetThreads(1);
  ASSERT_EQ(build(root, group), 0);
  std::string alone = readFile(group);
  for (int threads : {2, 7}) {
    gfSetThreads(threads);
    EXPECT_EQ(build(root, group), 0);
    EXPECT_EQ(readFile(group), alone) << threads << " threads";
  }
  platFaultArm(PLAT_FAULT_THREAD, 1, 0, 0, true);  // every helper refused: the caller alone
  EXPECT_EQ(build(root, group), 0);
  platFaultOff();
  gfSetThreads(0);
  EXPECT_EQ(readFile(group), alone);
}

// Each row: a build list, the warnings it gets, the names it stores. Warnings change
// nothing: the status and the group's bytes are those of the build without them.
TEST_F(Builder, WarnsOfBuildListLinesThatDoNotDoWhatTheySeem) {
  writeFile(root / "a.txt", "a");
  writeFile(root / "maps/e1.map", "m");
  writeFile(root / "sounds/sfx/x.wav", "w");
  const std::string noFile =
      "the group '" + group + "' holds no file: no line of group.cfg found one";
  struct Row {
    std::string list;
    std::vector<std::string> warnings, stored;
  };
  const std::vector<Row> rows{
      {"a.txt\nnosuch.txt\n", {"group.cfg line 2 'nosuch.txt': the mask finds no file"}, {"A.TXT"}},
      {"a.txt\n\n maps\\*.*\n",
       {"group.cfg line 2: lines after line 2 are not read: an empty line ends the build list"},
       {"A.TXT"}},
      {"a.txt\n \t\n\n", {}, {"A.TXT"}},
      {"\n a.txt\n",
       {"group.cfg line 1: lines after line 1 are not read: an empty line ends the build list",
        noFile},
       {}},
      {"maps\\*.* R\nmaps\\*.* -r\nmaps\\*.* /r\nmaps\\*.* rec\n",
       {"group.cfg line 1 'maps\\*.* R': 'R' does not make the entry recursive: only a second "
        "word beginning with a lower-case 'r' does",
        "group.cfg line 2 'maps\\*.* -r': '-r' does not make the entry recursive: only a second "
        "word beginning with a lower-case 'r' does",
        "group.cfg line 3 'maps\\*.* /r': '/r' does not make the entry recursive: only a second "
        "word beginning with a lower-case 'r' does"},
       {"MAPS\\E1.MAP", "MAPS\\E1.MAP", "MAPS\\E1.MAP", "MAPS\\E1.MAP"}},
      {"a.txt r  x\ty\n",
       {"group.cfg line 1 'a.txt r x y': words after the second are ignored: 'x y'"},
       {"A.TXT"}},
      // The pattern also chooses the directories a recursive mask enters.
      {"sounds\\*.wav r\n", {"group.cfg line 1 'sounds\\*.wav r': the mask finds no file", noFile}, {}},
      {"no\x1b[2J.txt\n",
       {"group.cfg line 1 'no\\x1B[2J.txt': the mask finds no file", noFile}, {}},
      // A byte-order mark an editor put first is no part of the first mask.
      {"\xEF\xBB\xBF" "a.txt\r\n", {}, {"A.TXT"}},
  };
  static std::vector<std::string> warnings;
  warnings.clear();
  auto warn = [](const char* message) { warnings.push_back(message); };
  for (const Row& row : rows) {
    writeFile(root / "group.cfg", row.list);
    std::remove(group.c_str());  // the last row's group: one finding nothing would keep it
    ASSERT_EQ(TarnpakFrom(root.path().c_str(), group.c_str(), 1, collect), 0) << row.list;
    std::string silent = readFile(group);
    warnings.clear();
    messages.clear();
    EXPECT_EQ(TarnpakFromWarned(root.path().c_str(), group.c_str(), 1, collect, warn), 0);
    EXPECT_EQ(messages, std::vector<std::string>{});
    EXPECT_EQ(warnings, row.warnings) << row.list;
    EXPECT_EQ(readFile(group), silent) << row.list;
    EXPECT_EQ(storedNames(group), row.stored) << row.list;
  }

  // The group written into the tree it packs: the next build takes the previous group.
  std::string inside = root / "newgrp.grp";
  writeFile(root / "group.cfg", "*.* r\n");
  warnings.clear();
  ASSERT_EQ(TarnpakFromWarned(root.path().c_str(), inside.c_str(), 1, collect, warn), 0);
  EXPECT_EQ(warnings, std::vector<std::string>{});
  ASSERT_EQ(TarnpakFromWarned(root.path().c_str(), inside.c_str(), 1, collect, warn), 0);
  EXPECT_EQ(warnings, std::vector<std::string>{"group.cfg line 1 '*.* r': takes 'newgrp.grp', "
                                               "the group file being written: the previous "
                                               "group is packed into the new one"});
  EXPECT_EQ(storedNames(inside), (std::vector<std::string>{"A.TXT", "GROUP.CFG", "MAPS\\E1.MAP",
                                                           "NEWGRP.GRP", "SOUNDS\\SFX\\X.WAV"}));
}

// The group writer fed with byte ranges of a group, as an edit of a group will be: the
// entries of a built group, handed over in reverse, come out as the same group byte for
// byte (small ones batched, a large one copied offset to offset); a range that runs past
// its group's end fails and leaves the target as it was.
TEST_F(Builder, TheWriterRewritesAGroupFromItsOwnByteRanges) {
  for (int i = 0; i < 20; i++) {
    std::string data(i * 379 % 3000, '\0');
    for (size_t k = 0; k < data.size(); k++) data[k] = (char)(k * 7 + i);
    writeFile(root / ("f" + std::to_string(i) + ".dat"), data);
    setWriteTime(root / ("f" + std::to_string(i) + ".dat"), k2003 + i * 60);
  }
  writeFile(root / "big.bin", std::string(600 * 1024 + 5, 'B'));
  writeFile(root / "group.cfg", "*.*\nf1*.*\n");  // F1*.DAT stored twice
  ASSERT_EQ(build(root, group, 3), 0) << (messages.empty() ? "" : messages[0]);

  PlatHandle old = platOpenRead(group.c_str());
  t_gfDirectory d;
  ASSERT_EQ(gfLoadDirectory(old, &d), GF_DIR_OK);
  std::vector<t_gfDirEntry> entries;
  long cursor = 0;
  for (t_gfDirEntry e; gfNextDirEntry(&d, &cursor, &e);) entries.push_back(e);
  gfFreeDirectory(&d);
  auto rewrite = [&](const std::string& target, long extra) {
    t_gfWriteList list{};
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
      t_gfWriteEntry* f = gfWriteAddRange(&list, e->name, old, group.c_str(), e->dataOffset,
                                          e->dataSize + (e == entries.rbegin() ? extra : 0));
      f->date = e->date;
      f->time = e->time;
    }
    messages.clear();
    int status = gfWriteGroup(target.c_str(), 3, &list, collect);
    gfWriteFree(&list);
    return status;
  };
  std::string copy = out / "copy.grp";
  ASSERT_EQ(rewrite(copy, 0), 0) << (messages.empty() ? "" : messages[0]);
  EXPECT_EQ(readFile(copy), readFile(group));

  writeFile(copy, "kept");
  EXPECT_EQ(rewrite(copy, 1), 1);  // the last entry's data ends the group
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("the group file ended early"), std::string::npos) << messages[0];
  EXPECT_EQ(readFile(copy), "kept");
  platClose(old);
}

// The one entry point per job reads only the fields its record's size covers: a program built
// against an older, smaller record (here one that ends before the sums, the told visitor and
// the report) gets zero for the rest, and the job is the one the older exports do. A null
// record, or one whose size does not cover size itself, fails without a word.
TEST_F(Builder, EachJobTakesAnOlderSmallerOptionsRecord) {
  writeFile(root / "group.cfg", "*.txt\n");
  writeFile(root / "a.txt", "abc");
  writeFile(root / "b.txt", "de");
  setWriteTime(root / "a.txt", k2003);
  setWriteTime(root / "b.txt", k2003);
  std::string old = out / "old.grp";
  ASSERT_EQ(TarnpakFromSummed(root.path().c_str(), old.c_str(), 1, nullptr, collect, collect), 0);

  t_gfPackOptions pack{};
  pack.size = offsetof(t_gfPackOptions, sums);  // no sums, report or warn fields
  pack.root = root.path().c_str();
  pack.name = group.c_str();
  pack.flag = 1;
  std::string sums = out / "never.sha256";
  pack.sums = sums.c_str();  // beyond the size: not read
  EXPECT_EQ(gfPackJob(&pack), 0);
  EXPECT_EQ(readFile(group), readFile(old));
  EXPECT_FALSE(fileExists(sums));

  std::string removeName = "B.TXT";
  const char* removes[] = {removeName.c_str()};
  t_gfEditOptions edit{};
  edit.size = offsetof(t_gfEditOptions, sums);
  edit.path = group.c_str();
  edit.removes = removes;
  edit.removeCount = 1;
  edit.told = [](const char*, void*) { ADD_FAILURE() << "a visitor beyond the size was called"; };
  EXPECT_EQ(gfEditJob(&edit), 0);
  EXPECT_EQ(storedNames(group), std::vector<std::string>{"A.TXT"});

  std::string target = out / "files";
  std::filesystem::create_directory(target);
  t_gfUnpackOptions unpack{};
  unpack.size = offsetof(t_gfUnpackOptions, report);
  unpack.path = group.c_str();
  unpack.target = target.c_str();
  EXPECT_EQ(gfUnpackJob(&unpack), 0);
  EXPECT_EQ(readFile(target + "/A.TXT"), "abc");

  messages.clear();
  std::string missing = out / "missing.grp";
  unpack.path = missing.c_str();
  EXPECT_EQ(gfUnpackJob(&unpack), 1);  // reported to nobody: the report lies beyond the size
  unpack.size = sizeof unpack;
  unpack.report = collect;
  EXPECT_EQ(gfUnpackJob(&unpack), 1);
  EXPECT_EQ(messages.size(), 1u);

  EXPECT_EQ(gfPackJob(nullptr), 1);
  pack.size = 0;
  EXPECT_EQ(gfPackJob(&pack), 1);
  edit.size = 1;
  EXPECT_EQ(gfEditJob(&edit), 1);
  EXPECT_EQ(gfUnpackJob(nullptr), 1);
}

#ifndef _WIN32  // a Windows search lists every size and time: no file waits for a look
// The sizes and dates of a tree's files are looked at beside the search, by another thread:
// a file gone by its look is left out with a word (not stored empty, nor failing the copy),
// a look that fails once is taken again, and every file stored holds its own bytes and date
// whichever thread looked at it.
TEST_F(Builder, FilesLookedAtBesideTheSearchKeepTheirBytesAndDates) {
  constexpr int kFiles = 600;  // several hand-overs to the helper
  auto source = [](int i) {
    return "many/d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".dat";
  };
  for (int i = 0; i < kFiles; i++) {
    writeFile(root / source(i), std::string((size_t)(i % 97), (char)('a' + i % 26)) +
                                    std::to_string(i));
    setWriteTime(root / source(i), k2003 + 2 * i);
  }
  writeFile(root / "group.cfg", "many\\*.* r\n");
  static std::vector<std::string> warnings;
  auto pack = [&](long nth, int error) {
    gfStart(root.path().c_str());
    messages.clear();
    warnings.clear();
    nth ? platFaultArm(PLAT_FAULT_STAT, nth, error) : platFaultCount();
    int status = TarnpakFromWarned(root.path().c_str(), group.c_str(), 1, collect,
                                   [](const char* m) { warnings.push_back(m); });
    long looks = platFaultCalls(PLAT_FAULT_STAT);
    platFaultOff();
    gfStop();
    EXPECT_EQ(status, 0) << (messages.empty() ? "" : messages[0]);
    return looks;
  };
  long stats = pack(0, 0);
  int leftOut = 0;
  for (auto [nth, error] : {std::pair{stats / 3, ENOENT}, {stats / 2, ENOENT},
                            {2 * stats / 3, ENOENT}, {stats / 2, EIO}, {stats - 5, EIO}}) {
    SCOPED_TRACE(std::to_string(nth) + (error == EIO ? " EIO" : " ENOENT"));
    pack(nth, error);
    std::string bytes = readFile(group);
    PlatHandle h = platOpenRead(group.c_str());
    t_gfDirectory d;
    ASSERT_EQ(gfLoadDirectory(h, &d), GF_DIR_OK);
    platClose(h);
    long cursor = 0, count = 0;
    t_gfDirEntry e;
    while (gfNextDirEntry(&d, &cursor, &e)) {
      int i = std::atoi(std::strrchr(e.name, 'F') + 1);
      std::uint16_t date, time;
      platTimeToDos(k2003 + 2 * i, &date, &time);
      EXPECT_EQ(bytes.substr((size_t)e.dataOffset, (size_t)e.dataSize), readFile(root / source(i)))
          << e.name;
      EXPECT_EQ(e.date, date);
      EXPECT_EQ(e.time, time);
      count++;
    }
    gfFreeDirectory(&d);
    bool gone = count == kFiles - 1;
    leftOut += gone;
    EXPECT_TRUE(count == kFiles || (gone && error == ENOENT)) << count;
    EXPECT_EQ(warnings.size(), gone ? 1u : 0u);
    if (gone) {
      EXPECT_NE(warnings[0].find("was removed while the build looked"), std::string::npos);
    }
  }
  EXPECT_GT(leftOut, 0);  // the looks were reached
}
#endif
