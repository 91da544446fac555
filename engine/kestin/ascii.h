// ASCII case folding for the engine's own rules (stored names, masks, device names): only
// a to z and A to Z change, whatever the locale, so every module folds a name alike.
#pragma once

inline int asciiUpper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }
inline int asciiLower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
