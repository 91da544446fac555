// GFILE handles: windows over group files and loose files, shared OS handles, seeking,
// reading and writing at the window's edges, the password key, lines and formatted output.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tarnpak/gf.h"
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#include "support/test_support.h"

namespace {

std::string readAll(GFILE* f, int chunk = 4096) {
  std::string out;
  std::string buffer(chunk, '\0');
  for (long n; (n = gfRead(f, &buffer[0], chunk)) > 0;) out.append(buffer, 0, (size_t)n);
  return out;
}

class FileHandles : public ::testing::Test {
 protected:
  TempDir root;
  void start() { gfStart(root.path().c_str()); }
  void TearDown() override { stopAndExpectNoEngineBlocks(); }
};

}  // namespace

TEST_F(FileHandles, TwoHandlesOnAGroupedFileReadAloneAndNeverCloseTheGroup) {
  writeFile(root / "pack.grp", makeGroup({{"A.TXT", "first"}, {"B.TXT", "0123456789"}}));
  start();
  GFILE* one = gfOpen("b.txt");
  GFILE* two = gfOpen("B.TXT");
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->handle, two->handle);
  EXPECT_EQ(gfSize(one), 10);
  char buf[4];
  EXPECT_EQ(gfRead(one, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(gfRead(two, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "01");
  PlatHandle group = one->handle;
  gfClose(one);
  gfClose(two);
  EXPECT_TRUE(handleIsOpen(group));
  GFILE* a = gfOpen("A.TXT");
  EXPECT_EQ(readAll(a), "first");  // a read is cut at the window, not at the group's end
  gfClose(a);
}

TEST_F(FileHandles, TwoHandlesOnALooseFileShareOneOsHandleClosedByTheLast) {
  writeFile(root / "Textures/Wall.tga", "wall bytes");
  start();
  GFILE* one = gfOpen("textures\\wall.tga");  // backslashes and any case reach the disk
  GFILE* two = gfOpen("TEXTURES\\WALL.TGA");
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->handle, two->handle);
  EXPECT_EQ(gfGetFileInfo("TEXTURES\\WALL.TGA")->openCount, 2);
  PlatHandle h = one->handle;
  gfClose(one);
  EXPECT_TRUE(handleIsOpen(h));
  EXPECT_EQ(readAll(two), "wall bytes");
  gfClose(two);
  EXPECT_FALSE(handleIsOpen(h));
  EXPECT_EQ(gfGetFileInfo("TEXTURES\\WALL.TGA")->handle, INVALID_HANDLE);
  EXPECT_EQ(gfOpen("no\\such.file"), nullptr);
}

TEST_F(FileHandles, OpensTheCopyTheTableKeptWhenNamesDifferOnlyInCase) {
  writeFile(root / "A.TXT", "old");
  setWriteTime(root / "A.TXT", 1041422400);  // 2003
  writeFile(root / "a.txt", "newer!");
  setWriteTime(root / "a.txt", 1041422400 + 86400);
  start();
  ASSERT_EQ(gfSizeEx("A.TXT"), 6);
  GFILE* f = gfOpen("A.TXT");
  EXPECT_EQ(readAll(f), "newer!");
  gfClose(f);
}

TEST_F(FileHandles, SeeksClampToTheWindowAndReadsStopAtItsEnd) {
  writeFile(root / "g.grp", makeGroup({{"W.BIN", std::string(50, 'w')}, {"NEXT", "nextbytes"}}));
  start();
  GFILE* f = gfOpen("W.BIN");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(gfSeek(f, -5, 0), 0);
  EXPECT_EQ(gfSeek(f, 10, 2), 50);
  EXPECT_EQ(gfSeek(f, -10, 2), 40);
  EXPECT_EQ(gfSeek(f, 3, 1), 43);
  EXPECT_EQ(gfSeek(f, 5, 7), 43);  // an unknown origin leaves the position
  gfSeek(f, 40, 0);
  char buf[100];
  std::memset(buf, '?', sizeof buf);
  EXPECT_EQ(gfRead(f, buf, 100), 10);
  EXPECT_EQ(gfTell(f), 50);
  EXPECT_EQ(buf[10], '?');  // the next stored file's bytes never reach the buffer
  EXPECT_EQ(gfRead(f, buf, 100), 0);
  EXPECT_EQ(gfRead(f, buf, -1), 0);
  gfClose(f);
  EXPECT_EQ(gfSeek(nullptr, 1, 0), 0);
  EXPECT_EQ(gfTell(nullptr), 0);
  EXPECT_EQ(gfSize(nullptr), 0);
  EXPECT_EQ(gfRead(nullptr, buf, 1), 0);
  EXPECT_EQ(gfWrite(nullptr, buf, 1), 0);
  gfClose(nullptr);
}

TEST_F(FileHandles, WritesGrowALooseFileAndAreRefusedInAGroup) {
  writeFile(root / "loose.dat", "0123456789");
  std::string image = makeGroup({{"IN.DAT", "grouped"}});
  writeFile(root / "g.grp", image);
  start();
  GFILE* one = gfOpen("LOOSE.DAT");
  GFILE* other = gfOpen("LOOSE.DAT");
  gfSeek(one, -4, 2);
  EXPECT_EQ(gfWrite(one, "abcdefghij", 10), 10);
  EXPECT_EQ(gfSize(one), 16);
  EXPECT_EQ(gfSize(other), 10);  // the other handle keeps the size it took at open
  EXPECT_EQ(gfSizeEx("loose.dat"), 16);
  gfClose(one);
  gfClose(other);
  EXPECT_EQ(readFile(root / "loose.dat"), "012345abcdefghij");

  GFILE* in = gfOpen("IN.DAT");
  EXPECT_EQ(gfWrite(in, "XXXX", 4), 0);
  gfPrintf(in, "%s", "nothing");
  gfClose(in);
  EXPECT_EQ(readFile(root / "g.grp"), image);
}

TEST_F(FileHandles, ALooseFileThatShrankGivesOnlyTheBytesThatExist) {
  writeFile(root / "s.dat", "0123456789");
  start();
  std::filesystem::resize_file(root / "s.dat", 4);
  GFILE* f = gfOpen("S.DAT");
  char buf[10];
  EXPECT_EQ(gfRead(f, buf, 10), 4);
  EXPECT_EQ(gfTell(f), 4);
  gfClose(f);
}

#ifndef _WIN32  // a file size limit stands in for a full disk
TEST_F(FileHandles, AWriteCutShortByTheDiskReportsWhatWasWritten) {
  writeFile(root / "full.dat", "");
  start();
  GFILE* f = gfOpen("FULL.DAT");
  // A file size limit acts like a full disk: the write that crosses it is cut short, and
  // the next one fails.
  struct rlimit before;
  getrlimit(RLIMIT_FSIZE, &before);
  struct rlimit limit = before;
  limit.rlim_cur = 10;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  long written = gfWrite(f, "0123456789abcdefghij", 20);
  long more = gfWrite(f, "x", 1);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(written, 10);
  EXPECT_EQ(more, 0);
  EXPECT_EQ(gfTell(f), 10);
  EXPECT_EQ(gfSize(f), 10);
  EXPECT_EQ(gfSizeEx("FULL.DAT"), 10);
  gfClose(f);
  EXPECT_EQ(readFile(root / "full.dat"), "0123456789");
}
#endif

TEST_F(FileHandles, AFileOpenedReadOnlyReportsItsRefusedWrites) {
  writeFile(root / "ro.dat", "abc");
  namespace fs = std::filesystem;
  fs::permissions(root / "ro.dat", fs::perms::owner_read | fs::perms::group_read |
                                       fs::perms::others_read);  // read-only on Windows
  start();
  GFILE* f = gfOpen("RO.DAT");
  ASSERT_NE(f, nullptr);
  if (!writesIgnorePermissions()) {
    EXPECT_EQ(gfWrite(f, "xyz", 3), 0);
    EXPECT_EQ(gfTell(f), 0);
    EXPECT_EQ(gfSize(f), 3);
  }
  gfClose(f);
  fs::permissions(root / "ro.dat", fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(FileHandles, ADirectoryInPlaceOfAFileIsNotOpened) {
  writeFile(root / "dir", "x");
  start();
  std::filesystem::remove(root / "dir");
  std::filesystem::create_directory(root / "dir");
  EXPECT_EQ(gfOpen("DIR"), nullptr);
}

#ifndef _WIN32
TEST_F(FileHandles, AFifoInPlaceOfAFileIsNotOpened) {
  writeFile(root / "pipe", "x");
  start();
  unlink((root / "pipe").c_str());
  ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0666), 0);
  EXPECT_EQ(gfOpen("PIPE"), nullptr);  // would wait for a writer forever
}
#endif

TEST(PasswordKey, FillsBehindThePasswordWithRisingFillerBytes) {
  GFILE f{};
  gfSetPassword(&f, "ab");
  const unsigned char F = GF_PASSWORD_FILLER;
  unsigned char shortKey[8] = {'a',
                               'b',
                               (unsigned char)(F + 2),
                               (unsigned char)(F + 3),
                               (unsigned char)(F + 4),
                               (unsigned char)(F + 5),
                               (unsigned char)(F + 6),
                               (unsigned char)(F + 7)};
  EXPECT_EQ(std::memcmp(f.key, shortKey, 8), 0);
  gfSetPassword(&f, "password-long");
  EXPECT_EQ(std::memcmp(f.key, "password", 8), 0);
  gfSetPassword(&f, "");
  for (int k = 0; k < 8; k++) EXPECT_EQ(f.key[k], F + k);
  gfSetPassword(&f, nullptr);
  EXPECT_EQ(f.key, nullptr);
  EXPECT_EQ(memLiveBlocks("gf manager"), 0);
}

TEST_F(FileHandles, APasswordDisguisesBytesAtTheirPositionInTheFile) {
  writeFile(root / "secret.dat", std::string(16, '\0'));
  start();
  GFILE* f = gfOpen("SECRET.DAT");
  gfSetPassword(f, "12345678");
  gfSeek(f, 6, 0);
  const char plain[] = "ABCDE";
  EXPECT_EQ(gfWrite(f, plain, 5), 5);
  EXPECT_STREQ(plain, "ABCDE");  // the caller's buffer is left as it was
  char back[5];
  gfSeek(f, 6, 0);
  EXPECT_EQ(gfRead(f, back, 5), 5);
  EXPECT_EQ(std::string(back, 5), "ABCDE");
  gfSetPassword(f, nullptr);
  gfSeek(f, 6, 0);
  gfRead(f, back, 5);
  const char key[] = "12345678";
  for (int i = 0; i < 5; i++) EXPECT_EQ(back[i], plain[i] ^ key[(6 + i) % 8]) << i;
  // Read in pieces at odd places, the key still lines up with the position.
  gfSetPassword(f, "12345678");
  gfSeek(f, 7, 0);
  char piece[3];
  EXPECT_EQ(gfRead(f, piece, 3), 3);
  EXPECT_EQ(std::string(piece, 3), "BCD");
  gfClose(f);
}

TEST_F(FileHandles, ReadsLinesPassingOverWhatDoesNotFit) {
  writeFile(root / "lines.txt", "abc\r\n" + std::string(20, 'L') + "\nz");
  start();
  GFILE* f = gfOpen("LINES.TXT");
  char line[8];
  gfReadLN(f, line, 8);
  EXPECT_STREQ(line, "abc");
  gfReadLN(f, line, 8);
  EXPECT_STREQ(line, "LLLLLLL");
  gfReadLN(f, line, 8);
  EXPECT_STREQ(line, "z");
  gfReadLN(f, line, 8);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(gfTell(f), gfSize(f));
  gfClose(f);
}

TEST_F(FileHandles, PrintfWritesAtMost1023Characters) {
  writeFile(root / "out.txt", "");
  start();
  GFILE* f = gfOpen("OUT.TXT");
  gfPrintf(f, "%d-%s\n", 42, "x");
  gfPrintf(f, "%s", std::string(3000, 'y').c_str());
  gfFlush(f);
  gfClose(f);
  EXPECT_EQ(readFile(root / "out.txt"), "42-x\n" + std::string(1023, 'y'));
}

TEST_F(FileHandles, CreateOverAGroupedNameMakesALooseFileAndOldHandlesStayHarmless) {
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "grouped a", 0x2E21, 0x6000}, {"B.TXT", "b"}}));
  start();
  GFILE* old = gfOpen("A.TXT");
  PlatHandle group = old->handle;
  GFILE* made = gfCreate("a.txt");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(gfSize(made), 0);
  t_gfFileInfo* a = gfGetFileInfo("A.TXT");
  EXPECT_EQ(a->inGroup, 0);
  EXPECT_EQ(a->offset, 0);
  EXPECT_EQ(gfWrite(made, "new!", 4), 4);
  gfClose(old);  // must close neither the group's handle nor the new file's
  EXPECT_TRUE(handleIsOpen(group));
  EXPECT_TRUE(handleIsOpen(made->handle));
  EXPECT_EQ(gfWrite(made, "+", 1), 1);
  gfClose(made);
  EXPECT_EQ(readFile(root / "a.txt"), "new!+");
  GFILE* again = gfOpen("A.TXT");
  EXPECT_EQ(readAll(again), "new!+");
  gfClose(again);
}

