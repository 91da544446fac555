// Single-character tests against the engine's fixed character sets, and the digit test.
#include <cstring>

#include "tarnpak/stdinputoutput.h"

namespace {

const char kWhite[] = " \t";
const char kDelims[] = "+-*/%=;(),{}|&! \t\n\r";
// Nine two-character operators, read as pairs.
const char kDblDelims[] = ">=<===!=||&&///**/";

// sizeof takes the terminator in, which makes NUL a member of every set on purpose.
int inSet(const char* set, std::size_t setSize, char ch) {
  return std::memchr(set, ch, setSize) != nullptr ? 1 : 0;
}

int isDecimal(char ch) {
  signed char c = (signed char)ch;
  return c >= '0' && c <= '9';
}

}  // namespace

int IsWhite(char ch) { return inSet(kWhite, sizeof kWhite, ch); }

int IsDelim(char ch) { return inSet(kDelims, sizeof kDelims, ch); }

int IsDblDelim(const char* s) {
  if (!s) return 0;
  for (std::size_t i = 0; i + 1 < sizeof kDblDelims; i += 2) {
    // No pair starts with NUL, so s[1] is read only when s[0] is a real character.
    if (kDblDelims[i] == s[0] && kDblDelims[i + 1] == s[1]) return 1;
  }
  return 0;
}

void ChrToStr(char* dst, char ch) {
  dst[0] = ch;
  dst[1] = 0;
}

int ZSIsStrDigit(const char* s) {
  if (!s || !s[0]) return 0;
  std::size_t n = std::strlen(s);
  for (std::size_t i = 0; i + 1 < n; i++) {
    if (!isDecimal(s[i])) return 0;
  }
  return s[n - 1] == 'h' || isDecimal(s[n - 1]) ? 1 : 0;
}
