// The names an unpack has met so far, and which entries must therefore wait for the work
// before them (unpack_met.cpp).
#pragma once
#include "engine/kestin/containers.h"

// Two entries that land on one file (a name stored twice, or spelled otherwise), or a file
// and a directory level of one name, must be written in directory order. The owner keeps a
// hash of every name met (without regard to case); an entry whose hash was met before waits
// until all the work before it is done. A false match only costs that wait.
struct t_gfNamesMet {
  t_engineSet hashes;
  bool broken;  // memory failed: every name counts as met (waits, never wrong files)
};
// Whether name (its directory levels from depth keep on, then the name itself) meets a name
// met before; notes them all.
bool gfMeetsEarlierName(t_gfNamesMet* met, const char* name, int keep);
