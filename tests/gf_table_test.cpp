// The file table: the start-up scan, the newest-copy rule, lookups and the table order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "engine/gf/base/names.h"
#include "engine/gf/manager/table.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#include "support/reader_gate.h"
#include "support/test_support.h"

namespace {

constexpr long long k2003 = 1041422400;  // 2003-01-01 12:00:00 UTC: dosDate 0x2E21, 0x6000

// Starts the manager on dir, with the trailing separator the engine expects.
void startOn(const TempDir& dir) { gfStart(dir.path().c_str()); }

std::vector<std::string> tableNames() {
  std::vector<std::string> names;
  for (int i = 0; i < gfTableCount(); i++) names.push_back(gfTableRecord(i)->name);
  return names;
}

class FileTable : public ::testing::Test {
 protected:
  void TearDown() override { stopAndExpectNoEngineBlocks(); }
};

}  // namespace

TEST_F(FileTable, ScansLooseFilesRecursivelyAndSkipsDotDirectories) {
  TempDir root;
  writeFile(root / "a.txt", "a");
  writeFile(root / "Textures/Wall.tga", "wall");
  writeFile(root / "textures2/deep/x.bin", "x");
  writeFile(root / ".svn/entries", "svn");
  writeFile(root / ".cache/x", "c");
  writeFile(root / ".hidden", "h");  // a file whose name begins with a dot is kept
  startOn(root);
  EXPECT_EQ(tableNames(), (std::vector<std::string>{".HIDDEN", "A.TXT", "TEXTURES2\\DEEP\\X.BIN",
                                                    "TEXTURES\\WALL.TGA"}));
  EXPECT_EQ(gfRoot, root.path() + "\\");
  t_gfFileInfo* wall = gfGetFileInfo("textures\\wall.tga");
  ASSERT_NE(wall, nullptr);
  EXPECT_EQ(wall->size, 4);
  EXPECT_EQ(wall->inGroup, 0);
  EXPECT_EQ(wall->handle, INVALID_HANDLE);
  EXPECT_EQ(gfGetFileInfo("textures/wall.tga"), wall);
  EXPECT_EQ(gfFetch("\\textures\\wall.tga"), -1);
  EXPECT_EQ(gfFetch(nullptr), -1);
  EXPECT_EQ(gfFetch(std::string(300, 'A').c_str()), -1);
}

// A name given to the manager may use '/' wherever it uses a backslash; what the manager
// stores keeps the backslash, so either spelling finds it later.
TEST_F(FileTable, EveryNamedOperationTakesSlashesForBackslashes) {
  TempDir root;
  writeFile(root / "maps/e1m1.map", "map bytes");
  setWriteTime(root / "maps/e1m1.map", k2003);
  writeFile(root / "g.grp", makeGroup({{"SOUNDS\\HIT.WAV", "hit"},
                                       {"SOUNDS\\STEP.WAV", "step"},
                                       {"DOCS/README.TXT", "stored with a slash"}}));
  startOn(root);
  long map = gfFetch("maps\\e1m1.map");
  ASSERT_GE(map, 0);
  EXPECT_EQ(gfFetch("Maps/E1M1.map"), map);
  EXPECT_EQ(gfGetFileInfo("maps/e1m1.map"), gfTableRecord(map));
  EXPECT_EQ(gfSizeEx("maps/e1m1.map"), 9);
  unsigned short date = 0, time = 0;
  gfGetDateTimeEx("maps/e1m1.map", &date, &time);
  EXPECT_EQ(date, 0x2E21);
  EXPECT_EQ(time, 0x6000);
  GFILE* f = gfOpen("maps/e1m1.map");
  ASSERT_NE(f, nullptr);
  char bytes[9];
  EXPECT_EQ(gfRead(f, bytes, 9), 9);
  EXPECT_EQ(std::string(bytes, 9), "map bytes");
  gfClose(f);
  EXPECT_GE(gfFetch("docs/readme.txt"), 0);  // a '/' the group itself stores
  ASSERT_TRUE(waitFor([] { return gfCacheFile("sounds/step.wav") != nullptr; }));
  EXPECT_EQ(std::string((const char*)gfCacheFile("sounds/step.wav")->cacheData, 4), "step");

  t_findfirst find{};
  std::strcpy(find.mask, "sounds/*.wav");
  ASSERT_EQ(gfFindFirst(&find), 1);
  EXPECT_STREQ(find.name, "HIT.WAV");
  ASSERT_EQ(gfFindNext(&find), 1);
  EXPECT_STREQ(find.name, "STEP.WAV");

  GFILE* made = gfCreate("maps/new.map");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(gfWrite(made, "new", 3), 3);
  gfClose(made);
  EXPECT_EQ(readFile(root / "maps/new.map"), "new");
  ASSERT_NE(gfGetFileInfo("MAPS\\NEW.MAP"), nullptr);
  EXPECT_EQ(gfSizeEx("maps\\new.map"), 3);
  writeFile(root / "maps/later.map", "later");
  int later = gfInsertFile("maps/later.map");
  EXPECT_STREQ(gfTableRecord(later)->name, "MAPS\\LATER.MAP");
  EXPECT_EQ(gfFetch("maps\\later.map"), later);
  gfDeleteFile("maps/e1m1.map");
  EXPECT_EQ(gfFetch("maps\\e1m1.map"), -1);
  EXPECT_EQ(gfSizeEx("maps/later.map"), 5);
}

