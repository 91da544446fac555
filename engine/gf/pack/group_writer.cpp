// The group writer: sorts a group's entries in table order, places their data behind the
// directory, writes the header and the scrambled directory, has the copier fill in the
// data, and makes the group visible in one commit.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/pack/group_writer.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/sums.h"
#include "engine/gf/pack/write_list.h"
#include "tarnpak/debug.h"
#include "tarnpak/gf.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

std::atomic<bool> durableWrites{true};

// Gives every file its data offset behind the directory; the directory's size, or -1
// after reporting that the group would be too long.
long long placeData(t_gfWriteList* files, t_gfJob* writing) {
  long long dirSize = 0, length = GF_HEADER_SIZE;
  for (int i = 0; i < files->count; i++) {
    const t_gfWriteEntry* f = gfWriteEntryAt(files, i);
    dirSize += (long long)std::strlen(gfWriteText(files, f->name)) + GF_ENTRY_FIXED_SIZE;
    length += f->size;
  }
  length += dirSize;
  if (length >= GF_LENGTH_LIMIT) {
    gfFail(writing, "the group would be %lld bytes long, more than a group can hold", length);
    return -1;
  }
  long long offset = GF_HEADER_SIZE + dirSize;
  for (int i = 0; i < files->count; i++) {
    t_gfWriteEntry* f = gfWriteEntryAt(files, i);
    f->offset = (std::uint32_t)offset;
    offset += f->size;
  }
  return dirSize;
}

enum t_gfHeadWrite { GF_HEAD_WRITTEN, GF_HEAD_NO_MEMORY, GF_HEAD_WRITE_FAILED, GF_HEAD_HASH_FAILED };

// Writes the header and the scrambled directory, a block at a time: the finished length
// is known before any data is written, so each block is scrambled once, in memory. With
// digest set, the SHA-256 of the bytes written goes there (the sums file names it).
t_gfHeadWrite writeHead(const t_gfWriteList* files, long long dirSize, unsigned flag,
                        PlatHandle out, unsigned char* digest) {
  constexpr long kBlock = 64 * 1024;
  PlatSha256* hasher = digest ? platSha256Open() : nullptr;
  if (digest && !hasher) return GF_HEAD_HASH_FAILED;
  auto* block = static_cast<unsigned char*>(ENGINE_NEW(kBlock));
  if (!block) {
    platSha256Close(hasher);
    return GF_HEAD_NO_MEMORY;
  }
  bool hashed = true;
  const t_gfWriteEntry* last = files->count ? gfWriteEntryAt(files, files->count - 1) : nullptr;
  long long length = last ? (long long)last->offset + last->size : GF_HEADER_SIZE + dirSize;
  t_gfRandom random;
  gfRandomSeed(&random, gfScrambleSeed(length));
  t_gfHeader header{GF_MAGIC, flag, files->count, (std::int32_t)dirSize};
  gfPutHeader(block, &header);
  long used = GF_HEADER_SIZE, scrambled = GF_HEADER_SIZE;
  long long at = 0;
  bool written = true;
  for (int i = 0; written && i <= files->count; i++) {
    // Room for the longest entry, or the end: the block goes out.
    if (i == files->count || used + GF_NAME_MAX + GF_ENTRY_FIXED_SIZE > kBlock) {
      gfScrambleNext(&random, block + scrambled, used - scrambled);
      written = platWriteAt(out, at, block, (size_t)used) == used;
      hashed = hashed && (!hasher || platSha256Add(hasher, block, (size_t)used) == 0);
      at += used;
      used = scrambled = 0;
      if (i == files->count) break;
    }
    const t_gfWriteEntry* f = gfWriteEntryAt(files, i);
    char name[GF_PATH_MAX + 1];
    gfWriteStoredName(files, f, name);
    used = (long)(gfPutEntry(block + used, name, (std::int32_t)f->offset, (std::int32_t)f->size,
                             f->date, f->time) -
                  block);
  }
  ENGINE_DELETE(block);
  hashed = hashed && (!hasher || platSha256Finish(hasher, digest) == 0);
  platSha256Close(hasher);
  return !written ? GF_HEAD_WRITE_FAILED : hashed ? GF_HEAD_WRITTEN : GF_HEAD_HASH_FAILED;
}

