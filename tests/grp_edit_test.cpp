// grp's everyday work on groups from the outside: add and rm (against what Tarnpak builds, and
// leaving the old group whole when refused), diff, check of a build list, and extract's
// dates and options.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/gf/pack/group_writer.h"
#include "engine/platform/faults.h"
#include "support/test_support.h"
#include "tarnpak/gf.h"

namespace {

constexpr long long k2003Noon = 1041422400;  // 2003-01-01T12:00:00Z

void pack(const TempDir& game, const TempDir& work) {
  ToolRun run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
}

// A small game tree with levels, a dot directory the builder skips, and fixed dates.
void makeTree(const TempDir& game) {
  writeFile(game / "readme.txt", "hello");
  writeFile(game / "maps/e1m1.map", "map one");
  writeFile(game / "maps/sub/e1m2.MAP", "map two");
  writeFile(game / "maps/.svn/entries", "hidden");
  writeFile(game / "pics/a.bmp", std::string(70000, 'p'));
  for (const char* f : {"readme.txt", "maps/e1m1.map", "maps/sub/e1m2.MAP", "pics/a.bmp"})
    setWriteTime(game / f, k2003Noon + 3600);
}

long long writeTimeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long long)st.st_mtime : -1;
}

}  // namespace

// grp add of files into a new group gives the group Tarnpak builds from a list naming them.
TEST(GrpEdit, AddIntoANewGroupIsTheGroupTarnpakBuilds) {
  TempDir game, work;
  makeTree(game);
  writeFile(game / "group.cfg", "maps\\*.* r\nreadme.txt\n");
  setWriteTime(game / "group.cfg", k2003Noon);
  pack(game, work);
  ToolRun run = runGrp({"add", "-C", game.path(), "added.grp", "maps", "readme.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(readFile(work / "added.grp"), readFile(work / "newgrp.grp"));

  // The whole tree ("." and an absolute path below DIR alike) against "*.* r".
  writeFile(game / "group.cfg", "*.* r\n");
  setWriteTime(game / "group.cfg", k2003Noon);
  pack(game, work);
  run = runGrp({"add", "-C", game.path(), "all.grp", "."}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "all.grp"), readFile(work / "newgrp.grp"));
  run = runGrp({"add", "-C" + game.path(), "all2.grp", game.path() + "/"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "all2.grp"), readFile(work / "newgrp.grp"));
}

// rm X then add X (same file, same date) gives the original group back; rm takes every copy
// and any spelling; add replaces every copy and keeps the other entries as they were.
TEST(GrpEdit, RemoveThenAddGivesBackTheOriginalAndReplacesEveryCopy) {
  TempDir game, work;
  makeTree(game);
  writeFile(game / "group.cfg", "*.* r\n");
  pack(game, work);
  std::string original = readFile(work / "newgrp.grp");
  ToolRun run = runGrp({"rm", "newgrp.grp", "maps/sub/E1M2.map"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(runGrp({"list", "newgrp.grp"}, work.path()).out,
            "GROUP.CFG\nMAPS\\E1M1.MAP\nPICS\\A.BMP\nREADME.TXT\n");
  run = runGrp({"add", "-C", game.path(), "newgrp.grp", "maps/sub/e1m2.MAP"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "newgrp.grp"), original);

  writeFile(work / "dup.grp", makeGroup({{"A.TXT", "newer", 0x2E22},
                                          {"A.TXT", "old", 0x2E21},
                                          {"B.TXT", "bee", 0x2E23, 0x1234}},
                                         7));
  writeFile(work / "a.txt", "fresh");
  setWriteTime(work / "a.txt", k2003Noon);
  run = runGrp({"add", "dup.grp", "a.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "dup.grp"),
            makeGroup({{"A.TXT", "fresh"}, {"B.TXT", "bee", 0x2E23, 0x1234}}, 7));
  run = runGrp({"rm", "dup.grp", "a.TXT", "A.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "dup.grp"), makeGroup({{"B.TXT", "bee", 0x2E23, 0x1234}}, 7));

  // Dated copies of one name that an edit of another name keeps: the writer puts the later
  // copy first whatever order the old group held them in, and copies of one date in the
  // order they had.
  writeFile(work / "dated.grp", makeGroup({{"C.TXT", "older", 0x2E21},
                                            {"C.TXT", "later", 0x2E22},
                                            {"C.TXT", "also later", 0x2E22},
                                            {"D.TXT", "d"}}));
  run = runGrp({"rm", "dated.grp", "d.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "dated.grp"), makeGroup({{"C.TXT", "later", 0x2E22},
                                                     {"C.TXT", "also later", 0x2E22},
                                                     {"C.TXT", "older", 0x2E21}}));
}

// Whatever is refused leaves the group byte for byte as it was, with one line saying why.
TEST(GrpEdit, RefusalsAndFailuresLeaveTheGroupWhole) {
  TempDir work;
  writeFile(work / "g.grp", makeGroup({{"KEEP.TXT", "k"}, {"OLD.TXT", "o"}}));
  std::string before = readFile(work / "g.grp");
  writeFile(work / "x.txt", "x");
  writeFile(work / "y.txt", "y");
  writeFile(work / "X.TXT", "X");
  writeFile(work / "notgroup.grp", "plain text, not a group");
  writeFile(work / "cut.grp", before.substr(0, before.size() - 1));
  std::string longName(260, 'n');
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"rm", "g.grp", "old.txt", "nothing.txt"}, "holds no file named 'NOTHING.TXT'"},
      {{"add", "g.grp", "missing.txt"}, "No such file or directory"},
      {{"add", "g.grp", "../outside.txt"}, "is not below the current directory"},
      {{"add", "g.grp", "*.txt"}, "wildcards"},
      {{"add", "g.grp", "x.txt", "X.TXT"}, "stored under one name"},
      {{"add", "g.grp", longName}, ""},
      {{"add", "notgroup.grp", "y.txt"}, "is not a group file"},
      {{"rm", "cut.grp", "KEEP.TXT"}, "damaged"},
      {{"rm", "g.grp"}, "missing operand"},
  };
  for (const Case& c : cases) {
    ToolRun run = runGrp(c.args, work.path());
    EXPECT_NE(run.status, 0) << c.args[2];
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[2] << ": " << run.err;
    // One line says why; warnings of the files taken may come before it.
    std::istringstream lines(run.err);
    int errors = 0;
    for (std::string line; std::getline(lines, line);)
      errors += line.find(": warning: ") == std::string::npos;
    EXPECT_EQ(errors, 1) << run.err;
  }
  EXPECT_EQ(readFile(work / "g.grp"), before);
  EXPECT_EQ(readFile(work / "notgroup.grp"), "plain text, not a group");

  // A failure while the new group is written: the old one stays, nothing is left beside it.
  const char* removes[] = {"OLD.TXT"};
  std::string path = work / "g.grp";
  const std::vector<std::string> beforeFailure = listTree(work.path());
  platFaultArm(PLAT_FAULT_WRITE, 1, ENOSPC);
  EXPECT_EQ(gfEditGroup(path.c_str(), 0, work.path().c_str(), nullptr, 0, removes, 1, nullptr,
                        nullptr),
            1);
  platFaultOff();
  EXPECT_EQ(readFile(work / "g.grp"), before);
  EXPECT_EQ(listTree(work.path()), beforeFailure);
  // Each failure while the group is copied names the group, and the kept entry when reading
  // it failed, each in quotes of its own.
  static std::vector<std::string> said;
  auto keep = [](const char* message) { said.push_back(message); };
  for (t_platFaultOp op : {PLAT_FAULT_WRITE, PLAT_FAULT_READ}) {
    for (long n = 1; n <= 4; n++) {
      said.clear();
      writeFile(work / "g.grp", before);
      platFaultArm(op, n, EIO, 0, true);
      int failed = gfEditGroup(path.c_str(), 0, work.path().c_str(), nullptr, 0, removes, 1, keep,
                               nullptr);
      platFaultOff();
      if (!failed) continue;
      ASSERT_EQ(said.size(), 1u);
      EXPECT_NE(said[0].find("'" + path + "'"), std::string::npos) << said[0];
      if (said[0].find("'KEEP.TXT'") != std::string::npos) {
        EXPECT_NE(said[0].find("'KEEP.TXT' in '" + path + "'"), std::string::npos) << said[0];
      }
      EXPECT_EQ(readFile(work / "g.grp"), before);
    }
  }

  // The group itself inside the tree it adds is left out, with a warning.
  TempDir game;
  writeFile(game / "a.txt", "a");
  ToolRun run = runGrp({"add", "-C", game.path(), game / "data.grp", "."}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  run = runGrp({"add", "-C", game.path(), game / "data.grp", "."}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: leaving out 'data.grp'"), std::string::npos) << run.err;
  EXPECT_EQ(runGrp({"list", game / "data.grp"}, work.path()).out, "A.TXT\n");
}

// Eight grp add of different files on one group at once, first on a missing group and then
// on the group they made: every file is in it afterwards, as no edit read the group while
// another was replacing it.
TEST(GrpEdit, EditsAtOnceNeverLoseEachOther) {
  TempDir work;
  std::vector<std::string> expected;
  for (int round = 0; round < 3; round++) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; i++) {
      names.push_back("F" + std::to_string(round) + std::to_string(i) + ".TXT");
      writeFile(work / names.back(), names.back());
      expected.push_back(names.back());
    }
    // All written first: on Windows a child started meanwhile would inherit the handle of
    // a file being written, and hold it open against the editor of that file.
    std::vector<std::thread> editors;
    std::vector<ToolRun> runs(8);
    for (int i = 0; i < 8; i++)
      editors.emplace_back([&, i] { runs[i] = runGrp({"add", "g.grp", names[i]}, work.path()); });
    for (auto& t : editors) t.join();
    for (const ToolRun& run : runs) EXPECT_EQ(run.status, 0) << run.err;
  }
  std::string listing;
  for (const std::string& name : expected) listing += name + "\n";
  EXPECT_EQ(runGrp({"list", "g.grp"}, work.path()).out, listing);
  EXPECT_FALSE(std::filesystem::exists(work / "g.grp.lock"));
}

// An edit waits for the lock another holds, and gives up after the wait with the reason and
// the group as it was; a lock file a dead holder left (it holds no lock) stops nothing.
TEST(GrpEdit, AnEditWaitsForTheLockAndALeftLockFileStopsNothing) {
  TempDir work;
  writeFile(work / "g.grp", makeGroup({{"OLD.TXT", "o"}}));
  const std::string before = readFile(work / "g.grp");
  std::string path = work / "g.grp";
  const char* removes[] = {"OLD.TXT"};
  std::vector<std::string> said;
  static std::vector<std::string>* sink;
  sink = &said;
  auto report = [](const char* m) { sink->push_back(m); };
  PlatFileLock held;
  ASSERT_EQ(platLockFile(&held, path.c_str(), 0), PLAT_LOCKED);
  const int wait = gfGroupLockWaitMs;
  gfGroupLockWaitMs = 300;
  EXPECT_EQ(gfEditGroup(path.c_str(), 0, ".", nullptr, 0, removes, 1, report, nullptr), 1);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("is being changed by another process"), std::string::npos) << said[0];
  EXPECT_EQ(readFile(work / "g.grp"), before);
  // A pack over the group waits for the lock the edit holds before it commits, and gives up
  // alike: committing inside the edit's read-modify-commit would lose one of the two.
  TempDir game;
  writeFile(game / "group.cfg", "*.txt\n");
  writeFile(game / "packed.txt", "p");
  said.clear();
  gfStart(game.path().c_str());
  EXPECT_EQ(TarnpakChecked(path.c_str(), 1, report), 1);
  gfStop();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("is being changed by another process"), std::string::npos) << said[0];
  EXPECT_EQ(readFile(work / "g.grp"), before);
  gfGroupLockWaitMs = wait;
  platUnlockFile(&held);

#ifndef _WIN32
  // A pipe of the lock's name is no lock of ours: the edit is refused, naming it, and the
  // pipe stays.
  ASSERT_EQ(mkfifo((work / "g.grp.lock").c_str(), 0600), 0);
  said.clear();
  EXPECT_EQ(gfEditGroup(path.c_str(), 0, ".", nullptr, 0, removes, 1, report, nullptr), 1);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("g.grp.lock'): File exists (and is no regular file"), std::string::npos)
      << said[0];
  EXPECT_TRUE(std::filesystem::is_fifo(work / "g.grp.lock"));
  EXPECT_EQ(readFile(work / "g.grp"), before);
  std::filesystem::remove(work / "g.grp.lock");
