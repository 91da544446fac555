// grp: lists, verifies, reads, extracts, edits and compares group files, makes patches,
// checks a build list, shows a game directory's merged file table, and mounts it as the
// engine sees it.
// The command line's dispatch to the commands.
#include <cstdio>
#include <cstring>

#include "grp/commands.h"
#include "grp/common.h"
#include "grp/help.h"
#include "tarnpak/gf.h"

namespace {

struct t_grpCommand {
  const char* name;
  int (*run)(int argc, char** argv);
};

const t_grpCommand kCommands[] = {
    {"list", grpList},
    {"verify", grpVerify},
    {"cat", grpCat},
    {"extract", grpExtract},
    {"table", grpTable},
    {"mount", grpMount},
    {"add", grpAdd},
    {"rm", grpRm},
    {"diff", grpDiff},
    {"patch", grpPatch},
    {"check", grpCheck},
    {"sum", grpSum},
};

const t_grpCommand* findCommand(const char* name) {
  for (const t_grpCommand& c : kCommands)
    if (std::strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    grpPrintUsage(stderr);
    return GRP_USAGE;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    grpPrintUsage(stdout);
    return GRP_OK;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("grp %s\n", gfVersion());
    return grpFinishOutput(GRP_OK);
  }
  const t_grpCommand* c = findCommand(argv[1]);
  if (!c) {
    grpError("unknown command '%s' (see grp --help)", argv[1]);
    return GRP_USAGE;
  }
  gfWarnOfThreadSetting(grpWarn);
  return c->run(argc, argv);
}
