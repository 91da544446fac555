// The edits that keep the table in step with loose files that appear or go while the
// manager runs.
#include "engine/gf/gf_internal.h"

int gfInsertFile(const char* name) { return gfInsertLoose(name); }

// The record's cached copy and loose handle go first, while its index still names it; the
// removal then renumbers every handle and cache node that refers to a record.
void gfDeleteFile(const char* name) {
  long i = gfFetch(name);
  t_gfFileInfo* r = gfRecordAt(i);
  if (!r) return;
  gfCacheForget(i);
  gfDetachHandle(gfRecordAt(i));
  gfTableRemove(i);
}
