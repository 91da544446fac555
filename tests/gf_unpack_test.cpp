// The unpacker: what it creates, what it overwrites, and what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <filesystem>

#include "engine/gf/base/group_format.h"
#include "engine/gf/unpack/unpack_write.h"
#include "engine/kestin/memory_report.h"
#include "engine/platform/faults.h"
#include "support/test_support.h"
#include "tarnpak/gf.h"
#include "tarnpak/kestin.h"

namespace {

std::vector<std::string> messages;
void collect(const char* message) { messages.push_back(message); }

// Unpacks image (written as name) inside a fresh working directory; returns the status.
int unpackHere(const std::string& image, const std::string& name = "data.grp") {
  writeFile(name, image);
  messages.clear();
  int status = gfUnpackChecked(name.c_str(), collect);
  std::remove(name.c_str());
  return status;
}

#ifndef _WIN32  // symbolic links
// Takes a level of the working directory away the moment it has been looked at, and puts a
// link to swapTarget in its place.
std::string swapTarget;
[[maybe_unused]] void swapLevelForLink(const void* detail) {
  std::string level = static_cast<const char*>(detail);
  if (level != "MADE" && level != "SWAP") return;
  std::filesystem::rename(level, level + ".AWAY");
  std::filesystem::create_directory_symlink(swapTarget, level);
}
#endif

}  // namespace

TEST(Unpacker, CreatesNestedNamesBelowTheWorkingDirectory) {
  TempDir work(true);
  ASSERT_EQ(unpackHere(makeGroup({{"A.TXT", "abc"},
                                  {"PICS\\SUB\\B.BMP", "bmp"},
                                  {"PICS\\C.BMP", "c"},
                                  {"PICS\\SUB\\D\\E.BMP", "e"}})),
            0);
  EXPECT_EQ(
      listTree(work.path()),
      (std::vector<std::string>{"A.TXT", "PICS/C.BMP", "PICS/SUB/B.BMP", "PICS/SUB/D/E.BMP"}));
  EXPECT_EQ(readFile("PICS/SUB/B.BMP"), "bmp");
  EXPECT_TRUE(messages.empty());
  // In table order 'AB\' comes before 'A\': a level that merely begins like one made before.
  ASSERT_EQ(unpackHere(makeGroup({{"AB\\F", "f"}, {"A\\X", "x"}, {"A\\Y\\Z", "z"}})), 0);
  EXPECT_EQ(readFile("A/X") + readFile("A/Y/Z"), "xz");
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

TEST(Unpacker, LaterDuplicateWinsAndOldContentIsReplaced) {
  TempDir work(true);
  writeFile("X.DAT", "a much longer old content");
  ASSERT_EQ(unpackHere(makeGroup({{"X.DAT", "first"}, {"X.DAT", "2nd"}})), 0);
  EXPECT_EQ(readFile("X.DAT"), "2nd");
  ASSERT_EQ(unpackHere(makeGroup({{"X.DAT", "first"}, {"X.DAT", "2nd"}})), 0);  // again
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"X.DAT"});
}

TEST(Unpacker, EmptyGroupAndEmptyFiles) {
  TempDir work(true);
  ASSERT_EQ(unpackHere(makeGroup({})), 0);
  EXPECT_TRUE(listTree(work.path()).empty());
  ASSERT_EQ(unpackHere(makeGroup({{"EMPTY", ""}})), 0);
  EXPECT_TRUE(fileExists("EMPTY"));
  EXPECT_EQ(readFile("EMPTY"), "");
}

TEST(Unpacker, ReusesExistingDirectoriesWhateverTheirCase) {
  TempDir work(true);
  writeFile("pics/old.bmp", "old");
  ASSERT_EQ(unpackHere(makeGroup({{"PICS\\NEW.BMP", "new"}})), 0);
  EXPECT_EQ(listTree(work.path()), (std::vector<std::string>{"pics/NEW.BMP", "pics/old.bmp"}));
}

