// Fuzzes the unpacker inside a fresh working directory: it may refuse names and fail writes,
// but it must never create anything outside that directory or leave a block allocated.
#include <algorithm>
#include <filesystem>

#include "engine/gf/gf.h"
#include "engine/kestin/kestin.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void discard(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string group = fuzzScratch() + "/input.grp";
  static const std::string work = fuzzScratch() + "/work";
  static const fs::path home = fs::current_path();
  fuzzWriteFile(group, fuzzGroupImage(data, size));
  std::vector<std::string> before = listing(fuzzScratch());
  fs::create_directory(work);
  std::error_code ec;
  fs::current_path(work, ec);
  FUZZ_CHECK(!ec);
  gfUnpackChecked(group.c_str(), discard);
  fs::current_path(home, ec);
  FUZZ_CHECK(!ec);
  std::vector<std::string> after = listing(fuzzScratch());
  after.erase(std::remove(after.begin(), after.end(), "work"), after.end());
  FUZZ_CHECK(before == after);
  fs::remove_all(work);
  FUZZ_CHECK(memLiveBlocks("gf manager") == 0);
  return 0;
}
