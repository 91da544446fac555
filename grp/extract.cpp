// grp extract: the unpacker's own road (with its refusal of unsafe names), into a chosen
// directory and only for the stored names that match the masks.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "tarnpak/gf.h"
#include "grp/commands.h"
#include "grp/common.h"

namespace {

typedef std::chrono::steady_clock t_clock;

struct t_extractState {
  std::vector<std::string> masks;  // with backslashes between levels
  std::vector<bool> used;
  bool visited = false;
  bool verbose = false;
  // The progress line: only on a terminal, and only once a second has gone by.
  bool progress = false;
  std::vector<long> sizes;  // the entries' sizes in directory order
  std::vector<bool> undated;  // per entry: its stored date is no valid date
  bool storedDates = true;
  std::vector<std::string> keptTime;  // chosen names that keep the time of extraction
  size_t next = 0;          // the entry the unpacker asks about next
  long long bytesDone = 0, bytesAll = 0;
  t_clock::time_point start, shown;
  bool progressShown = false;
};

void showProgress(t_extractState* s, bool last) {
  t_clock::time_point now = t_clock::now();
  if (!last && (now - s->start < std::chrono::seconds(1) ||
                (s->progressShown && now - s->shown < std::chrono::milliseconds(200))))
    return;
  if (last && !s->progressShown) return;
  if (last) s->bytesDone = s->bytesAll;
  std::fprintf(stderr, "\rgrp: extracting: %zu of %zu files, %lld of %lld MB%s", s->next,
               s->sizes.size(), s->bytesDone >> 20, s->bytesAll >> 20, last ? "\n" : "");
  s->progressShown = true;
  s->shown = now;
}

bool chosenByMasks(t_extractState* s, const char* name) {
  if (s->masks.empty()) return true;
  bool chosen = false;
  for (size_t i = 0; i < s->masks.size(); i++) {
    if (gfMatchName(s->masks[i].c_str(), name)) {
      s->used[i] = true;
      chosen = true;
    }
  }
  return chosen;
}

// Asked in directory order, once per entry, before the entry is written.
int selectName(const char* name, void* context) {
  auto* s = static_cast<t_extractState*>(context);
  s->visited = true;
  if (s->progress && s->next < s->sizes.size()) {
    showProgress(s, false);
    s->bytesDone += s->sizes[s->next];
  }
  bool chosen = chosenByMasks(s, name);
  if (chosen && s->storedDates && s->next < s->undated.size() && s->undated[s->next])
    s->keptTime.push_back(name);
  s->next++;
  if (chosen && s->verbose) std::printf("%s\n", grpPrintable(name).c_str());
  return chosen;
}

int keepSize(const t_gfGroupEntry* e, void* context) {
  auto* s = static_cast<t_extractState*>(context);
  s->sizes.push_back(e->size);
  s->bytesAll += e->size;
  long long seconds;
  s->undated.push_back(!gfDosToUnixTime(e->date, e->time, &seconds));
  return 1;
}

// A stored date of 0 (a file dated outside 1980 to 2107 when packed) cannot be given back.
void warnOfKeptTimes(const t_extractState& s) {
  for (const std::string& name : s.keptTime)
    grpWarn(("'" + grpPrintable(name.c_str()) +
             "' has no valid stored date (a group holds 1980 to 2107): it keeps the time of "
             "extraction").c_str());
}

std::string withBackslashes(std::string mask) {
  for (char& c : mask)
    if (c == '/') c = '\\';
  return mask;
}

// The group's path as seen from DIR: a relative one is made absolute before entering DIR.
bool enterDirectory(const std::string& dir, std::string* groupPath) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(*groupPath, ec);
  if (!ec) *groupPath = absolute.string();
  if (!ec) std::filesystem::create_directories(dir, ec);
  if (!ec) std::filesystem::current_path(dir, ec);
  if (ec) grpError("cannot enter directory '%s': %s", dir.c_str(), ec.message().c_str());
  return !ec;
}

}  // namespace

int grpExtract(int argc, char** argv) {
  t_grpArgs args;
  int done =
      grpCommandLine("extract", argc, argv, {"-v", "--touch"}, true, 1, (size_t)-1, &args);
  if (done >= 0) return done;
  std::string path = args.operands[0];
  t_extractState state;
  for (size_t i = 1; i < args.operands.size(); i++)
    state.masks.push_back(withBackslashes(args.operands[i]));
  state.used.assign(state.masks.size(), false);
  state.verbose = grpHasFlag(args, "-v");
  state.storedDates = !grpHasFlag(args, "--touch");
  // The sizes for the progress line and the dates that cannot be restored; a group that
  // cannot be read is left to the unpacker to report.
  if (gfReadGroupDirectory(path.c_str(), nullptr, keepSize, &state, nullptr) == 0 && isatty(2)) {
    state.progress = true;
    state.start = t_clock::now();
  }
  if (!args.directory.empty() && !enterDirectory(args.directory, &path)) return GRP_FAILED;
  // An interrupt removes the file being written; the files finished before it stay.
  gfInstallToolSignals();
  t_gfUnpackOptions options{};
  options.size = sizeof options;
  options.path = path.c_str();
  options.select = selectName;
  options.context = &state;
  options.flags = state.storedDates ? GF_UNPACK_STORED_DATES : 0;
  options.report = grpReport;
  int status = gfUnpackJob(&options);
  if (state.progress) showProgress(&state, true);
  std::fflush(stdout);
  warnOfKeptTimes(state);
  if (status != 0 && !state.visited) return GRP_FAILED;  // the directory could not be read
  for (size_t i = 0; i < state.masks.size(); i++) {
    if (state.used[i]) continue;
    grpError("group file '%s' holds no name matching '%s'", args.operands[0].c_str(),
             grpPrintable(args.operands[i + 1].c_str()).c_str());
    status = GRP_FAILED;
  }
  return status ? GRP_FAILED : GRP_OK;
}
