// The looks a search by names only leaves to do: the size and date of each regular file the
// collection found, taken on a helper thread while the search goes on to the next
// directories, and each noted in the file's record for the collection to act on in order.
#pragma once
#include <cstdint>

#include "engine/gf/pack/write_list.h"

// What the look at a record's file found (t_gfWriteEntry::look).
enum t_gfLook : std::uint8_t {
  GF_LOOK_DONE = 0,    // size, date and time filled in (the date clamped)
  GF_LOOK_WAITING,     // not looked at yet
  GF_LOOK_GONE,        // no regular file of that name any more
  GF_LOOK_FAILED,      // the look failed: the directory cannot be read
  GF_LOOK_TOO_LARGE,   // too large for a group
  GF_LOOK_NO_DATE,     // dated outside the years a group holds: size filled, no date
};

struct t_gfLooks;
// The looks of one collection; clampTo (when clamp is set): the latest date stored. Null
// when memory fails.
t_gfLooks* gfLooksOpen(bool clamp, std::int64_t clampTo);
// Has the file leaf of the host directory hostDir looked at for record f (both texts stay
// where they are until the looks are closed). A helper starts once enough files wait.
void gfLookAdd(t_gfLooks* looks, t_gfWriteEntry* f, const char* hostDir, const char* leaf);
// Waits until every record added has been looked at (the caller's thread takes what is
// still waiting), and gives everything back.
void gfLooksClose(t_gfLooks* looks);
// One look on the caller's thread, at once: what it found, with the whole size and the
// last write time (not clamped) where there is a file.
t_gfLook gfLookNow(t_gfWriteEntry* f, const char* hostDir, const char* leaf, bool clamp,
                   std::int64_t clampTo, std::int64_t* size, std::int64_t* written);
