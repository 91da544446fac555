// A group file's directory for tools: opening a group with its directory (saying why not),
// the one directory reader's entries handed out one by one, one entry found by the
// manager's rules and its bytes copied out, and the check of stored names.
#include <cstdio>
#include <cstring>

#include "engine/gf/base/group_open.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/names.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

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

void toGroupEntry(const t_gfDirEntry& entry, t_gfGroupEntry* out) {
  std::memcpy(out->name, entry.name, sizeof out->name);
  out->offset = entry.dataOffset;
  out->size = entry.dataSize;
  out->date = entry.date;
  out->time = entry.time;
}

// The copy of key (upper case) that the table would keep: of equal names the later date,
// and of equal dates the first in directory order, which the table's stable sort keeps.
bool findCopy(const t_gfDirectory* directory, const char* key, t_gfGroupEntry* out) {
  bool found = false;
  t_gfDirEntry entry, best{};
  char stored[GF_NAME_MAX + 1];
  for (long cursor = 0; gfNextDirEntry(directory, &cursor, &entry);) {
    std::memcpy(stored, entry.name, sizeof stored);
    gfUpperCase(stored);
    if (std::strcmp(stored, key) != 0) continue;
    if (!found || platCompareDosTime(entry.date, entry.time, best.date, best.time) > 0)
      best = entry;
    found = true;
  }
  if (found) toGroupEntry(best, out);
  return found;
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

unsigned gfReadBuildFlag(PlatHandle group) {
  unsigned char bytes[4];
  if (platReadAt(group, 4, bytes, 4) != 4) return 1;
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (unsigned)bytes[3] << 24;
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
    toGroupEntry(entry, &out);
    if (!visit(&out, context)) break;
  }
  gfFreeDirectory(&directory);
  platClose(group);
  return 0;
}

const char* gfUnsafeName(const char* name) { return name ? gfUnsafeNameReason(name) : nullptr; }

const char* gfNotPortableName(const char* name) {
  if (!name || gfEscapingNameReason(name)) return nullptr;
  if (const char* why = gfUnsafeNameReasonFor(name, true)) return why;
  // The format stores bytes, not characters: a Linux name is UTF-8 and a Windows one in
  // its ANSI code page, so CAF\xC3\xA9 from Linux unpacks on Windows as CAF\xC3\xA9 in
  // code page 1252 (CAFÃ©), and CAF\xE9 from Windows is no UTF-8 at all on Linux.
  for (const char* c = name; *c; c++)
    if ((unsigned char)*c >= 0x80)
      return "the name has bytes outside ASCII, which the hosts read in different encodings "
             "(UTF-8 on Linux, the ANSI code page on Windows)";
  return nullptr;
}

int gfStoredForm(const char* name, char* out) {
  if (!gfNormalName(out, name)) {
    out[0] = 0;
    return 0;
  }
  gfUpperCase(out);
  return 1;
}

// As gfFetch: the name with '/' as '\\' first, and only when that finds nothing the name as
// it stands, for a group another program stored a '/' in.
int gfFindGroupEntry(const char* path, const char* name, t_gfGroupEntry* entry,
                     t_gfReport report) {
  t_gfDirectory directory;
  PlatHandle group = gfOpenGroup(path, &directory, report);
  if (group == INVALID_HANDLE) return 1;
  char key[GF_PATH_MAX + 1];
  bool fits = gfStoredForm(name, key);
  bool found = fits && findCopy(&directory, key, entry);
  if (!found && fits && std::strchr(name, '/')) {
    std::memcpy(key, name, std::strlen(name) + 1);
    gfUpperCase(key);
    found = findCopy(&directory, key, entry);
  }
  gfFreeDirectory(&directory);
  platClose(group);
  return found ? 0 : 2;
}

namespace {

// Reads the entry's bytes piece by piece into sink; 0, 1 after reporting, or 2.
int copyPieces(const char* path, PlatHandle group, const t_gfGroupEntry* entry,
               t_gfByteSink sink, void* context, t_gfReport report) {
  constexpr long kPiece = 1 << 20;
  auto* piece = static_cast<unsigned char*>(ENGINE_NEW(kPiece));
  if (!piece) {
    gfReportf(report, "not enough memory to copy '%s'", entry->name);
    return 1;
  }
  int status = 0;
  for (long done = 0; status == 0 && done < entry->size;) {
    long want = entry->size - done < kPiece ? entry->size - done : kPiece;
    long long got = platReadAt(group, (long long)entry->offset + done, piece, (size_t)want);
    if (got <= 0) {
      gfReportf(report, "cannot read '%s' from group file '%s': %s", entry->name,
                t_shownPath(path).text, got < 0 ? platLastError() : "the file ended early");
      status = 1;
    } else if (!sink(piece, (long)got, context)) {
      status = 2;
    }
    done += (long)got;
  }
  ENGINE_DELETE(piece);
  return status;
}

}  // namespace

int gfCopyGroupEntry(const char* path, const t_gfGroupEntry* entry, t_gfByteSink sink,
                     void* context, t_gfReport report) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportOpenFailure(path, report);
    return 1;
  }
  int status = copyPieces(path, group, entry, sink, context, report);
  platClose(group);
  return status;
}
