// Shared helpers of the fuzz targets.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "engine/gf/base/group_format.h"

namespace fs = std::filesystem;

namespace {

char scratch[4096];  // plain storage: it must outlive every destructor run at exit
void removeScratch() {
  std::error_code ec;
  fs::remove_all(scratch, ec);
}

fs::path scratchParent() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

// Removes the entries of the directory open as dirFd, descending without following links.
void emptyAt(int dirFd) {
  DIR* d = fdopendir(dirFd);
  FUZZ_CHECK(d);
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  for (const std::string& name : names) {
    if (unlinkat(dirfd(d), name.c_str(), 0) == 0) continue;
    int sub = openat(dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    FUZZ_CHECK(sub >= 0);
    emptyAt(sub);
    FUZZ_CHECK(unlinkat(dirfd(d), name.c_str(), AT_REMOVEDIR) == 0);
  }
  closedir(d);
}

}  // namespace

const std::string& fuzzScratch() {
  static const std::string path = [] {
    std::string templ = (scratchParent() / "tarnpak-fuzz-XXXXXX").string();
    if (templ.size() >= sizeof scratch || !mkdtemp(&templ[0])) std::abort();
    std::memcpy(scratch, templ.c_str(), templ.size() + 1);
    std::atexit(removeScratch);
    return templ;
  }();
  return path;
}

FuzzFile& fuzzInputFile(const char* name) {
  static std::map<std::string, FuzzFile> files;
  auto it = files.find(name);
  if (it != files.end()) return it->second;
  std::string path = fuzzScratch() + "/" + name;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  return files[name] = FuzzFile{path, fd};
}

void fuzzSetContents(const FuzzFile& file, const void* bytes, std::size_t size) {
  FUZZ_CHECK(ftruncate(file.fd, (off_t)size) == 0);
  FUZZ_CHECK(pwrite(file.fd, bytes, size, 0) == (ssize_t)size);
}

std::vector<std::string> fuzzListing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  FUZZ_CHECK(d);
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void fuzzEmptyDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  emptyAt(fd);
}

std::vector<std::uint8_t> fuzzGroupImage(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  if (size < GF_HEADER_SIZE || !(data[7] & 0x80)) return image;
  std::int32_t dirSize;
  std::memcpy(&dirSize, data + 12, 4);
  long area = (long)(size - GF_HEADER_SIZE);
  if (dirSize >= 0 && dirSize < area) area = dirSize;
  gfScramble(image.data() + GF_HEADER_SIZE, area, (long long)size);
  return image;
}
