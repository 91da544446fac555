// Comparing byte ranges of two open files: pairs of ranges that lie side by side in both
// files are read and compared as one stretch, by the crew's threads.
#pragma once
#include <cstdint>

#include "engine/gf/pack/write_list.h"
#include "engine/platform/platform.h"

// size bytes at first in one file against size bytes at second in the other; differ is set
// by gfCompareRanges.
struct t_gfRangePair {
  long long first;
  long long second;
  long long size;
  bool differ;
};

// Why a comparison stopped: a read error (side: 0 the first file, 1 the second; a file that
// ends before the range does counts as one), no memory, or the job's cancel check.
struct t_gfCompareFailure {
  t_gfCopyFailureKind kind;
  int side;
  char reason[160];
};

// Compares every pair, setting its differ: the bytes of the two ranges are not the same.
// -1 when every pair was compared, else the first pair (in the order given) that could not
// be, with failure described. The pairs may come in any order; those that follow each other
// in both files are read together.
int gfCompareRanges(PlatHandle first, PlatHandle second, t_gfRangePair* pairs, int count,
                    t_gfCompareFailure* failure);