TEST(Unpacker, RefusesNamesThatLeaveTheWorkingDirectory) {
  TempDir outer;
  std::string inner = outer / "work";
  writeFile(inner + "/keep", "");
  std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(inner);
  int status = unpackHere(makeGroup({{"..\\ESCAPED", "x"},
                                     {"OK.TXT", "ok"},
                                     {"\\ABS", "x"},
                                     {"/ABS2", "x"},
                                     {"C:\\DRIVE", "x"},
                                     {"A\\..\\..\\UP", "x"},
                                     {"..", "x"}}));
  std::filesystem::current_path(previous);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(messages.size(), 6u);
  EXPECT_EQ(listTree(outer.path()), (std::vector<std::string>{"work/OK.TXT", "work/keep"}));
  EXPECT_FALSE(fileExists("/ABS2"));
}

TEST(Unpacker, NamesWindowsWouldMapElsewhereAreRefusedThereOnly) {
  TempDir work(true);
  int status = unpackHere(makeGroup(
      {{"AUX.TXT", "a"}, {"OK.TXT", "ok"}, {"LEVEL.\\X", "x"}, {"SND\\COM1", "c"}, {"B ", "b"}}));
  if (GF_WINDOWS_NAME_RULES) {
    // Written, AUX.TXT would go to a device, "LEVEL." and "B " would lose their ends.
    EXPECT_EQ(status, 1);
    EXPECT_EQ(messages.size(), 4u);
    EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"OK.TXT"});
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listTree(work.path()),
              (std::vector<std::string>{"AUX.TXT", "B ", "LEVEL./X", "OK.TXT", "SND/COM1"}));
  }
}

TEST(Unpacker, WritesNothingForAFileThatIsNotASoundGroup) {
  TempDir work(true);
  EXPECT_EQ(unpackHere("not a group at all"), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("not a group file"), std::string::npos);

  // Cut short or appended to, the directory no longer unscrambles: the message says what
  // probably happened, and keeps the detail.
  std::string good = makeGroup({{"A.TXT", "abc"}, {"B.TXT", "def"}});
  for (const std::string& damaged : {good.substr(0, good.size() - 1), good + "xyz"}) {
    EXPECT_EQ(unpackHere(damaged), 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("group file 'data.grp' is damaged: its directory does not "
                                "decode with the file's length of " +
                                    std::to_string(damaged.size()) +
                                    " bytes; the file was probably cut short or appended to, "
                                    "or is not a group file (entry 0 ",
                                0),
              0u)
        << messages[0];
  }
  // A header that does not fit the file is told as it is: nothing was decoded.
  EXPECT_EQ(unpackHere(good.substr(0, 20)), 1);
  EXPECT_EQ(messages[0],
            "group file 'data.grp' is damaged: directory of 38 bytes runs past the end of the "
            "file (20 bytes)");

  messages.clear();  // the path as the host spells it
  EXPECT_EQ(gfUnpackChecked("no\\missing.grp", collect), 1);
  EXPECT_NE(messages[0].find("'" + hostSpelling("no\\missing.grp") + "'"), std::string::npos)
      << messages[0];
  EXPECT_TRUE(listTree(work.path()).empty());
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

TEST(Unpacker, GoesOnAfterAnEntryThatCannotBeCreated) {
  TempDir work(true);
  writeFile("BLOCK", "a file where a directory should go");
  EXPECT_EQ(unpackHere(makeGroup({{"BLOCK\\X.TXT", "x"}, {"Y.TXT", "y"}})), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].find("cannot create '" + hostSpelling("BLOCK\\X.TXT") + "': "), 0u)
      << messages[0];
  EXPECT_EQ(readFile("Y.TXT"), "y");
}

TEST(Unpacker, CopiesLargeFilesWhole) {
  TempDir work(true);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + i / 4096);
  ASSERT_EQ(unpackHere(makeGroup({{"BIG.BIN", big}, {"SMALL", "s"}})), 0);
  EXPECT_EQ(readFile("BIG.BIN"), big);
  EXPECT_EQ(readFile("SMALL"), "s");
}