// A root that cannot be read gives an empty table like an empty root; the debug log tells
// them apart.
// Sizes are whole in the table: a file of 5 GiB is not listed as 1 GiB, nor one of 3 GiB as
// a negative number where long has 32 bits; a handle, whose window is long, refuses them.
TEST_F(FileTable, KeepsTheWholeSizeOfLargeLooseFiles) {
  TempDir root;
  const long long big = (5LL << 30) + 3, mid = 3LL << 30;
  writeFile(root / "big.bin", "");
  writeFile(root / "mid.bin", "");
  std::error_code error;
  std::filesystem::resize_file(root / "big.bin", (std::uintmax_t)big, error);  // sparse: cheap
  if (!error) std::filesystem::resize_file(root / "mid.bin", (std::uintmax_t)mid, error);
  if (error) GTEST_SKIP() << "the file system refuses large sparse files: " << error.message();
  startOn(root);
  ASSERT_NE(gfGetFileInfo("big.bin"), nullptr);
  EXPECT_EQ(gfGetFileInfo("big.bin")->size, big);
  EXPECT_EQ(gfGetFileInfo("mid.bin")->size, mid);
  ASSERT_GE(gfInsertFile("big.bin"), 0);  // a refreshed record too
  EXPECT_EQ(gfGetFileInfo("big.bin")->size, big);
  if (sizeof(long) >= 8) {
    EXPECT_EQ(gfSizeEx("big.bin"), big);
    GFILE* f = gfOpen("big.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(gfSize(f), big);
    gfClose(f);
  } else {
    EXPECT_EQ(gfSizeEx("mid.bin"), -1);
    EXPECT_EQ(gfOpen("mid.bin"), nullptr);
  }
}

TEST_F(FileTable, ARootThatCannotBeReadSaysWhyInTheDebugLog) {
  TempDir dir, empty;
  writeFile(dir / "plain.txt", "not a directory");
  LineCapture capture;
  gfStart((dir / "missing").c_str());
  gfStart((dir / "plain.txt").c_str());
  startOn(empty);
  std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  for (auto& line : lines)  // the prefix an earlier DebugPrintf line leaves behind
    if (line.rfind("DBG: ", 0) == 0) line.erase(0, 5);
  EXPECT_EQ(lines[0], "gfStart: cannot read the root directory '" + hostSpelling(dir / "missing") +
                          "': " + missingFileReason());
  std::string notDir =
      "gfStart: cannot read the root directory '" + hostSpelling(dir / "plain.txt") + "': ";
  EXPECT_EQ(lines[1].substr(0, notDir.size()), notDir);
#ifndef _WIN32
  EXPECT_EQ(lines[1].substr(notDir.size()), "Not a directory");
#endif
}

TEST_F(FileTable, TakesDatesFromTheLastWriteInUtc) {
  TempDir root;
  writeFile(root / "a.txt", "abc");
  setWriteTime(root / "a.txt", k2003);
  startOn(root);
  t_gfFileInfo* a = gfGetFileInfo("A.TXT");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->date, 0x2E21);
  EXPECT_EQ(a->time, 0x6000);
}

