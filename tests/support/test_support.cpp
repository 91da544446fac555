// Helpers shared by the test programs.
#include "support/test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "engine/kestin/memory_report.h"
#include "tarnpak/gf.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"

namespace fs = std::filesystem;

TempDir::TempDir(bool enter) {
  // A random name that create_directory refuses when taken, as mkdtemp would. One engine
  // per thread: tests make temporary directories from several threads at once.
  thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; path_.empty(); attempt++) {
    if (attempt == 100) std::abort();
    char name[40];
    std::snprintf(name, sizeof name, "tarnpak-test-%016llx", (unsigned long long)random());
    fs::path candidate = fs::temp_directory_path() / name;
    if (fs::create_directory(candidate)) path_ = candidate.string();
  }
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
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

#ifdef _WIN32

void setWriteTime(const std::string& path, long long unixSeconds) {
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  unsigned long long ticks = (unsigned long long)(unixSeconds + 11644473600LL) * 10000000ull;
  FILETIME t{(DWORD)(ticks & 0xFFFFFFFFu), (DWORD)(ticks >> 32)};
  SetFileTime(h, nullptr, &t, &t);
  CloseHandle(h);
}

int createDescriptor(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool handleIsOpen(PlatHandle h) {
  DWORD flags;
  return GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
}

#else

void setWriteTime(const std::string& path, long long unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = (time_t)unixSeconds;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

int createDescriptor(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

bool handleIsOpen(PlatHandle h) { return fcntl((int)h, F_GETFD) != -1; }

#endif

bool writesIgnorePermissions() {
  // Tried rather than guessed: root on POSIX, and Wine run by root, write anyway.
  TempDir dir;
  std::string probe = dir / "probe";
  writeFile(probe, "");
  fs::permissions(probe, fs::perms::owner_read);
  bool written = static_cast<bool>(std::ofstream(probe, std::ios::app));
  fs::permissions(probe, fs::perms::owner_all);
  return written;
}

std::string missingFileReason() {
  TempDir dir;
  platOpenRead((dir / "missing").c_str());
  return platLastError();
}

std::string hostSpelling(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string host = path;
  std::replace(host.begin(), host.end(), '\\', '/');
  return host;
#endif
}

std::string hostText(const std::string& text) {
#ifdef _WIN32
  std::string stored;
  for (char c : text) stored += c == '\n' ? "\r\n" : std::string(1, c);
  return stored;
#else
  return text;
#endif
}

std::vector<std::string> listTree(const std::string& root) {
  std::vector<std::string> names;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), root).generic_string());
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

#ifdef _WIN32

namespace {

// A command line the C run-time splits back into the same arguments.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

HANDLE inheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The programs' text streams end lines in "\r\n", as any Windows program's do.
std::string withPlainNewlines(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); i++)
    if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') plain += text[i];
  return plain;
}

}  // namespace

ToolRun runProgram(const std::string& exe, const std::vector<std::string>& args,
                   const std::string& cwd, void (*prepare)()) {
  if (prepare) return ToolRun{-1, "", "a child process to prepare needs fork"};
  TempDir scratch;
  std::string outPath = scratch / "out", errPath = scratch / "err";
  std::string command = quoteArgument(exe);
  for (auto& a : args) command += " " + quoteArgument(a);
  HANDLE out = inheritableFile(outPath), err = inheritableFile(errPath);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = out;
  start.hStdError = err;
  PROCESS_INFORMATION process{};
  int status = -1;
  if (CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                     &start, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    // An exception status (0xC0000005 and the like) means the program crashed.
    if (GetExitCodeProcess(process.hProcess, &code) && code < 0xC0000000u) status = (int)code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  return ToolRun{status, withPlainNewlines(readFile(outPath)),
                 withPlainNewlines(readFile(errPath))};
}

#else

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

#endif

ToolRun runTool(const std::vector<std::string>& args, const std::string& cwd, void (*prepare)()) {
  return runProgram(TARNPAK_EXE, args, cwd, prepare);
}

ToolRun runGrp(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram(GRP_EXE, args, cwd);
}

#include "engine/gf/base/group_format.h"

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
