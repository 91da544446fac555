// The directory levels an unpack holds open, each entered through its parent's handle and
// made where missing, never through a link (unpack_levels.cpp).
#pragma once
#include <cstddef>

#include "engine/gf/base/group_format.h"
#include "engine/gf/unpack/unpack_listing.h"
#include "engine/gf/unpack/unpack_write.h"
#include "engine/platform/platform.h"

constexpr int kMaxLevels = GF_NAME_MAX / 2 + 1;  // a level takes a byte and a backslash

// The directory levels of the previous entry, held open: the next entry in the same
// directory opens no level again, and each level is entered through its parent's handle,
// never by a path the host would resolve through links.
struct t_gfLevels {
  PlatHandle top;               // the working directory
  PlatHandle dirs[kMaxLevels];  // dirs[i]: level i + 1
  size_t ends[kMaxLevels];      // where level i + 1 ends in made
  bool fresh[kMaxLevels];       // level i + 1 was made by this unpack: it held no file
  // listings[0]: the working directory's names, listings[i]: level i's; read when needed
  t_gfListing* listings[kMaxLevels + 1];
  int depth;
  char made[GF_NAME_MAX + 1];  // the stored-name prefix the held levels stand for
};

void gfDropLevels(t_gfLevels* levels, int keep);
// How many held levels the first length bytes of name share whole with the previous entry.
int gfSharedLevels(const t_gfLevels* levels, const char* name, size_t length);
// Opens (making them where missing) the levels of name before its last backslash; returns
// the directory that receives the file, or INVALID_HANDLE after noting why not in task.
PlatHandle gfEnterLevels(t_gfLevels* levels, const char* name, t_gfTask* task);
// The names of the innermost held level as they were before any task wrote in it, shared
// by the tasks that write there (each holds a use); null when the level was made by this
// unpack (nothing there but ours) or memory failed.
t_gfListing* gfSharedListing(t_gfLevels* levels);
