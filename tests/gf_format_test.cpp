// The group file format: key stream, layout, the checked directory reader, stored names.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/gf/base/group_format.h"
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "support/test_support.h"

namespace {

std::string hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

struct Loaded {
  t_gfDirStatus status;
  std::vector<t_gfDirEntry> entries;
  std::string problem;
};

Loaded load(const std::string& image) {
  TempDir dir;
  writeFile(dir / "g.grp", image);
  PlatHandle h = platOpenRead((dir / "g.grp").c_str());
  t_gfDirectory d;
  Loaded result{gfLoadDirectory(h, &d), {}, ""};
  result.problem = d.problem;
  if (result.status == GF_DIR_OK) {
    long cursor = 0;
    t_gfDirEntry e;
    while (gfNextDirEntry(&d, &cursor, &e)) result.entries.push_back(e);
    gfFreeDirectory(&d);
  }
  platClose(h);
  return result;
}

}  // namespace

TEST(KeyStream, MatchesTheCheckValues) {
  t_gfRandom r;
  gfRandomSeed(&r, 1);
  EXPECT_EQ(gfRandomNext(&r), 41);
  EXPECT_EQ(gfRandomNext(&r), 18467);
  EXPECT_EQ(gfRandomNext(&r), 6334);
  gfRandomSeed(&r, 1);
  EXPECT_EQ(gfRandomNext(&r) % 255, 41);
  EXPECT_EQ(gfRandomNext(&r) % 255, 107);
  EXPECT_EQ(gfRandomNext(&r) % 255, 214);
}

TEST(KeyStream, DependsOnTheFileLengthAndNeverFlipsAllBits) {
  unsigned char a[4096] = {}, b[4096] = {};
  gfScramble(a, sizeof a, 1000);
  gfScramble(b, sizeof b, 1001);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  for (unsigned char key : a) EXPECT_NE(key, 255);
  gfScramble(a, sizeof a, 1000);  // the same operation undoes it
  for (unsigned char c : a) ASSERT_EQ(c, 0);
  EXPECT_EQ(gfScrambleSeed(65535 - GF_SEED_OFFSET), 0u);
}

TEST(GroupLayout, WritesTheThirtyEightByteExample) {
  std::string plain = makeGroup({{"A.TXT", "abc"}}, 1, false);
  EXPECT_EQ(hex(plain),
            "46 50 52 47 01 00 00 00 01 00 00 00 13 00 00 00 05 00 41 2E 54 58 54 23 00 00 00 "
            "03 00 00 00 21 2E 00 60 61 62 63 ");
  std::string scrambled = makeGroup({{"A.TXT", "abc"}});
  ASSERT_EQ(scrambled.size(), 38u);
  EXPECT_EQ(scrambled.substr(0, 16), plain.substr(0, 16));
  EXPECT_EQ(scrambled.substr(35), "abc");
  EXPECT_NE(scrambled.substr(16, 19), plain.substr(16, 19));
}

TEST(DirectoryReader, ReadsTheExampleAndDuplicatesInOrder) {
  Loaded one = load(makeGroup({{"A.TXT", "abc"}}));
  ASSERT_EQ(one.status, GF_DIR_OK);
  ASSERT_EQ(one.entries.size(), 1u);
  EXPECT_STREQ(one.entries[0].name, "A.TXT");
  EXPECT_EQ(one.entries[0].dataOffset, 35);
  EXPECT_EQ(one.entries[0].dataSize, 3);
  EXPECT_EQ(one.entries[0].date, 0x2E21);
  EXPECT_EQ(one.entries[0].time, 0x6000);

  Loaded twice = load(makeGroup({{"X.DAT", "1"}, {"X.DAT", "22"}}));
  ASSERT_EQ(twice.status, GF_DIR_OK);
  ASSERT_EQ(twice.entries.size(), 2u);
  EXPECT_EQ(twice.entries[0].dataSize, 1);
  EXPECT_EQ(twice.entries[1].dataSize, 2);

  Loaded empty = load(makeGroup({}));
  EXPECT_EQ(empty.status, GF_DIR_OK);
  EXPECT_TRUE(empty.entries.empty());
}

// A name of 255 bytes, the most an entry holds, is read whole by both readers, also where an
// entry runs across the stream's block; one of 256 is refused, not copied past the name.
TEST(DirectoryReader, ReadsNamesOf255BytesAndRefusesLonger) {
  std::vector<StoredFile> files;
  for (int i = 0; i < 300; i++) {  // about 80 KiB of directory: more than one stream block
    std::string name = std::to_string(1000 + i);
    files.push_back({name + std::string(255 - name.size(), 'N'), std::to_string(i)});
  }
  std::string image = makeGroup(files);
  Loaded whole = load(image);
  ASSERT_EQ(whole.status, GF_DIR_OK) << whole.problem;
  ASSERT_EQ(whole.entries.size(), files.size());
  for (size_t i = 0; i < files.size(); i++) EXPECT_EQ(whole.entries[i].name, files[i].name);
  TempDir dir;
  writeFile(dir / "g.grp", image);
  PlatHandle h = platOpenRead((dir / "g.grp").c_str());
  t_gfDirStream stream;
  ASSERT_EQ(gfOpenDirStream(h, &stream), GF_DIR_OK);
  t_gfDirEntry e;
  t_gfDirStatus status;
  size_t n = 0;
  for (; gfNextStreamEntry(&stream, &e, &status); n++)
    ASSERT_EQ(e.name, files[n].name) << n;
  EXPECT_EQ(status, GF_DIR_OK);
  EXPECT_EQ(n, files.size());
  gfCloseDirStream(&stream);
  platClose(h);

  writeFile(dir / "long.grp", makeGroup({{"A.TXT", "a"}, {std::string(256, 'L'), "l"}}));
  h = platOpenRead((dir / "long.grp").c_str());
  ASSERT_EQ(gfOpenDirStream(h, &stream), GF_DIR_OK);
  ASSERT_EQ(gfNextStreamEntry(&stream, &e, &status), 1);
  EXPECT_EQ(gfNextStreamEntry(&stream, &e, &status), 0);
  EXPECT_EQ(status, GF_DIR_DAMAGED);
  gfCloseDirStream(&stream);
  platClose(h);
  Loaded refused = load(readFile(dir / "long.grp"));
  EXPECT_EQ(refused.status, GF_DIR_DAMAGED);
  EXPECT_NE(refused.problem.find("256 bytes"), std::string::npos) << refused.problem;
  EXPECT_EQ(memLiveBlocks("gf manager"), 0);
}