#endif

  writeFile(work / "g.grp.lock", "");
  EXPECT_EQ(gfEditGroup(path.c_str(), 0, ".", nullptr, 0, removes, 1, report, nullptr), 0);
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"g.grp"});
  EXPECT_EQ(readFile(work / "g.grp"), makeGroup({}));
}

#ifndef _WIN32
// A group that is a symbolic link is edited where the link leads, and the link stays; a link
// that leads nowhere is refused with the reason. A pack writes through such a link too.
TEST(GrpEdit, AGroupThatIsALinkIsEditedWhereItLeads) {
  TempDir work, elsewhere;
  writeFile(elsewhere / "real.grp", makeGroup({{"OLD.TXT", "o"}}));
  writeFile(work / "new.txt", "n");
  std::filesystem::create_symlink(elsewhere / "real.grp", work / "link.grp");
  ToolRun run = runGrp({"add", "link.grp", "new.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  run = runGrp({"rm", "link.grp", "old.txt"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(work / "link.grp"));
  EXPECT_EQ(runGrp({"list", elsewhere / "real.grp"}, work.path()).out, "NEW.TXT\n");
  EXPECT_EQ(listTree(elsewhere.path()), std::vector<std::string>{"real.grp"});

  std::filesystem::create_symlink(elsewhere / "gone.grp", work / "dangling.grp");
  run = runGrp({"add", "dangling.grp", "new.txt"}, work.path());
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(work / "dangling.grp"));

  TempDir game;
  writeFile(game / "group.cfg", "*.txt\n");
  writeFile(game / "a.txt", "a");
  std::filesystem::create_symlink(elsewhere / "real.grp", work / "newgrp.grp");
  run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(work / "newgrp.grp"));
  EXPECT_EQ(runGrp({"list", elsewhere / "real.grp"}, work.path()).out, "A.TXT\n");

  // A link planted under the lock file's name is never followed: a pack and the edits are
  // refused, and what it leads to is neither made, written, emptied nor removed. (A job
  // that followed it would also wait for ever for a lock it cannot trust: the alarm ends it.)
  const std::string before = readFile(elsewhere / "real.grp");
  writeFile(elsewhere / "victim", "keep");
  for (const char* target : {"victim", "absent"}) {
    std::filesystem::remove(elsewhere / "real.grp.lock");
    std::filesystem::create_symlink(elsewhere / target, elsewhere / "real.grp.lock");
    auto alarmed = [] { alarm(20); };
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"add", "link.grp", "new.txt"},
          std::vector<std::string>{"rm", "link.grp", "A.TXT"}}) {
      run = runProgram(GRP_EXE, args, work.path(), alarmed);
      ASSERT_EQ(run.status, 1) << args[0] << " " << target << ": " << run.err;
      EXPECT_NE(run.err.find("real.grp.lock"), std::string::npos) << run.err;
    }
    run = runTool({game.path()}, work.path(), alarmed);
    EXPECT_EQ(run.status, 1) << target << ": " << run.err;
    EXPECT_NE(run.err.find("real.grp.lock"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(elsewhere / "victim"), "keep");
    EXPECT_FALSE(fileExists(elsewhere / "absent"));
    EXPECT_TRUE(std::filesystem::is_symlink(elsewhere / "real.grp.lock"));
    EXPECT_EQ(readFile(elsewhere / "real.grp"), before);
  }
}
#endif