TEST_F(FileHandles, CreateOverAnOpenLooseFileLeavesTheOldHandleToItsUsers) {
  writeFile(root / "x.txt", "old contents");
  start();
  GFILE* old = gfOpen("X.TXT");
  PlatHandle oldHandle = old->handle;
  GFILE* made = gfCreate("X.TXT");
#ifdef _WIN32
  // The open handle shares reading only: Windows refuses to empty the file under it, and
  // the handle stays with its users.
  EXPECT_EQ(made, nullptr);
  EXPECT_TRUE(handleIsOpen(oldHandle));
  EXPECT_EQ(readAll(old), "old contents");
  gfClose(old);
  // Closed, the handle's value may at once name another handle of the process (Wine's own
  // threads make some), so it is not looked at: the create below can only empty the file
  // with no handle left on it.
  made = gfCreate("X.TXT");
#else
  ASSERT_NE(made, nullptr);
  EXPECT_NE(made->handle, oldHandle);
  EXPECT_TRUE(handleIsOpen(oldHandle));
  gfClose(old);
  EXPECT_FALSE(handleIsOpen(oldHandle));
#endif
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(handleIsOpen(made->handle));
  gfClose(made);
  EXPECT_EQ(gfCreate(std::string(300, 'n').c_str()), nullptr);
  EXPECT_EQ(gfCreate("no\\such\\dir\\file"), nullptr);
}

TEST_F(FileHandles, DatesAndSizesByNameAndByHandle) {
  writeFile(root / "g.grp", makeGroup({{"A.TXT", "abc", 0x2E21, 0x6000}}));
  start();
  ASSERT_EQ(gfFetch("A.TXT"), 0);  // the record at index 0 answers like any other
  unsigned short date = 7, time = 7;
  gfGetDateTimeEx("a.txt", &date, &time);
  EXPECT_EQ(date, 0x2E21);
  EXPECT_EQ(time, 0x6000);
  EXPECT_EQ(gfSizeEx("A.TXT"), 3);
  EXPECT_EQ(gfSizeEx("missing"), 0);
  date = time = 7;
  gfGetDateTimeEx("missing", &date, &time);
  EXPECT_EQ(date, 7);
  gfGetDateTime(nullptr, &date, &time);
  EXPECT_EQ(date, 0);
  EXPECT_EQ(time, 0);
  GFILE* f = gfOpen("A.TXT");
  gfGetDateTime(f, &date, &time);
  EXPECT_EQ(date, 0x2E21);
  gfClose(f);
}
