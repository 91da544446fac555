// A directory's names, read once where the unpack writes, and the case rule on them: the
// spelling a stored name takes there, and the debris of killed unpacks beside a name.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/kestin/containers.h"
#include "engine/platform/platform.h"

// A stored name lands on the file already there whose name differs from it only in case, as
// on a case-blind system, whether that file was there before the unpack or made by it.

// The names of one directory: each sits in text as a flag byte (1: a regular file), the
// name and its terminator; order gives their places sorted by the name in lower case, then
// by its bytes, so that one run holds all the spellings of a name in byte order.
struct t_gfListing {
  std::atomic<int> users;  // the held level and the tasks writing in it
  t_engineArray<char> text;
  t_engineArray<std::uint32_t> order;
  bool broken;  // memory ran out or the host could not list the directory: it tells nothing
  char reason[128];  // why it is broken
};

// The names in dir, sorted; null when memory fails. A listing the host broke off is kept,
// marked broken with the reason: no spelling is decided on names it may have missed.
t_gfListing* gfReadListing(PlatHandle dir);
void gfReleaseListing(t_gfListing* l);  // drops one use; null is ignored

enum t_gfSpelling {
  GF_SPELLING_NONE,     // nothing of that name in any case (or only a link, directory or pipe)
  GF_SPELLING_EXACT,    // the name as stored is there
  GF_SPELLING_OTHER,    // a regular file of another spelling is there: *other (256 bytes)
  GF_SPELLING_FAILED    // the directory could not be listed (l null or broken): write nothing
};
t_gfSpelling gfFindSpelling(const t_gfListing* l, const char* name, char* other);
// Why a listing cannot tell (null: memory ran out before it was read).
const char* gfListingFailure(const t_gfListing* l);
// Removes from dir the temporary names of name's pattern in the listing (regular files only)
// whose process is gone: what a killed unpack (or pack) left beside the file. Calls removed
// with each name removed.
typedef void (*t_gfStaleVisit)(const char* removed, void* context);
void gfRemoveStaleTemps(const t_gfListing* l, PlatHandle dir, const char* name,
                        t_gfStaleVisit removed, void* context);
