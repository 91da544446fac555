// In-place clean-up of configuration and script lines: blank folding and line-end trimming.
#include <cstring>

#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kWorkSize = 512;

// Shared walk of both clean-ups. quoteAware keeps every blank inside double quotes; the
// kept length moves only on characters that are not blank, so trailing blanks always go.
void foldBlanks(char* s, bool quoteAware) {
  if (!s) return;
  char work[kWorkSize];
  std::size_t out = 0, kept = 0, run = 1;  // run 1 drops blanks at the start
  bool inQuotes = false;
  for (std::size_t i = 0; s[i]; i++) {
    char ch = s[i];
    if (quoteAware && ch == '"' && (i == 0 || s[i - 1] != '\\')) inQuotes = !inQuotes;
    if (ch == '\n') continue;
    bool append = true;
    if (ch == ' ' || ch == '\t') {
      run++;
      append = run == 1 || (quoteAware && inQuotes);
      ch = ' ';
    } else {
      run = 0;
    }
    if (!append || out >= kWorkSize - 1) continue;
    work[out++] = ch;
    if (run == 0) kept = out;
  }
  work[kept] = 0;
  std::memcpy(s, work, kept + 1);
}

}  // namespace

void KillUnusedSpacesEtc(char* s) { foldBlanks(s, false); }

void CKillUnusedSpacesEtc(char* s) { foldBlanks(s, true); }

void KillTailCRLF(char* s) {
  if (!s) return;
  std::size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = 0;
}
