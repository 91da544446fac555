// Fuzzes the checked directory reader: whatever the bytes, it either refuses the file with
// nothing left allocated, or hands out entries that all lie within the file.
#include <cstring>

#include "engine/gf/base/group_format.h"
#include "engine/kestin/memory_report.h"
#include "fuzz_support.h"
#include "tarnpak/kestin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One handle for the whole run: the file is rewritten in place under it.
  static const FuzzFile& input = fuzzInputFile("input.grp");
  static const PlatHandle h = platOpenRead(input.path.c_str());
  FUZZ_CHECK(h != INVALID_HANDLE);
  std::vector<std::uint8_t> image = fuzzGroupImage(data, size);
  fuzzSetContents(input, image.data(), image.size());
  t_gfDirectory directory;
  if (gfLoadDirectory(h, &directory) == GF_DIR_OK) {
    FUZZ_CHECK(directory.fileLength == (long long)size);
    long cursor = 0, count = 0;
    t_gfDirEntry entry;
    while (gfNextDirEntry(&directory, &cursor, &entry)) {
      count++;
      std::size_t n = std::strlen(entry.name);
      FUZZ_CHECK(n >= 1 && n <= (std::size_t)GF_NAME_MAX);
      FUZZ_CHECK(entry.dataOffset >= 0 && entry.dataSize >= 0);
      FUZZ_CHECK((long long)entry.dataOffset + entry.dataSize <= (long long)size);
      FUZZ_CHECK(cursor <= directory.dirSize);
    }
    FUZZ_CHECK(count == directory.entryCount);
    gfFreeDirectory(&directory);
  }
  FUZZ_CHECK(memLiveBlocks("gf manager") == 0);
  return 0;
}
