// Helpers shared by the test programs: scratch directories, file contents, a capture of the
// engine's line output, and running the built tool.
#pragma once
#include <string>
#include <vector>

#include "engine/platform/platform.h"

// A fresh directory under the system's temporary area, removed with everything in it.
// With enter set, the process works in it until the object goes.
class TempDir {
 public:
  explicit TempDir(bool enter = false);
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string previous_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);  // empty when missing
bool fileExists(const std::string& path);
void setWriteTime(const std::string& path, long long unixSeconds);
bool handleIsOpen(PlatHandle h);
// A run-time library descriptor on a new, empty file, for writing in binary mode.
int createDescriptor(const std::string& path);
// The host's reason for a file that is not there ("No such file or directory" on POSIX).
std::string missingFileReason();
// A path of the engine's (backslashes) as the host layer spells it in messages.
std::string hostSpelling(const std::string& path);
// text as a text-mode stream of the host stores it: lines end in "\r\n" on Windows.
std::string hostText(const std::string& text);
// Whether this process may write files whose permissions forbid it (root on POSIX).
bool writesIgnorePermissions();
// Every file below root, as paths relative to it, sorted.
std::vector<std::string> listTree(const std::string& root);

// Stops the file manager and closes the list pool, then checks (as test expectations) that
// no engine block is left: the end of every start/stop cycle.
void stopAndExpectNoEngineBlocks();

// Collects the lines the engine hands to its line output while the object lives.
class LineCapture {
 public:
  LineCapture();
  ~LineCapture();
  std::vector<std::string> lines() const;
};

struct ToolRun {
  int status;  // exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};
// Runs the program exe with args in directory cwd; prepare, when given, runs in the child
// just before the program starts (to set resource limits, say).
ToolRun runProgram(const std::string& exe, const std::vector<std::string>& args,
                   const std::string& cwd, void (*prepare)() = nullptr);
// Runs the built Tarnpak with args in directory cwd (prepare as for runProgram).
ToolRun runTool(const std::vector<std::string>& args, const std::string& cwd,
                void (*prepare)() = nullptr);
// Runs the built grp with args in directory cwd.
ToolRun runGrp(const std::vector<std::string>& args, const std::string& cwd);

// A file to put into a group image.
struct StoredFile {
  std::string name;
  std::string data;
  unsigned short date = 0x2E21;  // 2003-01-01
  unsigned short time = 0x6000;  // 12:00:00
};
// The bytes of a group file holding files in the given order; with scramble unset the
// directory stays plain (for building damaged groups by hand).
std::string makeGroup(const std::vector<StoredFile>& files, unsigned flag = 1,
                      bool scramble = true);
// Re-scrambles the directory of a plain group image in place for its current length.
void scrambleGroup(std::string& image);
