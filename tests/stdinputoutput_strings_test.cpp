// The text utilities: character classes, line clean-up, search, replacement and masks.
#include <gtest/gtest.h>

#include <string>

#include "tarnpak/stdinputoutput.h"

namespace {

std::string clean(std::string text, bool quoteAware = false) {
  std::string buf = text;
  buf.resize(text.size() + 1);
  if (quoteAware)
    CKillUnusedSpacesEtc(&buf[0]);
  else
    KillUnusedSpacesEtc(&buf[0]);
  return buf.c_str();
}

std::string replaced(const std::string& text, const char* find, const char* repl) {
  char buf[600] = {};
  text.copy(buf, sizeof buf - 1);
  ZSReplaceString(buf, find, repl);
  return buf;
}

}  // namespace

TEST(CharClasses, TerminatorBelongsToBothSets) {
  EXPECT_EQ(IsWhite(0), 1);
  EXPECT_EQ(IsDelim(0), 1);
  EXPECT_EQ(IsWhite('\t'), 1);
  EXPECT_EQ(IsWhite('\n'), 0);
  EXPECT_EQ(IsDelim('\r'), 1);
  EXPECT_EQ(IsDelim('a'), 0);
  EXPECT_EQ(IsDelim((char)0xA0), 0);
}

TEST(CharClasses, TwoCharacterOperatorsLookAtTwoCharactersOnly) {
  EXPECT_EQ(IsDblDelim("/*"), 1);
  EXPECT_EQ(IsDblDelim("*/"), 1);
  EXPECT_EQ(IsDblDelim(">=="), 1);
  EXPECT_EQ(IsDblDelim("=>"), 0);
  EXPECT_EQ(IsDblDelim("="), 0);
  EXPECT_EQ(IsDblDelim(""), 0);
}

TEST(CharClasses, DigitStrings) {
  for (const char* yes : {"h", "7", "123", "12h"}) EXPECT_EQ(ZSIsStrDigit(yes), 1) << yes;
  for (const char* no : {"1Fh", "12H", "-5", "1.5", "",
                         "\xB1"
                         "1"})
    EXPECT_EQ(ZSIsStrDigit(no), 0) << no;
}

TEST(LineCleanup, FoldsBlanksAndDropsLineFeeds) {
  EXPECT_EQ(clean("  \ta\t\tb "), "a b");
  EXPECT_EQ(clean(" \t  \t"), "");
  EXPECT_EQ(clean("a\r\n"), "a\r");
  EXPECT_EQ(clean("a\nb"), "ab");
  EXPECT_EQ(clean("a \n b"), "a b");
}

TEST(LineCleanup, QuotedBlanksStay) {
  EXPECT_EQ(clean("x   \"a  b\"   y", true), "x \"a  b\" y");
  EXPECT_EQ(clean("\"a\tb\"", true), "\"a b\"");
  // An escaped quote does not close the quoted text, so its blanks stay.
  EXPECT_EQ(clean("\"a\\\"  b\"  c", true), "\"a\\\"  b\" c");
  // Blanks at the end of an unclosed quote go like any trailing blanks.
  EXPECT_EQ(clean("\"a  ", true), "\"a");
}

TEST(LineCleanup, OverlongLineIsCutAtTheWorkingBuffer) {
  std::string longLine(2000, 'x');
  EXPECT_EQ(clean(longLine), std::string(511, 'x'));
  EXPECT_EQ(clean(longLine, true), std::string(511, 'x'));
  // Many blanks only: a 16-bit run counter would have wrapped here.
  EXPECT_EQ(clean("a" + std::string(70000, ' ') + "b"), "a b");
}

TEST(LineCleanup, TailLineEnds) {
  char a[] = "ab\r\n\r";
  KillTailCRLF(a);
  EXPECT_STREQ(a, "ab");
  char b[] = "\r\n";
  KillTailCRLF(b);
  EXPECT_STREQ(b, "");
  char c[] = "a\rb";
  KillTailCRLF(c);
  EXPECT_STREQ(c, "a\rb");
  char d[] = "";
  KillTailCRLF(d);
  EXPECT_STREQ(d, "");
}