TEST_F(FileTable, ReadsTheRootsGroupsAndKeepsTheNewestCopy) {
  TempDir root;
  StoredFile older{"A.TXT", "grouped", 0x2E21, 0x6000};
  StoredFile newer{"B.TXT", "grouped b", 0x3021, 0x6000};  // 2004
  writeFile(root / "pack.grp", makeGroup({older, newer, {"ONLY\\IN.GRP", "in"}}));
  writeFile(root / "a.txt", "loose a");
  setWriteTime(root / "a.txt", k2003 + 86400);  // newer than the grouped A.TXT
  writeFile(root / "b.txt", "loose b");
  setWriteTime(root / "b.txt", k2003);  // older than the grouped B.TXT
  writeFile(root / "sub/inner.grp", makeGroup({{"HIDDEN.TXT", "never read as a group"}}));
  startOn(root);
  EXPECT_EQ(tableNames(), (std::vector<std::string>{"A.TXT", "B.TXT", "ONLY\\IN.GRP", "PACK.GRP",
                                                    "SUB\\INNER.GRP"}));
  t_gfFileInfo* a = gfGetFileInfo("a.txt");
  EXPECT_EQ(a->inGroup, 0);
  EXPECT_EQ(a->offset, 0);
  EXPECT_EQ(a->handle, INVALID_HANDLE);
  t_gfFileInfo* b = gfGetFileInfo("b.txt");
  EXPECT_EQ(b->inGroup, 1);
  EXPECT_EQ(b->size, 9);
  EXPECT_NE(b->handle, INVALID_HANDLE);
  char bytes[9];
  ASSERT_EQ(platReadAt(b->handle, b->offset, bytes, 9), 9);
  EXPECT_EQ(std::string(bytes, 9), "grouped b");
}

TEST_F(FileTable, TwoGroupsHoldingOneNameKeepTheLaterCopy) {
  TempDir root;
  writeFile(root / "one.grp", makeGroup({{"X.DAT", "old", 0x2E21, 0x6000}}));
  writeFile(root / "two.grp", makeGroup({{"X.DAT", "new!", 0x2E21, 0x6001}}));
  writeFile(root / "three.grp", makeGroup({{"X.DAT", "older", 0x2C21, 0x6000}}));
  startOn(root);
  t_gfFileInfo* x = gfGetFileInfo("X.DAT");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->size, 4);
  EXPECT_EQ(gfTableCount(), 4);  // X.DAT and the three group files themselves
}

TEST_F(FileTable, DamagedOrForeignGroupsAddNoRecords) {
  TempDir root;
  std::string cut = makeGroup({{"A.TXT", "abc"}, {"B.TXT", "b"}});
  cut.resize(cut.size() - 1);
  writeFile(root / "cut.grp", cut);
  writeFile(root / "text.grp", "plain text, no magic");
  std::string huge = makeGroup({{"C.TXT", "c"}});
  huge.replace(12, 4, std::string("\xF0\xFF\xFF\x7F", 4));  // dirSize beyond the file
  writeFile(root / "huge.grp", huge);
  startOn(root);
  EXPECT_EQ(tableNames(), (std::vector<std::string>{"CUT.GRP", "HUGE.GRP", "TEXT.GRP"}));
}

