// Fuzzes the unpacker inside a working directory of its own: it may refuse names and fail
// writes, but it must never create anything outside that directory, change the group it
// reads, or leave a block allocated. The sums of the same group are taken too (they read
// every entry's bytes by the directory's offsets and sizes).
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tarnpak/gf.h"
#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "fuzz_support.h"

namespace {

// Every stored file costs a handful of system calls to create and remove; this size holds
// a few entries with names of any length, and a dozen or more with short ones.
constexpr std::size_t kMaxInput = 1024;

void discard(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzFile& group = fuzzInputFile("input.grp");
  static const std::string work = fuzzScratch() + "/work";
  static const std::string home = std::filesystem::current_path().string();
  static const std::vector<std::string> expected = {"input.grp", "work"};
  static const bool made = std::filesystem::create_directory(work);
  FUZZ_CHECK(made);

  if (size > kMaxInput) return 0;
  std::vector<std::uint8_t> image = fuzzGroupImage(data, size);
  fuzzSetContents(group, image.data(), image.size());
  FUZZ_CHECK(chdir(work.c_str()) == 0);
  gfUnpackChecked(group.path.c_str(), discard);
  FUZZ_CHECK(chdir(home.c_str()) == 0);
  gfSumGroup(group.path.c_str(), nullptr, nullptr, discard);

  FUZZ_CHECK(fuzzListing(fuzzScratch()) == expected);
  std::vector<std::uint8_t> after(image.size() + 1);
  FUZZ_CHECK(pread(group.fd, after.data(), after.size(), 0) == (ssize_t)image.size());
  FUZZ_CHECK(std::equal(image.begin(), image.end(), after.begin()));
  fuzzEmptyDirectory(work);
  FUZZ_CHECK(memLiveBlocks("gf manager") == 0);
  return 0;
}
