// grp from the outside: each command's output and exit status on groups packed by Tarnpak,
// and on damaged and hostile groups made by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/gf/base/group_format.h"
#include "support/test_support.h"

namespace {

constexpr long long k2003Noon = 1041422400;  // 2003-01-01T12:00:00Z

// Packs the tree below game (with its group.cfg) into work/newgrp.grp with Tarnpak.
void pack(const TempDir& game, const TempDir& work) {
  ToolRun run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
}

// A group whose entries point where the test says: at is counted from the first byte after
// the directory (negative: into the header or directory). data follows the directory.
struct RawEntry {
  std::string name;
  int at;
  int size;
  unsigned short date = 0x2E21;
  unsigned short time = 0x6000;
};

std::string rawGroup(const std::vector<RawEntry>& entries, const std::string& data) {
  int dirSize = 0;
  for (auto& e : entries) dirSize += (int)e.name.size() + GF_ENTRY_FIXED_SIZE;
  std::string image(GF_HEADER_SIZE + dirSize, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(&image[0]);
  t_gfHeader header{GF_MAGIC, 1, (int)entries.size(), dirSize};
  gfPutHeader(bytes, &header);
  unsigned char* p = bytes + GF_HEADER_SIZE;
  for (auto& e : entries)
    p = gfPutEntry(p, e.name.c_str(), GF_HEADER_SIZE + dirSize + e.at, e.size, e.date, e.time);
  image += data;
  scrambleGroup(image);
  return image;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

}  // namespace

TEST(Grp, HelpForTheProgramAndEachCommand) {
  TempDir work;
  ToolRun run = runGrp({"--help"}, work.path());
  EXPECT_EQ(run.status, 0);
  for (const char* usage :
       {"grp list FILE.grp [-l] [--json]", "grp verify [--sums SUMS] [--json] FILE.grp",
        "grp cat FILE.grp NAME", "grp sum GROUP... [--json]",
        "grp extract FILE.grp [-C DIR] [-v] [--touch] [MASK...]",
        "grp table GAMEDIR|FILE.grp [--json]", "grp mount GAMEDIR|FILE.grp MOUNTPOINT",
        "grp add [-C DIR] [--sums SUMS] GROUP PATH...",
        "grp rm [--dry-run] [--sums SUMS] GROUP NAME...", "grp diff GROUP_A GROUP_B [--json]",
        "grp check GAMEDIR [-v] [--json]"}) {
    EXPECT_NE(run.out.find(usage), std::string::npos) << usage;
    std::string command = std::string(usage).substr(4, std::string(usage).find(' ', 4) - 4);
    ToolRun help = runGrp({command, "--help"}, work.path());
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + usage + "\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
  }
  EXPECT_NE(runGrp({"verify", "--help"}, work.path()).out.find("no checksum"), std::string::npos);
  run = runGrp({"--version"}, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("grp ", 0), 0u) << run.out;
  EXPECT_NE(run.out.find('.'), std::string::npos) << run.out;

  run = runGrp({}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  run = runGrp({"frobnicate"}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "grp: unknown command 'frobnicate' (see grp --help)\n");
  run = runGrp({"list", "-x", "a.grp"}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
  run = runGrp({"cat", "a.grp"}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "grp: cat: missing operand (usage: grp cat FILE.grp NAME)\n");
}

TEST(Grp, ListsAPackedTreePlainLongAndAsJson) {
  TempDir game, work;
  writeFile(game / "readme.txt", "hello");
  writeFile(game / "pics/a.bmp", "ab");
  writeFile(game / "group.cfg", "readme.txt\npics\\*.* r\n");
  setWriteTime(game / "readme.txt", k2003Noon);
  setWriteTime(game / "pics/a.bmp", k2003Noon + 2);
  pack(game, work);

  ToolRun run = runGrp({"list", "newgrp.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "PICS\\A.BMP\nREADME.TXT\n");
  EXPECT_EQ(run.err, "");

  // Directory: 2 entries of 10 and 10 name bytes, so data starts at 16 + 24 + 24 = 64.
  run = runGrp({"list", "-l", "newgrp.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "         2 2003-01-01T12:00:02Z         64 PICS\\A.BMP\n"
            "         5 2003-01-01T12:00:00Z         66 README.TXT\n");

  run = runGrp({"list", "--json", "newgrp.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "[\n"
            "  {\"name\": \"PICS\\\\A.BMP\", \"size\": 2, \"mtime\": \"2003-01-01T12:00:02Z\", "
            "\"offset\": 64},\n"
            "  {\"name\": \"README.TXT\", \"size\": 5, \"mtime\": \"2003-01-01T12:00:00Z\", "
            "\"offset\": 66}\n"
            "]\n");

  writeFile(work / "empty.grp", makeGroup({}));
  run = runGrp({"list", "--json", "empty.grp"}, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "[]\n");
}

TEST(Grp, ListKeepsHostileNamesFromFakingLinesOrBreakingJson) {
  TempDir work;
  writeFile(work / "odd.grp",
            makeGroup({{"A\"B\\C", "1"}, {"LINE\nFAKE", "2"}, {std::string("\xE9T\x1B"), "3"},
                       {"M\xC3\xBCSIK.OGG", "4"}, {"\xED\xA0\x80\xC0\xAF", "5"}}));
  ToolRun run = runGrp({"list", "odd.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "A\"B\\C\nLINE?FAKE\n\xE9T?\nM\xC3\xBCSIK.OGG\n\xED\xA0\x80\xC0\xAF\n");
  run = runGrp({"list", "--json", "odd.grp"}, work.path());
  EXPECT_NE(run.out.find("\"name\": \"A\\\"B\\\\C\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"name\": \"LINE\\u000aFAKE\""), std::string::npos) << run.out;
  // Valid UTF-8 as it is; any other byte as the lone surrogate U+DC00 + byte (an encoded
  // surrogate and an overlong form are no valid UTF-8 either).
  EXPECT_NE(run.out.find("\"name\": \"\\udce9T\\u001b\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"name\": \"M\xC3\xBCSIK.OGG\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"name\": \"\\udced\\udca0\\udc80\\udcc0\\udcaf\""), std::string::npos)
      << run.out;
}

// Every reading command refuses a group the directory reader refuses, with one line on
// stderr naming the file, exit 1, nothing on stdout and nothing written.
TEST(Grp, DamagedGroupsAreReportedByEveryReadingCommand) {
  TempDir work;
  std::string good = makeGroup({{"A.TXT", "abc"}, {"B\\C.TXT", "de"}});
  writeFile(work / "appended.grp", good + "x");
  writeFile(work / "cut.grp", good.substr(0, good.size() - 1));
  writeFile(work / "header.grp", good.substr(0, 10));
  writeFile(work / "notgroup.grp", "this is no group file");
  std::string huge = makeGroup({{"A.TXT", "abc"}}, 1, false);
  huge[8] = '\xff';  // entry count far beyond the directory
  scrambleGroup(huge);
  writeFile(work / "count.grp", huge);
  std::string past = rawGroup({{"A.TXT", 0, 1 << 30}}, "abc");
  writeFile(work / "past.grp", past);
  struct Case {
    const char* file;
    const char* reason;
  } cases[] = {{"appended.grp", "damaged"}, {"cut.grp", "damaged"},
               {"header.grp", "damaged"},   {"notgroup.grp", "is not a group file"},
               {"count.grp", "cannot fit"}, {"past.grp", "lies outside the file"},
               {"missing.grp", ""}};
  for (const Case& c : cases) {
    for (std::vector<std::string> args : {std::vector<std::string>{"list", "-l", c.file},
                                          {"verify", c.file},
                                          {"cat", c.file, "A.TXT"},
                                          {"extract", c.file, "-C", "out"}}) {
      TempDir out;
      if (args[0] == "extract") args.back() = out.path();
      ToolRun run = runGrp(args, work.path());
      std::string what = args[0] + " " + c.file;
      EXPECT_EQ(run.status, 1) << what;
      EXPECT_EQ(run.out, "") << what;
      ASSERT_EQ(lines(run.err).size(), 1u) << what << ": " << run.err;
      EXPECT_NE(run.err.find(c.file), std::string::npos) << what << ": " << run.err;
      std::string reason = *c.reason ? c.reason : missingFileReason();
      EXPECT_NE(run.err.find(reason), std::string::npos) << what << ": " << run.err;
      EXPECT_TRUE(listTree(out.path()).empty()) << what;
    }
  }
}

TEST(Grp, VerifyPassesAPackedTreeWithASummary) {
  TempDir game, work;
  writeFile(game / "a.txt", "abc");
  writeFile(game / "b/c.txt", "de");
  writeFile(game / "group.cfg", "*.* r\n");
  pack(game, work);
  ToolRun run = runGrp({"verify", "newgrp.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(lines(run.out).size(), 1u);
  EXPECT_EQ(run.out.rfind("newgrp.grp: no problems: 3 entries, ", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("no checksum"), std::string::npos);

  // Equal names are sound when the later copy comes first, as the builder sorts them.
  writeFile(work / "dup.grp", makeGroup({{"A.TXT", "new", 0x2E22}, {"A.TXT", "old", 0x2E21}}));
  EXPECT_EQ(runGrp({"verify", "dup.grp"}, work.path()).status, 0);
}

TEST(Grp, VerifyReportsEveryProblemOfAHostileGroupOnItsOwnLine) {
  TempDir work;
  // Entry 0 overlaps the directory; 1 and 2 share bytes; 3 and 8 come out of order; 4, 5
  // and 6 are names the unpacker refuses; 7 holds lower-case letters. Empty files overlap
  // nothing.
  writeFile(work / "bad.grp", rawGroup({{"A.TXT", -4, 6},
                                        {"B.TXT", 2, 4},
                                        {"C.TXT", 4, 4},
                                        {"BB.TXT", 8, 1},
                                        {"C\\..\\..\\X", 9, 1},
                                        {"D:X", 10, 0},
                                        {"\\ROOT", 10, 1},
                                        {"lower.txt", 11, 1},
                                        {"ZERO", 5, 0}},
                                       "0123456789AB"));
  ToolRun run = runGrp({"verify", "bad.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  std::vector<std::string> expected = {
      "grp: bad.grp: entry 3 (BB.TXT): comes after C.TXT, out of the builder's order",
      "grp: bad.grp: entry 8 (ZERO): comes after lower.txt, out of the builder's order",
      "grp: bad.grp: entry 0 (A.TXT): its data overlaps the header or the directory",
      "grp: bad.grp: entry 2 (C.TXT): its data overlaps the data of entry 1 (B.TXT)",
      "grp: bad.grp: entry 4 (C\\..\\..\\X): the unpacker refuses the name: the name leads out "
      "of the directory with \"..\"",
      "grp: bad.grp: entry 5 (D:X): the unpacker refuses the name: the name has a drive letter",
      "grp: bad.grp: entry 6 (\\ROOT): the unpacker refuses the name: the name is absolute",
      "grp: bad.grp: entry 7 (lower.txt): the name holds lower-case letters, which the format "
      "never stores",
  };
  EXPECT_EQ(lines(run.err), expected) << run.err;

  // The later copy of a name must come first.
  writeFile(work / "dup.grp", makeGroup({{"A.TXT", "old", 0x2E21}, {"A.TXT", "new", 0x2E22}}));
  run = runGrp({"verify", "dup.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "grp: dup.grp: entry 1 (A.TXT): comes after A.TXT, out of the builder's "
            "order\n");
}

TEST(Grp, CatFindsANameInAnyCaseWithEitherSeparator) {
  TempDir work;
  std::string binary("\0\x01\xff\n\r", 5);
  writeFile(work / "g.grp", makeGroup({{"PICS\\SUB\\A.BMP", binary},
                                       {"README.TXT", "read me"},
                                       {"TWICE", "newer", 0x2E22},
                                       {"TWICE", "older", 0x2E21}}));
  for (const char* name : {"PICS\\SUB\\A.BMP", "pics/sub/a.bmp", "Pics\\Sub/A.bmp"}) {
    ToolRun run = runGrp({"cat", "g.grp", name}, work.path());
    EXPECT_EQ(run.status, 0) << name << run.err;
    EXPECT_EQ(run.out, binary) << name;
  }
  EXPECT_EQ(runGrp({"cat", "g.grp", "twice"}, work.path()).out, "newer");

  // Out of the builder's order the latest copy is still the one shown, as the engine would.
  writeFile(work / "swapped.grp",
            makeGroup({{"TWICE", "older", 0x2E21}, {"TWICE", "newer", 0x2E22}}));
  EXPECT_EQ(runGrp({"cat", "swapped.grp", "TWICE"}, work.path()).out, "newer");

  ToolRun run = runGrp({"cat", "g.grp", "PICS"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "grp: group file 'g.grp' holds no file named 'PICS'\n");
}

TEST(Grp, ExtractWritesTheMatchingNamesIntoTheChosenDirectory) {
  TempDir game, work;
  writeFile(game / "readme.txt", "hello");
  writeFile(game / "pics/a.bmp", "a");
  writeFile(game / "pics/sub/b.tga", "b");
  writeFile(game / "sounds/c.wav", "c");
  writeFile(game / "group.cfg", "*.* r\n");
  pack(game, work);

  TempDir all;
  ToolRun run = runGrp({"extract", work / "newgrp.grp", "-C", all.path()}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(listTree(all.path()),
            (std::vector<std::string>{"GROUP.CFG", "PICS/A.BMP", "PICS/SUB/B.TGA", "README.TXT",
                                      "SOUNDS/C.WAV"}));
  EXPECT_EQ(readFile(all / "PICS/SUB/B.TGA"), "b");

  // A relative group path still names the group after entering the directory.
  TempDir some;
  run = runGrp({"extract", "newgrp.grp", "-C", some.path(), "pics/*.bmp", "*.TXT"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(listTree(some.path()), (std::vector<std::string>{"PICS/A.BMP", "README.TXT"}));

  TempDir none;
  run = runGrp({"extract", "newgrp.grp", "-C", none.path(), "*.wav", "nothing*"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "grp: group file 'newgrp.grp' holds no name matching 'nothing*'\n");
  EXPECT_EQ(listTree(none.path()), std::vector<std::string>{"SOUNDS/C.WAV"});

  run = runGrp({"extract", "newgrp.grp", "-C", "newgrp.grp/sub"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("grp: cannot enter directory 'newgrp.grp/sub': ", 0), 0u) << run.err;
}

TEST(Grp, ExtractRefusesNamesThatLeaveTheDirectoryAndWritesTheRest) {
  TempDir work, out;
  writeFile(work / "hostile.grp", makeGroup({{"..\\ESCAPE.TXT", "x"},
                                             {"A.TXT", "a"},
                                             {"SUB\\..\\..\\UP.TXT", "x"},
                                             {"\\ABS.TXT", "x"}}));
  ToolRun run = runGrp({"extract", "hostile.grp", "-C", out.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(lines(run.err).size(), 3u) << run.err;
  EXPECT_NE(run.err.find("grp: refusing to unpack '..\\ESCAPE.TXT'"), std::string::npos);
  EXPECT_EQ(listTree(out.path()), std::vector<std::string>{"A.TXT"});
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"hostile.grp"});
}

TEST(Grp, TableShowsTheNewestCopyAndWhereItLives) {
  TempDir game, work;
  // Two groups and loose files with overlapping names: the newest copy of each name wins.
  writeFile(game / "one.grp", makeGroup({{"MAPS\\E1.MAP", "one", 0x2E22}, {"SHARED.TXT", "1"}}));
  writeFile(game / "two.grp",
            makeGroup({{"MAPS\\E1.MAP", "two", 0x2E21}, {"SHARED.TXT", "2", 0x2E23}}));
  writeFile(game / "maps/e2.map", "loose");
  setWriteTime(game / "maps/e2.map", k2003Noon);
  for (const char* g : {"one.grp", "two.grp"}) setWriteTime(game / g, k2003Noon);

  ToolRun run = runGrp({"table", game.path()}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "         3 2003-01-02T12:00:00Z one.grp      MAPS\\E1.MAP\n"
            "         5 2003-01-01T12:00:00Z loose        MAPS\\E2.MAP\n"
            "        69 2003-01-01T12:00:00Z loose        ONE.GRP\n"
            "         1 2003-01-03T12:00:00Z two.grp      SHARED.TXT\n"
            "        69 2003-01-01T12:00:00Z loose        TWO.GRP\n");

  run = runGrp({"table", "--json", game.path()}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> json = lines(run.out);
  ASSERT_EQ(json.size(), 7u) << run.out;
  EXPECT_EQ(json[1],
            "  {\"name\": \"MAPS\\\\E1.MAP\", \"size\": 3, \"mtime\": \"2003-01-02T12:00:00Z\", "
            "\"source\": \"one.grp\"},");
  EXPECT_EQ(json[2],
            "  {\"name\": \"MAPS\\\\E2.MAP\", \"size\": 5, \"mtime\": \"2003-01-01T12:00:00Z\", "
            "\"source\": null},");

  run = runGrp({"table", game / "missing"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "grp: cannot read game directory '" + game / "missing" +
                         "': No such file or directory\n");

  // One group file by itself: its names, one copy each, nothing of the directory around it.
  run = runGrp({"table", game / "two.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "         3 2003-01-01T12:00:00Z two.grp      MAPS\\E1.MAP\n"
            "         1 2003-01-03T12:00:00Z two.grp      SHARED.TXT\n");
  writeFile(work / "cut.grp", readFile(game / "two.grp").substr(0, 40));
  run = runGrp({"table", "cut.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
}