#ifndef _WIN32  // symbolic links
TEST(Unpacker, NeverWritesThroughALinkedLevel) {
  TempDir outside, work(true);
  std::filesystem::create_directory_symlink(outside.path(), "PICS");
  std::filesystem::create_directory_symlink(outside.path(), "snd");  // levels ignore case
  std::filesystem::create_directory("real");
  std::filesystem::create_directory_symlink(outside.path(), "real/deeper");
  EXPECT_EQ(unpackHere(makeGroup({{"OK.TXT", "ok"},
                                  {"PICS\\A.TXT", "a"},
                                  {"REAL\\DEEPER\\C.TXT", "c"},
                                  {"REAL\\FINE.TXT", "fine"},
                                  {"SND\\B.TXT", "b"}})),
            1);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[0].find("'PICS' is a symbolic link"), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("'REAL/DEEPER' is a symbolic link"), std::string::npos);
  EXPECT_NE(messages[2].find("'SND' is a symbolic link"), std::string::npos);
  EXPECT_TRUE(listTree(outside.path()).empty());
  EXPECT_EQ(readFile("OK.TXT") + readFile("real/FINE.TXT"), "okfine");

  // A level swapped for a link after it was looked at and before it is opened, one that was
  // there and one the unpack made: the open itself refuses to follow the link.
  swapTarget = outside.path();
  std::filesystem::create_directory("SWAP");
  platMomentHook(PLAT_MOMENT_LEVEL_LOOKED, swapLevelForLink);
  int status = unpackHere(makeGroup({{"MADE\\M.TXT", "m"}, {"SWAP\\S.TXT", "s"}}));
  platMomentHook(PLAT_MOMENT_LEVEL_LOOKED, nullptr);
  EXPECT_EQ(status, 1);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("'MADE' is a symbolic link"), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("'SWAP' is a symbolic link"), std::string::npos) << messages[1];
  EXPECT_TRUE(listTree(outside.path()).empty());
  EXPECT_TRUE(std::filesystem::is_symlink("MADE") && std::filesystem::is_symlink("SWAP"));
}
#endif

#ifndef _WIN32  // symbolic links
TEST(Unpacker, ReplacesAFinalLinkAndLeavesItsTargetAlone) {
  TempDir outside, work(true);
  writeFile(outside / "target", "keep");
  std::filesystem::create_symlink(outside / "target", "X.DAT");
  std::filesystem::create_symlink(outside / "dangling", "Y.DAT");
  ASSERT_EQ(unpackHere(makeGroup({{"X.DAT", "new x"}, {"Y.DAT", "new y"}})), 0);
  EXPECT_EQ(readFile(outside / "target"), "keep");
  EXPECT_FALSE(fileExists(outside / "dangling"));
  EXPECT_FALSE(std::filesystem::is_symlink("X.DAT"));
  EXPECT_EQ(readFile("X.DAT") + readFile("Y.DAT"), "new xnew y");
}
#endif

// A file with a second name elsewhere is replaced, not emptied in place: writing into it
// would change the other name's content outside the working directory.
TEST(Unpacker, ReplacesAHardLinkedFileAndLeavesTheOtherNameAlone) {
  TempDir outside, work(true);
  writeFile(outside / "target", "keep");
  std::filesystem::create_hard_link(outside / "target", "X.DAT");
  ASSERT_EQ(unpackHere(makeGroup({{"X.DAT", "new x"}})), 0);
  EXPECT_EQ(readFile(outside / "target"), "keep");
  EXPECT_EQ(readFile("X.DAT"), "new x");
  EXPECT_EQ(std::filesystem::hard_link_count("X.DAT"), 1u);
}