// Where an entry's bytes come from, in quotes that close where each name ends: 'path', or
// 'NAME' in 'group' for an entry kept from a group being edited.
void quotedSource(const t_gfWriteList* files, const t_gfWriteEntry* f, char* out, size_t size) {
  char source[PLAT_PATH_MAX] = "";
  if (f->inGroup)
    std::snprintf(out, size, "'%s' in '%s'", gfWriteText(files, f->name),
                  gfWriteText(files, files->sources[f->hostDir].path));
  else if (gfWriteSourcePath(files, f, source, sizeof source))
    std::snprintf(out, size, "'%s'", source);
  else
    std::snprintf(out, size, "'%s'", gfWriteText(files, f->name));
}

// Copies the data area, then has the sums stage (when sums are wanted) hash what the copier
// did not feed it; reports the first file that failed. shown is the group's name.
void writeData(const t_gfWriteList* files, PlatHandle out, t_gfEntrySums* sums,
               const char* shown, t_gfJob* writing) {
  t_gfCopyFailure why;
  int bad = gfCopyData(files, out, sums, &why);
  if (bad < 0 && sums && files->count > 0) bad = gfSumsReadBack(sums, files, out, &why);
  if (bad < 0) return;
  const t_gfWriteEntry* f = bad < files->count ? gfWriteEntryAt(files, bad) : nullptr;
  char source[2 * PLAT_PATH_MAX + 16] = "''";
  if (f) quotedSource(files, f, source, sizeof source);
  switch (why.kind) {
    case GF_COPY_CANNOT_OPEN: {
      char name[GF_PATH_MAX + 1], shown[4 * GF_PATH_MAX + 1];
      gfWriteStoredName(files, f, name);
      gfEscapeControls(name, shown, sizeof shown);
      W32ConPrintf("Error: file %s can not be opened\n", shown);
      gfFail(writing, "cannot open %s: %s", source, why.reason);
      break;
    }
    case GF_COPY_NOT_REGULAR:
      gfFail(writing, "%s is no longer a regular file", source);
      break;
    case GF_COPY_CHANGED:
      gfFail(writing, "%s changed size while the group was built (%ld bytes when found)", source,
           (long)f->size);
      break;
    case GF_COPY_READ_ERROR:
      gfFail(writing, "cannot copy %s into group file '%s': %s", source, shown, why.reason);
      break;
    case GF_COPY_INTERRUPTED:
      gfFail(writing, "interrupted");
      break;
    case GF_COPY_NO_MEMORY:
      gfFail(writing, "not enough memory to copy the files");
      break;
    case GF_COPY_HASH_ERROR:
      gfFail(writing, "cannot hash '%s': %s", source, why.reason);
      break;
    default:
      gfFail(writing, "cannot write group file '%s': %s", shown, why.reason);
  }
}

// Puts the finished file in place under the group's lock, taken here unless the caller
// holds it: a build's commit then never lands inside an edit's read-modify-commit, where
// the edit would replace it with the older group plus its change.
void commitGroup(const char* name, PlatNewFile* out, t_gfGroupPlace* place, bool held,
                 t_gfJob* writing) {
  if (!held && gfLockGroup(name, place, writing)) {
    platNewFileDiscard(out);
    return;
  }
  char shown[PLAT_PATH_MAX];
  if (platNewFileCommit(out) != 0)
    gfFail(writing, "cannot write group file '%s': %s", gfShownPath(name, shown, sizeof shown),
           platLastError());
  if (!held) gfUnlockGroup(place);
}

