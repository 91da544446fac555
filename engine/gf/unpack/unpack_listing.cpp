// A directory's names read once, the spelling a stored name takes there, and the debris of
// killed unpacks beside a file.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/gf/unpack/unpack_listing.h"

#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

void addListed(const char* name, int isRegular, void* context) {
  auto* l = static_cast<t_gfListing*>(context);
  std::uint32_t n = (std::uint32_t)std::strlen(name) + 2;
  std::uint32_t at = l->text.count;
  if (l->broken) return;
  if (!l->text.reserve(n, ENGINE_HERE) || !l->order.push(at, ENGINE_HERE)) {
    l->broken = true;
    std::snprintf(l->reason, sizeof l->reason, "not enough memory");
    return;
  }
  // The room is reserved: neither can fail.
  l->text.push((char)(isRegular ? 1 : 0), ENGINE_HERE);
  l->text.append(name, n - 1, ENGINE_HERE);
}

// The name at place a of the listing's text.
const char* listedName(const t_gfListing* l, std::uint32_t a) { return l->text.items + a + 1; }

// The first place in the listing whose name is not below name without regard to case.
const std::uint32_t* firstFolded(const t_gfListing* l, const char* name) {
  return std::lower_bound(l->order.items, l->order.items + l->order.count, name,
                          [l](std::uint32_t a, const char* key) {
                            return asciiCompareAnyCase(listedName(l, a), key) < 0;
                          });
}

}  // namespace

void gfReleaseListing(t_gfListing* l) {
  if (!l || --l->users > 0) return;
  l->text.release();
  l->order.release();
  ENGINE_DELETE(l);
}

// A listing the host broke off is marked broken: a name it missed could be the user's file
// in another spelling, and a second file beside it would leave that one with its old bytes.
t_gfListing* gfReadListing(PlatHandle dir) {
  auto* l = static_cast<t_gfListing*>(ENGINE_NEW_ZERO(sizeof(t_gfListing)));
  if (!l) return nullptr;
  l->users.store(1);
  if (platListForCaseMatch(dir, addListed, l) != 0 && !l->broken) {
    l->broken = true;
    std::snprintf(l->reason, sizeof l->reason, "%s", platLastError());
  }
  const char* text = l->text.items;
  auto byFoldedName = [text](std::uint32_t a, std::uint32_t b) {
    int c = asciiCompareAnyCase(text + a + 1, text + b + 1);
    return c ? c < 0 : std::strcmp(text + a + 1, text + b + 1) < 0;
  };
  std::sort(l->order.items, l->order.items + l->order.count, byFoldedName);
  return l;
}

// The name as stored when it is there; else the first in byte order of the names that
// differ from it only in case, taken when it is a regular file: a link, a directory or a
// pipe is left as it is and the name is made beside it.
const char* gfListingFailure(const t_gfListing* l) {
  return l && l->broken ? l->reason : "not enough memory";
}

t_gfSpelling gfFindSpelling(const t_gfListing* l, const char* name, char* other) {
  if (!l || l->broken) return GF_SPELLING_FAILED;
  const std::uint32_t* end = l->order.items + l->order.count;
  const std::uint32_t* at = firstFolded(l, name);
  const std::uint32_t* first = nullptr;
  for (; at != end && asciiCompareAnyCase(listedName(l, *at), name) == 0; at++) {
    if (std::strcmp(listedName(l, *at), name) == 0) return GF_SPELLING_EXACT;
    if (!first) first = at;
  }
  if (!first || !l->text[*first]) return GF_SPELLING_NONE;
  std::strncpy(other, listedName(l, *first), 255);
  other[255] = 0;
  return GF_SPELLING_OTHER;
}

void gfRemoveStaleTemps(const t_gfListing* l, PlatHandle dir, const char* name,
                        t_gfStaleVisit removed, void* context) {
  if (!l || l->broken) return;
  const std::uint32_t* end = l->order.items + l->order.count;
  for (const std::uint32_t* at = firstFolded(l, name); at != end; at++) {
    const char* listed = listedName(l, *at);
    if (!asciiStartsAnyCase(listed, name)) break;  // past every name that begins with it
    // Only a regular file: a link, a pipe or a directory of that name is not ours.
    if (l->text[*at] && platIsStaleTempNameOf(name, listed) && platRemoveInDir(dir, listed) == 0)
      removed(listed, context);
  }
}
