// The file table: the records (kept here alone), their table order and lookups by name, and
// the holders of record indices that a removal renumbers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/gf/manager/table.h"

#include "engine/gf/base/names.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int kWavHeaderSize = 44;

t_gfFileInfo* gfFiles = nullptr;  // gfFileCount records; null while stopped
int gfFileCount = 0;
int gfSortedCount = 0;   // records before this are in table order
int gfFileCapacity = 0;  // records gfFiles has room for; appends grow it geometrically
bool gfBuilding = false;  // between gfTableOpen and gfTableSortUnique: no appended index yet
t_gfIndexHolder* gfHolders = nullptr;
void (*gfResizeHook)(long index, long long size) = nullptr;
unsigned long gfRenumberings = 0;

int compareRecords(const void* a, const void* b) {
  return gfTableOrder(static_cast<const t_gfFileInfo*>(a), static_cast<const t_gfFileInfo*>(b));
}

// The table is put in order by a merge sort of small items rather than by qsort on the
// records: on a tree of 100,000 files qsort's call through a pointer per comparison, and the
// walk from record to name, took a third of gfStart's time outside the kernel. Each item carries
// the first 8 bytes of the name and of its last part as numbers, and which run of the scan's
// neighbours in one directory it belongs to: two names of one directory differ only in
// their last parts, so most comparisons are settled without reading a name. Like the C
// library's qsort (a merge sort) it is stable, so equal copies keep the scan's order.
struct t_sortItem {
  std::uint64_t head;  // the name's first 8 bytes, big-endian, zeros behind the terminator
  std::uint64_t tail;  // the same of the part behind the last backslash
  const char* name;
  int index;
  int dir;   // equal for neighbours in the scan with the same directory part
  int skip;  // where the last part begins
};

std::uint64_t bytesHead(const char* name) {
  std::uint64_t head = 0;
  int k = 0;
  for (; k < 8 && name[k]; k++) head = head << 8 | (unsigned char)name[k];
  return head << (8 * (8 - k));
}

// Compares the names whose first 8 bytes from at are equal (a terminator among them, the
// low byte 0, means equal names).
int restOfNames(const t_sortItem& a, const t_sortItem& b, std::uint64_t head, int at) {
  return (head & 0xFF) ? std::strcmp(a.name + at + 8, b.name + at + 8) : 0;
}

bool sortsBefore(const t_sortItem& a, const t_sortItem& b) {
  int byName;
  if (a.dir == b.dir) {
    if (a.tail != b.tail) return a.tail < b.tail;
    byName = restOfNames(a, b, a.tail, a.skip);
  } else {
    if (a.head != b.head) return a.head < b.head;
    byName = restOfNames(a, b, a.head, 0);
  }
  if (byName != 0) return byName < 0;
  return gfTableOrder(&gfFiles[a.index], &gfFiles[b.index]) < 0;
}

// One item per record, in the records' (the scan's) order, numbering the runs of one
// directory.
void makeItems(t_sortItem* items, int n) {
  int dir = 0;
  for (int i = 0; i < n; i++) {
    const char* name = gfFiles[i].name;
    const char* slash = std::strrchr(name, '\\');
    int skip = slash ? (int)(slash - name) + 1 : 0;
    const t_sortItem* last = i > 0 ? &items[i - 1] : nullptr;
    if (last && (last->skip != skip || std::memcmp(last->name, name, (size_t)skip) != 0)) dir++;
    items[i] = {bytesHead(name), bytesHead(name + skip), name, i, dir, skip};
  }
}

void insertionSort(t_sortItem* items, int n) {
  for (int i = 1; i < n; i++) {
    t_sortItem item = items[i];
    int j = i;
    for (; j > 0 && sortsBefore(item, items[j - 1]); j--) items[j] = items[j - 1];
    items[j] = item;
  }
}

void merge(const t_sortItem* left, const t_sortItem* mid, const t_sortItem* end, t_sortItem* out) {
  const t_sortItem* right = mid;
  while (left < mid && right < end) *out++ = sortsBefore(*right, *left) ? *right++ : *left++;
  while (left < mid) *out++ = *left++;
  while (right < end) *out++ = *right++;
}

