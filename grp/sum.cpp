// grp sum: the SHA-256 of every stored file, as sha256sum writes them for the unpacked tree;
// and grp verify --sums: a group checked against such a sums file.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace {

std::string hexDigest(const unsigned char digest[GF_SHA256_SIZE]) {
  char hex[2 * GF_SHA256_SIZE + 1];
  gfSha256Hex(digest, hex);
  return hex;
}

struct t_sumOutput {
  const char* group;
  bool json;
  long count;  // objects printed so far, over every group
};

int printSum(const t_gfGroupEntry* e, const unsigned char digest[GF_SHA256_SIZE], void* context) {
  auto* out = static_cast<t_sumOutput*>(context);
  if (out->json) {
    std::printf("%s{\"group\": %s, \"name\": %s, \"size\": %ld, \"sha256\": \"%s\"}",
                out->count ? ",\n  " : "[\n  ", grpJsonString(out->group).c_str(),
                grpJsonString(e->name).c_str(), e->size, hexDigest(digest).c_str());
  } else {
    char line[GF_SUM_LINE_MAX + 1];
    long n = gfSumLine(e->name, digest, line);
    line[n] = '\n';
    std::fwrite(line, 1, (size_t)n + 1, stdout);
  }
  out->count++;
  return 1;
}

// ---- reading a sums file --------------------------------------------------------------------

struct t_sumLine {
  std::string name;  // as the line gives it, unescaped
  std::string digest;
  long number;
  bool matched = false;
};

// Undoes sha256sum's escaping of a name ("\\\\", "\\n", "\\r"); false for any other escape.
bool unescape(std::string* name) {
  std::string out;
  for (size_t i = 0; i < name->size(); i++) {
    if ((*name)[i] != '\\') {
      out += (*name)[i];
      continue;
    }
    char next = i + 1 < name->size() ? (*name)[++i] : 0;
    if (next == '\\') out += '\\';
    else if (next == 'n') out += '\n';
    else if (next == 'r') out += '\r';
    else return false;
  }
  *name = out;
  return true;
}

bool isHex(const std::string& text) {
  if (text.size() != 2 * GF_SHA256_SIZE) return false;
  for (char c : text)
    if (!std::strchr("0123456789abcdefABCDEF", c)) return false;
  return true;
}

// One line "HEX  NAME" or "HEX *NAME", escaped when it begins with a backslash; false when it
// is none.
bool parseLine(std::string text, t_sumLine* out) {
  bool escaped = !text.empty() && text[0] == '\\';
  if (escaped) text.erase(0, 1);
  if (!text.empty() && text.back() == '\r') text.pop_back();  // written in text mode
  if (text.size() < 2 * GF_SHA256_SIZE + 3 || text[2 * GF_SHA256_SIZE] != ' ' ||
      (text[2 * GF_SHA256_SIZE + 1] != ' ' && text[2 * GF_SHA256_SIZE + 1] != '*'))
    return false;
  out->digest = text.substr(0, 2 * GF_SHA256_SIZE);
  for (char& c : out->digest) c = (char)std::tolower((unsigned char)c);
  out->name = text.substr(2 * GF_SHA256_SIZE + 2);
  return isHex(out->digest) && !out->name.empty() && (!escaped || unescape(&out->name));
}

// The version of the group a sums file names in its first line (the engine's tag and a
// head digest in hex); empty when it names none.
std::string groupOfLine(const std::string& line) {
  size_t tag = std::strlen(GF_SUMS_GROUP_TAG);
  std::string rest = line.compare(0, tag, GF_SUMS_GROUP_TAG) == 0 ? line.substr(tag) : "";
  if (!rest.empty() && rest.back() == '\r') rest.pop_back();
  for (char& c : rest) c = (char)std::tolower((unsigned char)c);
  return isHex(rest) ? rest : "";
}

// Reads every line of the sums file, and into *head the version of the group it names, if
// any; false after a message when it cannot be read or holds a line that is none. Other
// lines that begin with '#' are comments, as sha256sum takes them.
bool readSums(const char* path, std::vector<t_sumLine>* lines, std::string* head) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    grpError("cannot open sums file '%s': %s", path, std::strerror(errno));
    return false;
  }
  std::string text;
  char buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) {
    grpError("cannot read sums file '%s'", path);
    return false;
  }
  long number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    number++;
    if (line.empty() || line == "\r") continue;
    if (line[0] == '#') {
      if (number == 1) *head = groupOfLine(line);
      continue;
    }
    t_sumLine parsed;
    parsed.number = number;
    if (!parseLine(line, &parsed)) {
      grpError("sums file '%s' line %ld is no sha256sum line", path, number);
      return false;
    }
    lines->push_back(parsed);
  }
  return true;
}

// ---- checking a group against it ------------------------------------------------------------

// One entry that does not match: its name, the sums file's line (0: none) and what is wrong.
struct t_sumProblem {
  std::string name;
  long line;
  const char* what;
};

struct t_sumCheck {
  const char* group;
  std::vector<t_sumLine>* lines;
  std::multimap<std::string, size_t> byName;  // stored form -> line
  bool json = false;
  std::vector<t_sumProblem> found;  // for --json; plain output says each at once
  long problems = 0;
  long entries = 0;
};

