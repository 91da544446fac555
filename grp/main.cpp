// grp: lists, verifies, reads and extracts group files, shows a game directory's merged file
// table, and mounts it as the engine sees it. The commands and their help texts.
#include <cstdio>
#include <cstring>

#include "grp/commands.h"
#include "grp/common.h"

namespace {

struct t_grpCommand {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
  const char* help;
};

const t_grpCommand kCommands[] = {
    {"list", grpList, "grp list FILE.grp [-l] [--json]",
     "Prints the stored names in directory order, one a line. -l adds the size, the stored\n"
     "date and time (UTC, ISO 8601) and the data offset; --json prints one JSON array of\n"
     "objects with the keys name, size, mtime and offset.\n"},
    {"verify", grpVerify, "grp verify FILE.grp",
     "Checks the group's structure: the header and every directory entry, the builder's\n"
     "order, data areas inside the file and not overlapping, names the unpacker accepts.\n"
     "Prints one line per problem on stderr and exits 1, or a summary and exits 0. The format\n"
     "has no checksum: the stored data itself cannot be checked.\n"},
    {"cat", grpCat, "grp cat FILE.grp NAME",
     "Writes one stored file's bytes to standard output. NAME is matched without regard to\n"
     "case, with / or \\ between levels.\n"},
    {"extract", grpExtract, "grp extract FILE.grp [-C DIR] [MASK...]",
     "Writes the stored files below DIR (default: the current directory) under their stored\n"
     "names, like Tarnpak's unpacking; with masks, only the names matching one of them. '*'\n"
     "and '?' match any characters, case is ignored, '*.*' also matches names without a dot,\n"
     "/ and \\ are the same. Names that would leave DIR are refused.\n"},
    {"table", grpTable, "grp table GAMEDIR [--json]",
     "Prints the engine's merged file table of a game directory: every name with its size,\n"
     "date and time, and where the copy the engine uses lives (a loose file, or which group\n"
     "file). --json prints objects with the keys name, size, mtime and source (the group\n"
     "file's name, or null for a loose file).\n"},
    {"mount", grpMount, "grp mount GAMEDIR MOUNTPOINT",
     "Mounts the merged file table read-only at MOUNTPOINT (FUSE) and serves it in the\n"
     "foreground until 'fusermount3 -u MOUNTPOINT', SIGINT or SIGTERM unmounts it.\n"
     "Directories come from the backslash levels of the names; names are looked up without\n"
     "regard to case.\n"},
};

const t_grpCommand* findCommand(const char* name) {
  for (const t_grpCommand& c : kCommands)
    if (std::strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

void printUsage(FILE* to) {
  std::fputs("Usage:\n", to);
  for (const t_grpCommand& c : kCommands) std::fprintf(to, "  %s\n", c.usage);
  std::fputs("Run 'grp COMMAND --help' for one command, 'man grp' for all of them.\n", to);
}

}  // namespace

const char* grpUsageLine(const char* command) {
  const t_grpCommand* c = findCommand(command);
  return c ? c->usage : nullptr;
}

void grpPrintHelp(const char* command) {
  const t_grpCommand* c = findCommand(command);
  if (c) std::printf("Usage: %s\n%s", c->usage, c->help);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage(stderr);
    return GRP_USAGE;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printUsage(stdout);
    return GRP_OK;
  }
  const t_grpCommand* c = findCommand(argv[1]);
  if (!c) {
    grpError("unknown command '%s' (see grp --help)", argv[1]);
    return GRP_USAGE;
  }
  return c->run(argc, argv);
}
