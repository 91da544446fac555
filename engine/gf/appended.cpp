// A hash index of the records appended behind the table's sorted part, so that lookups of
// inserted files, and the inserts themselves, stay constant-time however many there are.
#include <cstdint>
#include <cstring>

#include "engine/gf/gf_internal.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

int* slots = nullptr;  // record indices, -1 for a free slot; slotCount is a power of two
int slotCount = 0;
int used = 0;
bool complete = true;  // false once memory failed: lookups then walk the appended records

std::uint32_t hashName(const char* name) {
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (; *name; name++) h = (h ^ (unsigned char)*name) * 16777619u;
  return h;
}

void place(const t_gfFileInfo* records, int* table, int count, int index) {
  std::uint32_t mask = (std::uint32_t)count - 1;
  std::uint32_t at = hashName(records[index].name) & mask;
  while (table[at] >= 0) at = (at + 1) & mask;
  table[at] = index;
}

bool grow(const t_gfFileInfo* records) {
  int count = slotCount ? slotCount * 2 : 64;
  int* table = static_cast<int*>(ENGINE_NEW(sizeof(int) * (size_t)count));
  if (!table) return false;
  std::memset(table, 0xFF, sizeof(int) * (size_t)count);
  for (int i = 0; i < slotCount; i++)
    if (slots[i] >= 0) place(records, table, count, slots[i]);
  ENGINE_DELETE(slots);
  slots = table;
  slotCount = count;
  return true;
}

}  // namespace

bool gfIndexAppended(const t_gfFileInfo* records, int index) {
  if (!complete) return false;
  if ((used + 1) * 2 > slotCount && !grow(records)) {
    complete = false;
    return false;
  }
  place(records, slots, slotCount, index);
  used++;
  return true;
}

int gfFindAppended(const t_gfFileInfo* records, int sorted, int count, const char* upperName) {
  if (!complete) {
    for (int i = sorted; i < count; i++)
      if (std::strcmp(upperName, records[i].name) == 0) return i;
    return -1;
  }
  if (used == 0) return -1;
  std::uint32_t mask = (std::uint32_t)slotCount - 1;
  for (std::uint32_t at = hashName(upperName) & mask; slots[at] >= 0; at = (at + 1) & mask)
    if (std::strcmp(upperName, records[slots[at]].name) == 0) return slots[at];
  return -1;
}

void gfClearAppended() {
  ENGINE_DELETE(slots);
  slots = nullptr;
  slotCount = used = 0;
  complete = true;
}
