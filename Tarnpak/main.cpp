// The Tarnpak tool: unpacks a group file, or packs a directory by its build list; prints its
// usage text or version when asked.
#include <cstdio>
#include <cstring>
#include <string>

#include "tarnpak/gf.h"

#ifndef TARNPAK_VERSION
#define TARNPAK_VERSION "unknown"
#endif

namespace {

const char* const kUsage[] = {
    "Usage: Tarnpak <path>\n", "In Tarnpak directory qzgroup.cfg file must exist\n",
    "Sample data:\n",          "       levdemo9.lev\n",
    "       pics*.*\n",        "       rof*.*\n",
    "       sounds*.*\n",      "       soundsmaterial*.*\n",
};

void printUsage() {
  for (const char* line : kUsage) std::fputs(line, stdout);
}

void printError(const char* message) { std::fprintf(stderr, "Tarnpak: %s\n", message); }
void printWarning(const char* message) { std::fprintf(stderr, "Tarnpak: warning: %s\n", message); }

// An argument as it may be shown on a terminal: control characters as \xHH.
std::string shown(const char* arg) {
  std::string out;
  for (const unsigned char* c = (const unsigned char*)arg; *c; c++) {
    char hex[8];
    bool control = *c < 0x20 || *c == 0x7F;
    if (control) std::snprintf(hex, sizeof hex, "\\x%02X", *c);
    out += control ? std::string(hex) : std::string(1, (char)*c);
  }
  return out;
}

// The tool takes one path; a second one (an output name, say) would otherwise be dropped
// without a word. first: where the path is.
void warnOfExtraArguments(int argc, char** argv, int first) {
  if (argc <= first + 1) return;
  std::string list;
  for (int i = first + 1; i < argc; i++)
    list += (i > first + 1 ? " '" : "'") + shown(argv[i]) + "'";
  printWarning(("only the first argument is used; ignored: " + list).c_str());
}

// "--sums FILE" or "--sums=FILE" before the path: the sums file to write while packing.
// Returns where the path is (1 without the option), or 0 when the option lacks its file.
int takeSums(int argc, char** argv, const char** sums) {
  if (argc >= 2 && !std::strncmp(argv[1], "--sums=", 7)) {
    *sums = argv[1] + 7;
    return **sums ? 2 : 0;
  }
  if (argc < 2 || std::strcmp(argv[1], "--sums")) return 1;
  *sums = argc > 2 ? argv[2] : nullptr;
  return *sums && **sums ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // --no-sync first: a scratch group, not flushed to the disk before it takes its name
  // (unpacking flushes nothing either way). The other options follow it.
  int skip = argc > 1 && !std::strcmp(argv[1], "--no-sync") ? 1 : 0;
  if (skip) gfSetDurable(0);
  const char* sums = nullptr;
  int first = takeSums(argc - skip, argv + skip, &sums);
  if (first != 0) first += skip;
  if (first == 0 || argc <= first) {
    if (first == 0) printError("--sums needs the name of the sums file to write");
    printUsage();
    return 2;
  }
  const char* path = argv[first];
  warnOfExtraArguments(argc, argv, first);
  // The options are whole words: a directory of such a name is still reached as ./--help.
  if (!std::strcmp(path, "--help") || !std::strcmp(path, "-h")) {
    printUsage();
    return 0;
  }
  if (!std::strcmp(path, "--version")) {
    std::printf("Tarnpak %s\n", TARNPAK_VERSION);
    return 0;
  }
  // A full disk or a file size limit is reported as an error, and an interrupted build
  // leaves no temporary file behind.
  gfInstallToolSignals();
  if (std::strstr(path, ".grp")) {
    if (!sums) return gfUnpackChecked(path, printError);
    printError(("--sums is for packing; '" + shown(path) + "' names a group file to unpack")
                   .c_str());
    return 2;
  }
  // The builder searches the tree itself: the manager's start-up scan (which also opens
  // every sound file for its header) would build a table that nothing here reads.
  return TarnpakFromSummed(path, "newgrp.grp", 1, sums, printError, printWarning);
}