TEST(DirectoryReader, TellsAGroupFromOtherFiles) {
  EXPECT_EQ(load("").status, GF_DIR_NOT_GROUP);
  EXPECT_EQ(load("FPR").status, GF_DIR_NOT_GROUP);
  EXPECT_EQ(load("GRPF and more bytes than a header").status, GF_DIR_NOT_GROUP);
  EXPECT_EQ(load("FPRG\1\0\0\0").status, GF_DIR_DAMAGED);  // a magic, but no header
}

TEST(DirectoryReader, RefusesDamagedDirectories) {
  std::string good = makeGroup({{"A.TXT", "abc"}, {"B.TXT", "de"}}, 1, false);
  // Header fields are patched into the finished image; directory bytes before scrambling.
  auto damage = [&](size_t at, std::string bytes) {
    std::string image = good;
    if (at < GF_HEADER_SIZE) scrambleGroup(image);
    image.replace(at, bytes.size(), bytes);
    if (at >= GF_HEADER_SIZE) scrambleGroup(image);
    return load(image);
  };
  // A directory size far beyond the file must not be allocated, only refused.
  EXPECT_EQ(damage(12, std::string("\xF0\xFF\xFF\x7F", 4)).status, GF_DIR_DAMAGED);
  EXPECT_EQ(damage(12, std::string("\xFF\xFF\xFF\xFF", 4)).status, GF_DIR_DAMAGED);
  EXPECT_EQ(damage(8, std::string("\xFF\xFF\xFF\xFF", 4)).status, GF_DIR_DAMAGED);
  EXPECT_EQ(damage(8, std::string("\x03\0\0\0", 4)).status, GF_DIR_DAMAGED);   // too many
  EXPECT_EQ(damage(8, std::string("\x01\0\0\0", 4)).status, GF_DIR_DAMAGED);   // too few
  EXPECT_EQ(damage(16, std::string("\0\0", 2)).status, GF_DIR_DAMAGED);        // empty name
  EXPECT_EQ(damage(16, std::string("\xFF\x00", 2)).status, GF_DIR_DAMAGED);    // past dirSize
  EXPECT_EQ(damage(18, std::string("A\0", 2)).status, GF_DIR_DAMAGED);         // NUL in name
  EXPECT_EQ(damage(23, std::string("\x3A\0\0\0", 4)).status, GF_DIR_DAMAGED);  // data past end
  EXPECT_EQ(damage(27, std::string("\xFF\xFF\xFF\x7F", 4)).status, GF_DIR_DAMAGED);
  EXPECT_EQ(damage(23, std::string("\xFF\xFF\xFF\xFF", 4)).status, GF_DIR_DAMAGED);
  Loaded appended = load(makeGroup({{"A.TXT", "abc"}}) + "x");  // wrong key stream
  EXPECT_EQ(appended.status, GF_DIR_DAMAGED);
  EXPECT_FALSE(appended.problem.empty());
  EXPECT_EQ(memLiveBlocks("gf manager"), 0);
}

TEST(StoredNames, OnlyNamesBelowTheTargetAreSafe) {
  for (bool windows : {false, true}) {
    for (const char* safe : {"A.TXT", "PICS\\SUB\\B.BMP", "..A", "CONSOLE.TXT", "COM10", "LPT0",
                             "NULL", "AUXI\\X", "XCON", "CO.N"})
      EXPECT_EQ(gfUnsafeNameReasonFor(safe, windows), nullptr) << safe;
    for (const char* unsafe : {"\\ETC\\X", "/ETC/X", "C:\\X", "c:X", "..", "..\\X", "A\\..\\..\\X",
                               "A/../X", "A\\..", "X:"})
      EXPECT_NE(gfUnsafeNameReasonFor(unsafe, windows), nullptr) << unsafe;
  }
  // Names Windows would take for a device, trim, or read as a stream: ordinary on POSIX.
  for (const char* mapped :
       {"CON",      "nul",    "Aux.txt",      "PICS\\PRN.BMP", "COM1",  "lpt9.dat",
        "CON .TXT", "CONIN$", "A.",           "A..\\B",        "A \\B", "DIR.\\X",
        "A\\.\\B",  "1:X",    "A.TXT:STREAM", "A?B",           "A*",    "A|B",
        "A\"B",     "A<B",    "A>B",          "A\tB"}) {
    EXPECT_EQ(gfUnsafeNameReasonFor(mapped, false), nullptr) << mapped;
    EXPECT_NE(gfUnsafeNameReasonFor(mapped, true), nullptr) << mapped;
  }
  EXPECT_STREQ(gfUnsafeNameReasonFor("SOUNDS\\COM3.WAV", true),
               "the name is a Windows device name");
  EXPECT_EQ(gfUnsafeNameReason("AUX.WAV") != nullptr, GF_WINDOWS_NAME_RULES);
}
