// The unpacker: recreates every file stored in a group file below the current directory.
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"

namespace {

// Creates the directory levels of name (everything before its last backslash), one level
// per call. made holds the levels made for the previous entry: a level of name that is also
// a whole level of made exists already and is not created again.
void makeLevels(const char* name, char* made) {
  const char* last = std::strrchr(name, '\\');
  if (!last) return;
  size_t length = (size_t)(last - name), madeLength = std::strlen(made);
  char path[GF_NAME_MAX + 1];
  for (size_t i = 1; i <= length; i++) {
    if (i < length && name[i] != '\\') continue;
    // 'A' is no level of 'AB': the shared bytes must end where a level of made ends.
    if (i <= madeLength && std::memcmp(made, name, i) == 0 && (made[i] == 0 || made[i] == '\\'))
      continue;
    std::memcpy(path, name, i);
    path[i] = 0;
    platMakeDir(path);  // a level that exists already, or cannot be made, is not fatal
  }
  std::memcpy(made, name, length);
  made[length] = 0;
}

// Writes one entry's file; 0 on success.
int unpackEntry(HANDLE group, const t_gfDirEntry* e, char* made, t_gfReport sink) {
  const char* why = gfUnsafeNameReason(e->name);
  if (why) {
    gfReportf(sink, "refusing to unpack '%s': %s", e->name, why);
    return 1;
  }
  makeLevels(e->name, made);
  HANDLE out = platCreateFile(e->name);
  if (out == INVALID_HANDLE) {
    gfReportf(sink, "cannot create '%s': %s", e->name, platLastError());
    return 1;
  }
  long long copied = platCopyRange(group, e->dataOffset, out, 0, e->dataSize);
  int failed = copied != e->dataSize;
  if (failed) {
    gfReportf(sink, "cannot write '%s': %s", e->name,
              copied < 0 ? platLastError() : "the group file ended early");
  }
  platClose(out);
  return failed;
}

}  // namespace

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  HANDLE group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportf(sink, "cannot open group file '%s': %s", path, platLastError());
    return 1;
  }
  t_gfDirectory directory;
  t_gfDirStatus status = gfLoadDirectory(group, &directory);
  if (status != GF_DIR_OK) {
    if (status == GF_DIR_NOT_GROUP)
      gfReportf(sink, "'%s' is not a group file", path);
    else if (status == GF_DIR_DAMAGED)
      gfReportf(sink, "group file '%s' is damaged: %s", path, directory.problem);
    else if (status == GF_DIR_NO_MEMORY)
      gfReportf(sink, "not enough memory for the directory of '%s'", path);
    else
      gfReportf(sink, "cannot read group file '%s': %s", path, platLastError());
    platClose(group);
    return 1;
  }
  int failures = 0;
  char made[GF_NAME_MAX + 1] = "";
  long cursor = 0;
  t_gfDirEntry entry;
  while (gfNextDirEntry(&directory, &cursor, &entry))
    if (!select || select(entry.name, context)) failures += unpackEntry(group, &entry, made, sink);
  gfFreeDirectory(&directory);
  platClose(group);
  return failures ? 1 : 0;
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return gfUnpackSelected(path, nullptr, nullptr, sink);
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
