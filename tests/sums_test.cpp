// SHA-256 sums of groups and reproducible packs, from the outside: the host's hash, the lines
// sha256sum reads, Tarnpak --sums, grp sum, grp verify --sums, grp add/rm --sums, and
// SOURCE_DATE_EPOCH.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tarnpak/gf.h"

namespace {

std::string sha256Hex(const std::string& bytes) {
  t_gfSha256* hasher = gfSha256Open();
  EXPECT_NE(hasher, nullptr);
  unsigned char digest[GF_SHA256_SIZE];
  EXPECT_EQ(gfSha256Add(hasher, bytes.data(), (long)bytes.size()), 0);
  EXPECT_EQ(gfSha256Finish(hasher, digest), 0);
  gfSha256Close(hasher);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) out += {hex[b >> 4], hex[b & 15]};
  return out;
}

// Sets (or with null removes) a variable the tools started from here inherit.
void setEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv((std::string(name) + "=" + (value ? value : "")).c_str());  // copied; "NAME=" removes
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

// A tree with small files, one large enough to be copied on its own (not in a batch), and
// a file that two lines of the build list take, so it is stored twice.
void makeTree(const TempDir& game) {
  writeFile(game / "readme.txt", "hello");
  writeFile(game / "maps/e1m1.map", "map one");
  writeFile(game / "maps/sub/e1m2.map", "map two");
  std::string big;
  for (int i = 0; i < 700000; i++) big += (char)(i * 7 + i / 251);
  writeFile(game / "maps/big.lev", big);
  writeFile(game / "group.cfg", "maps\\*.* r\nreadme.txt\nreadme.txt\n");
}

const char* const kTreeFiles[] = {"maps/big.lev", "maps/e1m1.map", "maps/sub/e1m2.map",
                                  "readme.txt"};

// The sums without the first line, which names the version of the group they were made for
// (checked to be there).
std::string withoutGroupLine(const std::string& sums) {
  size_t end = sums.find('\n');
  EXPECT_EQ(sums.compare(0, std::strlen(GF_SUMS_GROUP_TAG), GF_SUMS_GROUP_TAG), 0) << sums;
  EXPECT_EQ(end, std::strlen(GF_SUMS_GROUP_TAG) + 2 * GF_SHA256_SIZE) << sums;
  return end == std::string::npos ? sums : sums.substr(end + 1);
}

// The sums sha256sum would print for the tree's files unpacked, in the group's order.
std::string expectedSums(const TempDir& game) {
  std::string out;
  for (const char* f : kTreeFiles) {
    std::string name = f;
    for (char& c : name) c = (char)std::toupper((unsigned char)c);
    out += sha256Hex(readFile(game / f)) + "  " + name + "\n";
  }
  return out;
}

}  // namespace

