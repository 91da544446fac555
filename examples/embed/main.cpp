// Starts the engine's file manager on a game directory, looks a few names up (in any case,
// loose or in a group file), reads the start of each and lists what a mask finds.
//   embed GAMEDIR [NAME...]
#include <cstdio>
#include <cstring>

#include "tarnpak/gf.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: embed GAMEDIR [NAME...]\n");
    return 2;
  }
  gfStart(argv[1]);
  int status = 0;
  for (int i = 2; i < argc; i++) {
    GFILE* f = gfOpen(argv[i]);
    if (!f) {
      std::printf("%s: not found\n", argv[i]);
      status = 1;
      continue;
    }
    char head[17] = {};
    long n = gfRead(f, head, 16);
    for (long k = 0; k < n; k++)
      if (head[k] < 32 || head[k] > 126) head[k] = '.';
    std::printf("%s: %ld bytes, begins \"%s\"\n", argv[i], gfSize(f), head);
    gfClose(f);
  }
  t_findfirst search{};
  std::strcpy(search.mask, "*.*");
  for (int found = gfFindFirst(&search); found; found = gfFindNext(&search))
    std::printf("in the root: %s\n", search.name);
  gfStop();
  return status;
}
