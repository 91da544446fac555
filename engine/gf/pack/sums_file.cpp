// The sums file the group writer writes beside a group: its first line names the version of
// the group it was made for (the digest of the group's header and directory), then one line
// per name an unpack leaves. And the refusal of a sums path that would take the place of the
// group or of a file the group is made from.
#include <cstdio>
#include <cstring>

#include "engine/gf/pack/sums.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/group_open.h"
#include "engine/gf/base/names.h"
#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

// ---- the version of a group a sums file was made for ----------------------------------------

long gfSumsGroupLine(const unsigned char digest[GF_SHA256_SIZE], char* out) {
  long n = std::snprintf(out, GF_SUM_LINE_MAX + 1, "%s", GF_SUMS_GROUP_TAG);
  gfSha256Hex(digest, out + n);
  return n + 2 * GF_SHA256_SIZE;
}

int gfGroupHeadDigest(const char* path, unsigned char digest[GF_SHA256_SIZE], t_gfReport report) {
  t_gfJob job{report, 0};
  t_gfDirectory directory;
  PlatHandle group = gfOpenGroup(path, &directory, report);
  if (group == INVALID_HANDLE) return 1;
  // The directory reader checked dirSize against the file: the block is bounded by it.
  long length = GF_HEADER_SIZE + (long)directory.dirSize;
  auto* head = static_cast<unsigned char*>(ENGINE_NEW((size_t)length));
  char shown[PLAT_PATH_MAX];
  gfShownPath(path, shown, sizeof shown);
  PlatSha256* hasher = head ? platSha256Open() : nullptr;
  if (!head)
    gfFail(&job, "not enough memory for the directory of '%s'", shown);
  else if (!hasher)
    gfFail(&job, "cannot hash '%s': %s", shown, platLastError());
  else if (platReadAt(group, 0, head, (size_t)length) != length)
    gfFail(&job, "cannot read group file '%s': %s", shown, platLastError());
  else if (platSha256Add(hasher, head, (size_t)length) != 0 ||
           platSha256Finish(hasher, digest) != 0)
    gfFail(&job, "cannot hash '%s': %s", shown, platLastError());
  platSha256Close(hasher);
  ENGINE_DELETE(head);
  gfFreeDirectory(&directory);
  platClose(group);
  return job.failed;
}

// ---- where a sums file may go -----------------------------------------------------------------

int gfSumsRefusePlace(const char* sums, const char* group, const t_gfWriteList* list,
                      t_gfJob* job) {
  char shownSums[PLAT_PATH_MAX], shown[PLAT_PATH_MAX];
  gfShownPath(sums, shownSums, sizeof shownSums);
  if (platSamePlace(sums, group)) {
    gfFail(job, "refusing to write sums file '%s': it would replace group file '%s'", shownSums,
           gfShownPath(group, shown, sizeof shown));
    return 1;
  }
  // Nor the lock beside the group, which the next job would take over and remove.
  char lock[PLAT_PATH_MAX + 8];
  if (platFollowLinks(group, lock, PLAT_PATH_MAX) == 0 && std::strlen(lock) + 5 < PLAT_PATH_MAX) {
    std::strcat(lock, ".lock");
    if (platSamePlace(sums, lock)) {
      gfFail(job, "refusing to write sums file '%s': it would take the name of the lock of "
             "group file '%s'", shownSums, gfShownPath(group, shown, sizeof shown));
      return 1;
    }
  }
  // The sums replace a name, never write through it: only a file of the same last name
  // (any spelling) can be the one they replace, and only those are looked at.
  char followed[PLAT_PATH_MAX];
  if (platFollowLinks(sums, followed, sizeof followed) != 0) return 0;
  const char* leaf = followed;
  for (const char* c = followed; *c; c++)
    if (*c == '/' || *c == '\\') leaf = c + 1;
  for (std::uint32_t i = 0; i < list->sources.count; i++) {
    const char* path = gfWriteText(list, list->sources[i].path);
    if (!platSamePlace(sums, path)) continue;
    gfFail(job, "refusing to write sums file '%s': it would replace group file '%s', which "
           "this job reads", shownSums, gfShownPath(path, shown, sizeof shown));
    return 1;
  }
  for (int i = 0; i < list->count; i++) {
    const t_gfWriteEntry* f = gfWriteEntryNumber(list, (std::uint32_t)i);
    if (f->inGroup || !asciiEqualAnyCase(gfWriteText(list, f->name) + f->leaf, leaf)) continue;
    char source[PLAT_PATH_MAX];
    if (!gfWriteSourcePath(list, f, source, sizeof source) || !platSamePlace(sums, source))
      continue;
    gfFail(job, "refusing to write sums file '%s': it would replace '%s', a file packed into "
           "the group", shownSums, gfShownPath(source, shown, sizeof shown));
    return 1;
  }
  return 0;
}

