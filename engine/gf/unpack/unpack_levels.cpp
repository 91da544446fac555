// The unpacker's directory levels: the levels of the previous entry held open, each entered
// through its parent's handle and made where missing, never through a link.
#include <cstdio>
#include <cstring>

#include "engine/gf/unpack/unpack_levels.h"

#include "engine/gf/base/names.h"

void gfDropLevels(t_gfLevels* levels, int keep) {
  while (levels->depth > keep) {
    gfReleaseListing(levels->listings[levels->depth]);
    levels->listings[levels->depth] = nullptr;
    platClose(levels->dirs[--levels->depth]);
  }
  levels->made[keep ? levels->ends[keep - 1] : 0] = 0;
}

t_gfListing* gfSharedListing(t_gfLevels* levels) {
  int depth = levels->depth;
  if (depth > 0 && levels->fresh[depth - 1]) return nullptr;
  if (!levels->listings[depth])
    levels->listings[depth] = gfReadListing(depth ? levels->dirs[depth - 1] : levels->top);
  t_gfListing* l = levels->listings[depth];
  if (l) ++l->users;
  return l;
}

int gfSharedLevels(const t_gfLevels* levels, const char* name, size_t length) {
  int keep = 0;
  while (keep < levels->depth) {
    size_t end = levels->ends[keep];
    if (end > length || name[end] != '\\' || std::memcmp(levels->made, name, end) != 0) break;
    keep++;
  }
  return keep;
}

namespace {

// Notes why the level ending at next could not be entered.
void noteLevelFailure(t_gfTask* task, const char* name, size_t next, bool isLink) {
  char levels[GF_NAME_MAX + 1], shown[GF_NAME_MAX + 1];
  std::snprintf(levels, sizeof levels, "%.*s", (int)(isLink ? next : std::strlen(name)), name);
  gfShownPath(levels, shown, sizeof shown);
  if (isLink)
    gfNoteTaskMessage(task, "refusing to unpack '%s': '%s' is a symbolic link", name, shown);
  else
    gfNoteTaskMessage(task, "cannot create '%s': %s", shown, platLastError());
}

}  // namespace

PlatHandle gfEnterLevels(t_gfLevels* levels, const char* name, t_gfTask* task) {
  const char* last = std::strrchr(name, '\\');
  size_t length = last ? (size_t)(last - name) : 0;
  gfDropLevels(levels, gfSharedLevels(levels, name, length));
  size_t pos = levels->depth ? levels->ends[levels->depth - 1] + 1 : 0;
  while (pos < length) {
    size_t next = pos;
    while (next < length && name[next] != '\\') next++;
    char level[GF_NAME_MAX + 1];
    std::memcpy(level, name + pos, next - pos);
    level[next - pos] = 0;
    PlatHandle parent = levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
    int isLink = 0, made = 0;
    PlatHandle h = levels->depth < kMaxLevels ? platOpenLevelNoting(parent, level, &isLink, &made)
                                              : INVALID_HANDLE;
    if (h == INVALID_HANDLE) {
      noteLevelFailure(task, name, next, isLink != 0);
      return INVALID_HANDLE;
    }
    levels->fresh[levels->depth] = made != 0;
    levels->dirs[levels->depth] = h;
    levels->ends[levels->depth++] = next;
    std::memcpy(levels->made, name, next);
    levels->made[next] = 0;
    pos = next + 1;
  }
  return levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
}
