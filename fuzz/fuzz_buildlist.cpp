// Fuzzes the text utilities a build-list line goes through, in the buffers the builder and
// the parameter readers use, so that the sanitizers see any overrun.
#include <cstring>

#include "engine/kestin/memory_report.h"
#include "tarnpak/kestin.h"
#include "tarnpak/stdinputoutput.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kMaxInput = 640;  // a line of 511 characters and some to cut

void takeLine(char* line, const std::uint8_t* data, std::size_t size) {
  std::size_t n = size < 511 ? size : 511;
  if (n) std::memcpy(line, data, n);
  line[n] = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  char line[512], mask[512], word[512];
  takeLine(line, data, size);
  KillUnusedSpacesEtc(line);
  FUZZ_CHECK(std::strlen(line) <= 511);
  ZSGetParamStr(line, 0, mask, ' ');
  ZSGetParamStr(line, 1, word, ' ');
  FUZZ_CHECK(std::strlen(mask) <= std::strlen(line));
  static const char* const names[] = {"A.TXT", "PICS\\WALL.TGA", "", "levdemo9.lev"};
  for (const char* name : names) ZSMaskCompare(mask, name);
  ZSMaskCompare(word, mask);

  takeLine(line, data, size);
  CKillUnusedSpacesEtc(line);
  unsigned count = ZSGetCParamCount(line, ' ');
  for (unsigned i = 0; i < count && i < 4; i++) ZSGetCParamStr(line, (int)i, word, ' ');
  ZSGetCParamStr(line, 0, nullptr, ' ');

  takeLine(line, data, size);
  ZSReplaceString(line, "a", "bcd");
  FUZZ_CHECK(std::strlen(line) <= 511);
  ZSReplaceString(line, "bc", "");
  ZSReplaceString(line, " ", "\\");
  FUZZ_CHECK(memLiveBlocks("stdinputoutput") == 0);
  return 0;
}
