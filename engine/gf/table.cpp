// The file table: gfStart and gfStop, turning the scan into sorted unique records, the
// table order, and lookups by name.
#include <cstdlib>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/stdinputoutput/stdinputoutput.h"
#include "engine/t_list/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

char gfRoot[GF_PATH_MAX + 1] = "c:\\";
t_gfFileInfo* gfFiles = nullptr;
int gfFileCount = 0;
int gfSortedCount = 0;
int gfStarted = 0;
int gfFileCapacity = 0;
struct_list* gfGroupHandles = nullptr;

namespace {

constexpr int kWavHeaderSize = 44;

void readWavHeader(t_gfFileInfo* r, const t_gfScanEntry* e) {
  if (e->inGroup) {
    platReadAt(e->group, e->offset, r->wavHeader, kWavHeaderSize);
    return;
  }
  HANDLE h = platOpenRead(e->name);
  if (h == INVALID_HANDLE) return;
  platReadAt(h, 0, r->wavHeader, kWavHeaderSize);
  platClose(h);
}

// Fills record r from scan entry e; false when memory for the name fails.
bool makeRecord(t_gfFileInfo* r, const t_gfScanEntry* e, size_t rootLength) {
  r->name = ENGINE_STRDUP(e->name + rootLength);
  if (!r->name) return false;
  gfUpperCase(r->name);
  r->size = e->size;
  r->date = e->date;
  r->time = e->time;
  r->inGroup = e->inGroup;
  if (std::strstr(r->name, ".WAV")) readWavHeader(r, e);
  r->offset = e->offset;
  r->handle = e->group;
  return true;
}

int compareRecords(const void* a, const void* b) {
  return gfTableOrder(static_cast<const t_gfFileInfo*>(a), static_cast<const t_gfFileInfo*>(b));
}

// Of each run of equal names keeps the first, which the sort made the latest copy.
void removeDuplicates() {
  if (gfFileCount == 0) return;
  int kept = 0;
  for (int i = 1; i < gfFileCount; i++) {
    if (std::strcmp(gfFiles[kept].name, gfFiles[i].name) == 0) {
      ENGINE_DELETE(gfFiles[i].name);
      continue;
    }
    gfFiles[++kept] = gfFiles[i];
  }
  gfFileCount = kept + 1;
}

// Turns the scan list into the table, giving back every entry and node on the way.
void buildTable(struct_list* list) {
  gfFileCount = gfSortedCount = List_Count(list);
  gfFiles = ENGINE_NEW_ARRAY(t_gfFileInfo, gfFileCount > 0 ? gfFileCount : 1);
  gfFileCapacity = gfFiles ? (gfFileCount > 0 ? gfFileCount : 1) : 0;
  size_t rootLength = std::strlen(gfRoot);
  int made = 0;
  while (list) {
    auto* e = static_cast<t_gfScanEntry*>(list->data);
    if (gfFiles && makeRecord(&gfFiles[made], e, rootLength)) made++;
    gfFreeScanEntry(e);
    List_Del(list, list);
  }
  if (!gfFiles) made = 0;
  gfFileCount = gfSortedCount = made;
}

}  // namespace

void gfUpperCase(char* name) {
  for (; *name; name++)
    if (*name >= 'a' && *name <= 'z') *name = (char)(*name - 'a' + 'A');
}

int gfTableOrder(const t_gfFileInfo* a, const t_gfFileInfo* b) {
  int byName = std::strcmp(a->name, b->name);  // strcmp compares bytes as unsigned
  if (byName != 0) return byName;
  int byTime = platCompareDosTime(a->date, a->time, b->date, b->time);
  return byTime < 0 ? 1 : byTime > 0 ? -1 : 0;  // the later copy first
}

// Equal copies give -1 both ways, which other programs may rely on; it is no consistent
// order, so the manager's own sorts use gfTableOrder, which agrees with it elsewhere.
int gfCompareFileInfo(const t_gfFileInfo* a, const t_gfFileInfo* b) {
  int order = gfTableOrder(a, b);
  return order == 0 ? -1 : order;
}

int gfCompareName(const char* key, const t_gfFileInfo* record) {
  return std::strcmp(key, record->name);
}

bool gfMakeRoot(char* out, const char* root) {
  size_t n = std::strlen(root);
  if (n >= GF_PATH_MAX) {  // no room for the backslash and a name: nothing can be found
    out[0] = 0;
    return false;
  }
  std::memcpy(out, root, n + 1);
  ZSAddPathSlash(out);
  return true;
}

void gfStart(const char* root) {
  if (!gfMakeRoot(gfRoot, root)) {  // the builder refuses the empty root
    gfStop();
    gfFiles = ENGINE_NEW_ARRAY(t_gfFileInfo, 1);
    gfFileCapacity = gfFiles ? 1 : 0;
    gfFileCount = gfSortedCount = 0;
    gfStarted = 1;
    gfReadWorkerStart();
    return;
  }
  gfStart();
}

void gfStart() {
  gfStop();
  struct_list* list = nullptr;
  gfScanRoot(&list, gfRoot);
  buildTable(list);
  std::qsort(gfFiles, (size_t)gfFileCount, sizeof(t_gfFileInfo), compareRecords);
  removeDuplicates();
  gfSortedCount = gfFileCount;
  gfStarted = 1;
  gfReadWorkerStart();
}

void gfStop() {
  if (!gfStarted) return;
  gfReadWorkerStop();  // first: once it returns, no read writes into a block
  gfStarted = 0;
  if (gfFiles) {
    for (int i = 0; i < gfFileCount; i++) {
      if (gfFiles[i].cacheFile) gfClose(gfFiles[i].cacheFile);
      gfFiles[i].cacheFile = nullptr;
    }
    for (int i = 0; i < gfFileCount; i++) {
      t_gfFileInfo* r = &gfFiles[i];
      if (r->handle != INVALID_HANDLE && !gfIsGroupHandle(r->handle)) platClose(r->handle);
      ENGINE_DELETE(r->name);
      ENGINE_DELETE(r->cacheData);
    }
    ENGINE_DELETE(gfFiles);
    gfFiles = nullptr;
    gfFileCapacity = 0;
  }
  gfCloseOrphans();
  gfClearAppended();
  gfCacheReset();
  while (gfGroupHandles) {
    platClose((HANDLE)gfGroupHandles->data);
    List_Del(gfGroupHandles, gfGroupHandles);
  }
  gfForgetGroupNames();
}

long gfFetch(const char* name) {
  if (!name || !gfFiles) return -1;
  size_t n = std::strlen(name);
  if (n > GF_PATH_MAX) return -1;  // no stored name is that long
  char key[GF_PATH_MAX + 1];
  std::memcpy(key, name, n + 1);
  gfUpperCase(key);
  int low = 0, high = gfSortedCount - 1;
  while (low <= high) {
    int mid = low + (high - low) / 2;
    int c = gfCompareName(key, &gfFiles[mid]);
    if (c == 0) return mid;
    if (c < 0)
      high = mid - 1;
    else
      low = mid + 1;
  }
  return gfFindAppended(key);
}

t_gfFileInfo* gfGetFileInfo(const char* name) {
  long i = gfFetch(name);
  return i < 0 ? nullptr : &gfFiles[i];
}
