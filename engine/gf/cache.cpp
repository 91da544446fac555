// The whole-file cache: files read into memory by the read worker and kept in their
// records, within a byte budget that drops the largest finished file when exceeded.
#include <cstring>

#include "tarnpak/debug.h"
#include "engine/gf/gf_internal.h"
#include "tarnpak/kestin.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int gfCacheLimit = 4000000;  // four million bytes

struct_list* gfCacheList = nullptr;  // record indices; the first cached file stays first
int gfCacheTotal = 0;
// Blocks of records that left the table while their read still ran: released at gfStop,
// after the worker has ended.
struct_list* gfCacheAside = nullptr;

bool inTable(long index) { return index >= 0 && index < gfFileCount; }

long indexOf(const struct_list* node) { return (long)(std::intptr_t)node->data; }

void* asData(long index) { return (void*)(std::intptr_t)index; }

// Starts caching record i; false when the file cannot be opened or its block had.
bool startCaching(long i) {
  t_gfFileInfo* r = &gfFiles[i];
  if (r->size < 0 || r->size > 0x7FFFFFFF) return false;  // beyond one read's reach
  GFILE* f = gfOpen(r->name);
  if (!f) return false;
  r = &gfFiles[i];
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
  DebugPrintf("CACHE SIZE: %d\n", gfCacheTotal);
  if (gfCacheTotal > gfCacheLimit) gfUncacheFile();
  List_Add(gfCacheList, asData(i));
  return true;
}

}  // namespace

t_gfFileInfo* gfCacheFile(const char* name) {
  if (!name) return nullptr;
  long i = gfFetch(name);
  if (i < 0) return nullptr;
  if (!gfFiles[i].cacheData && !startCaching(i)) return nullptr;
  t_gfFileInfo* r = &gfFiles[i];
  if (!gfReadCompleted(r->readId)) return nullptr;
  r->lastUse = (float)GetCurTime();
  return r;
}

void gfUncacheFile() {
  long best = 0;
  struct_list* chosen = nullptr;
  for (struct_list* n = gfCacheList; n; n = n->next) {
    long i = indexOf(n);
    if (!inTable(i)) {
      DebugPrintf("gfUncacheFile(): error\n");
      continue;
    }
    if (gfFiles[i].size > best && gfReadCompleted(gfFiles[i].readId)) {
      best = gfFiles[i].size;
      chosen = n;
    }
  }
  if (!chosen) return;
  long i = indexOf(chosen);
  gfUncacheFile((int)i);
  DebugPrintf("UNCACHE <%s> SIZE: %d\n", gfFiles[i].name, gfCacheTotal);
  List_Del(gfCacheList, chosen);
}

void gfUncacheFile(int index) {
  if (!inTable(index)) return;
  t_gfFileInfo* r = &gfFiles[index];
  if (!r->cacheData || !gfReadCompleted(r->readId)) return;  // the worker may still write it
  gfClose(r->cacheFile);
  ENGINE_DELETE(r->cacheData);
  r->readId = 0;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  gfCacheTotal -= (int)r->size;
}

void gfUncacheAllFiles() {
  while (gfCacheList) {
    long i = indexOf(gfCacheList);
    if (inTable(i)) gfUncacheFile((int)i);
    List_Del(gfCacheList, gfCacheList);
  }
}

void gfPrintCache() {
  long sum = 0;
  for (struct_list* n = gfCacheList; n; n = n->next) {
    long i = indexOf(n);
    if (!inTable(i)) {
      ConPrintf("error line\n");
      continue;
    }
    const t_gfFileInfo* r = &gfFiles[i];
    ConPrintf("File <%s> size <%d> completed=%s\n", r->name, (int)r->size,
              gfReadCompleted(r->readId) ? "TRUE" : "FALSE");
    sum += r->size;
  }
  ConPrintf("Cache size=%dKb\n", (int)(sum / 1024));
}

void gfCacheReset() {
  while (gfCacheList) List_Del(gfCacheList, gfCacheList);
  while (gfCacheAside) {
    ENGINE_DELETE(gfCacheAside->data);
    List_Del(gfCacheAside, gfCacheAside);
  }
  gfCacheTotal = 0;
}

void gfCacheBeforeRenumber(int leaving) {
  // Names are blocks of their own that stay put while records move: hold them meanwhile.
  // The record that leaves loses its node; an index that named no record keeps naming none.
  for (struct_list* n = gfCacheList; n;) {
    long i = indexOf(n);
    if (i == leaving) {
      n = List_Del(gfCacheList, n);
      continue;
    }
    n->data = inTable(i) ? gfFiles[i].name : nullptr;
    n = n->next;
  }
}

void gfCacheAfterRenumber() {
  for (struct_list* n = gfCacheList; n; n = n->next) {
    const char* name = static_cast<const char*>(n->data);
    n->data = asData(name ? gfFetch(name) : -1);
  }
}

void gfCacheForget(int index) {
  t_gfFileInfo* r = &gfFiles[index];
  if (!r->cacheData) return;
  gfUncacheFile(index);
  if (!r->cacheData) return;
  // Still being read: the block must outlive the worker's write into it.
  if (!List_Add(gfCacheAside, r->cacheData)) return;  // kept by nobody: better lost than freed
  gfClose(r->cacheFile);
  gfCacheTotal -= (int)r->size;
  r->cacheData = nullptr;
  r->cacheFile = nullptr;
  r->readId = 0;
}
