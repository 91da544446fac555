// The root's group files read at start-up: their shared handles and their file names, in
// one list, so that a tool can tell which group file holds a record's data.
#include "engine/gf/manager/groups.h"

#include "engine/gf/manager/table.h"
#include "tarnpak/gf.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

struct t_gfGroup {
  PlatHandle handle;
  char* name;  // as the directory search found it in the root; null when memory failed
  t_gfGroup* next;
};

t_gfGroup* groups = nullptr;

}  // namespace

bool gfAddGroup(PlatHandle group) {
  auto* g = static_cast<t_gfGroup*>(ENGINE_NEW(sizeof(t_gfGroup)));
  if (!g) return false;
  *g = {group, nullptr, groups};
  groups = g;
  return true;
}

// Without memory for the name the group still serves its files; a tool sees no name for it.
void gfNoteGroupName(PlatHandle group, const char* name) {
  for (t_gfGroup* g = groups; g; g = g->next)
    if (g->handle == group && !g->name) g->name = ENGINE_STRDUP(name);
}

bool gfIsGroupHandle(PlatHandle h) {
  for (t_gfGroup* g = groups; g; g = g->next)
    if (g->handle == h) return true;
  return false;
}

void gfCloseGroups() {
  while (groups) {
    t_gfGroup* g = groups;
    groups = g->next;
    platClose(g->handle);
    ENGINE_DELETE(g->name);
    ENGINE_DELETE(g);
  }
}

const char* gfRecordGroupName(long index) {
  const t_gfFileInfo* r = gfRecordAt(index);
  if (!r || !r->inGroup) return nullptr;
  for (t_gfGroup* g = groups; g; g = g->next)
    if (g->handle == r->handle) return g->name;
  return nullptr;
}
