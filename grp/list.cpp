// grp list: the stored names of a group file in directory order, plain, long or as JSON.
#include "tarnpak/gf.h"
#include "grp/commands.h"
#include "grp/common.h"

namespace {

struct t_listState {
  bool longForm;
  bool json;
  long count;
};

int printEntry(const t_gfGroupEntry* e, void* context) {
  auto* state = static_cast<t_listState*>(context);
  if (state->json) {
    std::printf("%s{\"name\": %s, \"size\": %ld, \"mtime\": %s, \"offset\": %ld}",
                state->count ? ",\n  " : "[\n  ", grpJsonString(e->name).c_str(), e->size,
                grpJsonTime(e->date, e->time).c_str(), e->offset);
  } else if (state->longForm) {
    std::printf("%10ld %s %10ld %s\n", e->size, grpIsoTime(e->date, e->time).c_str(), e->offset,
                grpPrintable(e->name).c_str());
  } else {
    std::printf("%s\n", grpPrintable(e->name).c_str());
  }
  state->count++;
  return 1;
}

}  // namespace

int grpList(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("list", argc, argv, {"-l", "--json"}, false, 1, 1, &args);
  if (done >= 0) return done;
  t_listState state{grpHasFlag(args, "-l"), grpHasFlag(args, "--json"), 0};
  // The directory is read and checked whole before the first entry is printed, so a
  // damaged group prints nothing on standard output.
  if (gfReadGroupDirectory(args.operands[0].c_str(), nullptr, printEntry, &state, grpReport))
    return grpFinishOutput(GRP_FAILED);
  if (state.json) std::fputs(state.count ? "\n]\n" : "[]\n", stdout);
  return grpFinishOutput(GRP_OK);
}
