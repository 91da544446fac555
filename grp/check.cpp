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
  bool json = false;
  std::map<std::string, std::vector<int>> lines;  // stored name: the lines that take it
  long warnings = 0;
  std::string jsonLines, jsonWarnings;  // --json: the objects so far, comma-separated
  std::string jsonLine, jsonNames;      // --json: the line being told, and its names
};

t_checkState* checking = nullptr;  // for the warning sink, which has no context

void countWarning(const char* message) {
  if (checking && checking->json)
    checking->jsonWarnings += (checking->jsonWarnings.empty() ? "" : ", ") + grpJsonString(message);
  else
    grpWarn(message);
  if (checking) checking->warnings++;
}

// --json: the line told before, closed with the names showFile gathered after it.
void closeJsonLine(t_checkState* s) {
  if (s->jsonLine.empty()) return;
  s->jsonLines += (s->jsonLines.empty() ? "" : ",\n  ") + s->jsonLine + s->jsonNames + "]}";
  s->jsonLine.clear();
  s->jsonNames.clear();
}

void addJsonLine(t_checkState* s, const t_gfListLine* line) {
  closeJsonLine(s);
  s->jsonLine = "{\"line\": " + std::to_string(line->number) + ", \"text\": " +
                grpJsonString(line->text) + ", \"mask\": " + grpJsonString(line->mask) +
                ", \"recursive\": " + (line->recursive ? "true" : "false") +
                ", \"files\": " + std::to_string(line->files) + ", \"names\": [";
}

void showLine(const t_gfListLine* line, void* context) {
  auto* s = static_cast<t_checkState*>(context);
  if (s->json) {
    addJsonLine(s, line);
    return;
  }
  std::printf("line %d '%s': mask '%s', %s, %ld file%s\n", line->number,
              grpPrintable(line->text).c_str(), grpPrintable(line->mask).c_str(),
              line->recursive ? "recursive" : "not recursive", line->files,
              line->files == 1 ? "" : "s");
}

void showFile(const t_gfListLine* line, const char* name, void* context) {
  auto* s = static_cast<t_checkState*>(context);
  if (s->json)
    s->jsonNames += (s->jsonNames.empty() ? "" : ", ") + grpJsonString(name);
  else if (s->verbose)
    std::printf("  %s\n", grpPrintable(name).c_str());
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
  int done = grpCommandLine("check", argc, argv, {"-v", "--json"}, false, 1, 1, &args);
  if (done >= 0) return done;
  t_checkState state;
  state.verbose = grpHasFlag(args, "-v");
  state.json = grpHasFlag(args, "--json");
  checking = &state;
  // The group Tarnpak would write from the current directory: warned of when in the tree.
  int failed = gfReadBuildList(args.operands[0].c_str(), "newgrp.grp", showLine, showFile, &state,
                               grpReport, countWarning);
  if (failed) {
    checking = nullptr;
    grpFinishOutput(GRP_OK);
    return GRP_USAGE;
  }
  warnOfDuplicates(&state);  // counted too: a name stored twice is a warning like the others
  checking = nullptr;
  closeJsonLine(&state);
  if (state.json)
    std::printf("{\"lines\": [%s%s%s], \"warnings\": [%s]}\n", state.jsonLines.empty() ? "" : "\n  ",
                state.jsonLines.c_str(), state.jsonLines.empty() ? "" : "\n",
                state.jsonWarnings.c_str());
  return grpFinishOutput(state.warnings ? GRP_FAILED : GRP_OK);
}
