// The builder's collection: one small record per file found and its names packed in large
// blocks, so that a tree of many files costs little more than the names themselves.
#include <algorithm>
#include <cstring>

#include "engine/gf/gf_internal.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr std::uint32_t kTextBlock = 64 * 1024;  // no text is longer than a host path
constexpr int kRecordPage = 4096;

// Grows a table of block pointers to hold at least one more; false when memory fails.
template <typename T>
bool roomForOne(T*** blocks, int count, int* capacity) {
  if (count < *capacity) return true;
  int grown = *capacity ? *capacity * 2 : 16;
  auto* bigger = ENGINE_NEW_ARRAY(T*, (size_t)grown);
  if (!bigger) return false;
  if (count) std::memcpy(bigger, *blocks, sizeof(T*) * (size_t)count);
  ENGINE_DELETE(*blocks);
  *blocks = bigger;
  *capacity = grown;
  return true;
}

char* textAt(const t_gfBuildList* list, std::uint32_t at) {
  return list->text[at / kTextBlock] + at % kTextBlock;
}

int upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// The table order on the stored names (compared upper-cased), then the later copy first,
// then the order found, which makes the order total.
bool before(const t_gfBuildList* list, std::uint32_t a, std::uint32_t b) {
  const t_gfBuildFile* x = gfBuildFileNumber(list, a);
  const t_gfBuildFile* y = gfBuildFileNumber(list, b);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(textAt(list, x->name));
  const unsigned char* q = reinterpret_cast<const unsigned char*>(textAt(list, y->name));
  for (; *p && upper(*p) == upper(*q); p++, q++) {
  }
  if (upper(*p) != upper(*q)) return upper(*p) < upper(*q);
  int byTime = platCompareDosTime(x->date, x->time, y->date, y->time);
  if (byTime != 0) return byTime > 0;
  return a < b;
}

}  // namespace

std::uint32_t gfBuildAddText(t_gfBuildList* list, const char* text) {
  std::uint32_t n = (std::uint32_t)std::strlen(text) + 1;
  if (n > kTextBlock) return GF_NO_TEXT;
  if (list->textBlocks == 0 || list->textUsed + n > kTextBlock) {
    if (!roomForOne(&list->text, list->textBlocks, &list->textCapacity)) return GF_NO_TEXT;
    char* block = static_cast<char*>(ENGINE_NEW(kTextBlock));
    if (!block) return GF_NO_TEXT;
    list->text[list->textBlocks++] = block;
    list->textUsed = 0;
  }
  std::uint32_t at = (std::uint32_t)(list->textBlocks - 1) * kTextBlock + list->textUsed;
  std::memcpy(textAt(list, at), text, n);
  list->textUsed += n;
  return at;
}

const char* gfBuildText(const t_gfBuildList* list, std::uint32_t at) { return textAt(list, at); }

t_gfBuildFile* gfBuildAddFile(t_gfBuildList* list) {
  if (list->count % kRecordPage == 0) {
    int page = list->count / kRecordPage;
    if (!roomForOne(&list->pages, page, &list->pageCapacity)) return nullptr;
    list->pages[page] = ENGINE_NEW_ARRAY(t_gfBuildFile, kRecordPage);
    if (!list->pages[page]) return nullptr;
  }
  t_gfBuildFile* f = &list->pages[list->count / kRecordPage][list->count % kRecordPage];
  list->count++;
  return f;
}

t_gfBuildFile* gfBuildFileNumber(const t_gfBuildList* list, std::uint32_t number) {
  return &list->pages[number / kRecordPage][number % kRecordPage];
}

bool gfBuildSort(t_gfBuildList* list) {
  list->order = ENGINE_NEW_ARRAY(std::uint32_t, list->count > 0 ? (size_t)list->count : 1);
  if (!list->order) return false;
  for (int i = 0; i < list->count; i++) list->order[i] = (std::uint32_t)i;
  std::sort(list->order, list->order + list->count,
            [list](std::uint32_t a, std::uint32_t b) { return before(list, a, b); });
  return true;
}

void gfBuildFree(t_gfBuildList* list) {
  for (int i = 0; i < list->textBlocks; i++) ENGINE_DELETE(list->text[i]);
  for (int i = 0; i * kRecordPage < list->count; i++) ENGINE_DELETE(list->pages[i]);
  ENGINE_DELETE(list->text);
  ENGINE_DELETE(list->pages);
  ENGINE_DELETE(list->order);
  *list = t_gfBuildList{};
}

bool gfBuildSourcePath(const t_gfBuildList* list, const t_gfBuildFile* f, char* out, size_t size) {
  const char* dir = textAt(list, f->hostDir);
  const char* leaf = textAt(list, f->name) + f->leaf;
  size_t d = std::strlen(dir), l = std::strlen(leaf);
  if (d + l + 1 > size) return false;
  std::memcpy(out, dir, d);
  std::memcpy(out + d, leaf, l + 1);
  return true;
}

void gfBuildStoredName(const t_gfBuildList* list, const t_gfBuildFile* f, char* out) {
  std::strcpy(out, textAt(list, f->name));  // the collection checked the length
  gfUpperCase(out);
}