// Sorts items[0, n) with room for n more behind them.
void mergeSort(t_sortItem* items, int n) {
  constexpr int kRun = 16;
  for (int low = 0; low < n; low += kRun)
    insertionSort(items + low, n - low < kRun ? n - low : kRun);
  t_sortItem *from = items, *to = items + n;
  for (long width = kRun; width < n; width *= 2) {
    for (long low = 0; low < n; low += 2 * width) {
      long mid = low + width < n ? low + width : n;
      long end = low + 2 * width < n ? low + 2 * width : n;
      merge(from + low, from + mid, from + end, to + low);
    }
    t_sortItem* swap = from;
    from = to;
    to = swap;
  }
  if (from != items) std::memcpy(items, from, sizeof(t_sortItem) * (size_t)n);
}

// Copies the records into a new array in the order of sorted[]. The reads jump about a
// table of megabytes, so the record a few places ahead is fetched early.
bool gatherRecords(const t_sortItem* sorted, int n) {
  auto* ordered =
      static_cast<t_gfFileInfo*>(ENGINE_NEW(sizeof(t_gfFileInfo) * (size_t)gfFileCapacity));
  if (!ordered) return false;
  constexpr int kAhead = 8;
  for (int k = 0; k < n; k++) {
    if (k + kAhead < n) __builtin_prefetch(&gfFiles[sorted[k + kAhead].index]);
    ordered[k] = gfFiles[sorted[k].index];
  }
  std::memset(ordered + n, 0, sizeof(t_gfFileInfo) * (size_t)(gfFileCapacity - n));
  ENGINE_DELETE(gfFiles);
  gfFiles = ordered;
  return true;
}

void sortTable() {
  int n = gfFileCount;
  if (n < 2) return;
  // Not zeroed: every item is written before it is read.
  auto* items = static_cast<t_sortItem*>(ENGINE_NEW(sizeof(t_sortItem) * 2 * (size_t)n));
  if (!items) {  // no room for the pairs: sort the records themselves
    std::qsort(gfFiles, (size_t)n, sizeof(t_gfFileInfo), compareRecords);
    return;
  }
  makeItems(items, n);
  mergeSort(items, n);
  bool gathered = gatherRecords(items, n);
  ENGINE_DELETE(items);
  if (!gathered) std::qsort(gfFiles, (size_t)n, sizeof(t_gfFileInfo), compareRecords);
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

bool grow() {
  if (gfFileCount < gfFileCapacity) return true;
  int capacity = gfFileCapacity < 16 ? 16 : gfFileCapacity * 2;
  auto* bigger = ENGINE_NEW_ARRAY(t_gfFileInfo, (size_t)capacity);
  if (!bigger) return false;
  std::memcpy(bigger, gfFiles, sizeof(t_gfFileInfo) * (size_t)gfFileCount);
  ENGINE_DELETE(gfFiles);
  gfFiles = bigger;
  gfFileCapacity = capacity;
  return true;
}

// The index of the record whose name block is name, in the sorted table; -1 when none.
long positionOf(const char* name) {
  int low = 0, high = gfFileCount - 1;
  while (low <= high) {
    int mid = low + (high - low) / 2;
    int c = gfCompareName(name, &gfFiles[mid]);
    if (c < 0) {
      high = mid - 1;
    } else if (c > 0) {
      low = mid + 1;
    } else {  // names are unique, but the block decides
      for (int i = mid; i >= 0 && gfCompareName(name, &gfFiles[i]) == 0; i--)
        if (gfFiles[i].name == name) return i;
      for (int i = mid + 1; i < gfFileCount && gfCompareName(name, &gfFiles[i]) == 0; i++)
        if (gfFiles[i].name == name) return i;
      return -1;
    }
  }
  return -1;
}

// Before a removal: each holder notes its record's name block (which stays put while the
// records move); the removed record's holders and those naming no record get -1.
void noteHolders(long leaving) {
  for (t_gfIndexHolder* h = gfHolders; h; h = h->next) {
    long i = *h->index;
    h->name = i >= 0 && i < gfFileCount && i != leaving ? gfFiles[i].name : nullptr;
    if (!h->name) *h->index = -1;
  }
}

void renumberHolders() {
  for (t_gfIndexHolder* h = gfHolders; h; h = h->next)
    if (h->name) *h->index = positionOf(h->name);
}

}  // namespace

bool gfTableOpen(int capacity) {
  if (capacity < 1) capacity = 1;
  gfFiles = ENGINE_NEW_ARRAY(t_gfFileInfo, (size_t)capacity);
  gfFileCapacity = gfFiles ? capacity : 0;
  gfFileCount = gfSortedCount = 0;
  gfBuilding = true;
  return gfFiles != nullptr;
}

