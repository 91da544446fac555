// Search of the file table by mask, and inserting and deleting records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/gf/manager/table.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#include "support/reader_gate.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> findAll(const char* mask) {
  t_findfirst f{};
  std::strcpy(f.mask, mask);
  std::vector<std::string> found;
  for (int ok = gfFindFirst(&f); ok; ok = gfFindNext(&f)) found.push_back(f.name);
  return found;
}

class TableSearch : public ::testing::Test {
 protected:
  TempDir root;
  void SetUp() override {
    writeFile(root / "g.grp", makeGroup({{"SOUNDS\\HIT.WAV", "hit"}, {"Z.DAT", "z"}}));
    writeFile(root / "a.txt", "a");
    writeFile(root / "sounds/step.wav", "step");
    gfStart(root.path().c_str());
  }
  void TearDown() override { stopAndExpectNoEngineBlocks(); }
};

}  // namespace

TEST_F(TableSearch, FindsByMaskInTableOrder) {
  EXPECT_EQ(findAll("sounds\\*.wav"), (std::vector<std::string>{"HIT.WAV", "STEP.WAV"}));
  EXPECT_EQ(findAll("*.txt"), (std::vector<std::string>{"A.TXT"}));
  EXPECT_EQ(findAll("*.dat"), (std::vector<std::string>{"Z.DAT"}));
}

TEST_F(TableSearch, NoMatchLeavesTheRecordAndTheEndStaysTheEnd) {
  t_findfirst f{};
  std::strcpy(f.mask, "*.nothing");
  std::strcpy(f.name, "before");
  f.index = 77;
  EXPECT_EQ(gfFindFirst(&f), 0);
  EXPECT_STREQ(f.name, "before");
  EXPECT_EQ(f.index, 77);
  std::strcpy(f.mask, "*.txt");
  ASSERT_EQ(gfFindFirst(&f), 1);
  EXPECT_EQ(gfFindNext(&f), 0);
  EXPECT_EQ(f.index, gfTableCount() + 1);
  EXPECT_EQ(gfFindNext(&f), 0);
  gfFindClose(&f);
}

TEST_F(TableSearch, ANameShorterThanTheMasksDirectoryGivesAnEmptyName) {
  // The mask comparison succeeds when the name runs out first; nothing may be read
  // behind the name's end.
  gfInsertFile("SO");
  t_findfirst f{};
  std::strcpy(f.mask, "SOUNDS\\LONGER\\*.WAV");
  std::vector<std::string> names;
  for (int ok = gfFindFirst(&f); ok; ok = gfFindNext(&f)) names.push_back(f.name);
  EXPECT_NE(std::find(names.begin(), names.end(), ""), names.end());
}

TEST_F(TableSearch, InsertAddsOrRefreshesARecordThatFetchFinds) {
  int before = gfTableCount();
  writeFile(root / "New.bin", "12345");
  int i = gfInsertFile("new.bin");
  EXPECT_EQ(i, gfTableCount() - 1);
  EXPECT_EQ(gfTableCount(), before + 1);
  EXPECT_EQ(gfFetch("NEW.BIN"), i);
  EXPECT_EQ(gfSizeEx("new.bin"), 5);
  EXPECT_EQ(gfInsertFile("NEW.BIN"), i);
  EXPECT_EQ(gfTableCount(), before + 1);
  EXPECT_EQ(findAll("*.bin"), (std::vector<std::string>{"NEW.BIN"}));  // appended, found last
  int missing = gfInsertFile("missing.on.disk");
  EXPECT_EQ(missing, gfTableCount() - 1);
  EXPECT_EQ(gfSizeEx("missing.on.disk"), 0);
  EXPECT_EQ(gfInsertFile(std::string(256, 'x').c_str()), -1);
  EXPECT_EQ(gfInsertFile(nullptr), -1);
  EXPECT_EQ(gfTableCount(), before + 2);
}

TEST_F(TableSearch, InsertOverAGroupedNameReadsTheLooseFileButStaysReadOnly) {
  writeFile(root / "z.dat", "loose z!");
  gfInsertFile("Z.DAT");
  t_gfFileInfo* z = gfGetFileInfo("Z.DAT");
  EXPECT_EQ(z->offset, 0);
  EXPECT_EQ(z->size, 8);
  EXPECT_EQ(z->inGroup, 1);
  GFILE* f = gfOpen("Z.DAT");
  char buf[16];
  EXPECT_EQ(gfRead(f, buf, 16), 8);
  EXPECT_EQ(std::string(buf, 8), "loose z!");
  EXPECT_EQ(gfWrite(f, "x", 1), 0);
  PlatHandle loose = f->handle;
  gfClose(f);
  // The loose handle is closed at the last close although the record says "in a group".
  EXPECT_EQ(gfGetFileInfo("Z.DAT")->handle, INVALID_HANDLE);
  (void)loose;
}

TEST_F(TableSearch, DeleteRenumbersAndKeepsEveryOtherNameFindable) {
  writeFile(root / "late.txt", "l");
  gfInsertFile("late.txt");
  gfInsertFile("another.new");
  int before = gfTableCount();
  gfDeleteFile("A.TXT");
  EXPECT_EQ(gfTableCount(), before - 1);
  EXPECT_EQ(gfTableSortedCount(), gfTableCount());
  EXPECT_EQ(gfFetch("A.TXT"), -1);
  for (const char* name : {"LATE.TXT", "ANOTHER.NEW", "Z.DAT", "SOUNDS\\HIT.WAV", "G.GRP"})
    EXPECT_GE(gfFetch(name), 0) << name;
  gfDeleteFile("not in the table");
  EXPECT_EQ(gfTableCount(), before - 1);
}

