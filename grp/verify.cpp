// grp verify: every check of the directory reader, then the builder's order, data areas that
// stay clear of the directory and of each other, and names the unpacker accepts.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tarnpak/gf.h"
#include "grp/commands.h"
#include "grp/common.h"

namespace {

struct t_verifyState {
  const char* path;
  std::vector<t_gfGroupEntry> entries;
  long problems = 0;
};

int keepEntry(const t_gfGroupEntry* e, void* context) {
  static_cast<t_verifyState*>(context)->entries.push_back(*e);
  return 1;
}

void problem(t_verifyState* s, long index, const char* format, const std::string& a = "",
             const std::string& b = "") {
  char what[1024];
  std::snprintf(what, sizeof what, format, a.c_str(), b.c_str());
  grpError("%s: entry %ld (%s): %s", s->path, index, grpPrintable(s->entries[index].name).c_str(),
           what);
  s->problems++;
}

// The builder's order: names by unsigned bytes, equal names the later copy first.
void checkOrder(t_verifyState* s) {
  for (size_t i = 1; i < s->entries.size(); i++) {
    t_gfFileInfo a{}, b{};
    a.name = s->entries[i - 1].name;
    a.date = s->entries[i - 1].date;
    a.time = s->entries[i - 1].time;
    b.name = s->entries[i].name;
    b.date = s->entries[i].date;
    b.time = s->entries[i].time;
    if (gfCompareFileInfo(&a, &b) > 0)
      problem(s, (long)i, "comes after %s, out of the builder's order",
              grpPrintable(a.name).c_str());
  }
}

// Whether the engine's upper-casing changes a letter of name ('/' it takes as '\\' aside).
bool holdsLowerCase(const char* name) {
  char form[256];
  gfStoredForm(name, form);  // a stored name always fits
  for (size_t i = 0; name[i]; i++)
    if (name[i] != form[i] && name[i] != '/') return true;
  return false;
}

void checkNames(t_verifyState* s) {
  for (size_t i = 0; i < s->entries.size(); i++) {
    const char* name = s->entries[i].name;
    if (const char* why = gfUnsafeName(name))
      problem(s, (long)i, "the unpacker refuses the name: %s", why);
    if (holdsLowerCase(name))
      problem(s, (long)i, "the name holds lower-case letters, which the format never stores");
  }
}

// Data areas in offset order: each must start behind the directory and behind the end of
// every area before it.
void checkDataAreas(t_verifyState* s, long dirSize) {
  std::vector<size_t> order;
  for (size_t i = 0; i < s->entries.size(); i++)
    if (s->entries[i].size > 0) order.push_back(i);
  std::sort(order.begin(), order.end(), [s](size_t a, size_t b) {
    return s->entries[a].offset != s->entries[b].offset
               ? s->entries[a].offset < s->entries[b].offset
               : a < b;
  });
  long long reach = GF_GROUP_HEADER_SIZE + (long long)dirSize;  // the end of what is taken so far
  long owner = -1;                                     // whose area reaches there; -1: directory
  for (size_t i : order) {
    const t_gfGroupEntry& e = s->entries[i];
    if (e.offset < reach) {
      std::string other = owner < 0 ? "the header or the directory"
                                    : "the data of entry " + std::to_string(owner) + " (" +
                                          grpPrintable(s->entries[owner].name) + ")";
      problem(s, (long)i, "its data overlaps %s", other);
    }
    if ((long long)e.offset + e.size > reach) {
      reach = (long long)e.offset + e.size;
      owner = (long)i;
    }
  }
}

}  // namespace

int grpVerify(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("verify", argc, argv, {"--sums="}, false, 1, 1, &args);
  if (done >= 0) return done;
  if (const char* sums = grpOptionValue(args, "--sums"))
    return grpVerifySums(args.operands[0].c_str(), sums);
  t_verifyState state;
  state.path = args.operands[0].c_str();
  t_gfGroupSummary summary;
  if (gfReadGroupDirectory(state.path, &summary, keepEntry, &state, grpReport)) return GRP_FAILED;
  checkOrder(&state);
  checkDataAreas(&state, summary.dirSize);
  checkNames(&state);
  if (state.problems) return GRP_FAILED;
  long long data = 0;
  for (const t_gfGroupEntry& e : state.entries) data += e.size;
  std::printf(
      "%s: no problems: %ld entries, %ld bytes of directory, %lld bytes of data (the "
      "format has no checksum: the stored bytes themselves are not checked)\n",
      state.path, summary.entryCount, summary.dirSize, data);
  return grpFinishOutput(GRP_OK);
}
