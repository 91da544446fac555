// Fuzzes the wildcard comparison of the file search. The input is a mask and a name
// separated by the first NUL, each handed over in a block of exactly its own size. A mask
// without '*' is checked against the rule it follows; every mask must answer 0 or 1 either
// way round and must match every name when it is empty.
#include <cstring>
#include <memory>
#include <string>

#include "tarnpak/stdinputoutput.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kMaxInput = 600;  // two texts longer than any stored name

std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> block(new char[text.size() + 1]);
  std::memcpy(block.get(), text.c_str(), text.size() + 1);
  return block;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

// Without a star the comparison runs position by position until either text ends: '?'
// takes any character but a backslash, every other character must equal without case.
int starlessMatch(const std::string& mask, const std::string& name) {
  for (std::size_t i = 0; i < mask.size() && i < name.size(); i++) {
    if (mask[i] == '?' ? name[i] == '\\' : lower(mask[i]) != lower(name[i])) return 0;
  }
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t nul = input.find('\0');
  std::string mask = input.substr(0, nul);
  std::string name = nul == std::string::npos ? "" : input.substr(nul + 1).c_str();
  std::unique_ptr<char[]> m = exactCopy(mask), n = exactCopy(name);

  int result = ZSMaskCompare(m.get(), n.get());
  FUZZ_CHECK(result == 0 || result == 1);
  if (mask.find('*') == std::string::npos) FUZZ_CHECK(result == starlessMatch(mask, name));
  if (mask.empty() || name.empty()) FUZZ_CHECK(result == 1);
  int swapped = ZSMaskCompare(n.get(), m.get());
  FUZZ_CHECK(swapped == 0 || swapped == 1);
  std::unique_ptr<char[]> empty = exactCopy("");
  FUZZ_CHECK(ZSMaskCompare(empty.get(), n.get()) == 1 && ZSMaskCompare(m.get(), empty.get()) == 1);
  return 0;
}
