// ASCII case folding for the engine's own rules (stored names, masks, device names, the host
// layer's case-blind lookups): only a to z and A to Z change, whatever the locale, so every
// layer folds a name alike. Plain code at the bottom of the engine, beside the host layer,
// so that the host layer and every layer above it use this one set.
#pragma once
#include <cstddef>

inline int asciiUpper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }
inline int asciiLower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether a and b are one text without regard to the case of a to z.
inline bool asciiEqualAnyCase(const char* a, const char* b) {
  for (;; a++, b++) {
    if (asciiUpper((unsigned char)*a) != asciiUpper((unsigned char)*b)) return false;
    if (!*a) return true;
  }
}

// The same for the n bytes at a and b, a zero byte compared like any other.
inline bool asciiEqualAnyCaseN(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; i++)
    if (asciiUpper((unsigned char)a[i]) != asciiUpper((unsigned char)b[i])) return false;
  return true;
}

// Whether text begins with prefix without regard to case.
inline bool asciiStartsAnyCase(const char* text, const char* prefix) {
  for (; *prefix; text++, prefix++)
    if (asciiUpper((unsigned char)*text) != asciiUpper((unsigned char)*prefix)) return false;
  return true;
}

// The order of the manager's table on names: unsigned bytes with a to z taken as A to Z (so
// '_' sorts after the letters). Below zero when a comes first, zero for one name in any case.
inline int asciiCompareAnyCase(const char* a, const char* b) {
  for (;; a++, b++) {
    int x = asciiUpper((unsigned char)*a), y = asciiUpper((unsigned char)*b);
    if (x != y || !x) return x - y;
  }
}