// Writes the group to a temporary file beside its target and renames it into place once
// whole; with sums wanted, the sums stage is complete before the group takes its name.
void writeGroup(const char* name, unsigned flag, t_gfWriteList* files, t_gfEntrySums* entrySums,
                const t_gfWriteOptions& options, t_gfJob* writing) {
  if (options.sums && gfSumsRefusePlace(options.sums, name, files, writing)) return;
  t_gfGroupPlace* held = options.held;
  long long dirSize = placeData(files, writing);
  if (dirSize < 0) return;
  t_gfGroupPlace own;
  t_gfGroupPlace* place = held ? held : &own;
  if (!held && gfPlaceGroup(name, &own, writing)) return;
  PlatNewFile out;
  char shown[PLAT_PATH_MAX];
  gfShownPath(name, shown, sizeof shown);
  if (platNewFileCreate(&out, place->target) != 0) {
    gfFail(writing, "cannot create group file '%s': %s", shown, platLastError());
    return;
  }
  gfTellDebris(&out, options.warn);
  out.durable = gfDurableWrites();
  unsigned char head[GF_SHA256_SIZE];
  switch (writeHead(files, dirSize, flag, out.handle, options.sums ? head : nullptr)) {
    case GF_HEAD_NO_MEMORY:
      gfFail(writing, "not enough memory to write the directory");
      break;
    case GF_HEAD_WRITE_FAILED:
      gfFail(writing, "cannot write group file '%s': %s", shown, platLastError());
      break;
    case GF_HEAD_HASH_FAILED:
      gfFail(writing, "cannot hash the directory of '%s': %s", shown, platLastError());
      break;
    case GF_HEAD_WRITTEN:
      break;
  }
  if (!writing->failed)
    writeData(files, out.handle, options.sums ? entrySums : nullptr, shown, writing);
  // The sums are complete before the group takes its name, so that a group is never left
  // beside sums that fail to be written; they take theirs just after it.
  t_gfSumsFile sums{};
  if (!writing->failed && options.sums)
    gfSumsWrite(&sums, options.sums, files, entrySums, head, options.warn, writing);
  if (options.closeBeforeCommit && *options.closeBeforeCommit != INVALID_HANDLE) {
    platClose(*options.closeBeforeCommit);  // only read from: nothing to lose on its close
    *options.closeBeforeCommit = INVALID_HANDLE;
  }
  if (writing->failed)
    platNewFileDiscard(&out);
  else
    commitGroup(name, &out, place, held != nullptr, writing);
  if (sums.open && !writing->failed) gfSumsCommit(&sums, options.sums, name, writing);
  gfSumsDiscard(&sums);
}

}  // namespace

void gfSetDurable(int on) { durableWrites.store(on != 0); }

bool gfDurableWrites() { return durableWrites.load(); }

int gfGroupLockWaitMs = 60 * 1000;

int gfPlaceGroup(const char* name, t_gfGroupPlace* place, t_gfJob* job) {
  place->lock.handle = INVALID_HANDLE;
  if (platFollowLinks(name, place->target, sizeof place->target) == 0) return 0;
  char shown[PLAT_PATH_MAX];
  gfFail(job, "cannot follow '%s' to the group file it links to: %s",
         gfShownPath(name, shown, sizeof shown), platLastError());
  return 1;
}

int gfLockGroup(const char* name, t_gfGroupPlace* place, t_gfJob* job) {
  int taken = platLockFile(&place->lock, place->target, gfGroupLockWaitMs);
  if (taken == PLAT_LOCKED) return 0;
  char shown[PLAT_PATH_MAX], lockShown[PLAT_PATH_MAX];
  gfShownPath(name, shown, sizeof shown);
  gfShownPath(place->lock.path, lockShown, sizeof lockShown);
  if (taken == PLAT_LOCK_BUSY)
    gfFail(job, "group file '%s' is being changed by another process: gave up after waiting "
           "%d s for its lock '%s'", shown, (gfGroupLockWaitMs + 999) / 1000, lockShown);
  else
    gfFail(job, "cannot lock group file '%s' (through '%s'): %s", shown, lockShown,
           platLastError());
  return 1;
}

void gfUnlockGroup(t_gfGroupPlace* place) { platUnlockFile(&place->lock); }

int gfWriteGroup(const char* name, unsigned flag, t_gfWriteList* list, t_gfReport sink,
                 const t_gfWriteOptions& options) {
  t_gfJob writing{sink, 0};
  t_gfEntrySums sums{};
  if (!gfWriteSort(list) || (options.sums && !gfEntrySumsOpen(&sums, list->count)))
    gfFail(&writing, "not enough memory for the directory of %d files", list->count);
  else
    writeGroup(name, flag, list, &sums, options, &writing);
  gfEntrySumsFree(&sums);
  return writing.failed;
}
