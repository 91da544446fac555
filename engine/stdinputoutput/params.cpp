// Reading parameter strings: offsets, counts, a parameter as text or number, tests on its
// text, and the topic search.
#include <cstdlib>
#include <cstring>

#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kWorkSize = 256;
constexpr unsigned int kNoTopic = 65535;

// Length of the parameter beginning at p: up to the next separator or the end.
std::size_t paramLength(const char* p, char sep) {
  std::size_t n = 0;
  while (p[n] && p[n] != sep) n++;
  return n;
}

// Copies the parameter at p into out, cut to outSize - 1 characters.
void copyParam(const char* p, char* out, std::size_t outSize, char sep) {
  std::size_t n = paramLength(p, sep);
  if (n > outSize - 1) n = outSize - 1;
  std::memcpy(out, p, n);
  out[n] = 0;
}

// Parameter idx into out (outSize bytes); 0 with out empty when it does not exist.
int readParam(const char* s, unsigned int idx, char* out, std::size_t outSize, char sep) {
  out[0] = 0;
  if (!s) return 0;
  unsigned int offset = ZSGetParamOffset(s, idx, sep);
  if (offset > std::strlen(s)) return 0;
  copyParam(s + offset, out, outSize, sep);
  return 1;
}

// The decimal floating-point form at the start of text (blanks, sign, digits, point,
// exponent): hexadecimal, "inf" and "nan" are not numbers here.
std::size_t decimalPrefix(const char* t) {
  std::size_t i = std::strspn(t, " \t\n\v\f\r");
  if (t[i] == '+' || t[i] == '-') i++;
  std::size_t digits = std::strspn(t + i, "0123456789");
  i += digits;
  if (t[i] == '.') {
    std::size_t fraction = std::strspn(t + i + 1, "0123456789");
    if (digits == 0 && fraction == 0) return 0;
    i += 1 + fraction;
  } else if (digits == 0) {
    return 0;
  }
  if (t[i] == 'e' || t[i] == 'E') {
    std::size_t j = i + 1;
    if (t[j] == '+' || t[j] == '-') j++;
    std::size_t expDigits = std::strspn(t + j, "0123456789");
    if (expDigits > 0) i = j + expDigits;
  }
  return i;
}

}  // namespace

unsigned int ZSGetParamOffset(const char* s, unsigned int idx, char sep) {
  if (idx == 0 || !s) return 0;
  unsigned int found = 0;
  for (unsigned int i = 0;; i++) {
    if (s[i] == sep && ++found == idx) return i + 1;
    if (s[i] == 0) return i + 1;
  }
}

unsigned int ZSGetParamCount(const char* s, char sep) {
  unsigned int count = 1;
  for (const char* p = s; p && *p; p++) count += *p == sep;
  return count;
}

int ZSGetParamStr(const char* s, unsigned int idx, char* out, char sep) {
  if (!out) return ZSGetParamExist(s, idx, sep);
  return readParam(s, idx, out, (std::size_t)-1, sep);
}

int ZSGetParamExist(const char* s, unsigned int idx, char sep) {
  return s && ZSGetParamOffset(s, idx, sep) <= std::strlen(s) ? 1 : 0;
}

int ZSGetParamInt(const char* s, unsigned int idx, char sep) {
  char work[kWorkSize];
  readParam(s, idx, work, sizeof work, sep);
  const char* p = work + std::strspn(work, " \t\n\v\f\r");
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') p++;
  unsigned int value = 0;  // wraps in 32 bits on overflow
  for (; *p >= '0' && *p <= '9'; p++) value = value * 10u + (unsigned int)(*p - '0');
  return (int)(negative ? 0u - value : value);
}

double ZSGetParamDbl(const char* s, unsigned int idx, char sep) {
  char work[kWorkSize];
  readParam(s, idx, work, sizeof work, sep);
  work[decimalPrefix(work)] = 0;
  return work[0] ? std::strtod(work, nullptr) : 0.0;
}

int ZSParamCmp(const char* s, unsigned int idx, const char* str, char sep) {
  char work[kWorkSize];
  readParam(s, idx, work, sizeof work, sep);
  return std::strcmp(work, str ? str : "") == 0 ? 1 : 0;
}

int ZSParamFind(const char* s, unsigned int idx, const char* str, char sep) {
  char work[kWorkSize];
  readParam(s, idx, work, sizeof work, sep);
  return std::strstr(work, str ? str : "") != nullptr ? 1 : 0;
}

int ZSGetParamTopic(const char* s, const char* topic, unsigned int* first, unsigned int* count,
                    char sep) {
  unsigned int header = kNoTopic, k = 0;
  if (s && topic) {
    char work[kWorkSize];
    // Walks the parameters in one pass; p lies behind the terminator once they run out.
    const char* end = s + std::strlen(s);
    for (const char* p = s; p <= end; k++) {
      copyParam(p, work, sizeof work, sep);
      p += paramLength(p, sep) + 1;
      std::size_t n = std::strlen(work);
      if (std::strstr(work, topic)) {
        header = k;
      } else if (n > 0 && work[n - 1] == ':' && header != kNoTopic) {
        break;
      }
    }
  }
  if (first) *first = header;
  if (count) *count = k - header - 1;
  return header != kNoTopic ? 1 : 0;
}