void sumProblem(t_sumCheck* check, const char* name, long line, const char* what) {
  check->problems++;
  if (check->json) {
    check->found.push_back({name, line, what});
  } else if (line == 0) {
    grpError("%s: '%s' is %s", check->group, grpPrintable(name).c_str(), what);
  } else {
    bool missing = std::strcmp(what, "missing from the group") == 0;
    grpError("%s: '%s' %s %s (%sline %ld)", check->group, grpPrintable(name).c_str(),
             missing ? "is" : "differs", missing ? what : "from the sums file",
             missing ? "sums file " : "", line);
  }
}

// --json: one object, for a check that ran or one that could not (entries null).
void printSumsJson(const char* group, const char* sumsPath, const t_sumCheck* check,
                   bool stale) {
  std::printf("{\"file\": %s, \"sums\": %s, \"ok\": %s, \"stale\": %s, \"entries\": %s, "
              "\"problems\": [",
              grpJsonString(group).c_str(), grpJsonString(sumsPath).c_str(),
              check && !stale && check->problems == 0 ? "true" : "false",
              stale ? "true" : "false",
              check && !stale ? std::to_string(check->entries).c_str() : "null");
  for (size_t i = 0; check && i < check->found.size(); i++) {
    const t_sumProblem& p = check->found[i];
    std::printf("%s{\"name\": %s, \"line\": %s, \"reason\": %s}", i ? ", " : "",
                grpJsonString(p.name.c_str()).c_str(),
                p.line ? std::to_string(p.line).c_str() : "null",
                grpJsonString(p.what).c_str());
  }
  std::printf("]}\n");
}

int checkEntry(const t_gfGroupEntry* e, const unsigned char digest[GF_SHA256_SIZE],
               void* context) {
  auto* check = static_cast<t_sumCheck*>(context);
  check->entries++;
  char key[256];
  gfStoredForm(e->name, key);
  auto range = check->byName.equal_range(key);
  if (range.first == range.second) {
    sumProblem(check, e->name, 0, "not in the sums file");
    return 1;
  }
  std::string hex = hexDigest(digest);
  for (auto it = range.first; it != range.second; ++it) {
    t_sumLine& line = (*check->lines)[it->second];
    line.matched = true;
    if (line.digest != hex) sumProblem(check, e->name, line.number, "differs from the sums file");
  }
  return 1;
}

}  // namespace

int grpSum(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("sum", argc, argv, {"--json"}, false, 1, (size_t)-1, &args);
  if (done >= 0) return done;
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // the same lines, byte for byte, as on POSIX
#endif
  t_sumOutput out{nullptr, grpHasFlag(args, "--json"), 0};
  int status = GRP_OK;
  // The sums of one group name its version first, so that grp verify --sums tells them stale
  // once the group is replaced; the lines of several groups name none.
  bool named = !out.json && args.operands.size() == 1;
  for (const std::string& group : args.operands) {
    out.group = group.c_str();
    unsigned char head[GF_SHA256_SIZE];
    if (named && gfGroupHeadDigest(out.group, head, grpReport)) {
      status = GRP_FAILED;
      continue;
    }
    if (named) {
      char line[GF_SUM_LINE_MAX + 1];
      std::printf("%s\n", (gfSumsGroupLine(head, line), line));
    }
    if (gfSumGroup(out.group, printSum, &out, grpReport)) status = GRP_FAILED;
  }
  if (out.json) std::fputs(out.count ? "\n]\n" : "[]\n", stdout);
  return grpFinishOutput(status);
}

// Whether the sums file was made for this version of the group: GRP_OK (or when it names
// none, as sha256sum's own do not), GRP_STALE after saying so, GRP_USAGE when the group
// cannot be read.
int checkVersion(const char* group, const char* sumsPath, const std::string& head) {
  if (head.empty()) return GRP_OK;
  unsigned char digest[GF_SHA256_SIZE];
  if (gfGroupHeadDigest(group, digest, grpReport)) return GRP_USAGE;
  if (hexDigest(digest) == head) return GRP_OK;
  grpError("%s: the sums file '%s' was made for another version of this group (its header "
           "and directory differ): the sums are stale, which is no sign of damage; make them "
           "again with 'grp sum'", group, sumsPath);
  return GRP_STALE;
}

int grpVerifySums(const char* group, const char* sumsPath, bool json) {
  std::vector<t_sumLine> lines;
  std::string head;
  if (!readSums(sumsPath, &lines, &head)) {
    if (json) printSumsJson(group, sumsPath, nullptr, false);
    return grpFinishOutput(GRP_USAGE);
  }
  if (int version = checkVersion(group, sumsPath, head)) {
    if (json) printSumsJson(group, sumsPath, nullptr, version == GRP_STALE);
    return grpFinishOutput(version);
  }
  t_sumCheck check;
  check.group = group;
  check.lines = &lines;
  check.json = json;
  for (size_t i = 0; i < lines.size(); i++) {
    char key[256];
    if (lines[i].name.size() < sizeof key && gfStoredForm(lines[i].name.c_str(), key))
      check.byName.emplace(key, i);
  }
  if (gfSumGroup(group, checkEntry, &check, grpReport)) {
    if (json) printSumsJson(group, sumsPath, nullptr, false);
    return grpFinishOutput(GRP_USAGE);
  }
  for (const t_sumLine& line : lines)
    if (!line.matched) sumProblem(&check, line.name.c_str(), line.number, "missing from the group");
  if (json) {
    printSumsJson(group, sumsPath, &check, false);
    return grpFinishOutput(check.problems ? GRP_FAILED : GRP_OK);
  }
  if (check.problems) return GRP_FAILED;
  std::printf("%s: all %ld entries match the sums file '%s'\n", group, check.entries, sumsPath);
  return grpFinishOutput(GRP_OK);
}