TEST(GrpDiff, OneLinePerDifferenceAndTheExitStatusOfCmp) {
  TempDir work;
  writeFile(work / "a.grp", makeGroup({{"GONE.TXT", "g"},
                                       {"SAME.TXT", "s"},
                                       {"SIZE.TXT", "12"},
                                       {"BYTES.TXT", std::string(100000, 'b') + "1"},
                                       {"DATE.TXT", "d"}}));
  writeFile(work / "b.grp", makeGroup({{"BYTES.TXT", std::string(100000, 'b') + "2"},
                                       {"DATE.TXT", "d", 0x2E22},
                                       {"NEW.TXT", "n"},
                                       {"SAME.TXT", "s"},
                                       {"SIZE.TXT", "123"}}));
  ToolRun run = runGrp({"diff", "a.grp", "b.grp"}, work.path());
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out,
            "bytes: BYTES.TXT\n"
            "date: DATE.TXT (2003-01-01T12:00:00Z in A, 2003-01-02T12:00:00Z in B)\n"
            "only in A: GONE.TXT\n"
            "only in B: NEW.TXT\n"
            "size: SIZE.TXT (2 bytes in A, 3 in B)\n");
  run = runGrp({"diff", "--json", "a.grp", "b.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("{\"name\": \"NEW.TXT\", \"change\": \"only in B\", \"a\": null, \"b\": "
                         "{\"size\": 1, \"mtime\": \"2003-01-01T12:00:00Z\"}}"),
            std::string::npos)
      << run.out;
  run = runGrp({"diff", "a.grp", "a.grp"}, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, "");
  std::string a = readFile(work / "a.grp");
  writeFile(work / "cut.grp", a.substr(0, a.size() - 5));
  run = runGrp({"diff", "a.grp", "cut.grp"}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("cut.grp"), std::string::npos) << run.err;
  EXPECT_EQ(runGrp({"diff", "a.grp"}, work.path()).status, 2);
}