// The host's SHA-256 gives the standard digests, whether fed at once or in pieces, and a
// finished hasher starts a new message; the lines are sha256sum's, escapes and all.
TEST(Sums, HashAndLinesAreThoseOfSha256sum) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  t_gfSha256* hasher = gfSha256Open();
  ASSERT_NE(hasher, nullptr);
  unsigned char first[GF_SHA256_SIZE], second[GF_SHA256_SIZE];
  ASSERT_EQ(gfSha256Add(hasher, "xyz", 3), 0);  // left behind by the finish below
  ASSERT_EQ(gfSha256Finish(hasher, first), 0);
  ASSERT_EQ(gfSha256Add(hasher, "a", 1), 0);
  ASSERT_EQ(gfSha256Add(hasher, "bc", 2), 0);
  ASSERT_EQ(gfSha256Finish(hasher, second), 0);
  gfSha256Close(hasher);
  char line[GF_SUM_LINE_MAX + 1];
  EXPECT_EQ(std::string(line, (size_t)gfSumLine("PICS\\A B.TXT", second, line)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  PICS/A B.TXT");
  EXPECT_EQ(std::string(line, (size_t)gfSumLine("A\nB\rC", second, line)),
            "\\ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  A\\nB\\rC");
  // Other control bytes go out as they are: sha256sum -c takes no other escape.
  EXPECT_EQ(std::string(line, (size_t)gfSumLine("A\x01\x1B", second, line)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  A\x01\x1B");
}

// Tarnpak --sums writes, while it packs, the sums of the bytes it stored: those of the
// sources, each name once, the same with one thread and with several, and the same as grp
// sum prints for the group.
TEST(Sums, PackWritesTheSumsOfWhatItStored) {
  TempDir game, work;
  makeTree(game);
  for (const char* threads : {"1", "4"}) {
    setEnvironment("TARNPAK_THREADS", threads);
    ToolRun run = runTool({"--sums", "packed.sums", game.path()}, work.path());
    setEnvironment("TARNPAK_THREADS", nullptr);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(withoutGroupLine(readFile(work / "packed.sums")), expectedSums(game))
        << threads << " threads";
  }
  ToolRun sum = runGrp({"sum", "newgrp.grp"}, work.path());
  ASSERT_EQ(sum.status, 0) << sum.err;
  EXPECT_EQ(sum.out, readFile(work / "packed.sums"));
  EXPECT_EQ(withoutGroupLine(sum.out), expectedSums(game));

  // No file to write the sums to: the pack fails and the group from before stays.
  std::string before = readFile(work / "newgrp.grp");
  writeFile(game / "readme.txt", "changed");
  ToolRun failed = runTool({"--sums", "no/such/dir/s", game.path()}, work.path());
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("cannot create sums file"), std::string::npos) << failed.err;
  EXPECT_EQ(readFile(work / "newgrp.grp"), before);
  EXPECT_EQ(runTool({"--sums"}, work.path()).status, 2);
}

// grp verify --sums names every entry whose bytes differ, that is missing from the group or
// that the sums do not list, and tells trouble (an unreadable sums file) apart.
TEST(Sums, VerifyNamesEachEntryThatDiffersOrIsMissing) {
  TempDir work;
  // Two copies of ONE.TXT: an unpack leaves the last, so the sums list that one only.
  std::string image = makeGroup({{"ONE.TXT", "first"}, {"DIR\\TWO.TXT", "second"},
                                 {"ONE.TXT", "later"}, {"THREE.TXT", "third"}});
  writeFile(work / "g.grp", image);
  ToolRun sum = runGrp({"sum", "g.grp"}, work.path());
  ASSERT_EQ(sum.status, 0) << sum.err;
  EXPECT_EQ(withoutGroupLine(sum.out), sha256Hex("second") + "  DIR/TWO.TXT\n" +
                                           sha256Hex("later") + "  ONE.TXT\n" +
                                           sha256Hex("third") + "  THREE.TXT\n");
  writeFile(work / "g.sums", sum.out);
  ToolRun ok = runGrp({"verify", "--sums", "g.sums", "g.grp"}, work.path());
  EXPECT_EQ(ok.status, 0) << ok.err;

  // One flipped byte in the data of DIR\TWO.TXT.
  size_t at = image.rfind("second");
  image[at + 2] ^= 1;
  writeFile(work / "g.grp", image);
  ToolRun bad = runGrp({"verify", "--sums", "g.sums", "g.grp"}, work.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("'DIR\\TWO.TXT' differs"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.err.find("ONE.TXT"), std::string::npos) << bad.err;

  // Another version of the group (an entry gone, one added): the sums name the version
  // they were made for, so they read as stale, not as damage. Without that line (as
  // sha256sum writes them) each entry is checked: one gone, one the sums do not list.
  writeFile(work / "g.grp", makeGroup({{"DIR\\TWO.TXT", "second"}, {"NEW.TXT", "new"},
                                       {"ONE.TXT", "later"}}));
  bad = runGrp({"verify", "--sums=g.sums", "g.grp"}, work.path());
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.err.find("made for another version of this group"), std::string::npos)
      << bad.err;
  EXPECT_EQ(bad.err.find("differs"), std::string::npos) << bad.err;
  ToolRun json = runGrp({"verify", "--sums=g.sums", "--json", "g.grp"}, work.path());
  EXPECT_EQ(json.status, 3);
  EXPECT_EQ(json.out, "{\"file\": \"g.grp\", \"sums\": \"g.sums\", \"ok\": false, "
                      "\"stale\": true, \"entries\": null, \"problems\": []}\n");
  writeFile(work / "g.sums", withoutGroupLine(sum.out));
  bad = runGrp({"verify", "--sums=g.sums", "g.grp"}, work.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("'THREE.TXT' is missing from the group"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("'NEW.TXT' is not in the sums file"), std::string::npos) << bad.err;
  json = runGrp({"verify", "--json", "--sums", "g.sums", "g.grp"}, work.path());
  EXPECT_EQ(json.status, 1);
  EXPECT_NE(json.out.find("\"ok\": false, \"stale\": false, \"entries\": 3, \"problems\": "
                          "[{\"name\": \"NEW.TXT\", \"line\": null, \"reason\": \"not in the sums "
                          "file\"}, {\"name\": \"THREE.TXT\", \"line\": 3"),
            std::string::npos)
      << json.out;
  EXPECT_EQ(json.err, "");

  writeFile(work / "junk.sums", "not a sums line\n");
  EXPECT_EQ(runGrp({"verify", "--sums", "junk.sums", "g.grp"}, work.path()).status, 2);
  EXPECT_EQ(runGrp({"verify", "--sums", "missing.sums", "g.grp"}, work.path()).status, 2);
}

// A sums path that names the group (any spelling, a link to it, a hard link), or a file the
// group is made from, is refused before anything is written: the group, new or old, is
// never replaced by its sums text.
TEST(Sums, ASumsFileNeverTakesThePlaceOfTheGroupOrItsSources) {
  TempDir game, work;
  makeTree(game);
  auto refused = [&](const ToolRun& run, const std::string& replaced) {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("refusing to write sums file"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(replaced), std::string::npos) << run.err;
  };
  refused(runTool({"--sums", "newgrp.grp", game.path()}, work.path()), "'newgrp.grp'");
  EXPECT_FALSE(fileExists(work / "newgrp.grp"));
  ASSERT_EQ(runTool({game.path()}, work.path()).status, 0);
  const std::string group = readFile(work / "newgrp.grp");
  std::vector<std::string> names = {"newgrp.grp", "NEWGRP.GRP"};
#ifndef _WIN32
  std::filesystem::create_symlink("newgrp.grp", work / "link.grp");
  std::filesystem::create_hard_link(work / "newgrp.grp", work / "hard.grp");
  names.insert(names.end(), {"link.grp", "hard.grp"});
#endif
  for (const std::string& sums : names) {
    SCOPED_TRACE(sums);
    refused(runTool({"--sums", sums, game.path()}, work.path()), "group file 'newgrp.grp'");
    refused(runGrp({"add", "-C", game.path(), "--sums", (work / sums), (work / "newgrp.grp"),
                    "readme.txt"},
                   work.path()),
            "newgrp.grp'");
    refused(runGrp({"rm", "--sums", sums, "newgrp.grp", "readme.txt"}, work.path()),
            "group file 'newgrp.grp'");
    EXPECT_EQ(readFile(work / "newgrp.grp"), group);
  }
  refused(runTool({"--sums", game / "README.TXT", game.path()}, work.path()), "readme.txt'");
  refused(runGrp({"add", "-C", game.path(), "--sums", "readme.txt", (work / "newgrp.grp"),
                  "readme.txt"},
                 game.path()),
          "readme.txt'");
  EXPECT_EQ(readFile(game / "readme.txt"), "hello");
  EXPECT_EQ(readFile(work / "newgrp.grp"), group);
}

// grp add and rm refresh a sums file with the new group's sums, the kept entries (a large
// one among them, copied on its own) hashed as they are copied from the old group.
TEST(Sums, EditsWriteTheSumsOfTheNewGroup) {
  TempDir game, work;
  makeTree(game);
  ASSERT_EQ(runTool({game.path()}, work.path()).status, 0);
  writeFile(game / "extra.txt", "extra");
  ToolRun add = runGrp({"add", "-C", game.path(), "--sums", "s1", "newgrp.grp", "extra.txt"},
                       work.path());
  ASSERT_EQ(add.status, 0) << add.err;
  ToolRun sum = runGrp({"sum", "newgrp.grp"}, work.path());
  EXPECT_EQ(readFile(work / "s1"), sum.out);
  EXPECT_NE(sum.out.find(sha256Hex("extra") + "  EXTRA.TXT\n"), std::string::npos);
  EXPECT_NE(sum.out.find(sha256Hex(readFile(game / "maps/big.lev")) + "  MAPS/BIG.LEV\n"),
            std::string::npos);
  ToolRun rm = runGrp({"rm", "--sums", "s2", "newgrp.grp", "maps/e1m1.map"}, work.path());
  ASSERT_EQ(rm.status, 0) << rm.err;
  EXPECT_EQ(readFile(work / "s2"), runGrp({"sum", "newgrp.grp"}, work.path()).out);
  EXPECT_EQ(readFile(work / "s2").find("E1M1"), std::string::npos);
}

// With SOURCE_DATE_EPOCH, a date later than it is stored as it, so that a tree touched
// between two packs gives the same group; earlier dates stay. A value that is no count of
// seconds fails the pack, named.
TEST(Sums, SourceDateEpochMakesPacksReproducible) {
  TempDir game, first, second, plain;
  makeTree(game);
  constexpr long long k2003Noon = 1041422400;  // 2003-01-01T12:00:00Z
  setWriteTime(game / "readme.txt", k2003Noon - 86400);
  setEnvironment("SOURCE_DATE_EPOCH", "1041422400");
  ToolRun run = runTool({game.path()}, first.path());
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* f : kTreeFiles)
    if (std::string(f) != "readme.txt") setWriteTime(game / f, k2003Noon + 86400 * 400);
  run = runTool({game.path()}, second.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(first / "newgrp.grp"), readFile(second / "newgrp.grp"));
  ToolRun list = runGrp({"list", "-l", "newgrp.grp"}, second.path());
  EXPECT_NE(list.out.find("2003-01-01T12:00:00Z"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("2002-12-31T12:00:00Z"), std::string::npos) << list.out;

  // Before 1980 (0 is common): one warning for the job, every date clamped to the format's
  // first, none stored as "no date"; a listing shows a date the format cannot hold as absent.
  TempDir early;
  setEnvironment("SOURCE_DATE_EPOCH", "0");
  run = runTool({game.path()}, early.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "Tarnpak: warning: SOURCE_DATE_EPOCH 0 is before 1980, the first date a "
                     "group holds: files are dated no later than 1980-01-01 00:00:00 UTC\n");
  list = runGrp({"list", "-l", "newgrp.grp"}, early.path());
  EXPECT_NE(list.out.find("1980-01-01T00:00:00Z"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("2003-"), std::string::npos) << list.out;
  writeFile(early / "undated.grp", makeGroup({{"A.TXT", "a", 0, 0}}));
  list = runGrp({"list", "-l", "undated.grp"}, early.path());
  EXPECT_EQ(list.out.rfind("         1 no date              ", 0), 0u) << list.out;
  EXPECT_EQ(list.out.find("1980-00"), std::string::npos) << list.out;

  setEnvironment("SOURCE_DATE_EPOCH", "12x");
  run = runTool({game.path()}, plain.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("SOURCE_DATE_EPOCH '12x' is not a decimal count of seconds"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fileExists(plain / "newgrp.grp"));
  setEnvironment("SOURCE_DATE_EPOCH", nullptr);
  ASSERT_EQ(runTool({game.path()}, plain.path()).status, 0);
  EXPECT_NE(readFile(plain / "newgrp.grp"), readFile(first / "newgrp.grp"));
}
