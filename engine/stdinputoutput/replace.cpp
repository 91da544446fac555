// In-place replacement: one range of a string, or every occurrence of a text.
#include <cstring>

#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kWorkSize = 512;

// Appends up to count bytes of text, never past the working buffer's last character.
void appendCut(char* work, std::size_t& used, const char* text, std::size_t count) {
  std::size_t room = kWorkSize - 1 - used;
  if (count > room) count = room;
  std::memcpy(work + used, text, count);
  used += count;
}

}  // namespace

void iZSReplaceString(char* s, int pos, int count, const char* repl) {
  if (!s) return;
  std::size_t len = std::strlen(s);
  // Out-of-range arguments are pulled into the string rather than read past it.
  std::size_t head = pos < 0 ? 0 : (std::size_t)pos > len ? len : (std::size_t)pos;
  std::size_t skip = count < 0 ? 0 : (std::size_t)count;
  std::size_t tail = skip >= len - head ? len : head + skip;
  char work[kWorkSize];
  std::size_t used = 0;
  appendCut(work, used, s, head);
  if (repl) appendCut(work, used, repl, std::strlen(repl));
  appendCut(work, used, s + tail, len - tail);
  work[used] = 0;
  std::memcpy(s, work, used + 1);
}

void ZSReplaceString(char* s, const char* find, const char* repl) {
  if (!s || !find || !find[0]) return;  // an empty find would never end
  std::size_t findLen = std::strlen(find), replLen = repl ? std::strlen(repl) : 0;
  std::size_t from = 0;
  for (;;) {
    // A cut at the working buffer's limit can leave the resume point behind the end.
    if (from > std::strlen(s)) return;
    const char* hit = std::strstr(s + from, find);
    if (!hit) return;
    std::size_t at = (std::size_t)(hit - s);
    iZSReplaceString(s, (int)at, (int)findLen, repl);
    from = at + replLen;
  }
}
