// Parameter strings: reading, testing, topics, in-place edits and the quoted form.
#include <gtest/gtest.h>

#include <string>

#include "tarnpak/stdinputoutput.h"

namespace {

std::string param(const char* s, unsigned idx, int* result = nullptr, char sep = ' ') {
  char out[600];
  int r = ZSGetParamStr(s, idx, out, sep);
  if (result) *result = r;
  return out;
}

std::string edited(const std::string& s, void (*edit)(char*)) {
  char buf[600] = {};
  s.copy(buf, sizeof buf - 1);
  edit(buf);
  return buf;
}

}  // namespace

TEST(Params, CountAndOffset) {
  EXPECT_EQ(ZSGetParamCount("", ' '), 1u);
  EXPECT_EQ(ZSGetParamCount("a  b", ' '), 3u);
  EXPECT_EQ(ZSGetParamCount(" a", ' '), 2u);
  EXPECT_EQ(ZSGetParamOffset("ab cd", 0, ' '), 0u);
  EXPECT_EQ(ZSGetParamOffset("ab cd", 1, ' '), 3u);
  EXPECT_EQ(ZSGetParamOffset("ab cd", 2, ' '), 6u);
  EXPECT_EQ(ZSGetParamOffset("ab cd", 9, ' '), 6u);
}

TEST(Params, EmptyParametersExist) {
  int r;
  EXPECT_EQ(param("a  b", 0, &r), "a");
  EXPECT_EQ(param("a  b", 1, &r), "");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(param("a  b", 2, &r), "b");
  EXPECT_EQ(param("a  b", 3, &r), "");
  EXPECT_EQ(r, 0);
  EXPECT_EQ(param("a b ", 2, &r), "");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(ZSGetParamExist("a b ", 2, ' '), 1);
  EXPECT_EQ(ZSGetParamExist("a b ", 3, ' '), 0);
  EXPECT_EQ(param("c:\\dir\\f", 1, nullptr, '\\'), "dir");
}

TEST(Params, Numbers) {
  EXPECT_EQ(ZSGetParamInt("x 42abc", 1, ' '), 42);
  EXPECT_EQ(ZSGetParamInt("x 42abc", 5, ' '), 0);
  EXPECT_EQ(ZSGetParamInt("0x10 -7", 0, ' '), 0);
  EXPECT_EQ(ZSGetParamInt("0x10 -7", 1, ' '), -7);
  EXPECT_EQ(ZSGetParamInt("4294967297", 0, ' '), 1);  // wraps in 32 bits
  EXPECT_DOUBLE_EQ(ZSGetParamDbl("a,2.5e2x", 1, ','), 250.0);
  EXPECT_DOUBLE_EQ(ZSGetParamDbl("-.5", 0, ' '), -0.5);
  EXPECT_DOUBLE_EQ(ZSGetParamDbl("inf 0x10 1e", 0, ' '), 0.0);
  EXPECT_DOUBLE_EQ(ZSGetParamDbl("inf 0x10 1e", 1, ' '), 0.0);
  EXPECT_DOUBLE_EQ(ZSGetParamDbl("inf 0x10 1e", 2, ' '), 1.0);
}

TEST(Params, CompareAndFind) {
  EXPECT_EQ(ZSParamCmp("x y", 3, "", ' '), 1);
  EXPECT_EQ(ZSParamCmp("x yz", 1, "yz", ' '), 1);
  EXPECT_EQ(ZSParamCmp("x yz", 1, "Yz", ' '), 0);
  EXPECT_EQ(ZSParamFind("x abcd", 1, "bc", ' '), 1);
  EXPECT_EQ(ZSParamFind("x abcd", 0, "bc", ' '), 0);
  EXPECT_EQ(ZSParamFind("x abcd", 0, "", ' '), 1);
}

TEST(Params, OverlongParameterIsCutInWorkingBuffer) {
  std::string s = "a " + std::string(1000, '7');
  EXPECT_EQ(ZSParamCmp(s.c_str(), 1, std::string(255, '7').c_str(), ' '), 1);
  EXPECT_EQ(ZSParamFind(s.c_str(), 1, "7777", ' '), 1);
  EXPECT_EQ(ZSGetParamInt(s.c_str(), 1, ' '), ZSGetParamInt(std::string(255, '7').c_str(), 0, ' '));
  unsigned first, count;
  EXPECT_EQ(ZSGetParamTopic(s.c_str(), "a", &first, &count, ' '), 1);
}