TEST(TableEdits, DeletingTheOnlyRecordLeavesAnEmptyTable) {
  TempDir root;
  writeFile(root / "one", "1");
  gfStart(root.path().c_str());
  ASSERT_EQ(gfTableCount(), 1);
  GFILE* f = gfOpen("ONE");  // an open loose handle goes with the record, closed at its close
  gfDeleteFile("one");
  EXPECT_EQ(gfTableCount(), 0);
  EXPECT_EQ(gfFetch("ONE"), -1);
  EXPECT_EQ(gfGetFileInfo("ONE"), nullptr);
  gfClose(f);
  stopAndExpectNoEngineBlocks();
}

TEST(TableEdits, ManyInsertsStayFindable) {
  TempDir root;
  gfStart(root.path().c_str());
  for (int i = 0; i < 10000; i++) {
    std::string name = "n" + std::to_string(i);
    ASSERT_EQ(gfInsertFile(name.c_str()), i);
  }
  EXPECT_EQ(gfTableCount(), 10000);
  for (int i = 0; i < 10000; i += 97) EXPECT_EQ(gfFetch(("N" + std::to_string(i)).c_str()), i);
  gfDeleteFile("n5");
  EXPECT_EQ(gfFetch("N5"), -1);
  EXPECT_GE(gfFetch("N9999"), 0);
  stopAndExpectNoEngineBlocks();
}

// A delete renumbers the records behind the one it removes, and an insert or a write may
// change a record's size: every open handle keeps acting on its own record (or on nothing
// once that is gone), and a cached copy never stays smaller than its record says.
TEST(TableEdits, HandlesAndCachedCopiesFollowTheirRecordsThroughDeletesAndGrowth) {
  TempDir root;
  writeFile(root / "g.grp", makeGroup({{"DATA\\SUB\\FOO.DAT", "foo"},
                                       {"DATA\\SUB\\OTHER.DAT", "other"},
                                       {"README.WAV", "readme"}}));
  writeFile(root / "Data/foo.txt", "f");
  writeFile(root / "dATa/sUb/Q.BiN", "q");
  writeFile(root / "grow.txt", "12");
  gfStart(root.path().c_str());

  // A loose file whose record moves down one place.
  GFILE* q = gfOpen("dATa\\sUb\\Q.BiN");
  ASSERT_NE(q, nullptr);
  gfDeleteFile("Data\\foo.txt");
  EXPECT_EQ(q->index, gfFetch("DATA\\SUB\\Q.BIN"));
  unsigned short date, time, ownDate, ownTime, wavDate, wavTime;
  gfGetDateTime(q, &date, &time);
  gfGetDateTimeEx("DATA\\SUB\\Q.BIN", &ownDate, &ownTime);
  gfGetDateTimeEx("README.WAV", &wavDate, &wavTime);
  ASSERT_NE(ownDate, wavDate);  // the neighbours differ, so a wrong record shows
  EXPECT_EQ(date, ownDate);
  EXPECT_EQ(time, ownTime);
  gfSeek(q, 0, 2);
  EXPECT_EQ(gfWrite(q, "rst", 3), 3);
  EXPECT_EQ(gfSizeEx("DATA\\SUB\\Q.BIN"), 4);
  gfClose(q);
  EXPECT_EQ(gfGetFileInfo("DATA\\SUB\\Q.BIN")->openCount, 0);
  EXPECT_EQ(gfGetFileInfo("DATA\\SUB\\Q.BIN")->handle, INVALID_HANDLE);

  // A group record deleted under its handle: the handle acts on nothing, and its close
  // leaves the group's other records alone.
  GFILE* foo = gfOpen("data\\Sub\\Foo.DaT");
  ASSERT_NE(foo, nullptr);
  gfDeleteFile("DATA\\SUB\\FOO.DAT");
  gfDeleteFile("ReADME.waV");
  EXPECT_EQ(foo->index, -1);
  gfGetDateTime(foo, &date, &time);
  EXPECT_EQ(date, 0);
  gfClose(foo);
  EXPECT_EQ(gfGetFileInfo("DATA\\SUB\\OTHER.DAT")->openCount, 0);

  // A cached file that grows on disk and is inserted again, then grows through a write.
  t_gfFileInfo* r = nullptr;
  ASSERT_TRUE(waitFor([&] { return (r = gfCacheFile("GROW.TXT")) != nullptr; }));
  std::string content = "12";
#ifndef _WIN32
  // On Windows no other program can rewrite a file the cache holds open (the engine does
  // not share writing), so only a write through the manager grows it there.
  content = "12345";
  writeFile(root / "grow.txt", content);
  gfInsertFile("grow.txt");
  r = gfGetFileInfo("GROW.TXT");
  EXPECT_EQ(r->size, 5);
  EXPECT_EQ(r->cacheData, nullptr);
  ASSERT_TRUE(waitFor([&] { return (r = gfCacheFile("GROW.TXT")) != nullptr; }));
  EXPECT_EQ(std::string(static_cast<char*>(r->cacheData), (size_t)r->size), content);
#endif
  GFILE* w = gfOpen("GROW.TXT");
  gfSeek(w, 0, 2);
  gfWrite(w, "678", 3);
  content += "678";
  r = gfGetFileInfo("GROW.TXT");
  EXPECT_EQ(r->size, (long)content.size());
  EXPECT_EQ(r->cacheData, nullptr);
  gfClose(w);
  ASSERT_TRUE(waitFor([&] { return (r = gfCacheFile("GROW.TXT")) != nullptr; }));
  EXPECT_EQ(std::string(static_cast<char*>(r->cacheData), (size_t)r->size), content);
  stopAndExpectNoEngineBlocks();
}
