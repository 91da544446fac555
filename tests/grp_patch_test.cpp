// grp patch: the group of what an update changed, seen through the engine's table beside the
// old group, whatever the groups are called; and the patches it refuses to write.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tarnpak/gf.h"

namespace {

constexpr long long k2003Noon = 1041422400;  // 2003-01-01T12:00:00Z

struct TreeFile {
  const char* path;
  std::string bytes;
  long long time;
};

// A group made by grp add of a tree holding files.
void makeGroupOf(const std::vector<TreeFile>& files, const TempDir& work, const char* group) {
  TempDir tree;
  for (const TreeFile& f : files) {
    writeFile(tree / f.path, f.bytes);
    setWriteTime(tree / f.path, f.time);
  }
  ToolRun run = runGrp({"add", "-C", tree.path(), work / group, "."}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
}

// Every file the engine's table shows in game, read through gfOpen, by name.
std::map<std::string, std::string> tableBytes(const std::string& game) {
  std::map<std::string, std::string> seen;
  gfStart(game.c_str());
  for (long i = 0; i < gfTableCount(); i++) {
    const char* name = gfTableRecord(i)->name;
    GFILE* f = gfOpen(name);
    std::string bytes((size_t)gfSize(f), '\0');
    if (!bytes.empty()) gfRead(f, &bytes[0], (int)bytes.size());
    gfClose(f);
    seen[name] = bytes;
  }
  stopAndExpectNoEngineBlocks();
  return seen;
}

}  // namespace

// OLD and NEW differ in every way a release does: a file changed and dated later, one added,
// one removed, one put back to an older version (dated earlier), one changed within a date
// tick (same size, same date), one with the same bytes and a new date. The patch holds the
// changed and added files only; installed beside OLD under a name that sorts first or last,
// the table shows every file of NEW with NEW's bytes. The removed name is told; identical
// groups give an empty patch.
TEST(GrpPatch, BesideTheOldGroupTheTableShowsTheNewFiles) {
  TempDir work;
  long long t = k2003Noon;
  makeGroupOf({{"same.txt", "same", t},
               {"maps/changed.map", "old map", t},
               {"removed.txt", "gone soon", t},
               {"reverted.txt", "version two", t},
               {"tick.txt", "abc", t},
               {"redated.txt", "bytes", t}},
              work, "old.grp");
  std::vector<TreeFile> fresh = {{"same.txt", "same", t},
                                 {"maps/changed.map", "new map, longer", t + 3600},
                                 {"maps/added.map", "added", t + 60},
                                 {"reverted.txt", "version one", t - 86400},
                                 {"tick.txt", "abd", t},
                                 {"redated.txt", "bytes", t + 7200}};
  makeGroupOf(fresh, work, "new.grp");

  ToolRun run = runGrp({"patch", "old.grp", "new.grp", "patch.grp", "--json"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("'REMOVED.TXT' is in 'old.grp' but not in 'new.grp': it stays visible: "
                         "a patch cannot remove it"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("'REVERTED.TXT' in 'new.grp' is dated 2002-12-31T12:00:00Z"),
            std::string::npos);
  EXPECT_NE(run.err.find("'TICK.TXT' in 'new.grp' is dated 2003-01-01T12:00:00Z, not later than "
                         "its copy in 'old.grp' (2003-01-01T12:00:00Z): the patch stores it dated "
                         "2003-01-01T12:00:02Z"),
            std::string::npos);
  EXPECT_NE(run.out.find("\"staysVisible\": [\n    {\"name\": \"REMOVED.TXT\""), std::string::npos)
      << run.out;
  ToolRun listed = runGrp({"list", "patch.grp"}, work.path());
  EXPECT_EQ(listed.out, "MAPS\\ADDED.MAP\nMAPS\\CHANGED.MAP\nREVERTED.TXT\nTICK.TXT\n");

  std::map<std::string, std::string> wanted;
  for (const TreeFile& f : fresh) {
    std::string name = f.path;
    for (char& c : name) c = c == '/' ? '\\' : (char)toupper((unsigned char)c);
    wanted[name] = f.bytes;
  }
  wanted["REMOVED.TXT"] = "gone soon";  // a patch cannot take it away
  for (const char* patchName : {"0patch.grp", "zzpatch.grp"}) {
    TempDir game;
    writeFile(game / "data.grp", readFile(work / "old.grp"));
    writeFile(game / patchName, readFile(work / "patch.grp"));
    std::map<std::string, std::string> seen = tableBytes(game.path());
    seen.erase("DATA.GRP");
    std::string upper = patchName;
    for (char& c : upper) c = (char)toupper((unsigned char)c);
    seen.erase(upper);
    EXPECT_EQ(seen, wanted) << "with the patch named " << patchName;
    ToolRun table = runGrp({"table", game.path()}, work.path());
    size_t tick = table.out.find("TICK.TXT\n");
    size_t line = table.out.rfind('\n', tick) + 1;  // 0 for the first line
    EXPECT_NE(table.out.substr(line, tick - line).find(patchName), std::string::npos)
        << table.out;
  }

  run = runGrp({"patch", "new.grp", "new.grp", "empty.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("the patch 'empty.grp' is empty"), std::string::npos) << run.err;
  EXPECT_EQ(readFile(work / "empty.grp").size(), 16u);
}

// Refused with the old group whole and no patch written: a patch that would replace a group it
// is made from, and a change the patch cannot date later (the old copy at the last date a group
// holds). A copy of OLD with no valid date is beaten by the first date a group can store.
TEST(GrpPatch, RefusesToLoseAGroupOrToShipACopyThatCannotWin) {
  TempDir work;
  writeFile(work / "old.grp", makeGroup({{"LAST.TXT", "one", 0xFF9F, 0xBF7D}}));
  writeFile(work / "new.grp", makeGroup({{"LAST.TXT", "two", 0xFF9F, 0xBF7D}}));
  std::string old = readFile(work / "old.grp");
  ToolRun run = runGrp({"patch", "old.grp", "new.grp", "old.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "grp: refusing to write patch 'old.grp': it would replace group file "
                     "'old.grp', which the patch is made from\n");
  EXPECT_EQ(readFile(work / "old.grp"), old);
  run = runGrp({"patch", "old.grp", "new.grp", "patch.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot make the patch's copy of 'LAST.TXT' win: 'old.grp' holds it "
                         "dated 2107-12-31T23:59:58Z, the last date a group can store"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fileExists(work / "patch.grp"));

  writeFile(work / "old.grp", makeGroup({{"UNDATED.TXT", "one", 0, 0}}));
  writeFile(work / "new.grp", makeGroup({{"UNDATED.TXT", "two", 0, 0}}));
  run = runGrp({"patch", "old.grp", "new.grp", "patch.grp"}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  ToolRun listed = runGrp({"list", "-l", "patch.grp"}, work.path());
  EXPECT_NE(listed.out.find("1980-01-01T00:00:00Z"), std::string::npos) << listed.out;
}
