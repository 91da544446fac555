// The group writer's entries: one small record per file and its names packed in large
// blocks, so that a tree of many files costs little more than the names themselves.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/gf/pack/write_list.h"

#include "engine/gf/base/names.h"
#include "engine/platform/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

constexpr std::uint32_t kTextBlock = 64 * 1024;  // no text is longer than a host path
constexpr int kRecordPage = 4096;

char* textAt(const t_gfWriteList* list, std::uint32_t at) {
  return list->text[at / kTextBlock] + at % kTextBlock;
}

// The stored names of two records compared upper-cased, by unsigned bytes.
int compareNames(const t_gfWriteList* list, std::uint32_t a, std::uint32_t b) {
  return asciiCompareAnyCase(textAt(list, gfWriteEntryNumber(list, a)->name),
                             textAt(list, gfWriteEntryNumber(list, b)->name));
}

// The table order on the stored names (compared upper-cased), then the later copy first,
// then the order found, which makes the order total.
bool before(const t_gfWriteList* list, std::uint32_t a, std::uint32_t b) {
  const t_gfWriteEntry* x = gfWriteEntryNumber(list, a);
  const t_gfWriteEntry* y = gfWriteEntryNumber(list, b);
  if (int byName = compareNames(list, a, b)) return byName < 0;
  int byTime = platCompareDosTime(x->date, x->time, y->date, y->time);
  if (byTime != 0) return byTime > 0;
  return a < b;
}

// The stored names of the records from first on, upper-cased once and laid one after the
// other, so that a sort compares them with strcmp instead of folding every byte of every
// comparison: the names of a deep tree share long prefixes, and the folding was a tenth of
// a pack of a game's data.
struct t_gfFolded {
  char* text = nullptr;
  std::uint32_t* at = nullptr;  // where the name of record first + i begins
  int first = 0;
  const char* name(std::uint32_t record) const { return text + at[record - (std::uint32_t)first]; }
};

// False when memory fails (nothing is held then).
bool foldNames(const t_gfWriteList* list, int first, t_gfFolded* out) {
  int n = list->count - first;
  size_t bytes = 0;
  for (int i = first; i < list->count; i++)
    bytes += std::strlen(textAt(list, gfWriteEntryNumber(list, (std::uint32_t)i)->name)) + 1;
  out->first = first;
  out->at = ENGINE_NEW_ARRAY(std::uint32_t, n > 0 ? (size_t)n : 1);
  out->text = static_cast<char*>(ENGINE_NEW(bytes > 0 ? bytes : 1));
  if (!out->at || !out->text || bytes > 0xFFFFFFFFu) {
    ENGINE_DELETE(out->at);
    ENGINE_DELETE(out->text);
    *out = t_gfFolded{};
    return false;
  }
  std::uint32_t used = 0;
  for (int i = first; i < list->count; i++) {
    const char* name = textAt(list, gfWriteEntryNumber(list, (std::uint32_t)i)->name);
    out->at[i - first] = used;
    char* to = out->text + used;
    for (; *name; name++) *to++ = (char)asciiUpper((unsigned char)*name);
    *to = 0;
    used = (std::uint32_t)(to - out->text) + 1;
  }
  return true;
}

void freeFolded(t_gfFolded* folded) {
  ENGINE_DELETE(folded->at);
  ENGINE_DELETE(folded->text);
}

// before, on folded names.
bool beforeFolded(const t_gfWriteList* list, const t_gfFolded& folded, std::uint32_t a,
                  std::uint32_t b) {
  if (int byName = std::strcmp(folded.name(a), folded.name(b))) return byName < 0;
  const t_gfWriteEntry* x = gfWriteEntryNumber(list, a);
  const t_gfWriteEntry* y = gfWriteEntryNumber(list, b);
  int byTime = platCompareDosTime(x->date, x->time, y->date, y->time);
  if (byTime != 0) return byTime > 0;
  return a < b;
}

}  // namespace

std::uint32_t gfWriteAddText(t_gfWriteList* list, const char* text) {
  std::uint32_t n = (std::uint32_t)std::strlen(text) + 1;
  if (n > kTextBlock) return GF_NO_TEXT;
  if (list->text.count == 0 || list->textUsed + n > kTextBlock) {
    char* block = static_cast<char*>(ENGINE_NEW(kTextBlock));
    if (!block) return GF_NO_TEXT;
    if (!list->text.push(block, ENGINE_HERE)) {
      ENGINE_DELETE(block);
      return GF_NO_TEXT;
    }
    list->textUsed = 0;
  }
  std::uint32_t at = (list->text.count - 1) * kTextBlock + list->textUsed;
  std::memcpy(textAt(list, at), text, n);
  list->textUsed += n;
  return at;
}

const char* gfWriteText(const t_gfWriteList* list, std::uint32_t at) { return textAt(list, at); }

t_gfWriteEntry* gfWriteAddEntry(t_gfWriteList* list) {
  if (list->count % kRecordPage == 0) {
    t_gfWriteEntry* page = ENGINE_NEW_ARRAY(t_gfWriteEntry, kRecordPage);
    if (!page) return nullptr;
    if (!list->pages.push(page, ENGINE_HERE)) {
      ENGINE_DELETE(page);
      return nullptr;
    }
  }
  t_gfWriteEntry* f = &list->pages[list->count / kRecordPage][list->count % kRecordPage];
  *f = t_gfWriteEntry{};  // a place a dropped record left holds its fields still
  list->count++;
  list->orderedCount = -1;  // a kept order no longer holds every record
  return f;
}

