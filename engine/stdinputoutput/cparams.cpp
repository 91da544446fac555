// Quote-aware parameter strings: double quotes group text containing the separator, and
// backslash escapes are read inside the quotes.
#include <cstring>

#include "tarnpak/stdinputoutput.h"

namespace {

int hexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Reads the escape whose backslash stands at s[pos]; stores the delivered byte and returns
// the count of characters consumed. Unknown pairs deliver the backslash, keeping the pair
// one character; a backslash at the very end consumes only itself.
std::size_t readEscape(const char* s, std::size_t pos, char* delivered) {
  char next = s[pos + 1];
  *delivered = '\\';
  if (next == 0) return 1;
  if (next == '"' || next == '\\') {
    *delivered = next;
  } else if (next == 't') {
    *delivered = '\t';
  } else if (next == 'x') {
    int value = 0;
    std::size_t n = 0;
    for (; n < 2 && hexValue(s[pos + 2 + n]) >= 0; n++)
      value = value * 16 + hexValue(s[pos + 2 + n]);
    *delivered = (char)value;
    return 2 + n;
  } else if (next >= '0' && next <= '9') {
    int value = 0;
    std::size_t n = 0;
    for (; n < 3 && s[pos + 1 + n] >= '0' && s[pos + 1 + n] <= '9'; n++)
      value = value * 10 + (s[pos + 1 + n] - '0');
    *delivered = (char)(value % 256);
    return 1 + n;
  }
  return 2;
}

// One step of the quoted-form scan: the characters consumed, and whether they were an
// unquoted separator or delivered a character of the parameter (a quote does neither).
struct ScanStep {
  std::size_t consumed;
  bool separator;
  bool hasChar;
  char delivered;
};

ScanStep scanStep(const char* s, std::size_t pos, char sep, bool& inQuotes) {
  ScanStep step{1, false, false, 0};
  char ch = s[pos];
  if (ch == '\\' && inQuotes) {
    step.consumed = readEscape(s, pos, &step.delivered);
    step.hasChar = true;
  } else if (ch == '"') {
    inQuotes = !inQuotes;
  } else if (ch == sep && !inQuotes) {
    step.separator = true;
  } else {
    step.delivered = ch;
    step.hasChar = true;
  }
  return step;
}

}  // namespace

int ZSGetCParamStr(const char* s, int idx, char* out, char sep) {
  std::size_t used = 0, pos = 0;
  if (s) {
    std::size_t len = std::strlen(s);
    bool inQuotes = false;
    while (pos < len && idx >= 0) {
      ScanStep step = scanStep(s, pos, sep, inQuotes);
      pos += step.consumed;
      if (step.separator)
        idx--;
      else if (step.hasChar && idx == 0 && out)
        out[used++] = step.delivered;
    }
  }
  if (out) out[used] = 0;
  return (int)pos;
}

unsigned int ZSGetCParamCount(const char* s, char sep) {
  unsigned int count = 1;
  if (!s) return count;
  std::size_t len = std::strlen(s), pos = 0;
  bool inQuotes = false;
  while (pos < len) {
    ScanStep step = scanStep(s, pos, sep, inQuotes);
    pos += step.consumed;
    count += step.separator;
  }
  return count;
}