TEST_F(FileTable, CopiesWavHeaders) {
  TempDir root;
  std::string header(44, '\0');
  for (int i = 0; i < 44; i++) header[i] = (char)('A' + i % 26);
  writeFile(root / "sound.wav.bak", header + "tail");
  writeFile(root / "sound.wa", header);
  writeFile(root / "short.wav", "RIFF");
  writeFile(root / "g.grp", makeGroup({{"IN.WAV", header.substr(0, 40)}, {"NEXT", "1234xyz"}}));
  startOn(root);
  EXPECT_EQ(std::memcmp(gfGetFileInfo("SOUND.WAV.BAK")->wavHeader, header.data(), 44), 0);
  unsigned char zeros[44] = {};
  EXPECT_EQ(std::memcmp(gfGetFileInfo("SOUND.WA")->wavHeader, zeros, 44), 0);
  const unsigned char* shortHeader = gfGetFileInfo("SHORT.WAV")->wavHeader;
  EXPECT_EQ(std::memcmp(shortHeader, "RIFF", 4), 0);
  EXPECT_EQ(std::memcmp(shortHeader + 4, zeros, 40), 0);
  // A grouped file's copy is read at its offset and runs on into the bytes behind it.
  EXPECT_EQ(
      std::memcmp(gfGetFileInfo("IN.WAV")->wavHeader, (header.substr(0, 40) + "1234").data(), 44),
      0);
}

TEST_F(FileTable, StartingTwiceRebuildsAndStoppingTwiceIsHarmless) {
  TempDir root, empty;
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "abc"}}));
  writeFile(root / "b.txt", "b");
  gfStop();
  startOn(root);
  std::vector<std::string> once = tableNames();
  startOn(root);
  EXPECT_EQ(tableNames(), once);
  gfStart();  // the same root again
  EXPECT_EQ(tableNames(), once);
  startOn(empty);
  EXPECT_EQ(gfTableCount(), 0);
  EXPECT_EQ(gfGetFileInfo("A.TXT"), nullptr);
  gfStop();
  gfStop();
  gfStart("/no/such/directory/anywhere");
  EXPECT_EQ(gfTableCount(), 0);
}

TEST_F(FileTable, SortsManyNamesThatShareTheirFirstBytesByUnsignedBytes) {
  // Enough names per directory for the sort's merges, with names that agree in their first
  // 8 bytes, whole or in the part behind the last backslash, short ones, and high bytes.
  TempDir root;
  const char* dirs[] = {
      "d", "dd", "d.x", "directo", "director", "directory_long_a", "directory_long_b", "\xE9t\xE9"};
  const char* stems[] = {"f",
                         "ff",
                         "file000",
                         "file0000",
                         "file00000",
                         "file0000x",
                         "file_with_a_long_shared_start_",
                         "\xE9",
                         "x",
                         // 'z' folds to 'Z'; the six between the cases, and '{', stay
                         "z",
                         "[",
                         "]",
                         "^",
                         "_",
                         "`",
                         "{"};
  std::vector<std::string> expected;
  std::vector<StoredFile> stored;
  for (const char* d : dirs)
    for (const char* stem : stems)
      for (int k = 0; k < 3; k++) {
        std::string name = std::string(d) + "/" + stem + (k ? std::to_string(k * 7) : "");
        writeFile(root / name, name);
        setWriteTime(root / name, k2003);
        std::string upper = name;
        for (char& c : upper) c = c == '/' ? '\\' : (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
        expected.push_back(upper);
        // Every third name also lies in the group, newer for k 1 and older for k 2.
        if (k) stored.push_back({upper, "g", 0x2E21, (unsigned short)(k == 1 ? 0x6001 : 0x5FFF)});
      }
  stored.push_back({"D\\FILE0000Y", "only in the group"});
  expected.push_back("D\\FILE0000Y");
  writeFile(root / "pack.grp", makeGroup(stored));
  expected.push_back("PACK.GRP");
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    return std::strcmp(a.c_str(), b.c_str()) < 0;
  });
  startOn(root);
  EXPECT_EQ(tableNames(), expected);
  for (const std::string& name : expected) EXPECT_GE(gfFetch(name.c_str()), 0) << name;
  EXPECT_EQ(gfGetFileInfo("DD\\FILE00007")->inGroup, 1);   // the group's copy is newer
  EXPECT_EQ(gfGetFileInfo("DD\\FILE000014")->inGroup, 0);  // the loose copy is newer
}