void gfTableClose() {
  for (t_gfIndexHolder* h = gfHolders; h; h = h->next) {
    *h->index = -1;
    h->listed = false;
  }
  gfHolders = nullptr;
  for (int i = 0; i < gfFileCount; i++) {
    ENGINE_DELETE(gfFiles[i].name);
    ENGINE_DELETE(gfFiles[i].cacheData);
  }
  ENGINE_DELETE(gfFiles);
  gfFiles = nullptr;
  gfFileCount = gfSortedCount = gfFileCapacity = 0;
}

bool gfTablePresent() { return gfFiles != nullptr; }

t_gfFileInfo* gfRecordAt(long index) {
  if (!gfFiles || index < 0 || index >= gfFileCount) return nullptr;
  return &gfFiles[index];
}

long gfTableCount() { return gfFiles ? gfFileCount : 0; }

const t_gfFileInfo* gfTableRecord(long index) { return gfRecordAt(index); }

int gfTableSortedCount() { return gfSortedCount; }

long gfTableAppend(const t_gfFileInfo& record) {
  if (!gfFiles || !grow()) return -1;
  long i = gfFileCount++;
  gfFiles[i] = record;
  if (!gfBuilding) gfIndexAppended(gfFiles, (int)i);
  return i;
}

void gfTableSortUnique() {
  sortTable();
  removeDuplicates();
  gfSortedCount = gfFileCount;
  gfBuilding = false;
}

void gfTableRemove(long index) {
  if (!gfRecordAt(index)) return;
  noteHolders(index);
  ENGINE_DELETE(gfFiles[index].name);
  gfFileCount--;
  gfFiles[index] = gfFiles[gfFileCount];
  std::qsort(gfFiles, (size_t)gfFileCount, sizeof(t_gfFileInfo), compareRecords);
  gfSortedCount = gfFileCount;
  gfClearAppended();
  renumberHolders();
  gfRenumberings++;
}

unsigned long gfTableRenumberings() { return gfRenumberings; }

void gfTableSetSize(long index, long long size) {
  t_gfFileInfo* r = gfRecordAt(index);
  if (!r) return;
  if (r->size != size && gfResizeHook) gfResizeHook(index, size);
  r = gfRecordAt(index);
  if (r) r->size = size;
}

void gfTableOnResize(void (*hook)(long index, long long size)) { gfResizeHook = hook; }

void gfTableHold(t_gfIndexHolder* holder, long* index) {
  *holder = {index, nullptr, nullptr, gfHolders, true};
  if (gfHolders) gfHolders->prev = holder;
  gfHolders = holder;
}

void gfTableLetGo(t_gfIndexHolder* holder) {
  if (!holder->listed) return;
  if (holder->prev) holder->prev->next = holder->next;
  else gfHolders = holder->next;
  if (holder->next) holder->next->prev = holder->prev;
  holder->listed = false;
}

bool gfWantsWavHeader(const t_gfFileInfo* record) {
  return std::strstr(record->name, ".WAV") != nullptr;
}

void gfReadWavHeader(t_gfFileInfo* record, PlatHandle h, long offset) {
  platReadAt(h, offset, record->wavHeader, kWavHeaderSize);
}

char* gfNewRecordName(const char* spelling) {
  size_t n = std::strlen(spelling);
  char* block = static_cast<char*>(ENGINE_NEW(2 * (n + 1)));
  if (!block) return nullptr;
  std::memcpy(block, spelling, n + 1);
  gfUpperCase(block);
  std::memcpy(block + n + 1, spelling, n + 1);
  return block;
}

const char* gfDiskName(const t_gfFileInfo* record) {
  return record->name + std::strlen(record->name) + 1;
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

namespace {

long lookUp(const char* key) {
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
  return gfFindAppended(gfFiles, gfSortedCount, gfFileCount, key);
}

}  // namespace

// Callers may write '/' for a backslash, as the build list does. A name with a '/' that
// the table holds as it stands (stored so by another program) is still found under it.
long gfFetch(const char* name) {
  if (!name || !gfFiles) return -1;
  char key[GF_PATH_MAX + 1];
  if (!gfNormalName(key, name)) return -1;
  gfUpperCase(key);
  long i = lookUp(key);
  if (i >= 0 || !std::strchr(name, '/')) return i;
  std::memcpy(key, name, std::strlen(name) + 1);
  gfUpperCase(key);
  return lookUp(key);
}

t_gfFileInfo* gfGetFileInfo(const char* name) {
  long i = gfFetch(name);
  return i < 0 ? nullptr : &gfFiles[i];
}
