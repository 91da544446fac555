// grp cat: one stored file's bytes to standard output, found by name in any case.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

// The form names compare in: backslashes between levels, a to z raised.
std::string storedForm(const char* name) {
  std::string out = name;
  for (char& c : out) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  }
  return out;
}

// Whether a was written after b; a date that is no valid date counts as the earliest.
bool laterThan(const t_gfGroupEntry& a, const t_gfGroupEntry& b) {
  long long ta = 0, tb = 0;
  bool va = gfDosToUnixTime(a.date, a.time, &ta), vb = gfDosToUnixTime(b.date, b.time, &tb);
  if (va != vb) return va;
  return ta > tb;
}

struct t_catSearch {
  std::string wanted;
  bool found = false;
  t_gfGroupEntry best;
};

// Of several copies of a name the engine would use the latest; so does cat.
int matchEntry(const t_gfGroupEntry* e, void* context) {
  auto* s = static_cast<t_catSearch*>(context);
  if (storedForm(e->name) != s->wanted) return 1;
  if (!s->found || laterThan(*e, s->best)) {
    s->best = *e;
    s->found = true;
  }
  return 1;
}

int copyOut(const char* path, const t_gfGroupEntry& e) {
  std::FILE* group = std::fopen(path, "rb");
  if (!group) {
    grpError("cannot open group file '%s': %s", path, std::strerror(errno));
    return GRP_FAILED;
  }
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // the bytes as stored: no "\r" before each "\n"
#endif
  std::vector<char> buffer(1 << 20);
  long long done = 0;
  int status = GRP_OK;
  bool writeFailed = false;
  if (std::fseek(group, e.offset, SEEK_SET) != 0) done = -1;
  while (done >= 0 && done < e.size) {
    size_t want = (size_t)std::min<long long>((long long)buffer.size(), e.size - done);
    size_t got = std::fread(buffer.data(), 1, want, group);
    if (got == 0) break;
    if (std::fwrite(buffer.data(), 1, got, stdout) != got) {
      writeFailed = true;  // reported with the output's own reason below
      break;
    }
    done += (long long)got;
  }
  if (!writeFailed && done != e.size) {
    grpError("cannot read '%s' from group file '%s': %s", e.name, path,
             std::ferror(group) || done < 0 ? std::strerror(errno) : "the file ended early");
    status = GRP_FAILED;
  }
  std::fclose(group);
  return grpFinishOutput(status);
}

}  // namespace

int grpCat(int argc, char** argv) {
  t_grpArgs args;
  if (!grpParseArgs("cat", argc, argv, 2, {}, false, &args)) return GRP_USAGE;
  if (args.help) {
    grpPrintHelp("cat");
    return GRP_OK;
  }
  if (!grpWantOperands("cat", args, 2, 2)) return GRP_USAGE;
  const char* path = args.operands[0].c_str();
  t_catSearch search;
  search.wanted = storedForm(args.operands[1].c_str());
  if (gfReadGroupDirectory(path, nullptr, matchEntry, &search, grpReport)) return GRP_FAILED;
  if (!search.found) {
    grpError("group file '%s' holds no file named '%s'", path,
             grpPrintable(args.operands[1].c_str()).c_str());
    return GRP_FAILED;
  }
  return copyOut(path, search.best);
}
