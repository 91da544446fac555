// The host layer: MS-DOS dates, the search's wildcard rule, and the host path mapping.
#include "engine/platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

TEST(DosTime, ConvertsUtcSecondsBothWays) {
  std::uint16_t date, time;
  ASSERT_EQ(platTimeToDos(1041422400, &date, &time), 1);  // 2003-01-01 12:00:00
  EXPECT_EQ(date, 0x2E21);
  EXPECT_EQ(time, 0x6000);
  ASSERT_EQ(platTimeToDos(951825599, &date, &time), 1);  // 2000-02-29 11:59:59: seconds halved
  EXPECT_EQ(date, (20 << 9) | (2 << 5) | 29);
  EXPECT_EQ(time, (11 << 11) | (59 << 5) | 29);
  std::int64_t back;
  ASSERT_EQ(platDosToTime(date, time, &back), 1);
  EXPECT_EQ(back, 951825598);
  EXPECT_EQ(platTimeToDos(315532799, &date, &time), 0);  // 1979-12-31 23:59:59
  EXPECT_EQ(date | time, 0);
  EXPECT_EQ(platTimeToDos(4354819200LL, &date, &time), 0);  // 2108-01-01
  EXPECT_EQ(platTimeToDos(-1, &date, &time), 0);
  EXPECT_EQ(platDosToTime((23 << 9) | (2 << 5) | 29, 0, &back), 0);  // 2003-02-29
  EXPECT_EQ(platDosToTime(0x2E21, 24 << 11, &back), 0);
}

TEST(DosTime, ComparesInTimeWithInvalidPairsFirst) {
  EXPECT_EQ(platCompareDosTime(0x2E21, 0x6000, 0x2E21, 0x6000), 0);
  EXPECT_EQ(platCompareDosTime(0x2E21, 0x6000, 0x2E22, 0x0000), -1);
  EXPECT_EQ(platCompareDosTime(0x2E22, 0x0000, 0x2E21, 0xBF7D), 1);
  EXPECT_EQ(platCompareDosTime(0x0000, 0x0000, 0x0021, 0x0000), -1);  // month 0 is no date
  EXPECT_EQ(platCompareDosTime(0x0021, 0x0000, 0x0000, 0x0000), 1);
}

TEST(SearchPattern, MatchesWithoutCaseAndStarDotStarTakesEveryName) {
  EXPECT_TRUE(platMatchName("*.*", "readme"));
  EXPECT_TRUE(platMatchName("*.*", "a.b.c"));
  EXPECT_TRUE(platMatchName("pics*.*", "PICS"));
  EXPECT_TRUE(platMatchName("pics*.*", "pictures.bmp") == 0);
  EXPECT_TRUE(platMatchName("*.grp", "DATA.GRP"));
  EXPECT_FALSE(platMatchName("*.grp", "data.grp.old"));
  EXPECT_TRUE(platMatchName("a?c.txt", "ABC.TXT"));
  EXPECT_FALSE(platMatchName("a?c.txt", "ac.txt"));
  EXPECT_TRUE(platMatchName("*a.txt", "banana.txt"));  // the search backtracks
  EXPECT_TRUE(platMatchName("levdemo9.lev", "LevDemo9.lev"));
}

TEST(SearchPattern, FindsFilesAndDirectoriesWithDotEntries) {
  TempDir dir;
  writeFile(dir / "Sub/File.TXT", "12345");
  PlatFind find;
  PlatFindData found;
  std::vector<std::string> names;
  ASSERT_EQ(platFindFirst(&find, (dir.path() + "\\SUB\\*.*").c_str(), &found), 1);
  do {
    names.push_back(found.name);
    if (std::string(found.name) == "File.TXT") {
      EXPECT_EQ(found.sizeLow, 5u);
      EXPECT_EQ(found.isDirectory, 0);
    }
  } while (platFindNext(&find, &found));
  platFindClose(&find);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "File.TXT"}));
  EXPECT_EQ(platFindFirst(&find, (dir.path() + "\\nothing\\*.*").c_str(), &found), 0);
}

#ifndef _WIN32  // Windows takes the engine's paths as they are
TEST(HostPath, MapsBackslashesAndFindsNamesWhateverTheirCase) {
  TempDir dir;
  writeFile(dir / "Textures/Wall.tga", "w");
  writeFile(dir / "b/x", "");
  writeFile(dir / "B/x", "");
  char host[PLAT_PATH_MAX];
  ASSERT_EQ(platHostPath((dir.path() + "\\TEXTURES\\WALL.TGA").c_str(), host, sizeof host), 1);
  EXPECT_EQ(std::string(host), dir / "Textures/Wall.tga");
  ASSERT_EQ(platHostPath((dir.path() + "\\textures\\new.tga").c_str(), host, sizeof host, 1), 1);
  EXPECT_EQ(std::string(host), dir / "Textures/new.tga");
  ASSERT_EQ(platHostPath((dir.path() + "\\b\\X").c_str(), host, sizeof host), 1);
  EXPECT_EQ(std::string(host), dir / "b/x");  // the exact name wins over another case
  EXPECT_EQ(platHostPath(std::string(PLAT_PATH_MAX, 'a').c_str(), host, sizeof host), 0);
  EXPECT_EQ(platMakeDir((dir.path() + "\\TEXTURES").c_str()), -1);  // exists as Textures
}
#endif
