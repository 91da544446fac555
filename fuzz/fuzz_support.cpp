// Shared helpers of the fuzz targets.
#include "fuzz_support.h"

#include <cstring>
#include <filesystem>
#include <random>

#include "engine/gf/group_format.h"

namespace {
char scratch[4096];  // plain storage: it must outlive every destructor run at exit
void removeScratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
}
}  // namespace

const std::string& fuzzScratch() {
  static const std::string path = [] {
    // A random name that create_directory refuses when taken, as mkdtemp would.
    std::mt19937_64 random{std::random_device{}()};
    std::string templ;
    for (int attempt = 0; templ.empty(); attempt++) {
      if (attempt == 100) std::abort();
      std::string name = "tarnpak-fuzz-" + std::to_string(random());
      std::filesystem::path candidate = std::filesystem::temp_directory_path() / name;
      if (std::filesystem::create_directory(candidate)) templ = candidate.string();
    }
    if (templ.size() >= sizeof scratch) std::abort();
    std::memcpy(scratch, templ.c_str(), templ.size() + 1);
    std::atexit(removeScratch);
    return templ;
  }();
  return path;
}

void fuzzWriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  std::fclose(f);
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
