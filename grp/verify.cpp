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

// One finding about an entry (index -1: the group as a whole).
struct t_finding {
  long index;
  std::string what;
};

struct t_verifyState {
  const char* path;
  std::vector<t_gfGroupEntry> entries;
  long problems = 0;
  bool json = false;
  std::vector<t_finding> found, warned;  // --json: gathered for the one object
};

t_verifyState* verifying = nullptr;  // for the reader's report sink, which has no context

// The directory reader's reasons: a line, or with --json a problem of the group.
void readerReport(const char* message) {
  if (verifying && verifying->json)
    verifying->found.push_back({-1, message});
  else
    grpReport(message);
}

int keepEntry(const t_gfGroupEntry* e, void* context) {
  static_cast<t_verifyState*>(context)->entries.push_back(*e);
  return 1;
}

void problem(t_verifyState* s, long index, const char* format, const std::string& a = "",
             const std::string& b = "") {
  char what[1024];
  std::snprintf(what, sizeof what, format, a.c_str(), b.c_str());
  s->problems++;
  if (s->json)
    s->found.push_back({index, what});
  else
    grpError("%s: entry %ld (%s): %s", s->path, index, grpPrintable(s->entries[index].name).c_str(),
             what);
}

// A name that is sound here but that the Windows unpacker refuses: stored as the build list
// gave it, so a warning, not a problem.
void warning(t_verifyState* s, long index, const char* what) {
  if (s->json) {
    s->warned.push_back({index, what});
    return;
  }
  std::string line = std::string(s->path) + ": entry " + std::to_string(index) + " (" +
                     grpPrintable(s->entries[index].name) + "): " + what;
  grpWarn(line.c_str());
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
    else if (const char* other = gfNotPortableName(name))
      warning(s, (long)i, (std::string("not portable: ") + other).c_str());
    if (std::strchr(name, '/'))
      problem(s, (long)i, "the name holds '/', which the format never stores: it is unpacked as "
              "a level, like '\\'");
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

namespace {

std::string findingsJson(const t_verifyState& s, const std::vector<t_finding>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); i++) {
    const t_finding& f = list[i];
    out += i ? ", " : "";
    out += "{\"entry\": " + (f.index < 0 ? std::string("null") : std::to_string(f.index)) +
           ", \"name\": " + (f.index < 0 ? "null" : grpJsonString(s.entries[f.index].name)) +
           ", \"reason\": " + grpJsonString(f.what.c_str()) + "}";
  }
  return out + "]";
}

// --json: one object, whether the group is sound or not; the status says the same.
void printJson(const t_verifyState& s, const t_gfGroupSummary* summary, long long data) {
  std::printf("{\"file\": %s, \"ok\": %s, ", grpJsonString(s.path).c_str(),
              s.found.empty() ? "true" : "false");
  if (summary)
    std::printf("\"entries\": %ld, \"dirSize\": %ld, \"dataBytes\": %lld, ", summary->entryCount,
                summary->dirSize, data);
  else
    std::printf("\"entries\": null, \"dirSize\": null, \"dataBytes\": null, ");
  std::printf("\"problems\": %s, \"warnings\": %s}\n", findingsJson(s, s.found).c_str(),
              findingsJson(s, s.warned).c_str());
}

}  // namespace

int grpVerify(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("verify", argc, argv, {"--json", "--sums="}, false, 1, 1, &args);
  if (done >= 0) return done;
  if (const char* sums = grpOptionValue(args, "--sums"))
    return grpVerifySums(args.operands[0].c_str(), sums, grpHasFlag(args, "--json"));
  t_verifyState state;
  state.path = args.operands[0].c_str();
  state.json = grpHasFlag(args, "--json");
  t_gfGroupSummary summary;
  verifying = &state;
  int unreadable = gfReadGroupDirectory(state.path, &summary, keepEntry, &state, readerReport);
  verifying = nullptr;
  if (unreadable) {
    if (state.json) printJson(state, nullptr, 0);
    return grpFinishOutput(GRP_FAILED);
  }
  checkOrder(&state);
  checkDataAreas(&state, summary.dirSize);
  checkNames(&state);
  long long data = 0;
  for (const t_gfGroupEntry& e : state.entries) data += e.size;
  if (state.json) {
    printJson(state, &summary, data);
    return grpFinishOutput(state.problems ? GRP_FAILED : GRP_OK);
  }
  if (state.problems) return GRP_FAILED;
  std::printf(
      "%s: no problems: %ld entries, %ld bytes of directory, %lld bytes of data (the "
      "format has no checksum: the stored bytes themselves are not checked)\n",
      state.path, summary.entryCount, summary.dirSize, data);
  return grpFinishOutput(GRP_OK);
}