TEST(GrpCheck, SaysWhatEachLineTakesAndWarnsAsTheBuilderDoes) {
  TempDir game, work;
  makeTree(game);
  writeFile(game / "group.cfg",
            "\xEF\xBB\xBFreadme.txt\nmaps\\*.* r\nnothing.*\npics\\*.* R\n*.TXT\n\nlater.txt\n");
  ToolRun run = runGrp({"check", game.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "line 1 'readme.txt': mask 'readme.txt', not recursive, 1 file\n"
            "line 2 'maps\\*.* r': mask 'maps\\*.*', recursive, 2 files\n"
            "line 3 'nothing.*': mask 'nothing.*', not recursive, 0 files\n"
            "line 4 'pics\\*.* R': mask 'pics\\*.*', not recursive, 1 file\n"
            "line 5 '*.TXT': mask '*.TXT', not recursive, 1 file\n");
  for (const char* warning :
       {"group.cfg line 3 'nothing.*': the mask finds no file",
        "group.cfg line 4 'pics\\*.* R': 'R' does not make the entry recursive",
        "lines after line 6 are not read", "'README.TXT' would be stored 2 times: taken by lines 1 and 5"})
    EXPECT_NE(run.err.find(warning), std::string::npos) << warning << "\n" << run.err;
  run = runGrp({"check", "-v", game.path()}, work.path());
  for (const char* name : {"\n  MAPS\\E1M1.MAP\n", "\n  MAPS\\SUB\\E1M2.MAP\n", "\n  PICS\\A.BMP\n"})
    EXPECT_NE(run.out.find(name), std::string::npos) << run.out;

  writeFile(game / "group.cfg", "maps\\*.* r\n");
  run = runGrp({"check", game.path()}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  run = runGrp({"check", game / "missing"}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot read game directory"), std::string::npos) << run.err;

  // A name stored twice is the only warning: status 1 all the same, as the page says.
  writeFile(game / "group.cfg", "readme.txt\n*.TXT\n");
  run = runGrp({"check", game.path()}, work.path());
  EXPECT_EQ(run.status, 1) << run.err;
  run = runGrp({"check", "--json", game.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "{\"lines\": [\n"
            "  {\"line\": 1, \"text\": \"readme.txt\", \"mask\": \"readme.txt\", \"recursive\": false, "
            "\"files\": 1, \"names\": [\"README.TXT\"]},\n"
            "  {\"line\": 2, \"text\": \"*.TXT\", \"mask\": \"*.TXT\", \"recursive\": false, "
            "\"files\": 1, \"names\": [\"README.TXT\"]}\n"
            "], \"warnings\": [\"'README.TXT' would be stored 2 times: taken by lines 1 and 2\"]}\n");
}

// grp rm undoes grp add of a directory, takes masks, and shows first what would go.
TEST(GrpEdit, RemovesADirectoryOrAMaskAndShowsWhatWouldGo) {
  TempDir game, work;
  makeTree(game);
  writeFile(game / "group.cfg", "readme.txt\n");
  setWriteTime(game / "group.cfg", k2003Noon);
  pack(game, work);
  const std::string before = readFile(work / "newgrp.grp");
  ASSERT_EQ(runGrp({"add", "-C", game.path(), "newgrp.grp", "maps"}, work.path()).status, 0);
  ToolRun run = runGrp({"rm", "--dry-run", "newgrp.grp", "maps/sub/"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "MAPS\\SUB\\E1M2.MAP\n");
  run = runGrp({"rm", "--dry-run", "newgrp.grp", "*.map"}, work.path());
  EXPECT_EQ(run.out, "MAPS\\E1M1.MAP\nMAPS\\SUB\\E1M2.MAP\n");
  EXPECT_NE(readFile(work / "newgrp.grp"), before);
  run = runGrp({"rm", "newgrp.grp", "maps"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(readFile(work / "newgrp.grp"), before);
  run = runGrp({"rm", "newgrp.grp", "read", "*.bmp"}, work.path());  // a part of a name is none
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("holds no file named 'READ', nor one below it"), std::string::npos);
  EXPECT_NE(run.err.find("holds no name matching '*.BMP'"), std::string::npos) << run.err;
  EXPECT_EQ(readFile(work / "newgrp.grp"), before);
}

TEST(GrpExtract, RestoresStoredDatesAndTakesTheDirectoryInEveryForm) {
  TempDir work;
  writeFile(work / "g.grp", makeGroup({{"SUB\\A.TXT", "a"}, {"B.TXT", "b", 0, 0}}));
  ToolRun run = runGrp({"extract", "-v", "g.grp", "-Cnew/deeper"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "SUB\\A.TXT\nB.TXT\n");
  EXPECT_EQ(writeTimeOf(work / "new/deeper/SUB/A.TXT"), k2003Noon);
  // A stored pair that is no date leaves the time of extraction.
  EXPECT_GT(writeTimeOf(work / "new/deeper/B.TXT"), k2003Noon);

  run = runGrp({"extract", "--touch", "--directory=other", "g.grp", "sub/*"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_GT(writeTimeOf(work / "other/SUB/A.TXT"), (long long)std::time(nullptr) - 600);
  EXPECT_FALSE(fileExists(work / "other/B.TXT"));
}
