// The whole-file cache: files read into memory by the read worker and kept in their
// records, within a byte budget that drops the largest finished file when exceeded.
#include <cstring>

#include "engine/gf/manager/cache.h"

#include "engine/gf/manager/cache_list.h"

#include "engine/debug/debug_internal.h"
#include "engine/gf/manager/file.h"
#include "engine/gf/manager/reader.h"
#include "engine/gf/manager/table.h"
#include "tarnpak/debug.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int gfCacheLimit = 4000000;  // four million bytes

int gfCacheTotal = 0;
// Blocks of records that left the table or changed size while their read still ran:
// released at gfStop, after the worker has ended.
struct_list* gfCacheAside = nullptr;

// The messages go to the log and the line output; when neither keeps them, they are not
// formatted at all (the cache prints two per file it reads).
void note(const char* format, long value, const char* name = nullptr) {
  if (!debugHeard()) return debugPassOverLine();
  if (name)
    DebugPrintf(format, name, (int)value);
  else
    DebugPrintf(format, (int)value);
}

// Releases record i's copy if its read has finished; false when it is kept.
bool releaseCopy(long i) {
  t_gfFileInfo* r = gfRecordAt(i);
  if (!r || !r->cacheData || !gfReadCompleted(r->readId)) return false;  // the worker may write it
  gfClose(r->cacheFile);
  ENGINE_DELETE(r->cacheData);
  r->readId = 0;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  gfCacheTotal -= (int)r->size;
  return true;
}

// Starts caching record i; false when the file cannot be opened or its block had.
bool startCaching(long i) {
  t_gfFileInfo* r = gfRecordAt(i);
  if (r->size < 0 || r->size > 0x7FFFFFFF) return false;  // beyond one read's reach
  GFILE* f = gfOpenRecord(i);  // the name was looked up already
  if (!f) return false;
  r = gfRecordAt(i);
  void* block = ENGINE_NEW((size_t)r->size);
  if (!block) {
    gfClose(f);
    return false;
  }
  r->cacheData = block;
  r->cacheFile = f;
  r->readId = gfReadStart(f, 0, block, (int)r->size);
  r->lastUse = (float)GetCurTime();
  gfCacheTotal += (int)r->size;
  note("CACHE SIZE: %d\n", gfCacheTotal);
  if (gfCacheTotal > gfCacheLimit) gfUncacheFile();
  gfCacheListAdd(i);
  return true;
}

// A file asked for again while its read still waits in the queue is read at once on the
// caller's thread, exactly as the worker would (the whole file at its absolute offset):
// the caller wants it now, and waiting for the worker to reach it, and to be given a
// processor, costs more than the read. While the worker reads the file itself, the caller
// takes the newest read off the queue instead, so that its wait drains the queue from
// the end the worker reaches last.
void readNow(const t_gfReadRequest& request) {
  gfReadAt(request.handle, request.offset, request.buffer, (unsigned long)request.size);
}

bool readyAfterHelping(const t_gfFileInfo* r) {
  t_gfReadRequest request;
  if (gfReadTakeBack(r->readId, &request)) {
    readNow(request);
    return true;
  }
  if (gfReadTakeBack(0, &request)) readNow(request);
  return gfReadCompleted(r->readId) != 0;
}

}  // namespace

t_gfFileInfo* gfCacheFile(const char* name) {
  if (!name) return nullptr;
  long i = gfFetch(name);
  if (i < 0) return nullptr;
  bool started = false;
  if (!gfRecordAt(i)->cacheData) {
    if (!startCaching(i)) return nullptr;
    started = true;
  }
  t_gfFileInfo* r = gfRecordAt(i);
  if (!gfReadCompleted(r->readId) && (started || !readyAfterHelping(r))) return nullptr;
  r->lastUse = (float)GetCurTime();
  return r;
}

// Drops the largest finished file. Every node names a record (a delete takes the record's
// nodes out before the table renumbers), and only such nodes count as finished.
void gfUncacheFile() {
  t_gfCacheNode* chosen = gfCacheListVictim();
  if (!chosen) return;
  long i = chosen->index;
  // A node whose copy went earlier may win for a record cached again since: the copy it
  // releases is the newer node's, which then stays in the list without one.
  releaseCopy(i);
  note("UNCACHE <%s> SIZE: %d\n", gfCacheTotal, gfRecordAt(i)->name);
  gfCacheListRemove(chosen);
}

// From outside, the record's node stays in the list without its copy, in its place in the
// victim order (its size is its record's): nothing of the list is looked at.
void gfUncacheFile(int index) { releaseCopy(index); }

void gfUncacheAllFiles() {
  while (t_gfCacheNode* first = gfCacheListFirst()) {
    releaseCopy(first->index);
    gfCacheListRemove(first);
  }
}

void gfPrintCache() {
  long sum = 0;
  for (t_gfCacheNode* n = gfCacheListFirst(); n; n = n->next) {
    const t_gfFileInfo* r = gfRecordAt(n->index);
    if (!r) {
      ConPrintf("error line\n");
      continue;
    }
    ConPrintf("File <%s> size <%d> completed=%s\n", r->name, (int)r->size,
              gfReadCompleted(r->readId) ? "TRUE" : "FALSE");
    sum += r->size;
  }
  ConPrintf("Cache size=%dKb\n", (int)(sum / 1024));
}

void gfCacheStart() { gfTableOnResize(gfCacheResized); }

void gfCacheCloseFiles() {
  for (long i = 0; i < gfTableCount(); i++) {
    t_gfFileInfo* r = gfRecordAt(i);
    if (r->cacheFile) gfClose(r->cacheFile);
    r->cacheFile = nullptr;
  }
}

void gfCacheReset() {
  gfTableOnResize(nullptr);
  gfCacheListClear();
  while (gfCacheAside) {
    ENGINE_DELETE(gfCacheAside->data);
    List_Del(gfCacheAside, gfCacheAside);
  }
  gfCacheTotal = 0;
}

void gfCacheForget(long index) {
  gfCacheListRemoveRecord(index);
  t_gfFileInfo* r = gfRecordAt(index);
  if (!r || !r->cacheData || releaseCopy(index)) return;
  // Still being read: the block must outlive the worker's write into it.
  if (!List_Add(gfCacheAside, r->cacheData)) return;  // kept by nobody: better lost than freed
  gfClose(r->cacheFile);
  gfCacheTotal -= (int)r->size;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  r->readId = 0;
}

void gfCacheResized(long index, long long size) {
  const t_gfFileInfo* r = gfRecordAt(index);
  if (r && r->cacheData) return gfCacheForget(index);
  gfCacheListResize(index, size);  // nodes whose copy went take the new size as their key
}
