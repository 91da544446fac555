// A hash index of the records appended behind the table's sorted part, so that lookups of
// inserted files, and the inserts themselves, stay constant-time however many there are.
#include <cstdint>
#include <cstring>

#include "engine/gf/manager/table.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

// Each value: the name's hash above the record's index + 1.
t_engineSet appended{};
bool complete = true;  // false once memory failed: lookups then walk the appended records

std::uint32_t hashName(const char* name) {
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (; *name; name++) h = (h ^ (unsigned char)*name) * 16777619u;
  return h;
}

}  // namespace

bool gfIndexAppended(const t_gfFileInfo* records, int index) {
  std::uint64_t hash = hashName(records[index].name);
  std::uint64_t value = hash << 32 | (std::uint32_t)(index + 1);
  complete = complete && appended.add(value, ENGINE_HERE);
  return complete;
}

int gfFindAppended(const t_gfFileInfo* records, int sorted, int count, const char* upperName) {
  if (!complete) {
    for (int i = sorted; i < count; i++)
      if (std::strcmp(upperName, records[i].name) == 0) return i;
    return -1;
  }
  std::uint64_t found = appended.find(hashName(upperName), [&](std::uint64_t value) {
    return std::strcmp(upperName, records[(std::uint32_t)value - 1].name) == 0;
  });
  return found ? (int)((std::uint32_t)found - 1) : -1;
}

void gfClearAppended() {
  appended.release();
  complete = true;
}
