// Editing parameter strings in place: removing or replacing one parameter.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kWorkSize = 256;

// Where parameter idx lies in s: [start, end), end at its separator or the terminator.
struct ParamSpan {
  std::size_t start, end;
  bool exists;
};

ParamSpan findParam(const char* s, unsigned int idx, char sep) {
  std::size_t len = std::strlen(s);
  std::size_t start = ZSGetParamOffset(s, idx, sep);
  if (start > len) return {0, 0, false};
  std::size_t end = start;
  while (s[end] && s[end] != sep) end++;
  return {start, end, true};
}

// Builds head + middle + tail in the working buffer, cut at its last character, and copies
// the result back over s.
void rebuild(char* s, std::size_t headLen, const char* middle, const char* tail) {
  char work[kWorkSize];
  std::size_t used = headLen < kWorkSize - 1 ? headLen : kWorkSize - 1;
  std::memcpy(work, s, used);
  for (const char* part : {middle, tail}) {
    std::size_t n = std::strlen(part);
    if (n > kWorkSize - 1 - used) n = kWorkSize - 1 - used;
    std::memcpy(work + used, part, n);
    used += n;
  }
  work[used] = 0;
  std::memcpy(s, work, used + 1);
}

}  // namespace

void ZSKillParamStr(char* s, unsigned int idx, char sep) {
  if (!s) return;
  ParamSpan p = findParam(s, idx, sep);
  if (!p.exists || p.end == p.start) return;
  // The separator after the parameter goes with it; a last parameter leaves the one before.
  const char* rest = s[p.end] ? s + p.end + 1 : s + p.end;
  rebuild(s, p.start, "", rest);
}

void ZSSetParamStr(char* s, unsigned int idx, const char* val, char sep) {
  if (!s) return;
  ParamSpan p = findParam(s, idx, sep);
  if (!p.exists) return;
  // An empty parameter is replaced only when it is the last one.
  if (p.end == p.start && s[p.end]) return;
  rebuild(s, p.start, val ? val : "", s + p.end);
}

void ZSSetParamInt(char* s, unsigned int idx, unsigned int value, char sep) {
  char number[kWorkSize];
  std::snprintf(number, sizeof number, "%d", (int)value);
  ZSSetParamStr(s, idx, number, sep);
}
