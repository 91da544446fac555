// Search of the file table by wildcard mask, and the edits that keep the table in step
// with loose files that appear or go while the manager runs.
#include <cstdlib>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#include "tarnpak/stdinputoutput.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int kWavHeaderSize = 44;
constexpr int kFieldSize = 256;  // t_findfirst's name and mask

// Fills f from the first record at or behind from whose name matches the mask; 0 when none.
int findFrom(t_findfirst* f, long from) {
  if (!f || !gfFiles) return 0;
  char mask[kFieldSize];
  std::memcpy(mask, f->mask, kFieldSize);
  mask[kFieldSize - 1] = 0;
  for (char* c = mask; *c; c++)
    if (*c == '/') *c = '\\';  // '/' separates directories as a backslash does
  for (long i = from < 0 ? 0 : from; i < gfFileCount; i++) {
    const char* name = gfFiles[i].name;
    if (!ZSMaskCompare(mask, name)) continue;
    f->index = i;
    const char* slash = std::strrchr(mask, '\\');
    size_t skip = slash ? (size_t)(slash - mask) + 1 : 0;
    size_t length = std::strlen(name);
    // A name shorter than the mask's directory part matches too (the comparison stops
    // when either string ends); it has nothing behind that part.
    const char* rest = skip <= length ? name + skip : "";
    std::strncpy(f->name, rest, kFieldSize - 1);
    f->name[kFieldSize - 1] = 0;
    return 1;
  }
  return 0;
}

bool growTable() {
  if (gfFileCount < gfFileCapacity) return true;
  int capacity = gfFileCapacity < 16 ? 16 : gfFileCapacity * 2;
  auto* bigger = ENGINE_NEW_ARRAY(t_gfFileInfo, (size_t)capacity);
  if (!bigger) return false;
  if (gfFiles) std::memcpy(bigger, gfFiles, sizeof(t_gfFileInfo) * (size_t)gfFileCount);
  ENGINE_DELETE(gfFiles);
  gfFiles = bigger;
  gfFileCapacity = capacity;
  return true;
}

// Size and, for a ".WAV" name, the first 44 bytes of the loose file behind record r.
void readLooseFacts(t_gfFileInfo* r, const char* path) {
  r->size = 0;
  PlatHandle h = platOpenFile(path, 0);
  if (h == INVALID_HANDLE) return;
  long long size = platFileSize(h);
  r->size = size < 0 ? 0 : (long)(size & 0xFFFFFFFF);
  if (std::strstr(r->name, ".WAV")) platReadAt(h, 0, r->wavHeader, kWavHeaderSize);
  platClose(h);
}

int compareRecords(const void* a, const void* b) {
  return gfTableOrder(static_cast<const t_gfFileInfo*>(a), static_cast<const t_gfFileInfo*>(b));
}

}  // namespace

int gfFindFirst(t_findfirst* f) { return findFrom(f, 0); }

int gfFindNext(t_findfirst* f) {
  if (!f) return 0;
  if (findFrom(f, f->index + 1)) return 1;
  f->index = gfFileCount + 1;
  return 0;
}

void gfFindClose(t_findfirst*) {}

int gfInsertFile(const char* given) {
  char name[GF_PATH_MAX + 1], path[GF_PATH_MAX + 1];
  if (!given || !gfFiles || !gfNormalName(name, given) || std::strlen(name) > GF_NAME_MAX)
    return -1;
  bool pathFits = gfJoinPath(path, gfRoot, name);
  long i = gfFetch(name);
  if (i < 0) {
    if (!growTable()) return -1;
    i = gfFileCount;
    t_gfFileInfo* r = &gfFiles[i];
    std::memset(r, 0, sizeof *r);
    r->name = gfNewRecordName(name);
    if (!r->name) return -1;
    r->handle = INVALID_HANDLE;
    gfFileCount++;
    gfIndexAppended((int)i);
  } else {
    gfDetachHandle(&gfFiles[i]);
    char* renamed = gfNewRecordName(name);  // the file is now on disk under this spelling
    if (renamed) {
      ENGINE_DELETE(gfFiles[i].name);
      gfFiles[i].name = renamed;
    }
  }
  t_gfFileInfo* r = &gfFiles[i];
  r->openCount = 0;
  r->offset = 0;
  r->handle = INVALID_HANDLE;
  if (pathFits)
    readLooseFacts(r, path);
  else
    r->size = 0;
  return (int)i;
}

void gfDeleteFile(const char* name) {
  long i = gfFetch(name);
  if (i < 0) return;
  gfCacheForget((int)i);
  gfCacheBeforeRenumber((int)i);
  t_gfFileInfo* r = &gfFiles[i];
  gfDetachHandle(r);
  ENGINE_DELETE(r->name);
  gfFileCount--;
  gfFiles[i] = gfFiles[gfFileCount];
  std::qsort(gfFiles, (size_t)gfFileCount, sizeof(t_gfFileInfo), compareRecords);
  gfSortedCount = gfFileCount;
  gfClearAppended();
  gfCacheAfterRenumber();
}
