// Searching and comparing text: exact and case-blind region search, case-blind equality, and
// the wildcard mask rule of the file search. Case folding is plain ASCII (no locale).
#include <cstring>

#include "tarnpak/stdinputoutput.h"
#include "engine/platform/ascii.h"

namespace {

// Every start position whose len bytes lie inside the region is tried, the last one included.
char* searchRegion(const char* buf, const char* str, int size, bool anyCase) {
  if (!buf || !str || size < 0) return nullptr;
  std::size_t len = std::strlen(str);
  if ((std::size_t)size < len) return nullptr;
  for (std::size_t pos = 0; pos + len <= (std::size_t)size; pos++) {
    bool equal = anyCase ? ZSMemCmpAnyCase(buf + pos, str, (int)len) == 1
                         : std::memcmp(buf + pos, str, len) == 0;
    if (equal) return const_cast<char*>(buf + pos);
  }
  return nullptr;
}

}  // namespace

char* ZSStrStr(const char* buf, const char* str, int size) {
  return searchRegion(buf, str, size, false);
}

char* ZSStrStrAnyCase(const char* buf, const char* str, int size) {
  return searchRegion(buf, str, size, true);
}

int ZSMemCmpAnyCase(const char* a, const char* b, int n) {
  if (n <= 0) return 1;
  if (!a || !b) return 0;
  return asciiEqualAnyCaseN(a, b, (std::size_t)n) ? 1 : 0;
}

int xstrcmp(const char* a, const char* b) {
  if (!a || !b) return a == b ? 0 : 1;
  return asciiEqualAnyCase(a, b) ? 0 : 1;
}

int ZSMaskCompare(const char* mask, const char* name) {
  if (!mask || !name) return 1;
  std::size_t maskLen = std::strlen(mask), nameLen = std::strlen(name);
  std::size_t m = 0, n = 0;
  for (;;) {
    if (m >= maskLen || n >= nameLen) return 1;
    if (name[n] == '\\' && mask[m] != '\\') return 0;
    if (mask[m] == '*') {
      // The star ends at the first exact occurrence of the character after it; never retried.
      if (name[n] != mask[m + 1]) {
        n++;
        continue;
      }
      m++;
    }
    if (mask[m] == '?') {
      m++;
      n++;
      continue;
    }
    if (asciiLower(mask[m]) != asciiLower(name[n])) return 0;
    m++;
    n++;
  }
}
