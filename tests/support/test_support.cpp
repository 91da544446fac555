// Helpers shared by the test programs.
#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "engine/gf/gf.h"
#include "engine/kestin/kestin.h"
#include "engine/t_list/t_list.h"

namespace fs = std::filesystem;

TempDir::TempDir(bool enter) {
  std::string templ = (fs::temp_directory_path() / "tarnpak-test-XXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) std::abort();
  path_ = buf.data();
  if (enter) {
    previous_ = fs::current_path().string();
    fs::current_path(path_);
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!previous_.empty()) fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void setWriteTime(const std::string& path, long long unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = (time_t)unixSeconds;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::vector<std::string> listTree(const std::string& root) {
  std::vector<std::string> names;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
std::mutex captureLock;
std::vector<std::string> captured;
t_lineSink previousSink;
void captureSink(int, int, const char* text, int) {
  std::lock_guard<std::mutex> g(captureLock);
  captured.push_back(text);
}
}  // namespace

LineCapture::LineCapture() {
  captured.clear();
  previousSink = kestinSetLineSink(captureSink);
}

LineCapture::~LineCapture() { kestinSetLineSink(previousSink); }

std::vector<std::string> LineCapture::lines() const {
  std::lock_guard<std::mutex> g(captureLock);
  return captured;
}

ToolRun runProgram(const std::string& exe, const std::vector<std::string>& args,
                   const std::string& cwd, void (*prepare)()) {
  TempDir scratch;
  std::string outPath = scratch / "out", errPath = scratch / "err";
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    if (prepare) prepare();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outPath),
                 readFile(errPath)};
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& cwd, void (*prepare)()) {
  return runProgram(TARNPAK_EXE, args, cwd, prepare);
}

ToolRun runGrp(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram(GRP_EXE, args, cwd);
}

#include "engine/gf/group_format.h"

std::string makeGroup(const std::vector<StoredFile>& files, unsigned flag, bool scramble) {
  int dirSize = 0;
  for (auto& f : files) dirSize += (int)f.name.size() + GF_ENTRY_FIXED_SIZE;
  std::string image(GF_HEADER_SIZE + dirSize, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(&image[0]);
  t_gfHeader header{GF_MAGIC, flag, (int)files.size(), dirSize};
  gfPutHeader(bytes, &header);
  unsigned char* p = bytes + GF_HEADER_SIZE;
  int offset = GF_HEADER_SIZE + dirSize;
  for (auto& f : files) {
    p = gfPutEntry(p, f.name.c_str(), offset, (int)f.data.size(), f.date, f.time);
    offset += (int)f.data.size();
  }
  for (auto& f : files) image += f.data;
  if (scramble) scrambleGroup(image);
  return image;
}

void scrambleGroup(std::string& image) {
  int dirSize;
  get_i(reinterpret_cast<unsigned char*>(&image[12]), dirSize);
  gfScramble(reinterpret_cast<unsigned char*>(&image[GF_HEADER_SIZE]), dirSize,
             (long long)image.size());
}

void stopAndExpectNoEngineBlocks() {
  gfStop();
  EXPECT_EQ(memLiveBlocks("gf manager"), 0);
  List_Close();  // the pool outlives the table by design; with it gone nothing is left
  EXPECT_EQ(memLiveBlocks(nullptr), 0);
}
