// A group file's directory for tools: opening a group with its directory (saying why not),
// the one directory reader's entries handed out one by one, and the check of stored names.
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"

PlatHandle gfOpenGroup(const char* path, t_gfDirectory* directory, t_gfReport sink) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportf(sink, "cannot open group file '%s': %s", path, platLastError());
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
  if (status == GF_DIR_NOT_GROUP)
    gfReportf(sink, "'%s' is not a group file", path);
  else if (status == GF_DIR_DAMAGED)
    gfReportf(sink, "group file '%s' is damaged: %s", path, directory->problem);
  else if (status == GF_DIR_NO_MEMORY)
    gfReportf(sink, "not enough memory for the directory of '%s'", path);
  else
    gfReportf(sink, "cannot read group file '%s': %s", path, platLastError());
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