// Over a tree whose names differ from the stored ones only in case, a file is replaced
// under its own spelling as a case-blind system would, instead of getting a twin.
TEST(Unpacker, ReplacesAFileWhoseNameDiffersOnlyInCase) {
  TempDir work(true);
  writeFile("maps/e1m1.map", "old map");
  writeFile("Readme.txt", "old readme");
  ASSERT_EQ(unpackHere(makeGroup({{"MAPS\\E1M1.MAP", "new map"},
                                  {"MAPS\\NEW.MAP", "brand new"},
                                  {"README.TXT", "new readme"}})),
            0)
      << messages[0];
  EXPECT_EQ(listTree(work.path()),
            (std::vector<std::string>{"Readme.txt", "maps/NEW.MAP", "maps/e1m1.map"}));
  EXPECT_EQ(readFile("maps/e1m1.map") + "|" + readFile("Readme.txt"), "new map|new readme");
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

#ifndef _WIN32  // several spellings of one name, and symbolic links
// The exact name first, else the first spelling in byte order. A file with other names is
// still made anew rather than emptied in place; what is not a regular file keeps its
// rules: the name is made beside it, and a link's target is never touched.
TEST(Unpacker, ChoosesTheExactNameThenTheFirstSpellingAndNeverALink) {
  TempDir outside, work(true);
  for (const char* name : {"two.txt", "Two.txt", "TWO.txt", "exact.txt", "EXACT.TXT"})
    writeFile(name, name);
  writeFile(outside / "target", "keep");
  std::filesystem::create_symlink(outside / "target", "Link.txt");
  std::filesystem::create_hard_link(outside / "target", "hard.dat");
  std::filesystem::create_directory("sub.dat");
  ASSERT_EQ(unpackHere(makeGroup({{"EXACT.TXT", "new exact"},
                                  {"HARD.DAT", "new hard"},
                                  {"LINK.TXT", "new link"},
                                  {"SUB.DAT", "a file"},
                                  {"TWO.TXT", "new two"}})),
            0)
      << messages[0];
  EXPECT_EQ(readFile("TWO.txt") + "|" + readFile("Two.txt") + "|" + readFile("two.txt"),
            "new two|Two.txt|two.txt");
  EXPECT_EQ(readFile("EXACT.TXT") + "|" + readFile("exact.txt"), "new exact|exact.txt");
  EXPECT_EQ(readFile("hard.dat") + "|" + readFile(outside / "target"), "new hard|keep");
  EXPECT_EQ(std::filesystem::hard_link_count("hard.dat"), 1u);
  EXPECT_TRUE(std::filesystem::is_symlink("Link.txt"));
  EXPECT_EQ(readFile("LINK.TXT"), "new link");
  EXPECT_TRUE(std::filesystem::is_directory("sub.dat"));
  EXPECT_EQ(readFile("SUB.DAT"), "a file");
  EXPECT_EQ(listTree(work.path()).size(), 9u);  // no twin of TWO.TXT, EXACT.TXT or HARD.DAT
}

// An update writes only what changed: a file that already holds the stored bytes keeps its
// inode and is only dated now, as if written; a changed, grown or cut file is replaced, a
// missing one made, an extra one left. A read-only file and one with a second name outside
// the target are written anew, never dated or written through.
TEST(Unpacker, AnUpdateWritesOnlyWhatChanged) {
  TempDir outside, work(true);
  const std::vector<StoredFile> stored = {
      {"CHANGED.TXT", "new bytes"}, {"CUT.TXT", "short"},      {"GROWN.TXT", "grown longer"},
      {"LINKED.TXT", "same"},       {"MISSING.TXT", "made"},   {"READONLY.TXT", "same"},
      {"SAME.TXT", std::string(300000, 's')}};
  const std::string image = makeGroup(stored);
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    gfSetThreads(threads);
    for (auto& [name, data] : std::vector<std::pair<std::string, std::string>>{
             {"CHANGED.TXT", "old bytes"}, {"CUT.TXT", "longer once"}, {"GROWN.TXT", "small"},
             {"EXTRA.TXT", "extra"}, {"READONLY.TXT", "same"}, {"SAME.TXT", stored[6].data}})
      writeFile(name, data);
    std::filesystem::remove("MISSING.TXT");
    std::filesystem::remove("LINKED.TXT");
    writeFile(outside / "target", "same");
    setWriteTime(outside / "target", 1000000000);
    std::filesystem::create_hard_link(outside / "target", "LINKED.TXT");
    std::filesystem::permissions("READONLY.TXT", std::filesystem::perms::owner_read);
    setWriteTime("SAME.TXT", 1000000000);
    struct stat before;
    ASSERT_EQ(stat("SAME.TXT", &before), 0);
    ASSERT_EQ(unpackHere(image), 0) << messages[0];
    for (auto& f : stored) EXPECT_EQ(readFile(f.name), f.data) << f.name;
    EXPECT_EQ(readFile("EXTRA.TXT"), "extra");
    struct stat after;
    ASSERT_EQ(stat("SAME.TXT", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);            // not written again
    EXPECT_GT(after.st_mtime, time(nullptr) - 3600);  // but dated as if it had been
    EXPECT_EQ(std::filesystem::hard_link_count("LINKED.TXT"), 1u);
    struct stat target;
    ASSERT_EQ(stat((outside / "target").c_str(), &target), 0);
    EXPECT_EQ(target.st_mtime, 1000000000);  // the other name's file is not touched
    EXPECT_NE(std::filesystem::status("READONLY.TXT").permissions() &
                  std::filesystem::perms::owner_write,
              std::filesystem::perms::none);  // a new file, as any written
    std::filesystem::remove(outside / "target");
  }
  gfSetThreads(0);
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

// A replaced file's old copy is written again for a later file of the same thread: what
// comes out looks as a new file does (a new file's mode, whatever the old copy's was), a
// reader holding an old file keeps its bytes, and no temporary name stays behind.
TEST(Unpacker, OldCopiesWrittenAgainLookNewAndSpareTheirReaders) {
  TempDir work(true);
  std::vector<StoredFile> stored;
  for (int i = 0; i < 12; i++)
    stored.push_back({"F" + std::to_string(10 + i) + ".DAT", std::string(5000, (char)('a' + i))});
  const std::string image = makeGroup(stored);
  mode_t mask = umask(022);
  umask(mask);
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    gfSetThreads(threads);
    for (auto& f : stored) writeFile(f.name, std::string(5000, 'o'));
    std::filesystem::permissions(stored[0].name, std::filesystem::perms::owner_all);
    std::filesystem::permissions(stored[1].name, std::filesystem::perms::owner_all);
    FILE* reader = std::fopen(stored[2].name.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(unpackHere(image), 0) << messages[0];
    std::string held(5000, 0);
    EXPECT_EQ(std::fread(&held[0], 1, held.size(), reader), held.size());
    std::fclose(reader);
    EXPECT_EQ(held, std::string(5000, 'o'));  // the reader's file was not written again
    std::vector<std::string> names;
    for (auto& f : stored) {
      names.push_back(f.name);
      EXPECT_EQ(readFile(f.name), f.data) << f.name;
      struct stat st;
      ASSERT_EQ(stat(f.name.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << f.name;
      EXPECT_EQ(st.st_nlink, 1u) << f.name;
    }
    EXPECT_EQ(listTree(work.path()), names);
  }
  gfSetThreads(0);
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

// A directory that cannot be listed cannot tell whether the user's file has the stored name
// in another spelling: the file is not written (no twin beside the user's), and the unpack
// fails naming the directory and the host's reason.
TEST(Unpacker, FailsWhenTheCaseRuleCannotListTheDirectory) {
  TempDir work(true);
  writeFile("maps/e1.map", "user's map");
  writeFile("other.txt", "old");
  platFaultArm(PLAT_FAULT_LIST, 1, EIO, 0, true);
  int status = unpackHere(makeGroup({{"maps\\E1.MAP", "new map"}, {"OTHER.TXT", "new"}}));
  platFaultOff();
  EXPECT_NE(status, 0);
  EXPECT_EQ(listTree(work.path()), (std::vector<std::string>{"maps/e1.map", "other.txt"}));
  EXPECT_EQ(readFile("maps/e1.map") + "|" + readFile("other.txt"), "user's map|old");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("cannot list directory 'maps' to find the file it replaces: "
                             "Input/output error"),
            std::string::npos)
      << messages[0];
  EXPECT_NE(messages[1].find("cannot list directory '.'"), std::string::npos) << messages[1];
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}
#endif

TEST(Unpacker, EscapesControlCharactersOfStoredNamesInMessages) {
  TempDir work(true);
  EXPECT_EQ(unpackHere(makeGroup({{"..\\\x1b[2J\r\x7f", "x"}})), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("'..\\\\x1B[2J\\x0D\\x7F'"), std::string::npos) << messages[0];
  for (char c : messages[0]) EXPECT_FALSE((unsigned char)c < 0x20 || c == 0x7f);
}

// The directory is read a block at a time and small files are written from a window of
// the group: entries far past the first block, files out of data order and files larger
// than the window all come out whole, and damage deep in the directory still stops the
// unpack before anything is written.
TEST(Unpacker, LongDirectoriesAndWindowedDataComeOutWhole) {
  TempDir work(true);
  std::vector<StoredFile> files;
  for (int i = 0; i < 1200; i++) {  // about 260 KiB of directory
    std::string name = "LEVEL" + std::to_string(i % 13) + "\\A_RATHER_LONG_NAME_" +
                       std::to_string(i) + std::string(180, 'X') + ".DAT";
    files.push_back({name, std::string((size_t)(i * 37) % 3000, (char)('a' + i % 26))});
  }
  files.push_back({"BIG.BIN", std::string(300 * 1024, 'b') + "end"});
  files.push_back({"MIDDLE.BIN", std::string(70 * 1024, 'm')});
  std::string image = makeGroup(files);
  ASSERT_EQ(unpackHere(image), 0) << (messages.empty() ? "" : messages[0]);
  EXPECT_EQ(listTree(work.path()).size(), files.size());
  for (int i : {0, 1, 777, 1199, 1200, 1201}) {
    std::string host = files[i].name;
    for (char& c : host)
      if (c == '\\') c = '/';
    EXPECT_EQ(readFile(work / host), files[i].data) << i;
  }

  // The last entry's size made to run past the end of the file, then scrambled again.
  TempDir second(true);
  std::string plain = makeGroup(files, 1, false);
  size_t lastEntry = plain.find("MIDDLE.BIN");
  ASSERT_NE(lastEntry, std::string::npos);
  plain[lastEntry + 10 + 4 + 3] = 0x7F;  // the size's high byte
  scrambleGroup(plain);
  EXPECT_EQ(unpackHere(plain), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("entry 1201: data at"), std::string::npos) << messages[0];
  EXPECT_TRUE(listTree(second.path()).empty());

  // Names that fill a task's text to its last byte, then a name whose terminator would be
  // one byte past it: the task must end there, not write the terminator past its text.
  TempDir third(true);
  std::vector<StoredFile> named;
  auto add = [&named](size_t length) {
    std::string name = "T\\" + std::to_string(named.size()) + "_";
    named.push_back({name + std::string(length - name.size(), 'N'), std::to_string(length)});
  };
  for (int i = 0; i < kTaskText / (GF_NAME_MAX + 1); i++) add(GF_NAME_MAX);  // exactly full
  for (int i = 0; i < 29; i++) add(GF_NAME_MAX);
  for (int i = 0; i < 3; i++) add(170);  // 29 * 256 + 3 * 171: the text 255 bytes short
  add(GF_NAME_MAX);
  ASSERT_EQ(unpackHere(makeGroup(named)), 0) << (messages.empty() ? "" : messages[0]);
  EXPECT_EQ(listTree(third.path()).size(), named.size());
  for (const StoredFile& f : named) EXPECT_EQ(readFile("T/" + f.name.substr(2)), f.data);
}

// Files, messages and status are the same whatever the thread count: many directories, a
// name stored twice apart, spellings of one name, a file where a level should go, refused
// names, a file over one already there in another case, and a directory of large files
// (cut into several tasks) with one of them stored twice, in an order no sort made.
TEST(Unpacker, TheSameFilesAndMessagesForEveryThreadCount) {
  std::vector<StoredFile> files;
  for (int i = 0; i < 600; i++)
    files.push_back({"D" + std::to_string(i % 9) + "\\S" + std::to_string(i % 4) + "\\F" +
                         std::to_string(i) + ".DAT",
                     std::string((size_t)(i * 53) % 5000, (char)('a' + i % 26))});
  files.insert(files.begin() + 100, {"D1\\S1\\F1.DAT", "stored again"});
  files.insert(files.begin() + 200, {"D2\\Foo", "first spelling"});
  files.insert(files.begin() + 300, {"D2\\FOO", "second spelling"});
  files.insert(files.begin() + 350, {"BLOCK\\X.TXT", "cannot go"});
  files.insert(files.begin() + 400, {"..\\OUT", "refused"});
  files.insert(files.begin() + 450, {"OLD\\README.TXT", "new readme"});
  files.insert(files.begin() + 500, {"E", "a file"});
  files.insert(files.begin() + 501, {"e\\Z", "below a level of the file's name"});
  for (int i = 0; i < 4; i++)
    files.insert(files.begin() + 520 + i, {"BIG\\B" + std::to_string(i % 3),
                                           std::string((size_t)(5 << 20) + i, (char)('k' + i))});
  std::string image = makeGroup(files);
  std::string first;
  for (int threads : {1, 2, 7}) {
    TempDir work(true);
    writeFile("BLOCK", "a file where a directory should go");
    writeFile("old/readme.txt", "old readme");
    gfSetThreads(threads);
    int status = unpackHere(image);
    std::string seen = std::to_string(status);
    for (auto& m : messages) seen += "\n" + m;
    for (auto& name : listTree(work.path())) seen += "\n" + name + "=" + readFile(work / name);
    if (threads == 1) first = seen;
    EXPECT_EQ(seen, first) << threads << " threads";
    EXPECT_EQ(memLiveBlocks(nullptr), 0);
  }
  gfSetThreads(0);
  EXPECT_NE(first.find("\nold/readme.txt=new readme"), std::string::npos);
  EXPECT_NE(first.find("\nD1/S1/F1.DAT=stored again"), std::string::npos);  // the later copy
  EXPECT_NE(first.find("\nBIG/B0=" + std::string((size_t)(5 << 20) + 3, 'n')), std::string::npos);
}

// A group that stores its own name, unpacked in its own directory, under that name and under
// another spelling of it: that entry is refused, the group stays byte for byte, and every
// other entry is written, the user's older files replaced whole.
TEST(Unpacker, NeverWritesOverTheGroupBeingRead) {
  for (int threads : {1, 4}) {
    for (const char* groupName : {"DATA.GRP", "data.grp"}) {
      TempDir work(true);
      gfSetThreads(threads);
      std::string image = makeGroup(
          {{"A.TXT", "new a"}, {"DATA.GRP", "an older group"}, {"Z.TXT", "new z"}});
      writeFile(groupName, image);
      writeFile("Z.TXT", "the user's z");
      messages.clear();
      EXPECT_EQ(gfUnpackChecked(groupName, collect), 1);
      ASSERT_EQ(messages.size(), 1u) << threads;
#ifdef _WIN32
      // Windows finds the file under the stored spelling itself, and names it so.
      const char* shown = "DATA.GRP";
#else
      const char* shown = groupName;  // the spelling on disk
#endif
      EXPECT_EQ(messages[0], std::string("refusing to unpack 'DATA.GRP': '") + shown +
                                 "' is the group file being read");
      EXPECT_EQ(readFile(groupName), image);
      EXPECT_EQ(readFile("A.TXT") + "|" + readFile("Z.TXT"), "new a|new z");
      EXPECT_EQ(listTree(work.path()).size(), 3u);
    }
  }
  gfSetThreads(0);
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

#ifndef _WIN32  // spellings a POSIX directory keeps apart
// Two spellings of one name give one file, the later copy's bytes under the first spelling,
// whether the directory was there before (even empty) or not, with one thread or four. The
// later spelling is decided before anything is emptied, even when the task's names fill its
// text.
TEST(Unpacker, CaseVariantsGiveOneTreeWhateverWasThere) {
  std::vector<StoredFile> files = {{"D\\Foo", "first"}, {"D\\FOO", "second"}};
  for (int i = 0; i < 38; i++)
    files.push_back({"D\\" + std::string(200, 'L') + std::to_string(i), "long"});
  files.push_back({"E\\X", "x"});
  files.push_back({"E\\x", "later x"});
  std::string image = makeGroup(files);
  for (int threads : {1, 4}) {
    for (bool existed : {false, true}) {
      TempDir work(true);
      if (existed) std::filesystem::create_directories("D");
      if (existed) std::filesystem::create_directories("E");
      gfSetThreads(threads);
      EXPECT_EQ(unpackHere(image), 0) << (messages.empty() ? "" : messages[0]);
      EXPECT_EQ(listTree(work.path()).size(), 40u) << threads << " " << existed;
      EXPECT_EQ(readFile("D/Foo") + "|" + readFile("E/X"), "second|later x")
          << threads << " " << existed;
    }
  }
  gfSetThreads(0);
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}

// A file written beside the one it replaces takes the tool's temporary name until it is
// complete; the next unpack removes such names a process that is gone left beside the files
// it writes, and nothing else.
TEST(Unpacker, RemovesTheTemporaryNamesADeadUnpackLeft) {
  TempDir work(true);
  writeFile("X.DAT", "old x");
  // 2147483000: past any process id the system gives.
  for (const char* name : {"X.DAT.tarnpak-tmp-2147483000-7", "x.dat.tarnpak-tmp-2147483000-8",
                           "X.DAT.tarnpak-tmpkeep", "Y.DAT.tarnpak-tmp-2147483000-1",
                           "X.DAT.tmp2147483000.9"})  // a user's, of a pattern once the tool's
    writeFile(name, "debris");
  std::filesystem::create_symlink("X.DAT", "X.DAT.tarnpak-tmp-2147483000-6");  // not ours
  ASSERT_EQ(unpackHere(makeGroup({{"X.DAT", "new x"}})), 0);
  EXPECT_TRUE(std::filesystem::is_symlink("X.DAT.tarnpak-tmp-2147483000-6"));
  EXPECT_EQ(listTree(work.path()),  // the link is listed as what it leads to
            (std::vector<std::string>{"X.DAT", "X.DAT", "X.DAT.tarnpak-tmpkeep",
                                      "X.DAT.tmp2147483000.9",
                                      "Y.DAT.tarnpak-tmp-2147483000-1",
                                      "x.dat.tarnpak-tmp-2147483000-8"}));
  EXPECT_EQ(readFile("X.DAT"), "new x");
  // Said, and no failure.
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "removed 'X.DAT.tarnpak-tmp-2147483000-7', a temporary file that a "
                         "killed process left");
}
#endif

namespace {
int g_checksLeft = 0;
int stopAfterChecks(void*) { return --g_checksLeft < 0; }
}  // namespace

// The explicit target replaces the working directory; a cancel check stops a pack (no group
// written, the old one whole) and an unpack (the files begun are whole, no further one
// begun), each reporting "interrupted".
TEST(Unpacker, WritesIntoATargetAndStopsWhenTheCancelCheckSaysSo) {
  TempDir work(true);
  std::vector<StoredFile> files;
  for (int i = 0; i < 300; i++)
    files.push_back({"D" + std::to_string(i % 3) + "\\F" + std::to_string(i),
                     std::string(3000 + (size_t)i, 'x')});
  writeFile("data.grp", makeGroup(files));
  std::filesystem::create_directory("out");
  messages.clear();
  ASSERT_EQ(gfUnpackInto("data.grp", "out", nullptr, nullptr, 0, collect), 0);
  EXPECT_EQ(listTree(work / "out").size(), 300u);
  EXPECT_EQ(listTree(work.path()).size(), 301u);  // nothing beside data.grp outside "out"
  EXPECT_EQ(gfUnpackInto("data.grp", "missing", nullptr, nullptr, 0, collect), 1);
  EXPECT_NE(messages.back().find("'missing'"), std::string::npos) << messages.back();

  for (int threads : {1, 3}) {
    gfSetThreads(threads);
    std::filesystem::remove_all("cut");
    std::filesystem::create_directory("cut");
    messages.clear();
    g_checksLeft = 100;
    gfSetCancelCheck(stopAfterChecks, nullptr);
    EXPECT_EQ(gfUnpackInto("data.grp", "cut", nullptr, nullptr, 0, collect), 1);
    gfSetCancelCheck(nullptr, nullptr);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "interrupted");
    std::vector<std::string> written = listTree(work / "cut");
    EXPECT_GE(written.size(), 90u);
    EXPECT_LT(written.size(), 300u);
    for (const std::string& name : written) {
      size_t number = std::stoul(name.substr(name.find('F') + 1));
      EXPECT_EQ(readFile(work / ("cut/" + name)).size(), 3000 + number) << name;
    }
  }
  gfSetThreads(0);

  writeFile("game/group.cfg", "*.dat\n");
  for (int i = 0; i < 40; i++)
    writeFile("game/f" + std::to_string(i) + ".dat", std::string(600000, 'y'));
  writeFile("old.grp", "the old group");
  messages.clear();
  g_checksLeft = 3;
  gfSetCancelCheck(stopAfterChecks, nullptr);
  EXPECT_EQ(TarnpakFromWarned("game", "old.grp", 1, collect, nullptr), 1);
  gfSetCancelCheck(nullptr, nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "interrupted");
  EXPECT_EQ(readFile("old.grp"), "the old group");
  for (const std::string& name : listTree(work.path()))
    EXPECT_EQ(name.find(".tarnpak-tmp-"), std::string::npos) << name;
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}
