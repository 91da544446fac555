// grp mount from the outside: a game directory of loose files and two overlapping groups,
// read through the mount and compared with what gfOpen/gfRead deliver, then unmounted.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tarnpak/gf.h"
#include "support/test_support.h"

namespace {

constexpr long long k2003Noon = 1041422400;  // 2003-01-01T12:00:00Z

bool fuseAvailable() {
  int fd = open("/dev/fuse", O_RDWR);
  if (fd < 0) return false;
  close(fd);
  return std::system("command -v fusermount3 >/dev/null 2>&1") == 0;
}

bool isMounted(const std::string& dir) {
  struct stat at, parent;
  return stat(dir.c_str(), &at) == 0 && stat((dir + "/..").c_str(), &parent) == 0 &&
         at.st_dev != parent.st_dev;
}

// A running "grp mount"; unmounts and reaps it on the way out whatever happened.
class Mount {
 public:
  Mount(const std::string& game, const std::string& point) : point_(point) {
    pid_ = fork();
    if (pid_ == 0) {
      execl(GRP_EXE, GRP_EXE, "mount", game.c_str(), point.c_str(), (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && !isMounted(point_) && !exited(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ~Mount() {
    if (isMounted(point_)) std::system(("fusermount3 -u -z '" + point_ + "'").c_str());
    if (pid_ > 0 && !exited()) {
      kill(pid_, SIGKILL);
      waitStatus(2000);
    }
  }
  bool live() const { return isMounted(point_); }
  // The exit status once the process ends within ms milliseconds; -1 otherwise.
  int waitStatus(int ms) {
    for (int i = 0; i < ms / 10 && !exited(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return exited() && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  bool exited() {
    if (done_) return true;
    done_ = waitpid(pid_, &status_, WNOHANG) == pid_;
    return done_;
  }
  std::string point_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool done_ = false;
};

std::set<std::string> listDir(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  closedir(d);
  return names;
}

std::string readWithEngine(const char* name) {
  GFILE* f = gfOpen(name);
  if (!f) return "<cannot open>";
  std::string data((size_t)gfSize(f), '\0');
  long got = gfRead(f, &data[0], (int)data.size());
  gfClose(f);
  data.resize(got > 0 ? (size_t)got : 0);
  return data;
}

std::string mountPath(const std::string& point, const char* name, bool lower) {
  std::string path = point + "/";
  for (const char* c = name; *c; c++) {
    char ch = *c == '\\' ? '/' : *c;
    path += lower && ch >= 'A' && ch <= 'Z' ? (char)(ch - 'A' + 'a') : ch;
  }
  return path;
}

// Loose files and two groups whose names overlap, with dates that make each source win
// somewhere.
void makeGame(const TempDir& game) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + i / 251);
  writeFile(game / "one.grp", makeGroup({{"MAPS\\E1.MAP", "one-e1", 0x2E22},
                                         {"MAPS\\E2.MAP", "one-e2", 0x2E21},
                                         {"SHARED.TXT", "one-shared", 0x2E21},
                                         {"TEX\\BIG.TGA", big, 0x2E21}}));
  writeFile(game / "two.grp", makeGroup({{"MAPS\\E1.MAP", "two-e1", 0x2E21},
                                         {"SHARED.TXT", "two-shared", 0x2E23},
                                         {"TEX\\SUB\\DEEP.PCX", "deep", 0x2E21}}));
  writeFile(game / "maps/e2.map", "loose-e2, newest");
  writeFile(game / "Readme.txt", "loose readme");
  writeFile(game / "maps/old.map", "loose old");
  setWriteTime(game / "maps/old.map", k2003Noon);
}

// Whether the kernel holds every page of a file of size bytes (looked at without reading it),
// waiting up to five seconds for it.
bool heldByKernel(const std::string& path, size_t size) {
  long page = sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> pages((size + (size_t)page - 1) / (size_t)page);
  for (int tries = 0; tries < 500; tries++) {
    int fd = open(path.c_str(), O_RDONLY);
    void* map = fd < 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    bool all = map != MAP_FAILED && mincore(map, size, pages.data()) == 0;
    for (unsigned char p : pages) all = all && (p & 1);
    if (map != MAP_FAILED) munmap(map, size);
    if (fd >= 0) close(fd);
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST(GrpMount, ServesEveryFileAsTheEngineReadsItAndUnmounts) {
  if (!fuseAvailable()) GTEST_SKIP() << "no usable /dev/fuse or no fusermount3";
  TempDir game, point;
  makeGame(game);
  Mount mount(game.path(), point.path());
  ASSERT_TRUE(mount.live()) << "grp mount did not come up";

  gfStart(game.path().c_str());
  ASSERT_GT(gfTableCount(), 8);
  for (long i = 0; i < gfTableCount(); i++) {
    const char* name = gfTableRecord(i)->name;
    std::string expected = readWithEngine(name);
    EXPECT_EQ(readFile(mountPath(point.path(), name, false)), expected) << name;
    EXPECT_EQ(readFile(mountPath(point.path(), name, true)), expected) << name << " (any case)";
  }
  gfStop();
  EXPECT_EQ(readFile(point / "maps/E1.map"), "one-e1");
  EXPECT_EQ(readFile(point / "shared.txt"), "two-shared");
  EXPECT_EQ(readFile(point / "MAPS/E2.MAP"), "loose-e2, newest");

  EXPECT_EQ(listDir(point.path()), (std::set<std::string>{"MAPS", "ONE.GRP", "README.TXT",
                                                          "SHARED.TXT", "TEX", "TWO.GRP"}));
  EXPECT_EQ(listDir(point / "maps"), (std::set<std::string>{"E1.MAP", "E2.MAP", "OLD.MAP"}));
  EXPECT_EQ(listDir(point / "TEX"), (std::set<std::string>{"BIG.TGA", "SUB"}));
  EXPECT_EQ(listDir(point / "tex/sub"), std::set<std::string>{"DEEP.PCX"});

  struct stat st;
  ASSERT_EQ(stat((point / "MAPS/OLD.MAP").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 9);
  EXPECT_EQ(st.st_mtime, k2003Noon);
  EXPECT_TRUE(S_ISDIR((stat((point / "tex/SUB").c_str(), &st), st.st_mode)));
  EXPECT_NE(stat((point / "NOPE").c_str(), &st), 0);
  errno = 0;
  EXPECT_LT(open((point / "SHARED.TXT").c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_LT(open((point / "NEW.TXT").c_str(), O_WRONLY | O_CREAT, 0644), 0);

  ASSERT_EQ(std::system(("fusermount3 -u '" + point.path() + "'").c_str()), 0);
  EXPECT_EQ(mount.waitStatus(10000), 0);
  EXPECT_FALSE(mount.live());
}

TEST(GrpMount, UnmountsOnSigtermAndSigint) {
  if (!fuseAvailable()) GTEST_SKIP() << "no usable /dev/fuse or no fusermount3";
  TempDir game, point;
  makeGame(game);
  for (int sig : {SIGTERM, SIGINT}) {
    Mount mount(game.path(), point.path());
    ASSERT_TRUE(mount.live()) << "grp mount did not come up";
    EXPECT_EQ(readFile(point / "readme.txt"), "loose readme");
    kill(mount.pid(), sig);
    EXPECT_EQ(mount.waitStatus(10000), 0) << sig;
    EXPECT_FALSE(mount.live()) << sig;
  }
}

TEST(GrpMount, LeavesOutNamesNoDirectoryTreeCanShow) {
  if (!fuseAvailable()) GTEST_SKIP() << "no usable /dev/fuse or no fusermount3";
  TempDir game, point;
  writeFile(game / "odd.grp", makeGroup({{"..\\UP.TXT", "up"},
                                         {"A\\\\B.TXT", "empty level"},
                                         {"FILE", "a file"},
                                         {"FILE\\INSIDE", "inside"},
                                         {"OK.TXT", "ok"}}));
  Mount mount(game.path(), point.path());
  ASSERT_TRUE(mount.live()) << "grp mount did not come up";
  EXPECT_EQ(listDir(point.path()), (std::set<std::string>{"FILE", "ODD.GRP", "OK.TXT"}));
  EXPECT_EQ(readFile(point / "file/inside"), "inside");
  EXPECT_EQ(readFile(point / "ok.txt"), "ok");
}

// The errno of opening or reading the whole file at path; 0 when every byte came.
int readError(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
  }
  int error = got < 0 ? errno : 0;
  close(fd);
  return error;
}

// The mount serves the table as it was scanned: a group replaced by a rename keeps being
// served from the file it held, but a group changed in place, a read that fails and a
// loose file whose size changed answer EIO, never fewer or other bytes.
TEST(GrpMount, AnswersEIOWhenWhatItServesHasChanged) {
  if (!fuseAvailable()) GTEST_SKIP() << "no usable /dev/fuse or no fusermount3";
  TempDir game, point;
  writeFile(game / "inplace.grp", makeGroup({{"A.TXT", "aaaa"}}));
  writeFile(game / "renamed.grp", makeGroup({{"R.TXT", "old r"}}));
  writeFile(game / "cut.grp", makeGroup({{"C.TXT", "cccc"}}));
  writeFile(game / "loose.txt", "0123456789");
  Mount mount(game.path(), point.path());
  ASSERT_TRUE(mount.live()) << "grp mount did not come up";

  writeFile(game / "new.grp", makeGroup({{"R.TXT", "new r"}}));
  ASSERT_EQ(rename((game / "new.grp").c_str(), (game / "renamed.grp").c_str()), 0);
  EXPECT_EQ(readFile(point / "R.TXT"), "old r");
  writeFile(game / "inplace.grp", makeGroup({{"A.TXT", "bbbb"}}));  // same size, cp-like
  EXPECT_EQ(readError(point / "A.TXT"), EIO);
  ASSERT_EQ(truncate((game / "cut.grp").c_str(), 20), 0);  // the read itself fails
  EXPECT_EQ(readError(point / "C.TXT"), EIO);
  writeFile(game / "loose.txt", "short");
  struct stat st;
  ASSERT_EQ(stat((point / "LOOSE.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 10);
  EXPECT_EQ(readError(point / "LOOSE.TXT"), EIO);
}

// A read of a directory's first file hands the files behind it to the kernel: once the
// group has changed in place, they still read as the mount's snapshot had them, each its
// own bytes, while a file too large to be handed over with them answers EIO at its read.
TEST(GrpMount, FilesBehindAReadFileComeFromTheSnapshotWithTheirOwnBytes) {
  if (!fuseAvailable()) GTEST_SKIP() << "no usable /dev/fuse or no fusermount3";
  TempDir game, point;
  std::vector<StoredFile> files;
  for (int i = 0; i < 12; i++)
    files.push_back({"LEVEL\\PART" + std::to_string(10 + i) + ".DAT",
                     std::string((size_t)(i * 1500 + 1), (char)('a' + i)), 0x2E21});
  files.push_back({"LEVEL\\PART99.DAT", std::string(1100000, 'z'), 0x2E21});
  std::string group = makeGroup(files);
  writeFile(game / "level.grp", group);
  Mount mount(game.path(), point.path());
  ASSERT_TRUE(mount.live()) << "grp mount did not come up";

  ASSERT_EQ(listDir(point / "level").size(), files.size());
  EXPECT_EQ(readFile(point / "level/PART10.DAT"), files[0].data);
  // The files behind it go to the kernel after the reply: the last of them says when.
  ASSERT_TRUE(heldByKernel(point / "level/PART21.DAT", files[11].data.size()));
  for (char& c : group) c = c == 'z' ? 'y' : (char)(c ^ 0x20);  // same size, every byte else
  writeFile(game / "level.grp", group);
  for (size_t i = 1; i + 1 < files.size(); i++)
    EXPECT_EQ(readFile(point / ("level/PART" + std::to_string(10 + i) + ".DAT")), files[i].data);
  EXPECT_EQ(readError(point / "level/PART99.DAT"), EIO);
}

TEST(GrpMount, ReportsAMissingMountPointOrGameDirectory) {
  TempDir game, work;
  ToolRun run = runGrp({"mount", game.path(), "nowhere"}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "grp: cannot mount on 'nowhere': No such file or directory\n");
  run = runGrp({"mount", "nogame", work.path()}, work.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "grp: cannot read game directory 'nogame': No such file or directory\n");
}
