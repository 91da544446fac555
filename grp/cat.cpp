// grp cat: one stored file's bytes to standard output, found by name in any case.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/gf/gf.h"
#include "grp/commands.h"
#include "grp/common.h"

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

struct t_catSearch {
  std::string wanted;
  bool found = false;
  t_gfGroupEntry best;
};

// Of several copies of a name the engine would use the latest; so does cat.
int matchEntry(const t_gfGroupEntry* e, void* context) {
  auto* s = static_cast<t_catSearch*>(context);
  if (storedForm(e->name) != s->wanted) return 1;
  if (!s->found || platCompareDosTime(e->date, e->time, s->best.date, s->best.time) > 0) {
    s->best = *e;
    s->found = true;
  }
  return 1;
}

int copyOut(const char* path, const t_gfGroupEntry& e) {
  HANDLE group = platOpenFile(path, 0);
  if (group == INVALID_HANDLE) {
    grpError("cannot open group file '%s': %s", path, platLastError());
    return GRP_FAILED;
  }
  std::vector<char> buffer(1 << 20);
  long long done = 0;
  int status = GRP_OK;
  while (done < e.size) {
    size_t want = (size_t)std::min<long long>((long long)buffer.size(), e.size - done);
    long long got = platReadAt(group, e.offset + done, buffer.data(), want);
    if (got <= 0) {
      grpError("cannot read '%s' from group file '%s': %s", e.name, path,
               got < 0 ? platLastError() : "the file ended early");
      status = GRP_FAILED;
      break;
    }
    if (std::fwrite(buffer.data(), 1, (size_t)got, stdout) != (size_t)got) break;
    done += got;
  }
  platClose(group);
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
