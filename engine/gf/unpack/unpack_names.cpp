// The unpacker's rules for names: a directory's names read once and the spelling a stored
// name takes there, the debris of killed unpacks beside a file, and the names met so far.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/gf/unpack/unpacker.h"

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

// ---- names met so far ----------------------------------------------------------------------

namespace {

// Folded beyond ASCII too, roughly: a run of bytes above 0x7F counts as one, whatever it is,
// so that two spellings of a name a host folds (accented letters, another encoding's length)
// hash alike and are written in order. Such a false match only costs a wait.
std::uint64_t foldedHash(const char* name, size_t length, std::uint64_t kind) {
  std::uint64_t h = 1469598103934665603ull ^ kind;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c >= 0x80 && i > 0 && (unsigned char)name[i - 1] >= 0x80) continue;
    h = (h ^ (c >= 0x80 ? 0x80 : asciiLower(c))) * 1099511628211ull;
  }
  return h ? h : 1;
}

constexpr std::uint64_t kFileName = 0, kLevelName = 0x9E3779B97F4A7C15ull;

bool metBefore(const t_gfNamesMet* met, std::uint64_t h) { return met->hashes.has(h); }

void noteMet(t_gfNamesMet* met, std::uint64_t h) {
  met->broken = met->broken || !met->hashes.add(h, ENGINE_HERE);
}

}  // namespace

bool gfMeetsEarlierName(t_gfNamesMet* met, const char* name, int keep) {
  bool seen = met->broken;
  int level = 0;
  for (const char* c = name; *c; c++) {
    if (*c != '\\') continue;
    if (level++ < keep) continue;
    size_t length = (size_t)(c - name);
    seen = seen || metBefore(met, foldedHash(name, length, kFileName));
    noteMet(met, foldedHash(name, length, kLevelName));
  }
  size_t length = std::strlen(name);
  std::uint64_t h = foldedHash(name, length, kFileName);
  seen = seen || metBefore(met, h) || metBefore(met, foldedHash(name, length, kLevelName));
  noteMet(met, h);
  return seen;
}
