// The file names of the root's group files read at start-up, kept so that a tool can tell
// which group file holds a record's data; and the table by position for such tools.
#include "engine/gf/gf_internal.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

struct t_gfGroupName {
  HANDLE group;
  char* name;  // as the directory search found it in the root
  t_gfGroupName* next;
};

t_gfGroupName* groupNames = nullptr;

}  // namespace

void gfNoteGroupName(HANDLE group, const char* name) {
  auto* g = static_cast<t_gfGroupName*>(ENGINE_NEW(sizeof(t_gfGroupName)));
  char* copy = ENGINE_STRDUP(name);
  if (!g || !copy) {  // the group still serves its files; a tool sees no name for it
    ENGINE_DELETE(g);
    ENGINE_DELETE(copy);
    return;
  }
  *g = {group, copy, groupNames};
  groupNames = g;
}

void gfForgetGroupNames() {
  while (groupNames) {
    t_gfGroupName* g = groupNames;
    groupNames = g->next;
    ENGINE_DELETE(g->name);
    ENGINE_DELETE(g);
  }
}

long gfTableCount() { return gfFiles ? gfFileCount : 0; }

const t_gfFileInfo* gfTableRecord(long index) {
  if (!gfFiles || index < 0 || index >= gfFileCount) return nullptr;
  return &gfFiles[index];
}

const char* gfRecordGroupName(long index) {
  const t_gfFileInfo* r = gfTableRecord(index);
  if (!r || !r->inGroup) return nullptr;
  for (t_gfGroupName* g = groupNames; g; g = g->next)
    if (g->group == r->handle) return g->name;
  return nullptr;
}