TEST(Params, TopicsFoundByContainment) {
  const char* s = "colors: red green sizes: big";
  unsigned first = 0, count = 0;
  EXPECT_EQ(ZSGetParamTopic(s, "colors", &first, &count, ' '), 1);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(ZSGetParamTopic(s, "sizes", &first, &count, ' '), 1);
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(ZSGetParamTopic(s, "shapes", &first, &count, ' '), 0);
  EXPECT_EQ(first, 65535u);
  // The last parameter containing the topic before the closing header wins.
  EXPECT_EQ(ZSGetParamTopic("re: red x: y", "re", &first, &count, ' '), 1);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(count, 0u);
}

TEST(ParamEdit, Remove) {
  EXPECT_EQ(edited("a b c", [](char* s) { ZSKillParamStr(s, 1, ' '); }), "a c");
  EXPECT_EQ(edited("a b c", [](char* s) { ZSKillParamStr(s, 0, ' '); }), "b c");
  EXPECT_EQ(edited("a", [](char* s) { ZSKillParamStr(s, 0, ' '); }), "");
  EXPECT_EQ(edited("a b c", [](char* s) { ZSKillParamStr(s, 2, ' '); }), "a b ");
  EXPECT_EQ(edited("a b c", [](char* s) { ZSKillParamStr(s, 7, ' '); }), "a b c");
  EXPECT_EQ(edited("a  b", [](char* s) { ZSKillParamStr(s, 1, ' '); }), "a  b");
}

TEST(ParamEdit, Replace) {
  EXPECT_EQ(edited("a b c", [](char* s) { ZSSetParamStr(s, 1, "xyz", ' '); }), "a xyz c");
  EXPECT_EQ(edited("a b c", [](char* s) { ZSSetParamStr(s, 2, "q", ' '); }), "a b q");
  EXPECT_EQ(edited("a b ", [](char* s) { ZSSetParamStr(s, 2, "q", ' '); }), "a b q");
  EXPECT_EQ(edited("", [](char* s) { ZSSetParamStr(s, 0, "q", ' '); }), "q");
  EXPECT_EQ(edited("a  b", [](char* s) { ZSSetParamStr(s, 1, "q", ' '); }), "a  b");
  EXPECT_EQ(edited("a b", [](char* s) { ZSSetParamStr(s, 5, "q", ' '); }), "a b");
  EXPECT_EQ(edited("a b", [](char* s) { ZSSetParamInt(s, 0, 4294967295u, ' '); }), "-1 b");
  EXPECT_EQ(edited("a b", [](char* s) { ZSSetParamInt(s, 1, 1234, ' '); }), "a 1234");
}

TEST(ParamEdit, ResultIsCutAt255Characters) {
  std::string longVal(400, 'v');
  char buf[600] = "a b c";
  ZSSetParamStr(buf, 1, longVal.c_str(), ' ');
  EXPECT_EQ(std::string(buf), "a " + std::string(253, 'v'));
  std::string s(300, 'k');
  s += " z";
  EXPECT_EQ(edited(s, [](char* p) { ZSKillParamStr(p, 1, ' '); }), std::string(255, 'k'));
}

TEST(QuotedParams, QuotesGroupAndStopPositionFollowsSeparator) {
  const char* s = "a \"b x\" d";
  EXPECT_EQ(ZSGetCParamCount(s, ' '), 3u);
  char out[64];
  EXPECT_EQ(ZSGetCParamStr(s, 1, out, ' '), 8);
  EXPECT_STREQ(out, "b x");
  EXPECT_EQ(ZSGetCParamStr(s, 5, out, ' '), 9);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(ZSGetCParamStr(s, -1, out, ' '), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(ZSGetCParamStr(s, 0, nullptr, ' '), 2);
}

TEST(QuotedParams, EscapesOnlyInsideQuotes) {
  char out[64];
  ZSGetCParamStr("\"A\\x41\\t\\\"\"", 0, out, ' ');
  EXPECT_STREQ(out, "AA\t\"");
  ZSGetCParamStr("\\x41", 0, out, ' ');
  EXPECT_STREQ(out, "\\x41");
  ZSGetCParamStr("\"\\65\\\\\\n z\" y", 0, out, ' ');
  EXPECT_STREQ(out, "A\\\\ z");
  EXPECT_EQ(ZSGetCParamCount("\"a\\\" b\" c", ' '), 2u);
  // A backslash at the very end inside quotes is not read past.
  ZSGetCParamStr("\"ab\\", 0, out, ' ');
  EXPECT_STREQ(out, "ab\\");
  EXPECT_EQ(ZSGetCParamCount("\"ab\\", ' '), 1u);
}
