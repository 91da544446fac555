// The tool from the outside: usage text, the choice of road, messages and exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include "engine/gf/base/group_format.h"
#include "support/test_support.h"

TEST(Tool, PrintsTheUsageTextWithoutArguments) {
  TempDir work;
  ToolRun run = runTool({}, work.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out,
            "Usage: Tarnpak <path>\n"
            "In Tarnpak directory qzgroup.cfg file must exist\n"
            "Sample data:\n"
            "       levdemo9.lev\n"
            "       pics*.*\n"
            "       rof*.*\n"
            "       sounds*.*\n"
            "       soundsmaterial*.*\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(listTree(work.path()).empty());
}

TEST(Tool, UnpacksAGroupIntoTheWorkingDirectory) {
  TempDir work;
  writeFile(work / "in/level.grp", makeGroup({{"A.TXT", "abc"}, {"PICS\\B.BMP", "b"}}));
  ToolRun run = runTool({"in/level.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(listTree(work.path()),
            (std::vector<std::string>{"A.TXT", "PICS/B.BMP", "in/level.grp"}));
}

TEST(Tool, TheGroupTestIsACaseSensitiveSubstring) {
  TempDir work;
  writeFile(work / "levels.grp.old", makeGroup({{"OLD.TXT", "x"}}));
  ToolRun run = runTool({"levels.grp.old"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fileExists(work / "OLD.TXT"));

  writeFile(work / "DATA.GRP", makeGroup({{"UPPER.TXT", "x"}}));
  run = runTool({"DATA.GRP"}, work.path());  // not ".grp": taken as a directory to pack
  EXPECT_NE(run.status, 0);
  EXPECT_FALSE(fileExists(work / "UPPER.TXT"));
}

TEST(Tool, ReportsAFailedUnpackOnStandardError) {
  TempDir work;
  ToolRun run = runTool({"missing.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Tarnpak: cannot open group file 'missing.grp': " + missingFileReason() + "\n");
#ifndef _WIN32
  EXPECT_EQ(missingFileReason(), "No such file or directory");  // Windows words it its own way
#endif

  writeFile(work / "bad.grp", "this is no group");
  run = runTool({"bad.grp"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Tarnpak: 'bad.grp' is not a group file\n");
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"bad.grp"});
}

TEST(Tool, PacksADirectoryIntoNewgrpInTheWorkingDirectory) {
  TempDir game, work;
  writeFile(game / "levdemo9.lev", "level");
  writeFile(game / "pics/a.bmp", "a");
  writeFile(game / "group.cfg", "levdemo9.lev\npics\\*.* r\n");
  ToolRun run = runTool({game.path()}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"newgrp.grp"});
  EXPECT_FALSE(fileExists(game / "newgrp.grp"));

  run = runTool({"newgrp.grp"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(work / "LEVDEMO9.LEV"), "level");
  EXPECT_EQ(readFile(work / "PICS/A.BMP"), "a");
}

TEST(Tool, ReportsAMissingBuildListAndKeepsAnOldGroup) {
  TempDir game, work;
  writeFile(work / "newgrp.grp", "older group");
  ToolRun run = runTool({game.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Tarnpak: cannot open build list"), std::string::npos) << run.err;
  EXPECT_EQ(readFile(work / "newgrp.grp"), "older group");

  run = runTool({std::string(400, 'd')}, work.path());  // a path no root can hold
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("too long"), std::string::npos) << run.err;
}

// Options, extra arguments and the spelling of paths: the job is the same, the tool says more.
TEST(Tool, AnswersHelpAndVersionAndWarnsOfWhatItIgnores) {
  TempDir work;
  std::string usage = runTool({}, work.path()).out;
  for (const char* option : {"--help", "-h"}) {
    ToolRun run = runTool({option}, work.path());
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.out.substr(0, usage.size()), usage);
    for (const char* listed : {"-q ", "--no-sync ", "--sums FILE ", "--version ", "-- "})
      EXPECT_NE(run.out.find(std::string("\n  ") + listed), std::string::npos) << listed;
    EXPECT_EQ(run.err, "");
  }
  // Options in any order before the path; one the tool does not know is refused by name
  // and nothing is written; an option alone is no path.
  writeFile(work / "g/a.txt", "a");
  writeFile(work / "g/group.cfg", "a.txt\n");
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"-o", "x.grp", "g"}, {"g", "-q"}, {"-q"}}) {
    ToolRun refused = runTool(wrong, work.path());
    EXPECT_EQ(refused.status, wrong[0] == "g" ? 0 : 2) << wrong[0];
    if (wrong[0] == "-o") {
      EXPECT_EQ(refused.err, "Tarnpak: unknown option '-o' (a path that begins with '-' is "
                             "named as './-o' or after '--')\n");
    }
  }
  EXPECT_FALSE(fileExists(work / "x.grp"));
  ToolRun anyOrder = runTool({"--sums", "s", "--no-sync", "-q", "g"}, work.path());
  EXPECT_EQ(anyOrder.status, 0) << anyOrder.err;
  EXPECT_TRUE(fileExists(work / "s"));
  std::remove((work / "newgrp.grp").c_str());
  ToolRun run = runTool({"--version"}, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Tarnpak 1.0.0\n");

  // A directory of such a name is still packed when named as a path.
  writeFile(work / "--help/a.txt", "a");
  writeFile(work / "--help/group.cfg", "a.txt\n");
  run = runTool({"./--help", "mygame.grp", "x\x1b"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Tarnpak: warning: only the first argument is used; ignored: 'mygame.grp' 'x\\x1B'\n");
  EXPECT_TRUE(fileExists(work / "newgrp.grp"));
  EXPECT_FALSE(fileExists(work / "mygame.grp"));

  run = runTool({"newgrp.grp", "ignored"}, work.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "Tarnpak: warning: only the first argument is used; ignored: 'ignored'\n");
  EXPECT_EQ(readFile(work / "A.TXT"), "a");

  // Build-list warnings reach stderr, one line each, and leave the exit status alone.
  writeFile(work / "--help/group.cfg", "a.txt\nnosuch.txt\n");
  run = runTool({"./--help"}, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "Tarnpak: warning: group.cfg line 2 'nosuch.txt': the mask finds no file\n");
#ifndef _WIN32
  run = runTool({"/nonexistent"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Tarnpak: cannot read game directory '/nonexistent': "
                     "No such file or directory\n");  // the directory is what is missing
#endif
}

// File size limits, alarms, /proc, FIFOs and symbolic links: POSIX only.
#ifndef _WIN32
namespace {

// The tool must neither hang nor spin: a run that takes this long is killed.
void limitTime() { alarm(30); }

void limitFileSize() {
  limitTime();
  struct rlimit limit = {64 * 1024, 64 * 1024};
  setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace

TEST(Tool, AFileSizeLimitIsAnErrorThatLeavesNothingBehind) {
  TempDir game, work;
  std::string big(1024 * 1024, 'b');
  writeFile(game / "small.txt", "s");
  writeFile(game / "big.bin", big);
  writeFile(game / "group.cfg", "small.txt\nbig.bin\n");
  ToolRun run = runTool({game.path()}, work.path(), limitFileSize);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
  EXPECT_TRUE(listTree(work.path()).empty());

  writeFile(game / "in.grp", makeGroup({{"BIG.BIN", big}, {"SMALL.TXT", "s"}}));
  run = runTool({game / "in.grp"}, work.path(), limitFileSize);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Tarnpak: cannot write 'BIG.BIN': File too large\n");
  EXPECT_EQ(listTree(work.path()), std::vector<std::string>{"SMALL.TXT"});  // no partial file
}

TEST(Tool, LooksForTheBuildListBeforeScanningTheTree) {
  TempDir work;
  ToolRun run = runTool({"/proc"}, work.path(), limitTime);  // scanned whole, it takes minutes
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot open build list"), std::string::npos) << run.err;
}

TEST(Tool, NeverWaitsOnAPipe) {
  TempDir work;
  ASSERT_EQ(mkfifo((work / "pipe.grp").c_str(), 0600), 0);
  ToolRun run = runTool({"pipe.grp"}, work.path(), limitTime);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("pipe.grp"), std::string::npos) << run.err;

  std::filesystem::create_directory(work / "game");
  ASSERT_EQ(mkfifo((work / "game/group.cfg").c_str(), 0600), 0);
  run = runTool({"game"}, work.path(), limitTime);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is not a regular file"), std::string::npos) << run.err;
}

TEST(Tool, PacksATreeWithLinkLoops) {
  TempDir game, work;
  writeFile(game / "a.txt", "a");
  writeFile(game / "sub/b.txt", "b");
  std::filesystem::create_directory_symlink(".", game / "l1");
  std::filesystem::create_directory_symlink(".", game / "l2");
  writeFile(game / "group.cfg", "*.txt\nsub\\*.* r\nl1\\*.txt\n");
  ToolRun run = runTool({game.path()}, work.path(), limitTime);
  EXPECT_EQ(run.status, 0) << run.err;
  run = runTool({"newgrp.grp"}, work.path(), limitTime);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(listTree(work.path()),
            (std::vector<std::string>{"A.TXT", "L1/A.TXT", "SUB/B.TXT", "newgrp.grp"}));
}

// A '/' in a stored name is a level like '\\': the level is entered without following a
// link, so a hostile group cannot write through a link it expects in the target. Both
// unpacking programs, on one thread and on four.
TEST(Tool, ASlashInAStoredNameIsALevelThatNeverFollowsALink) {
  TempDir outside, work;
  writeFile(work / "hostile.grp", makeGroup({{"A/B/C.TXT", "c"},
                                             {"LINK/EVIL.TXT", "evil"},
                                             {"LINK\\DEEP/EVIL.TXT", "evil"},
                                             {"Z.TXT", "z"}}));
  const std::string linked = "'LINK' is a symbolic link";
  for (const char* threads : {"1", "4"}) {
    setenv("TARNPAK_THREADS", threads, 1);
    for (const char* dir : {"tool", "grp"}) {
      std::string target = work / dir;
      std::filesystem::create_directories(target);
      std::filesystem::create_directory_symlink(outside.path(), target + "/LINK");
      ToolRun run = dir[0] == 't' ? runTool({"../hostile.grp"}, target, limitTime)
                                  : runGrp({"extract", "hostile.grp", "-C", dir}, work.path());
      EXPECT_EQ(run.status, 1) << dir << threads;
      size_t first = run.err.find(linked);
      EXPECT_NE(first, std::string::npos) << run.err;
      EXPECT_NE(run.err.find(linked, first + 1), std::string::npos) << run.err;
      EXPECT_TRUE(listTree(outside.path()).empty()) << dir << threads;
      EXPECT_EQ(readFile(target + "/A/B/C.TXT") + readFile(target + "/Z.TXT"), "cz");
      std::filesystem::remove_all(target);
    }
  }
  unsetenv("TARNPAK_THREADS");
  ToolRun verify = runGrp({"verify", "hostile.grp"}, work.path());
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("LINK/EVIL.TXT): the name holds '/'"), std::string::npos)
      << verify.err;
}

namespace {

// A group at path whose BIG.BIN is bigSize bytes of a hole behind the other files' data:
// long to copy, nothing to make. A.TXT comes before it in the directory, C.TXT after.
void writeSparseGroup(const std::string& path, long long bigSize) {
  std::string image = makeGroup({{"A.TXT", "a"}, {"BIG.BIN", ""}, {"C.TXT", "c"}}, 1, false);
  size_t at = image.find("BIG.BIN") + 7;
  long long offset = (long long)image.size(), length = offset + bigSize;
  for (int i = 0; i < 4; i++) {
    image[at + i] = (char)(offset >> (8 * i));
    image[at + 4 + i] = (char)(bigSize >> (8 * i));
  }
  long dirSize = (unsigned char)image[12] | (unsigned char)image[13] << 8;
  gfScramble(reinterpret_cast<unsigned char*>(&image[GF_HEADER_SIZE]), dirSize, length);
  writeFile(path, image);
  ASSERT_EQ(truncate(path.c_str(), length), 0);
}

// Starts exe with args in cwd, its output thrown away.
pid_t startProgram(const std::string& exe, const std::vector<std::string>& args,
                   const std::string& cwd) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (chdir(cwd.c_str()) != 0 || null < 0) _exit(127);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits until path holds more than size bytes; false when pid ended first or it took
// longer than a minute.
bool waitForGrowth(pid_t pid, const std::string& path, long long size) {
  for (int i = 0; i < 60000; i++) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > size) return true;
    if (waitpid(pid, nullptr, WNOHANG) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace

// Interrupted while it writes a large file, an unpack removes that file, keeps the ones it
// finished, and ends by the signal.
TEST(Tool, AnInterruptedUnpackRemovesThePartlyWrittenFile) {
  struct Case {
    const char* exe;
    std::vector<std::string> args;
    int sig;
  } cases[] = {{TARNPAK_EXE, {"../big.grp"}, SIGINT},
               {GRP_EXE, {"extract", "../big.grp"}, SIGTERM},
               {TARNPAK_EXE, {"../big.grp"}, SIGHUP}};
  TempDir base;
  writeSparseGroup(base / "big.grp", 1536LL << 20);
  for (const Case& c : cases) {
    std::string work = base / "work";
    std::filesystem::create_directory(work);
    pid_t pid = startProgram(c.exe, c.args, work);
    ASSERT_GT(pid, 0);
    bool caught = waitForGrowth(pid, work + "/BIG.BIN", 4 << 20);
    if (caught) kill(pid, c.sig);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(caught) << c.exe << " finished before it could be interrupted";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << c.exe << ": " << status;
    // C.TXT is in a task of its own behind the large file: another thread may have
    // written it, whole, meanwhile.
    std::vector<std::string> left = listTree(work);
    ASSERT_FALSE(left.empty()) << c.exe;
    if (left.size() == 2 && left[1] == "C.TXT") EXPECT_EQ(readFile(work + "/C.TXT"), "c");
    else EXPECT_EQ(left, std::vector<std::string>{"A.TXT"}) << c.exe;
    EXPECT_EQ(left[0], "A.TXT");
    EXPECT_EQ(readFile(work + "/A.TXT"), "a");
    std::filesystem::remove_all(work);
  }
}
#endif

// Mistakes a list or a tree can hold that once gave a result other than the one meant, with
// status 0 and no word: each now gets the result meant, or a refusal naming the cause.
#ifndef _WIN32
TEST(Tool, DirectoriesThatDifferOnlyInCaseAreOneAsInTheTable) {
  TempDir game, work;
  writeFile(game / "Sounds/a.wav", "older");
  writeFile(game / "sounds/a.wav", "newer");
  writeFile(game / "sounds/voice/v.wav", "voice");
  writeFile(game / "SOUNDS/c.wav", "c");
  writeFile(game / "textures/x.tga", "other");
  writeFile(game / "TEXTURES/walls/x.tga", "wall");
  setWriteTime(game / "Sounds/a.wav", 978307200);  // 2001
  setWriteTime(game / "sounds/a.wav", 1009843200);  // 2002
  std::string group;
  for (const char* mask : {"sounds\\*.* r", "SOUNDS/*.* r", "Sounds\\*.* r"}) {
    writeFile(game / "group.cfg", std::string(mask) + "\n");
    ToolRun run = runTool({game.path()}, work.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("'SOUNDS\\A.WAV' is found 2 times"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("sounds/a.wav' (the newest"), std::string::npos) << run.err;
    if (group.empty()) group = readFile(work / "newgrp.grp");
    EXPECT_EQ(readFile(work / "newgrp.grp"), group) << mask;
  }
  EXPECT_EQ(runGrp({"list", "newgrp.grp"}, work.path()).out,
            "SOUNDS\\A.WAV\nSOUNDS\\C.WAV\nSOUNDS\\VOICE\\V.WAV\n");
  EXPECT_EQ(runGrp({"cat", "newgrp.grp", "sounds/a.wav"}, work.path()).out, "newer");
  ToolRun table = runGrp({"table", game.path()}, work.path());
  EXPECT_NE(table.out.find("SOUNDS\\A.WAV"), std::string::npos);
  EXPECT_NE(table.out.find("2002-01-01"), std::string::npos) << table.out;  // the same copy
  ToolRun check = runGrp({"check", game.path()}, work.path());
  EXPECT_EQ(check.status, 1) << check.err;
  EXPECT_NE(check.out.find("3 files"), std::string::npos) << check.out;
  // grp add finds a path in whichever spelling of its levels holds it.
  ToolRun add = runGrp({"add", "-C", game.path(), "g.grp", "textures/walls/x.tga"}, work.path());
  ASSERT_EQ(add.status, 0) << add.err;
  EXPECT_EQ(runGrp({"cat", "g.grp", "TEXTURES\\WALLS\\X.TGA"}, work.path()).out, "wall");
}
#endif

TEST(Tool, DatesAndNamesAGroupCannotCarryEverywhereAreWarnedOf) {
  TempDir game, work;
  writeFile(game / "old.txt", "1975");
  writeFile(game / "fine.txt", "fine");
  setWriteTime(game / "old.txt", 168480000);  // 1975-05-04
  setWriteTime(game / "fine.txt", 1041422400);
#ifndef _WIN32
  writeFile(game / "aux.wav", "device");
  writeFile(game / "what?.txt", "question");
#endif
  writeFile(game / "group.cfg", "*.txt\n*.wav\n");
  ToolRun run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("'old.txt' was last written in 1975, outside the years a group can "
                         "date (1980 to 2107)"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(runGrp({"list", "--json", "newgrp.grp"}, work.path()).out.find("\"mtime\": \"1980-00"),
            std::string::npos);
  EXPECT_NE(runGrp({"list", "--json", "newgrp.grp"}, work.path()).out.find(
                "\"name\": \"OLD.TXT\", \"size\": 4, \"mtime\": null"),
            std::string::npos);
  ToolRun extract = runGrp({"extract", "newgrp.grp", "-C", "x"}, work.path());
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(extract.err, "grp: warning: 'OLD.TXT' has no valid stored date (a group holds 1980 "
                         "to 2107): it keeps the time of extraction\n");
#ifndef _WIN32
  EXPECT_NE(run.err.find("'aux.wav' is not portable: the name is a Windows device"),
            std::string::npos) << run.err;
  EXPECT_NE(run.err.find("'what?.txt' is not portable"), std::string::npos) << run.err;
  ToolRun verify = runGrp({"verify", "newgrp.grp"}, work.path());
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.err.find("entry 0 (AUX.WAV): not portable"), std::string::npos);
  verify = runGrp({"verify", "--json", "newgrp.grp"}, work.path());
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.err, "");
  EXPECT_NE(verify.out.find("\"ok\": true, \"entries\": 4,"), std::string::npos) << verify.out;
  EXPECT_NE(verify.out.find("\"warnings\": [{\"entry\": 0, \"name\": \"AUX.WAV\", \"reason\": "
                            "\"not portable: the name is a Windows device name\"}, "),
            std::string::npos)
      << verify.out;
  // grp add takes such a name by the same rule, with the same warning.
  ToolRun add = runGrp({"add", "-C", game.path(), "g.grp", "aux.wav"}, work.path());
  EXPECT_EQ(add.status, 0) << add.err;
  EXPECT_NE(add.err.find("'aux.wav' is not portable"), std::string::npos) << add.err;
#endif
  writeFile(work / "cut.grp", makeGroup({{"A.TXT", "a"}}).substr(0, 20));
  ToolRun damaged = runGrp({"verify", "--json", "cut.grp"}, work.path());
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("{\"file\": \"cut.grp\", \"ok\": false, \"entries\": null"),
            std::string::npos) << damaged.out;
}

// A name another host reads differently is stored with a warning saying why: bytes outside
// ASCII (UTF-8 here, the ANSI code page on Windows) and, where it is a name character, a
// backslash, which a group takes as a level separator. grp verify and grp add say the same.
TEST(Tool, NamesThatReadDifferentlyOnAnotherHostAreWarnedOf) {
  TempDir game, work;
  writeFile(game / "pics/caf\xc3\xa9.png", "cafe");
#ifndef _WIN32
  writeFile(game / "back\\slash.txt", "slash");
#endif
  writeFile(game / "group.cfg", "pics\\*.png\n*.txt\n");
  ToolRun run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string encodings = "is not portable: the name has bytes outside ASCII, which the "
                                "hosts read in different encodings";
  EXPECT_NE(run.err.find(encodings), std::string::npos) << run.err;
#ifndef _WIN32
  EXPECT_NE(run.err.find("'back\\slash.txt' is not portable: the name holds a backslash, which "
                         "a group takes as a level separator"),
            std::string::npos)
      << run.err;
#endif
  ToolRun verify = runGrp({"verify", "newgrp.grp"}, work.path());
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.err.find("not portable: the name has bytes outside ASCII"), std::string::npos)
      << verify.err;
  ToolRun add = runGrp({"add", "-C", game.path(), "g.grp", "pics"}, work.path());
  EXPECT_EQ(add.status, 0) << add.err;
  EXPECT_NE(add.err.find(encodings), std::string::npos) << add.err;
}

// A line that finds nothing says why where the cause is plain (a directory named as a mask,
// a name with a space); every refused line of a build list is told, not only the first; an
// upper-case DATA.GRP is told to be no group the tool unpacks.
TEST(Tool, MessagesNameTheCauseOfAMistake) {
  TempDir game, work;
  writeFile(game / "sounds/a.wav", "a");
  writeFile(game / "my file.txt", "space");
  writeFile(game / "group.cfg", "sounds\nmy file.txt\n..\\up.txt\nsounds\\*.*\nc:\\x.txt\n");
  ToolRun run = runTool({game.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  for (const char* said :
       {"line 1 'sounds': 'sounds' is a directory, and a mask takes files: 'sounds\\*.*' takes",
        "line 2 'my file.txt': the mask ends at the first space, so it is 'my': a mask cannot "
        "hold a space, but '?' matches one ('my?file.txt' takes the file)",
        "refusing line 3 of the build list", "refusing line 5 of the build list"})
    EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;
  EXPECT_FALSE(fileExists(work / "newgrp.grp"));
  writeFile(work / "DATA.GRP", makeGroup({{"A.TXT", "a"}}));
  run = runTool({"DATA.GRP"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("only a name holding '.grp' in lower case is a group to unpack: rename "
                         "it, such as to 'DATA.grp'"),
            std::string::npos)
      << run.err;
}

#ifndef _WIN32
// A broken symbolic link a mask takes is left out with a warning naming it and the pack goes
// on; named exactly, it is said to be one, not "the mask finds no file"; grp add refuses it
// by name.
TEST(Tool, BrokenLinksAreNamedNotLeftOutInSilence) {
  TempDir game, work;
  writeFile(game / "fonts/a.ttf", "font");
  std::filesystem::create_symlink("missing.ttf", game / "fonts/b.ttf");
  writeFile(game / "group.cfg", "fonts\\*.ttf\nfonts\\b.ttf\n");
  ToolRun run = runTool({game.path()}, work.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("group.cfg line 1 'fonts\\*.ttf': 'fonts/b.ttf' is a broken symbolic "
                         "link: left out"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("group.cfg line 2 'fonts\\b.ttf': 'fonts/b.ttf' is a broken symbolic "
                         "link"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("finds no file"), std::string::npos) << run.err;
  EXPECT_EQ(runGrp({"list", "newgrp.grp"}, work.path()).out, "FONTS\\A.TTF\n");
  ToolRun add = runGrp({"add", "-C", game.path(), "g.grp", "fonts/b.ttf"}, work.path());
  EXPECT_EQ(add.status, 1);
  EXPECT_NE(add.err.find("fonts/b.ttf': it is a broken symbolic link"), std::string::npos)
      << add.err;
}
#endif

TEST(Tool, AListOrAResultThatWouldLoseAGroupIsRefused) {
  TempDir game, work;
  writeFile(game / "a.txt", "a");
  writeFile(game / "group.cfg", "a.txt\n");
  ASSERT_EQ(runTool({game.path()}, work.path()).status, 0);
  const std::string good = readFile(work / "newgrp.grp");
  struct Case {
    std::string list;
    const char* says;
  } cases[] = {
      {std::string("\xFF\xFE" "a\0.\0t\0x\0t\0\r\0\n\0", 16), "is UTF-16 text (little-endian"},
      {std::string("\xFE\xFF\0a\0.\0t\0x\0t\0\r\0\n", 16), "is UTF-16 text (big-endian"},
      {"nothing.txt\n", "not replacing 'newgrp.grp': no line of group.cfg found a file"},
      {"\n", "not replacing 'newgrp.grp'"},
  };
  for (const Case& c : cases) {
    writeFile(game / "group.cfg", c.list);
    ToolRun run = runTool({game.path()}, work.path());
    EXPECT_EQ(run.status, 1) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(readFile(work / "newgrp.grp"), good) << c.says;
  }
  // A first pack that takes nothing writes the empty group, with a warning, as does one
  // over an empty group: nothing is lost.
  TempDir fresh;
  for (int i = 0; i < 2; i++) {
    ToolRun run = runTool({game.path()}, fresh.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("warning: the group 'newgrp.grp' holds no file"), std::string::npos);
    EXPECT_EQ(readFile(fresh / "newgrp.grp").size(), 16u);
  }
  // A missing group file is called one, not a game directory.
  ToolRun run = runGrp({"table", "nothere.grp"}, work.path());
  EXPECT_NE(run.err.find("cannot read group file 'nothere.grp'"), std::string::npos) << run.err;
}

#ifndef _WIN32
namespace {
const char* threadSetting = "";
void setThreads() { setenv("TARNPAK_THREADS", threadSetting, 1); }
}  // namespace

TEST(Tool, AThreadCountOutOfRangeIsWarnedOfAndTheDefaultUsed) {
  TempDir game, work;
  writeFile(game / "a.txt", "a");
  writeFile(game / "group.cfg", "a.txt\n");
  for (const char* setting : {"abc", "-1", "0", "1000", "4x"}) {
    threadSetting = setting;
    ToolRun run = runTool({game.path()}, work.path(), setThreads);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("warning: TARNPAK_THREADS '" + std::string(setting) +
                           "' is not a whole number from 1 to 16: using the default"),
              std::string::npos)
        << setting << ": " << run.err;
  }
  for (const char* setting : {"3", ""}) {  // empty: as if unset
    threadSetting = setting;
    EXPECT_EQ(runTool({game.path()}, work.path(), setThreads).err, "") << setting;
  }
}
#endif
