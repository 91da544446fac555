// The unpacker: recreates every file stored in a group file below the current directory,
// entering each directory level through a held handle so that no link is ever followed.
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"

namespace {

constexpr int kMaxLevels = GF_NAME_MAX / 2 + 1;  // a level takes a byte and a backslash

// The directory levels of the previous entry, held open: the next entry in the same
// directory opens no level again, and each level is entered through its parent's handle,
// never by a path the host would resolve through links.
struct t_gfLevels {
  HANDLE top;               // the working directory
  HANDLE dirs[kMaxLevels];  // dirs[i]: level i + 1
  size_t ends[kMaxLevels];  // where level i + 1 ends in made
  int depth;
  char made[GF_NAME_MAX + 1];  // the stored-name prefix the held levels stand for
};

void dropLevels(t_gfLevels* levels, int keep) {
  while (levels->depth > keep) platClose(levels->dirs[--levels->depth]);
  levels->made[keep ? levels->ends[keep - 1] : 0] = 0;
}

// How many held levels the first length bytes of name share whole with the previous entry.
int sharedLevels(const t_gfLevels* levels, const char* name, size_t length) {
  int keep = 0;
  while (keep < levels->depth) {
    size_t end = levels->ends[keep];
    if (end > length || name[end] != '\\' || std::memcmp(levels->made, name, end) != 0) break;
    keep++;
  }
  return keep;
}

// Opens (making them where missing) the levels of name before its last backslash; returns
// the directory that receives the file, or INVALID_HANDLE after reporting why not.
HANDLE enterLevels(t_gfLevels* levels, const char* name, t_gfReport sink) {
  const char* last = std::strrchr(name, '\\');
  size_t length = last ? (size_t)(last - name) : 0;
  dropLevels(levels, sharedLevels(levels, name, length));
  size_t pos = levels->depth ? levels->ends[levels->depth - 1] + 1 : 0;
  while (pos < length) {
    size_t next = pos;
    while (next < length && name[next] != '\\') next++;
    char level[GF_NAME_MAX + 1];
    std::memcpy(level, name + pos, next - pos);
    level[next - pos] = 0;
    HANDLE parent = levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
    int isLink = 0;
    HANDLE h = levels->depth < kMaxLevels ? platOpenLevel(parent, level, &isLink) : INVALID_HANDLE;
    if (h == INVALID_HANDLE) {
      if (isLink)
        gfReportf(sink, "refusing to unpack '%s': '%.*s' is a symbolic link", name, (int)next,
                  name);
      else
        gfReportf(sink, "cannot create '%s': %s", name, platLastError());
      return INVALID_HANDLE;
    }
    levels->dirs[levels->depth] = h;
    levels->ends[levels->depth++] = next;
    std::memcpy(levels->made, name, next);
    levels->made[next] = 0;
    pos = next + 1;
  }
  return levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
}

// Writes one entry's file; 0 on success. A file that cannot be finished is removed.
int unpackEntry(HANDLE group, const t_gfDirEntry* e, t_gfLevels* levels, t_gfReport sink) {
  const char* why = gfUnsafeNameReason(e->name);
  if (why) {
    gfReportf(sink, "refusing to unpack '%s': %s", e->name, why);
    return 1;
  }
  HANDLE dir = enterLevels(levels, e->name, sink);
  if (dir == INVALID_HANDLE) return 1;
  const char* last = std::strrchr(e->name, '\\');
  const char* leaf = last ? last + 1 : e->name;
  HANDLE out = platCreateInDir(dir, leaf);
  if (out == INVALID_HANDLE) {
    gfReportf(sink, "cannot create '%s': %s", e->name, platLastError());
    return 1;
  }
  long long copied = platCopyRange(group, e->dataOffset, out, 0, e->dataSize);
  if (copied != e->dataSize) {
    gfReportf(sink, "cannot write '%s': %s", e->name,
              copied < 0 ? platLastError() : "the group file ended early");
    platClose(out);
    platRemoveInDir(dir, leaf);
    return 1;
  }
  if (platClose(out) != 0) {
    gfReportf(sink, "cannot write '%s': %s", e->name, platLastError());
    platRemoveInDir(dir, leaf);
    return 1;
  }
  return 0;
}

// Unpacks the entries select chooses (every entry when select is null).
int unpackAll(HANDLE group, const t_gfDirectory* directory, t_gfNameFilter select, void* context,
              t_gfReport sink) {
  t_gfLevels levels;
  levels.depth = 0;
  levels.made[0] = 0;
  levels.top = platOpenHostDir(".");
  if (levels.top == INVALID_HANDLE) {
    gfReportf(sink, "cannot open the working directory: %s", platLastError());
    return 1;
  }
  int failures = 0;
  long cursor = 0;
  t_gfDirEntry entry;
  while (gfNextDirEntry(directory, &cursor, &entry))
    if (!select || select(entry.name, context))
      failures += unpackEntry(group, &entry, &levels, sink);
  dropLevels(&levels, 0);
  platClose(levels.top);
  return failures ? 1 : 0;
}

}  // namespace

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  t_gfDirectory directory;
  HANDLE group = gfOpenGroup(path, &directory, sink);
  if (group == INVALID_HANDLE) return 1;
  int failed = unpackAll(group, &directory, select, context, sink);
  gfFreeDirectory(&directory);
  platClose(group);
  return failed;
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return gfUnpackSelected(path, nullptr, nullptr, sink);
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
