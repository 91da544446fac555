// The directory search's wildcard rule as plain code, applied to the long name on every
// host (the Windows search lists a directory and this rule picks from it).
#include "engine/platform/platform.h"
#include "engine/platform/ascii.h"

int platMatchName(const char* pattern, const char* name) {
  // Iterative wildcard match with one backtrack point, which is enough for '*'.
  const char *p = pattern, *n = name, *starP = nullptr, *starN = nullptr;
  while (*n) {
    if (*p == '*') {
      starP = ++p;
      starN = n;
    } else if (*p == '?' ||
               (*p && asciiLower((unsigned char)*p) == asciiLower((unsigned char)*n))) {
      p++;
      n++;
    } else if (starP) {
      p = starP;
      n = ++starN;
    } else {
      return 0;
    }
  }
  while (*p == '*') p++;
  if (p[0] == '.' && p[1] == '*') {  // a trailing ".*" also matches a name without a dot
    p += 2;
    while (*p == '*') p++;
  }
  return *p == 0;
}
