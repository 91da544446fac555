// The Tarnpak tool: unpacks a group file, or packs a directory by its build list.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf.h"

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
  if (std::strstr(path, ".grp")) return gfUnpackChecked(path, printError);
  // The manager stays started: the process ends right after the build.
  gfStart(path);
  return TarnpakChecked("newgrp.grp", 1, printError);
}