t_gfWriteEntry* gfWriteAddHostFile(t_gfWriteList* list, const char* name, size_t leaf,
                                   std::uint32_t hostDir) {
  std::uint32_t text = gfWriteAddText(list, name);
  t_gfWriteEntry* f = text == GF_NO_TEXT ? nullptr : gfWriteAddEntry(list);
  if (!f) return nullptr;
  f->name = text;
  f->hostDir = hostDir;
  f->leaf = (std::uint16_t)leaf;
  return f;
}

// The number of the source group open on handle, added when new; -1 when memory fails.
static int sourceNumber(t_gfWriteList* list, PlatHandle handle, const char* path) {
  for (int i = (int)list->sources.count - 1; i >= 0; i--)
    if (list->sources[i].handle == handle) return i;
  std::uint32_t text = gfWriteAddText(list, path);
  if (text == GF_NO_TEXT || !list->sources.push({handle, text}, ENGINE_HERE)) return -1;
  return (int)list->sources.count - 1;
}

t_gfWriteEntry* gfWriteAddRange(t_gfWriteList* list, const char* name, PlatHandle group,
                                const char* path, long from, long size) {
  int source = sourceNumber(list, group, path);
  std::uint32_t text = source < 0 ? GF_NO_TEXT : gfWriteAddText(list, name);
  t_gfWriteEntry* f = text == GF_NO_TEXT ? nullptr : gfWriteAddEntry(list);
  if (!f) return nullptr;
  f->name = text;
  f->hostDir = (std::uint32_t)source;
  f->inGroup = 1;
  f->from = (std::uint32_t)from;
  f->size = (std::uint32_t)size;
  return f;
}

t_gfWriteEntry* gfWriteEntryNumber(const t_gfWriteList* list, std::uint32_t number) {
  return &list->pages[number / kRecordPage][number % kRecordPage];
}

bool gfWriteSort(t_gfWriteList* list) {
  if (list->order && list->orderedCount == list->count) return true;
  ENGINE_DELETE(list->order);
  list->order = ENGINE_NEW_ARRAY(std::uint32_t, list->count > 0 ? (size_t)list->count : 1);
  if (!list->order) return false;
  for (int i = 0; i < list->count; i++) list->order[i] = (std::uint32_t)i;
  t_gfFolded folded;
  if (foldNames(list, 0, &folded))
    std::sort(list->order, list->order + list->count,
              [list, &folded](std::uint32_t a, std::uint32_t b) {
                return beforeFolded(list, folded, a, b);
              });
  else  // folding every comparison costs time, not memory
    std::sort(list->order, list->order + list->count,
              [list](std::uint32_t a, std::uint32_t b) { return before(list, a, b); });
  freeFolded(&folded);
  return true;
}

void gfWriteKeepOrder(t_gfWriteList* list, std::uint32_t* order) {
  ENGINE_DELETE(list->order);
  list->order = order;
  list->orderedCount = list->count;
}

bool gfWriteSameName(const t_gfWriteList* list, std::uint32_t a, std::uint32_t b) {
  return compareNames(list, a, b) == 0;
}

void gfWriteSortRange(const t_gfWriteList* list, int first, std::uint32_t* order) {
  for (int i = first; i < list->count; i++) order[i - first] = (std::uint32_t)i;
  // Ties in the order found, without a buffer.
  t_gfFolded folded;
  if (foldNames(list, first, &folded)) {
    std::sort(order, order + (list->count - first), [&folded](std::uint32_t a, std::uint32_t b) {
      int byName = std::strcmp(folded.name(a), folded.name(b));
      return byName ? byName < 0 : a < b;
    });
  } else {
    std::sort(order, order + (list->count - first), [list](std::uint32_t a, std::uint32_t b) {
      int byName = compareNames(list, a, b);
      return byName ? byName < 0 : a < b;
    });
  }
  freeFolded(&folded);
}

void gfWriteDropRecords(t_gfWriteList* list, int first, const bool* keep) {
  int kept = first;
  for (int i = first; i < list->count; i++)
    if (keep[i - first])
      *gfWriteEntryNumber(list, (std::uint32_t)kept++) =
          *gfWriteEntryNumber(list, (std::uint32_t)i);
  // Pages no record reaches any more go back, so that the next record added starts a page.
  std::uint32_t pagesAfter = (std::uint32_t)(kept + kRecordPage - 1) / kRecordPage;
  while (list->pages.count > pagesAfter) ENGINE_DELETE(list->pages[--list->pages.count]);
  list->count = kept;
  list->orderedCount = -1;
}

void gfWriteFree(t_gfWriteList* list) {
  for (std::uint32_t i = 0; i < list->text.count; i++) ENGINE_DELETE(list->text[i]);
  for (std::uint32_t i = 0; i < list->pages.count; i++) ENGINE_DELETE(list->pages[i]);
  list->text.release();
  list->pages.release();
  list->sources.release();
  ENGINE_DELETE(list->order);
  *list = t_gfWriteList{};
}

bool gfWriteSourcePath(const t_gfWriteList* list, const t_gfWriteEntry* f, char* out, size_t size) {
  if (f->inGroup) {
    int n = std::snprintf(out, size, "%s in %s", textAt(list, f->name),
                          textAt(list, list->sources[f->hostDir].path));
    return n >= 0 && (size_t)n < size;
  }
  const char* dir = textAt(list, f->hostDir);
  const char* leaf = textAt(list, f->name) + f->leaf;
  size_t d = std::strlen(dir), l = std::strlen(leaf);
  if (d + l + 1 > size) return false;
  std::memcpy(out, dir, d);
  std::memcpy(out + d, leaf, l + 1);
  return true;
}

void gfWriteStoredName(const t_gfWriteList* list, const t_gfWriteEntry* f, char* out) {
  std::strcpy(out, textAt(list, f->name));  // the collection checked the length
  gfUpperCase(out);
}
