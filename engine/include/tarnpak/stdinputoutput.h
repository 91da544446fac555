// The engine's text utilities: character classes, line clean-up, case-blind search, wildcard
// masks, parameter strings, Windows-style paths, line readers and formatted output to a handle.
#pragma once
#include "tarnpak/engine_api.h"

// ---- character classes and string clean-up ------------------------------------------------
// Set tests count the terminator as a member, so IsWhite(0) and IsDelim(0) are 1: scanners
// that advance over non-delimiters stop at the end of the string too.
ENGINE_API int IsWhite(char ch);
ENGINE_API int IsDelim(char ch);
// 1 when the first two characters form one of >= <= == != || && // /* */.
ENGINE_API int IsDblDelim(const char* s);
ENGINE_API void ChrToStr(char* dst, char ch);
// Drops blanks at both ends, turns each run of spaces and tabs into one space and removes
// line feeds. The result is at most 511 characters.
ENGINE_API void KillUnusedSpacesEtc(char* s);
// As KillUnusedSpacesEtc, but every blank inside double quotes stays (as a space).
ENGINE_API void CKillUnusedSpacesEtc(char* s);
ENGINE_API void KillTailCRLF(char* s);
// First place in the size bytes at buf holding the bytes of str; null when none.
ENGINE_API char* ZSStrStr(const char* buf, const char* str, int size);
ENGINE_API char* ZSStrStrAnyCase(const char* buf, const char* str, int size);
// 1 when the first n bytes are EQUAL without regard to ASCII case (note the sense).
ENGINE_API int ZSMemCmpAnyCase(const char* a, const char* b, int n);
// 1 for a decimal number, optionally ending in a lower-case 'h'.
ENGINE_API int ZSIsStrDigit(const char* s);
// Replaces count characters at pos with repl; the result is at most 511 characters.
ENGINE_API void iZSReplaceString(char* s, int pos, int count, const char* repl);
// Replaces every occurrence of find, left to right; inserted text is not searched again.
ENGINE_API void ZSReplaceString(char* s, const char* find, const char* repl);
// 0 when equal without regard to ASCII case, 1 otherwise (no ordering).
ENGINE_API int xstrcmp(const char* a, const char* b);
// The file search's mask rule: '*' runs up to the first occurrence of the character after it
// (no backtracking), '?' takes one character, neither crosses a backslash; the comparison
// succeeds as soon as either string runs out.
ENGINE_API int ZSMaskCompare(const char* mask, const char* name);

// ---- parameter strings ----------------------------------------------------------------------
// A line divided at every sep into parameters numbered from 0. Readers that work through a
// 256-byte buffer see at most 255 characters of a parameter; edits keep at most 255.
ENGINE_API unsigned int ZSGetParamOffset(const char* s, unsigned int idx, char sep);
ENGINE_API unsigned int ZSGetParamCount(const char* s, char sep);
// out must hold the parameter and its terminator; it is empty when idx does not exist.
ENGINE_API int ZSGetParamStr(const char* s, unsigned int idx, char* out, char sep);
ENGINE_API int ZSGetParamExist(const char* s, unsigned int idx, char sep);
ENGINE_API int ZSGetParamInt(const char* s, unsigned int idx, char sep);
ENGINE_API double ZSGetParamDbl(const char* s, unsigned int idx, char sep);
ENGINE_API int ZSParamCmp(const char* s, unsigned int idx, const char* str, char sep);
ENGINE_API int ZSParamFind(const char* s, unsigned int idx, const char* str, char sep);
// Finds the last parameter containing topic before the next header (a parameter ending in
// ':'); first gets its index (65535 when none), count the parameters that follow it.
ENGINE_API int ZSGetParamTopic(const char* s, const char* topic, unsigned int* first,
                               unsigned int* count, char sep);
ENGINE_API void ZSKillParamStr(char* s, unsigned int idx, char sep);
ENGINE_API void ZSSetParamStr(char* s, unsigned int idx, const char* val, char sep);
// The value is written as a signed 32-bit number.
ENGINE_API void ZSSetParamInt(char* s, unsigned int idx, unsigned int value, char sep);
// Quote-aware forms: double quotes group text, backslash escapes work inside them. Returns
// where the scan stopped; out (may be null) must hold the parameter and its terminator.
ENGINE_API int ZSGetCParamStr(const char* s, int idx, char* out, char sep);
ENGINE_API unsigned int ZSGetCParamCount(const char* s, char sep);

// ---- paths, line readers and formatted output ----------------------------------------------
// Creates every directory level in front of a backslash; the last component is a file name.
ENGINE_API void ZSMakePath(const char* path);
// Replaces middle components with "..." (or drops them) until the path fits maxLength.
ENGINE_API void ZSFitPathToSize(char* path, int maxLength);
ENGINE_API void ZSAddPathSlash(char* path);
ENGINE_API void ZSLogToDir(char* path, const char* dir);
ENGINE_API void ZSLogoutFromDir(char* path, int levels);
// The name between the last backslash before the last dot and that dot, and what follows it.
ENGINE_API void SplitToNE(const char* path, char* name, char* ext);
// Reads the next line (at most size - 1 characters, the rest skipped) without its line end;
// the empty string at the end of the file.
ENGINE_API void ReadLN(int handle, void* buf, long size);
// As ReadLN, but CR LF followed by a space or tab continues the line and folds into a space.
ENGINE_API void ReadHdrLN(int handle, char* buf, long size);
// printf-style output to a descriptor, at most 511 characters per call.
ENGINE_API void hprintf(int handle, const char* format, ...) ENGINE_PRINTF(2, 3);
