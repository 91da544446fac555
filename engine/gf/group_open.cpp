// A group file's directory for tools: opening a group with its directory (saying why not),
// the one directory reader's entries handed out one by one, and the check of stored names.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"

namespace {

// The group's path as the host spells it, for messages.
struct t_shownPath {
  char text[PLAT_PATH_MAX];
  explicit t_shownPath(const char* path) {
    gfShownPath(path, text, sizeof text);
  }
};

// Whether the header was sound and the failure lies in the entries: then the directory did
// not unscramble into entries that fit, which is what any change of the file's length
// does to it (the key stream is seeded from the length).
bool entriesDoNotDecode(t_gfDirStatus status, const t_gfDirectory* directory) {
  return status == GF_DIR_DAMAGED && directory->entryCount > 0 && directory->dirSize > 0;
}

}  // namespace

void gfReportOpenFailure(const char* path, t_gfReport sink) {
  const char* reason = platLastError();
  gfReportf(sink, "cannot open group file '%s': %s", t_shownPath(path).text, reason);
}

PlatHandle gfOpenGroup(const char* path, t_gfDirectory* directory, t_gfReport sink) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportOpenFailure(path, sink);
    return INVALID_HANDLE;
  }
  t_gfDirStatus status = gfLoadDirectory(group, directory);
  if (status == GF_DIR_OK) return group;
  gfReportDirectoryFailure(path, status, directory, sink);
  platClose(group);
  return INVALID_HANDLE;
}

void gfReportDirectoryFailure(const char* path, t_gfDirStatus status,
                              const t_gfDirectory* directory, t_gfReport sink) {
  const char* reason = platLastError();
  t_shownPath host(path);
  const char* shown = host.text;
  if (status == GF_DIR_NOT_GROUP)
    gfReportf(sink, "'%s' is not a group file", shown);
  else if (entriesDoNotDecode(status, directory))
    gfReportf(sink,
              "group file '%s' is damaged: its directory does not decode with the file's "
              "length of %lld bytes; the file was probably cut short or appended to, or is "
              "not a group file (%s)",
              shown, directory->fileLength, directory->problem);
  else if (status == GF_DIR_DAMAGED)
    gfReportf(sink, "group file '%s' is damaged: %s", shown, directory->problem);
  else if (status == GF_DIR_NO_MEMORY)
    gfReportf(sink, "not enough memory for the directory of '%s'", shown);
  else
    gfReportf(sink, "cannot read group file '%s': %s", shown, reason);
}

int gfReadGroupDirectory(const char* path, t_gfGroupSummary* summary, t_gfEntryVisitor visit,
                         void* context, t_gfReport sink) {
  t_gfDirectory directory;
  PlatHandle group = gfOpenGroup(path, &directory, sink);
  if (group == INVALID_HANDLE) return 1;
  if (summary) *summary = {directory.entryCount, directory.dirSize, directory.fileLength};
  long cursor = 0;
  t_gfDirEntry entry;
  t_gfGroupEntry out;
  while (visit && gfNextDirEntry(&directory, &cursor, &entry)) {
    std::memcpy(out.name, entry.name, sizeof out.name);
    out.offset = entry.dataOffset;
    out.size = entry.dataSize;
    out.date = entry.date;
    out.time = entry.time;
    if (!visit(&out, context)) break;
  }
  gfFreeDirectory(&directory);
  platClose(group);
  return 0;
}

const char* gfUnsafeName(const char* name) { return name ? gfUnsafeNameReason(name) : nullptr; }
