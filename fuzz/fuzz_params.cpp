// Fuzzes the parameter-string readers and editors. The input is a separator choice, an
// index, a number and a parameter string, optionally followed by a NUL and a second text
// (the value, topic or searched text). Readers and editors are checked against a plain
// split of the string at every separator; the quote-aware scan against its own invariants.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarnpak/stdinputoutput.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kKept = 255;  // the most the working buffers keep of a text
// Long enough to pass the working buffers' limit, short enough to keep every run quick.
constexpr std::size_t kMaxInput = 400;
constexpr unsigned int kNoTopic = 65535;

// A NUL-terminated copy in a block of exactly room bytes, so that any access past it is
// caught by the sanitizer.
std::unique_ptr<char[]> exactCopy(const std::string& text, std::size_t room) {
  std::unique_ptr<char[]> block(new char[room]);
  std::memcpy(block.get(), text.c_str(), text.size() + 1);
  return block;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts(1);
  for (char c : s) {
    if (c == sep)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

std::string join(const std::vector<std::string>& parts, char sep) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); i++) s += (i ? std::string(1, sep) : "") + parts[i];
  return s;
}

struct Input {
  char sep;
  unsigned int idx, value;
  std::string s, text;  // the parameter string; the value, topic or searched text
};

Input takeInput(const std::uint8_t* data, std::size_t size) {
  static const char seps[] = {' ', '\\', ',', ':', '"', '*', ';'};
  Input in{' ', 0, 0, "", ""};
  if (size < 6) return in;
  in.sep = (data[0] & 7) < 7 ? seps[data[0] & 7] : (char)data[0];
  in.idx = data[1];
  std::memcpy(&in.value, data + 2, 4);
  std::string rest(reinterpret_cast<const char*>(data) + 6, size - 6);
  std::size_t nul = rest.find('\0');
  in.s = rest.substr(0, nul);
  if (nul != std::string::npos) in.text = rest.substr(nul + 1).c_str();
  return in;
}

void checkReaders(const Input& in, const std::vector<std::string>& parts) {
  std::unique_ptr<char[]> copy = exactCopy(in.s, in.s.size() + 1);
  const char* s = copy.get();
  FUZZ_CHECK(ZSGetParamCount(s, in.sep) == parts.size());
  std::unique_ptr<char[]> out(new char[in.s.size() + 1]);
  // The chosen parameter and the one past the last.
  const unsigned int indexes[] = {in.idx, (unsigned int)parts.size()};
  for (unsigned int k : indexes) {
    bool exists = k < parts.size();
    const std::string want = exists ? parts[k] : "";
    FUZZ_CHECK(ZSGetParamStr(s, k, out.get(), in.sep) == (int)exists);
    FUZZ_CHECK(want == out.get());
    FUZZ_CHECK(ZSGetParamExist(s, k, in.sep) == (int)exists);
    if (exists)
      FUZZ_CHECK(std::strncmp(s + ZSGetParamOffset(s, k, in.sep), want.c_str(), want.size()) == 0);
    const std::string kept = want.substr(0, kKept);
    FUZZ_CHECK(ZSParamCmp(s, k, kept.c_str(), in.sep) == 1);
    FUZZ_CHECK(ZSParamFind(s, k, in.text.c_str(), in.sep) ==
               (kept.find(in.text) != std::string::npos));
  }
  ZSGetParamInt(s, in.idx, in.sep);
  ZSGetParamDbl(s, in.idx, in.sep);
  unsigned int first = 0, count = 0;
  int found = ZSGetParamTopic(s, in.text.c_str(), &first, &count, in.sep);
  FUZZ_CHECK(found == (first != kNoTopic));
  if (found) FUZZ_CHECK(first < parts.size() && first + count + 1 <= parts.size());
}

// Runs one editor on a copy of the string in a buffer of at least 256 bytes (what an edit
// may grow the string to). An edit that applies leaves the expected text, cut as the
// working buffer cuts it; one that does not leaves the string as it was, however long.
template <typename Edit>
void checkEdit(const std::string& s, bool applies, const std::string& want, Edit edit) {
  std::unique_ptr<char[]> buf = exactCopy(s, s.size() + 1 > kKept + 1 ? s.size() + 1 : kKept + 1);
  edit(buf.get());
  FUZZ_CHECK((applies ? want.substr(0, kKept) : s) == buf.get());
}

void checkEditors(const Input& in, const std::vector<std::string>& parts) {
  const unsigned int k = in.idx;
  const bool exists = k < parts.size(), last = k + 1 == parts.size();
  // Removal needs a parameter with text; replacement also takes an empty last one.
  const bool kills = exists && !parts[k].empty(), sets = exists && (!parts[k].empty() || last);
  std::string killed, set, setInt;
  if (kills) {
    std::vector<std::string> rest = parts;
    rest.erase(rest.begin() + k);
    // The separator in front of a last parameter stays.
    killed = join(rest, in.sep) + (last && k > 0 ? std::string(1, in.sep) : "");
  }
  if (sets) {
    std::vector<std::string> edited = parts;
    edited[k] = in.text;
    set = join(edited, in.sep);
    edited[k] = std::to_string((int)in.value);
    setInt = join(edited, in.sep);
  }
  checkEdit(in.s, kills, killed, [&](char* b) { ZSKillParamStr(b, k, in.sep); });
  checkEdit(in.s, sets, set, [&](char* b) { ZSSetParamStr(b, k, in.text.c_str(), in.sep); });
  checkEdit(in.s, sets, setInt, [&](char* b) { ZSSetParamInt(b, k, in.value, in.sep); });
}

// The quote-aware scan: every parameter fits in the string's own length, the positions
// where parameters end never go back, and the last one ends at the end of the string.
void checkQuoted(const Input& in) {
  std::unique_ptr<char[]> s = exactCopy(in.s, in.s.size() + 1);
  std::unique_ptr<char[]> out(new char[in.s.size() + 1]);
  const int len = (int)in.s.size();
  unsigned int count = ZSGetCParamCount(s.get(), in.sep);
  FUZZ_CHECK(count >= 1 && count <= in.s.size() + 1);
  FUZZ_CHECK(ZSGetCParamStr(s.get(), -1, out.get(), in.sep) == 0 && out[0] == 0);
  const int k = (int)(in.idx % count);
  int end = ZSGetCParamStr(s.get(), k, out.get(), in.sep);
  FUZZ_CHECK(end <= len && std::strlen(out.get()) <= (std::size_t)len);
  FUZZ_CHECK(ZSGetCParamStr(s.get(), k, nullptr, in.sep) == end);
  if (k + 1 < (int)count) FUZZ_CHECK(ZSGetCParamStr(s.get(), k + 1, nullptr, in.sep) >= end);
  FUZZ_CHECK(ZSGetCParamStr(s.get(), (int)count - 1, out.get(), in.sep) == len);
  FUZZ_CHECK(ZSGetCParamStr(s.get(), (int)count, out.get(), in.sep) == len && out[0] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  Input in = takeInput(data, size);
  std::vector<std::string> parts = split(in.s, in.sep);
  checkReaders(in, parts);
  checkEditors(in, parts);
  checkQuoted(in);
  return 0;
}
