// The Tarnpak tool: unpacks a group file, or packs a directory by its build list.
#include <cstdio>
#include <cstring>

#include "tarnpak/gf.h"

namespace {

const char* const kUsage[] = {
    "Usage: Tarnpak <path>\n", "In Tarnpak directory qzgroup.cfg file must exist\n",
    "Sample data:\n",          "       levdemo9.lev\n",
    "       pics*.*\n",        "       rof*.*\n",
    "       sounds*.*\n",      "       soundsmaterial*.*\n",
};

void printError(const char* message) { std::fprintf(stderr, "Tarnpak: %s\n", message); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    for (const char* line : kUsage) std::fputs(line, stdout);
    return 2;
  }
  const char* path = argv[1];
  // A full disk or a file size limit is reported as an error, and an interrupted build
  // leaves no temporary file behind.
  gfInstallToolSignals();
  if (std::strstr(path, ".grp")) return gfUnpackChecked(path, printError);
  // The builder searches the tree itself: the manager's start-up scan (which also opens
  // every sound file for its header) would build a table that nothing here reads.
  return TarnpakFrom(path, "newgrp.grp", 1, printError);
}
