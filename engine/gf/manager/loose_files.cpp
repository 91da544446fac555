// Loose files' records and handles: a record's own handle and the orphans it leaves behind
// when it is refreshed, recreated or deleted under open GFILEs, and registering a loose file.
#include <cstring>

#include "engine/gf/manager/loose_files.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/manager/groups.h"
#include "engine/gf/base/names.h"
#include "engine/gf/manager/reader.h"
#include "engine/gf/manager/table.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Loose-file handles their records gave up while GFILEs still used them.
struct t_gfOrphan {
  PlatHandle handle;
  int count;
  t_gfOrphan* next;
};
t_gfOrphan* orphans = nullptr;

// The size of the loose file at path, and for a ".WAV" name its first 44 bytes; 0 when it
// cannot be opened.
long long readLooseFacts(t_gfFileInfo* r, const char* path) {
  PlatHandle h = platOpenFile(path, 0);
  if (h == INVALID_HANDLE) return 0;
  long long size = platFileSize(h);
  if (gfWantsWavHeader(r)) gfReadWavHeader(r, h, 0);
  platClose(h);
  return size < 0 ? 0 : size;
}

// The index of a new record named name; -1 when memory fails.
long appendRecord(const char* name) {
  t_gfFileInfo r{};
  r.name = gfNewRecordName(name);
  if (!r.name) return -1;
  r.handle = INVALID_HANDLE;
  long i = gfTableAppend(r);
  if (i < 0) ENGINE_DELETE(r.name);
  return i;
}

}  // namespace

void gfCloseLoose(PlatHandle h) {
  gfReadDrop(h);
  platClose(h);
}

void gfOrphanHandle(PlatHandle h, int count) {
  auto* o = static_cast<t_gfOrphan*>(ENGINE_NEW(sizeof(t_gfOrphan)));
  if (!o) {  // without a note of it the handle could never be closed: close it now
    platClose(h);
    return;
  }
  *o = {h, count, orphans};
  orphans = o;
}

void gfReleaseOrphan(PlatHandle h) {
  for (t_gfOrphan** link = &orphans; *link; link = &(*link)->next) {
    t_gfOrphan* o = *link;
    if (o->handle != h) continue;
    if (--o->count < 1) {
      gfCloseLoose(o->handle);
      *link = o->next;
      ENGINE_DELETE(o);
    }
    return;
  }
}

void gfCloseOrphans() {
  while (orphans) {
    t_gfOrphan* o = orphans;
    orphans = o->next;
    platClose(o->handle);
    ENGINE_DELETE(o);
  }
}

void gfDetachHandle(t_gfFileInfo* r) {
  if (r->handle != INVALID_HANDLE && !gfIsGroupHandle(r->handle)) {
    if (r->openCount > 0)
      gfOrphanHandle(r->handle, r->openCount);
    else
      platClose(r->handle);
  }
  r->handle = INVALID_HANDLE;
  r->openCount = 0;
}

void gfCloseRecordHandles() {
  for (long i = 0; i < gfTableCount(); i++) {
    t_gfFileInfo* r = gfRecordAt(i);
    if (r->handle != INVALID_HANDLE && !gfIsGroupHandle(r->handle)) platClose(r->handle);
    r->handle = INVALID_HANDLE;
  }
}

int gfInsertFile(const char* given) {
  char name[GF_PATH_MAX + 1], path[GF_PATH_MAX + 1];
  if (!given || !gfTablePresent() || !gfNormalName(name, given) ||
      std::strlen(name) > GF_NAME_MAX)
    return -1;
  bool pathFits = gfJoinPath(path, gfRoot, name);
  long i = gfFetch(name);
  if (i < 0) {
    i = appendRecord(name);
    if (i < 0) return -1;
  } else {
    t_gfFileInfo* r = gfRecordAt(i);
    gfDetachHandle(r);
    char* renamed = gfNewRecordName(name);  // the file is now on disk under this spelling
    if (renamed) {
      ENGINE_DELETE(r->name);
      r->name = renamed;
    }
  }
  t_gfFileInfo* r = gfRecordAt(i);
  r->openCount = 0;
  r->offset = 0;
  r->handle = INVALID_HANDLE;
  gfTableSetSize(i, pathFits ? readLooseFacts(r, path) : 0);
  return (int)i;
}
