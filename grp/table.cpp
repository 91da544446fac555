// grp table: the engine's merged file table of a game directory (gfStart on it), with where
// the copy the engine uses lives.
#include "tarnpak/gf.h"
#include "grp/commands.h"
#include "grp/common.h"
#include "grp/game_dir.h"

namespace {

void printText() {
  for (long i = 0; i < gfTableCount(); i++) {
    const t_gfFileInfo* r = gfTableRecord(i);
    const char* group = gfRecordGroupName(i);
    std::printf("%10lld %s %-12s %s\n", r->size, grpIsoTime(r->date, r->time).c_str(),
                group ? grpPrintable(group).c_str() : "loose", grpPrintable(r->name).c_str());
  }
}

void printJson() {
  long count = gfTableCount();
  for (long i = 0; i < count; i++) {
    const t_gfFileInfo* r = gfTableRecord(i);
    const char* group = gfRecordGroupName(i);
    std::printf("%s{\"name\": %s, \"size\": %lld, \"mtime\": %s, \"source\": %s}",
                i ? ",\n  " : "[\n  ", grpJsonString(r->name).c_str(), r->size,
                grpJsonTime(r->date, r->time).c_str(),
                group ? grpJsonString(group).c_str() : "null");
  }
  std::fputs(count ? "\n]\n" : "[]\n", stdout);
}

}  // namespace

int grpTable(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("table", argc, argv, {"--json"}, false, 1, 1, &args);
  if (done >= 0) return done;
  if (!grpStartGameDir(args.operands[0].c_str())) return GRP_FAILED;
  if (grpHasFlag(args, "--json"))
    printJson();
  else
    printText();
  gfStop();
  return grpFinishOutput(GRP_OK);
}
