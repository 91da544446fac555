// grp check: a game directory's build list read as the builder reads it, line by line, with
// what each line is taken as and what it takes, the builder's warnings, and the files that
// more than one line (or two files of one stored name) would store twice.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace {

struct t_checkState {
  bool verbose;
  std::map<std::string, std::vector<int>> lines;  // stored name: the lines that take it
  long warnings = 0;
};

t_checkState* checking = nullptr;  // for the warning sink, which has no context

void countWarning(const char* message) {
  grpWarn(message);
  if (checking) checking->warnings++;
}

void showLine(const t_gfListLine* line, void*) {
  std::printf("line %d '%s': mask '%s', %s, %ld file%s\n", line->number,
              grpPrintable(line->text).c_str(), grpPrintable(line->mask).c_str(),
              line->recursive ? "recursive" : "not recursive", line->files,
              line->files == 1 ? "" : "s");
}

void showFile(const t_gfListLine* line, const char* name, void* context) {
  auto* s = static_cast<t_checkState*>(context);
  if (s->verbose) std::printf("  %s\n", grpPrintable(name).c_str());
  s->lines[name].push_back(line->number);
}

// Names stored more than once, with the lines that take them.
void warnOfDuplicates(t_checkState* s) {
  for (const auto& [name, lines] : s->lines) {
    if (lines.size() < 2) continue;
    std::string which;
    for (size_t i = 0; i < lines.size(); i++)
      which += (i ? (i + 1 == lines.size() ? " and " : ", ") : "") + std::to_string(lines[i]);
    std::string message = "'" + grpPrintable(name.c_str()) + "' would be stored " +
                          std::to_string(lines.size()) + " times: taken by lines " + which;
    countWarning(message.c_str());
  }
}

}  // namespace

int grpCheck(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("check", argc, argv, {"-v"}, false, 1, 1, &args);
  if (done >= 0) return done;
  t_checkState state;
  state.verbose = grpHasFlag(args, "-v");
  checking = &state;
  // The group Tarnpak would write from the current directory: warned of when in the tree.
  int failed = gfReadBuildList(args.operands[0].c_str(), "newgrp.grp", showLine, showFile, &state,
                               grpReport, countWarning);
  checking = nullptr;
  if (failed) {
    grpFinishOutput(GRP_OK);
    return GRP_USAGE;
  }
  warnOfDuplicates(&state);
  return grpFinishOutput(state.warnings ? GRP_FAILED : GRP_OK);
}