TEST(TableOrder, NamesByUnsignedBytesThenTheLaterCopyFirst) {
  char a[] = "A", ab[] = "AB", high[] = "\xE9";
  t_gfFileInfo x{}, y{};
  x.name = a;
  y.name = ab;
  EXPECT_LT(gfCompareFileInfo(&x, &y), 0);  // a prefix sorts first
  y.name = high;
  EXPECT_LT(gfCompareFileInfo(&x, &y), 0);  // 0xE9 is above 'A' as an unsigned byte
  y.name = a;
  x.date = y.date = 0x2E21;
  x.time = 0x6000;
  y.time = 0x6001;
  EXPECT_EQ(gfCompareFileInfo(&x, &y), 1);  // x is earlier: it sorts after y
  EXPECT_EQ(gfCompareFileInfo(&y, &x), -1);
  y.time = 0x6000;
  EXPECT_EQ(gfCompareFileInfo(&x, &y), -1);  // equal copies give -1 both ways
  EXPECT_EQ(gfCompareFileInfo(&y, &x), -1);
  EXPECT_EQ(gfTableOrder(&x, &y), 0);  // the sorts use a consistent order instead
  EXPECT_EQ(gfTableOrder(&x, &x), 0);
  y.time = 0x6001;
  EXPECT_EQ(gfTableOrder(&x, &y), 1);
}

#ifndef _WIN32  // symbolic links
TEST_F(FileTable, EntersADirectoryReachedThroughALinkOnlyWhenItIsNotOnThePath) {
  TempDir root, other;
  writeFile(root / "a.txt", "a");
  writeFile(root / "sub/b.txt", "b");
  writeFile(other / "c.txt", "c");
  std::filesystem::create_directory_symlink(".", root / "self1");  // two links to the root:
  std::filesystem::create_directory_symlink(".", root / "self2");  // exponential unchecked
  std::filesystem::create_directory_symlink("..", root / "sub/up");
  std::filesystem::create_directory_symlink(other.path(), root / "other");
  startOn(root);
  EXPECT_EQ(tableNames(), (std::vector<std::string>{"A.TXT", "OTHER\\C.TXT", "SUB\\B.TXT"}));
}
#endif

// The scan walks directories on several threads; the table is the same record for record
// whatever the count, down to which of two spellings of one name with one date survives,
// and a link back up the path is entered once.
TEST_F(FileTable, TheSameTableForEveryThreadCount) {
  TempDir root;
  for (int i = 0; i < 400; i++)
    writeFile(root / ("d" + std::to_string(i % 11) + "/s" + std::to_string(i % 3) + "/f" +
                      std::to_string(i) + ".dat"),
              std::string((size_t)i, 'x'));
  for (const char* twin : {"d1/s1/TWIN.DAT", "d1/s1/twin.dat", "D1/S1/Twin.dat", "d2/Q", "D2/q"}) {
    writeFile(root / twin, twin);
    setWriteTime(root / twin, k2003);
  }
#ifndef _WIN32
  std::filesystem::create_directory_symlink(root / "d4", root / "d3/side");
  std::filesystem::create_directory_symlink(root.path(), root / "d4/back");
#endif
  std::string first;
  for (int threads : {1, 2, 7}) {
    gfSetThreads(threads);
    startOn(root);
    std::string table;
    for (long i = 0; i < gfTableCount(); i++) {
      const t_gfFileInfo* r = gfTableRecord(i);
      table += std::string(r->name) + "|" + gfDiskName(r) + "|" + std::to_string(r->size) + "|" +
               std::to_string(r->date) + "|" + std::to_string(r->time) + "\n";
    }
    if (threads == 1) first = table;
    EXPECT_EQ(table, first) << threads << " threads";
    gfStop();
  }
  gfSetThreads(0);
#ifndef _WIN32
  EXPECT_NE(first.find("D3\\SIDE\\S0\\"), std::string::npos);  // a link off the path
  EXPECT_EQ(first.find("\\BACK\\"), std::string::npos);         // one back up it
#endif
}