TEST(Search, RegionBoundsAndCase) {
  const char buf[] = "xxABcd";
  EXPECT_EQ(ZSStrStr(buf, "ABcdef", 6), nullptr);
  EXPECT_EQ(ZSStrStr(buf, "AB", 6), buf + 2);
  EXPECT_EQ(ZSStrStr(buf, "ab", 6), nullptr);
  EXPECT_EQ(ZSStrStrAnyCase(buf, "ab", 6), buf + 2);
  // A match ending on the region's last byte is found; nothing beyond the region is read.
  EXPECT_EQ(ZSStrStr(buf, "cd", 6), buf + 4);
  EXPECT_EQ(ZSStrStr(buf, "cd", 5), nullptr);
  const char withNul[] = {'a', 0, 'b', 'c'};
  EXPECT_EQ(ZSStrStr(withNul, "bc", 4), withNul + 2);
}

TEST(Search, CaseBlindEquality) {
  EXPECT_EQ(ZSMemCmpAnyCase("ABC", "abd", 2), 1);
  EXPECT_EQ(ZSMemCmpAnyCase("ABC", "abd", 3), 0);
  EXPECT_EQ(ZSMemCmpAnyCase("x", "y", 0), 1);
  EXPECT_EQ(ZSMemCmpAnyCase("a\0X", "a\0x", 3), 1);
  EXPECT_EQ(xstrcmp("Group.CFG", "group.cfg"), 0);
  EXPECT_EQ(xstrcmp("abc", "ab"), 1);
  EXPECT_EQ(xstrcmp("ab", "abc"), 1);
  EXPECT_EQ(xstrcmp("[", "{"), 1);  // only letters fold
}

TEST(Replace, RangeInsertDeleteAndOutOfRange) {
  char s[600] = "hello";
  iZSReplaceString(s, 1, 3, "EY");
  EXPECT_STREQ(s, "hEYo");
  iZSReplaceString(s, 0, 0, ">");
  EXPECT_STREQ(s, ">hEYo");
  iZSReplaceString(s, 1, 99, "");
  EXPECT_STREQ(s, ">");
  iZSReplaceString(s, 50, 2, "!");  // past the end: appended, nothing read beyond
  EXPECT_STREQ(s, ">!");
}

TEST(Replace, ResultIsCutAt511Characters) {
  char s[1200];
  std::string big(1000, 'a');
  big.copy(s, big.size());
  s[big.size()] = 0;
  iZSReplaceString(s, 0, 0, "b");
  EXPECT_EQ(std::string(s), "b" + std::string(510, 'a'));
}

TEST(Replace, AllOccurrences) {
  EXPECT_EQ(replaced("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(replaced("abab", "ab", "c"), "cc");
  EXPECT_EQ(replaced("x\r\n y", "\r\n ", " "), "x y");
  EXPECT_EQ(replaced("abc", "", "x"), "abc");
  EXPECT_EQ(replaced("abc", "b", ""), "ac");
  // Growth beyond the working buffer stops cleanly.
  EXPECT_EQ(replaced(std::string(400, 'a'), "a", "aa"), std::string(511, 'a'));
}

TEST(Mask, StarStopsAtFirstOccurrenceAndNeverCrossesBackslash) {
  EXPECT_EQ(ZSMaskCompare("*.bmp", "a.bmp"), 1);
  EXPECT_EQ(ZSMaskCompare("*.bmp", "a.txt"), 0);
  EXPECT_EQ(ZSMaskCompare("*.bmp", "readme"), 1);
  EXPECT_EQ(ZSMaskCompare("*.bmp", "dir\\a.bmp"), 0);
  EXPECT_EQ(ZSMaskCompare("*.bmp", "a.bmpx"), 1);
  EXPECT_EQ(ZSMaskCompare("textures\\*.bmp", "textures\\a.bmp"), 1);
  EXPECT_EQ(ZSMaskCompare("*a.txt", "banana.txt"), 0);
  EXPECT_EQ(ZSMaskCompare("*\\x", "d\\x"), 0);
}

TEST(Mask, CaseAndPrefixes) {
  EXPECT_EQ(ZSMaskCompare("a?c", "ABC"), 1);
  EXPECT_EQ(ZSMaskCompare("*.TXT", "a.txt"), 1);
  EXPECT_EQ(ZSMaskCompare("*X", "abx"), 1);
  EXPECT_EQ(ZSMaskCompare("abc", "ab"), 1);
  EXPECT_EQ(ZSMaskCompare("ab", "abc"), 1);
  EXPECT_EQ(ZSMaskCompare("?", "\\"), 0);
  EXPECT_EQ(ZSMaskCompare("", "anything"), 1);
  EXPECT_EQ(ZSMaskCompare("abd", "abc"), 0);
}