// ---- the sums file of a group being written -----------------------------------------------

namespace {

// Whether the entry at place i of the table order is one an unpack leaves: equal names lie
// side by side in that order, and the last of them is written last.
bool lastOfItsName(const t_gfWriteList* list, int i) {
  if (i + 1 >= list->count) return true;
  char a[GF_PATH_MAX + 1], b[GF_PATH_MAX + 1];
  gfWriteStoredName(list, gfWriteEntryAt(list, i), a);
  gfWriteStoredName(list, gfWriteEntryAt(list, i + 1), b);
  return std::strcmp(a, b) != 0;
}

}  // namespace

int gfSumsWrite(t_gfSumsFile* sums, const char* path, const t_gfWriteList* list,
                const t_gfEntrySums* entrySums, const unsigned char head[GF_SHA256_SIZE],
                t_gfReport warn, t_gfJob* job) {
  char shown[PLAT_PATH_MAX];
  gfShownPath(path, shown, sizeof shown);
  sums->open = 0;
  if (platNewFileCreate(&sums->file, path) != 0) {
    gfFail(job, "cannot create sums file '%s': %s", shown, platLastError());
    return 1;
  }
  sums->open = 1;
  gfTellDebris(&sums->file, warn);
  constexpr long kBlock = 64 * 1024;
  auto* block = static_cast<char*>(ENGINE_NEW(kBlock));
  if (!block) {
    gfFail(job, "not enough memory to write sums file '%s'", shown);
    return 1;
  }
  long used = gfSumsGroupLine(head, block);
  block[used++] = '\n';
  long long at = 0;
  bool written = true;
  for (int i = 0; written && i <= list->count; i++) {
    if (i == list->count || used + GF_SUM_LINE_MAX + 1 > kBlock) {
      written = platWriteAt(sums->file.handle, at, block, (size_t)used) == used;
      at += used;
      used = 0;
      if (i == list->count) break;
    }
    if (!lastOfItsName(list, i)) continue;
    char name[GF_PATH_MAX + 1];
    gfWriteStoredName(list, gfWriteEntryAt(list, i), name);
    used += gfSumLine(name, entrySums->digests + (size_t)i * GF_SHA256_SIZE, block + used);
    block[used++] = '\n';
  }
  ENGINE_DELETE(block);
  if (written) return 0;
  gfFail(job, "cannot write sums file '%s': %s", shown, platLastError());
  return 1;
}

int gfSumsCommit(t_gfSumsFile* sums, const char* path, const char* group, t_gfJob* job) {
  sums->open = 0;
  if (platNewFileCommit(&sums->file) == 0) return 0;
  char shown[PLAT_PATH_MAX], shownGroup[PLAT_PATH_MAX];
  gfFail(job, "the new group file '%s' is in place; its sums file '%s' could not be written: "
         "%s (the old sums file, if any, names the old group: grp verify --sums tells it stale)",
         gfShownPath(group, shownGroup, sizeof shownGroup),
         gfShownPath(path, shown, sizeof shown), platLastError());
  return 1;
}

void gfSumsDiscard(t_gfSumsFile* sums) {
  if (sums->open) platNewFileDiscard(&sums->file);
  sums->open = 0;
}
