// Windows-style paths held in strings: creating directory levels, shortening for display,
// trailing backslashes, entering and leaving directories, and name/extension splitting.
#include <cstring>

#include "engine/platform/platform.h"
#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kPartSize = 100;  // drive and directory of ZSMakePath
constexpr std::size_t kComponentSize = 256;

// Drive ("c:") and directory (up to and including the last '\' or '/') of path, joined into
// out and cut to kPartSize - 1 characters. Returns the drive's length.
std::size_t driveAndDirectory(const char* path, char* out) {
  std::size_t drive = path[0] && path[1] == ':' ? 2 : 0;
  std::size_t end = drive;
  for (std::size_t i = drive; path[i]; i++) {
    if (path[i] == '\\' || path[i] == '/') end = i + 1;
  }
  if (end > kPartSize - 1) end = kPartSize - 1;
  std::memcpy(out, path, end);
  out[end] = 0;
  return drive < end ? drive : end;
}

// Component k of a backslash-separated path into out, cut to fit kComponentSize.
void takeComponent(const char* path, unsigned int k, char* out) {
  const char* p = path + ZSGetParamOffset(path, k, '\\');
  std::size_t n = std::strcspn(p, "\\");
  if (n > kComponentSize - 1) n = kComponentSize - 1;
  std::memcpy(out, p, n);
  out[n] = 0;
}

// Removes component 2 and one backslash by merging it into a neighbour through a '.' and
// setting that neighbour back to its old text.
void dropThirdComponent(char* path, unsigned int count) {
  char kept[kComponentSize];
  unsigned int source = count == 4 ? 1 : 3;
  unsigned int target = count == 4 ? 1 : 2;
  takeComponent(path, source, kept);
  unsigned int joint = count == 4 ? 2 : 3;
  path[ZSGetParamOffset(path, joint, '\\') - 1] = '.';
  ZSSetParamStr(path, target, kept, '\\');
}

bool fits(const char* path, int maxLength) {
  return std::strlen(path) <= (std::size_t)(unsigned int)maxLength;
}

}  // namespace

void ZSMakePath(const char* path) {
  if (!path) return;
  char levels[kPartSize];
  std::size_t drive = driveAndDirectory(path, levels);
  // The level in front of the first backslash is the drive (or nothing, for a rooted path):
  // it cannot be created, so it is not tried.
  for (std::size_t i = drive + 1; levels[i - 1]; i++) {
    if (levels[i] != '\\') continue;
    levels[i] = 0;
    platMakeDir(levels);  // an existing or impossible level is no reason to stop
    levels[i] = '\\';
  }
}

void ZSFitPathToSize(char* path, int maxLength) {
  if (!path) return;
  for (;;) {
    unsigned int count = ZSGetParamCount(path, '\\');
    if (count <= 3 || fits(path, maxLength)) return;
    ZSSetParamStr(path, 2, "...", '\\');
    if (fits(path, maxLength)) return;
    dropThirdComponent(path, count);
    if (ZSGetParamCount(path, '\\') >= count) return;  // no progress: stop rather than spin
  }
}

void ZSAddPathSlash(char* path) {
  if (!path || !path[0]) return;  // an empty path stays relative: no root is made of it
  std::size_t n = std::strlen(path);
  if (path[n - 1] != '\\') {
    path[n] = '\\';
    path[n + 1] = 0;
  }
}

void ZSLogToDir(char* path, const char* dir) {
  if (!path) return;
  ZSAddPathSlash(path);
  if (dir) std::strcat(path, dir);
  ZSAddPathSlash(path);
}

void ZSLogoutFromDir(char* path, int levels) {
  if (!path) return;
  std::size_t length = std::strlen(path);
  ZSAddPathSlash(path);
  std::size_t wanted = levels < 0 ? 1 : (std::size_t)levels + 1, counted = 0, cut = 0;
  for (std::size_t i = length + 1; i-- > 0 && counted < wanted;) {
    if (path[i] == '\\') {
      counted++;
      cut = i;
    }
  }
  path[counted < wanted ? 0 : cut] = 0;
  ZSAddPathSlash(path);
}

void SplitToNE(const char* path, char* name, char* ext) {
  if (!path || !name || !ext) return;
  ext[0] = 0;
  const char* dot = std::strrchr(path, '.');
  if (!dot) {
    std::strcpy(name, path);
    return;
  }
  const char* start = dot;
  while (start > path && start[-1] != '\\') start--;
  std::size_t n = (std::size_t)(dot - start);
  std::memcpy(name, start, n);
  name[n] = 0;
  std::strcpy(ext, dot + 1);
}
