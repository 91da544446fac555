// The unpacker: recreates every file stored in a group file below the current directory,
// entering each directory level through a held handle so that no link is ever followed.
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Small files are written from a window of the group read in one piece: one read serves
// dozens of files, and a plain write of a few KiB costs less than a kernel copy call.
// Larger files go through the host's copy, which moves them without passing through here.
constexpr long kWindowSize = 256 * 1024;
constexpr long kWindowedFileMax = 64 * 1024;

// The part of the group the window holds: length bytes from start.
struct t_gfWindow {
  unsigned char* bytes;  // kWindowSize bytes, or null when memory failed (all files copied)
  long long start;
  long long length;
};

constexpr int kMaxLevels = GF_NAME_MAX / 2 + 1;  // a level takes a byte and a backslash

// The directory levels of the previous entry, held open: the next entry in the same
// directory opens no level again, and each level is entered through its parent's handle,
// never by a path the host would resolve through links.
struct t_gfLevels {
  PlatHandle top;               // the working directory
  PlatHandle dirs[kMaxLevels];  // dirs[i]: level i + 1
  size_t ends[kMaxLevels];      // where level i + 1 ends in made
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
PlatHandle enterLevels(t_gfLevels* levels, const char* name, t_gfReport sink) {
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
    PlatHandle parent = levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
    int isLink = 0;
    PlatHandle h =
        levels->depth < kMaxLevels ? platOpenLevel(parent, level, &isLink) : INVALID_HANDLE;
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

// Writes an entry's data to out; the bytes written (fewer when the group ended early), or
// -1 after an error.
long long copyData(PlatHandle group, t_gfWindow* window, const t_gfDirEntry* e, PlatHandle out) {
  long long from = e->dataOffset, size = e->dataSize;
  if (!window->bytes || size > kWindowedFileMax) return platCopyRange(group, from, out, 0, size);
  if (from < window->start || from + size > window->start + window->length) {
    window->start = from;
    window->length = platReadAt(group, from, window->bytes, (size_t)kWindowSize);
    if (window->length < 0) {
      window->length = 0;
      return -1;
    }
  }
  long long have = window->start + window->length - from;
  long long count = have < size ? have : size;
  long long written = platWriteAt(out, 0, window->bytes + (from - window->start), (size_t)count);
  return written < 0 ? -1 : written;
}

// Writes one entry's file; 0 on success. A file that cannot be finished is removed.
int unpackEntry(PlatHandle group, const t_gfDirEntry* e, t_gfLevels* levels, t_gfWindow* window,
                t_gfReport sink) {
  const char* why = gfUnsafeNameReason(e->name);
  if (why) {
    gfReportf(sink, "refusing to unpack '%s': %s", e->name, why);
    return 1;
  }
  PlatHandle dir = enterLevels(levels, e->name, sink);
  if (dir == INVALID_HANDLE) return 1;
  const char* last = std::strrchr(e->name, '\\');
  const char* leaf = last ? last + 1 : e->name;
  PlatHandle out = platCreateInDir(dir, leaf);
  if (out == INVALID_HANDLE) {
    gfReportf(sink, "cannot create '%s': %s", e->name, platLastError());
    return 1;
  }
  long long copied = copyData(group, window, e, out);
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

// Goes through the whole directory once: a damaged group is refused before anything is
// written.
t_gfDirStatus checkDirectory(t_gfDirStream* stream) {
  t_gfDirEntry entry;
  t_gfDirStatus status;
  while (gfNextStreamEntry(stream, &entry, &status)) {
  }
  gfRewindDirStream(stream);
  return status;
}

// Unpacks the entries select chooses (every entry when select is null).
int unpackAll(const char* path, PlatHandle group, t_gfDirStream* stream, t_gfNameFilter select,
              void* context, t_gfReport sink) {
  t_gfLevels levels;
  levels.depth = 0;
  levels.made[0] = 0;
  levels.top = platOpenHostDir(".");
  if (levels.top == INVALID_HANDLE) {
    gfReportf(sink, "cannot open the working directory: %s", platLastError());
    return 1;
  }
  t_gfWindow window{static_cast<unsigned char*>(ENGINE_NEW(kWindowSize)), 0, 0};
  int failures = 0;
  t_gfDirEntry entry;
  t_gfDirStatus status;
  while (gfNextStreamEntry(stream, &entry, &status))
    if (!select || select(entry.name, context))
      failures += unpackEntry(group, &entry, &levels, &window, sink);
  if (status != GF_DIR_OK) {  // the group changed since the check
    gfReportDirectoryFailure(path, status, &stream->directory, sink);
    failures++;
  }
  ENGINE_DELETE(window.bytes);
  dropLevels(&levels, 0);
  platClose(levels.top);
  return failures ? 1 : 0;
}

}  // namespace

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportf(sink, "cannot open group file '%s': %s", path, platLastError());
    return 1;
  }
  t_gfDirStream stream;
  t_gfDirStatus status = gfOpenDirStream(group, &stream);
  if (status == GF_DIR_OK) {
    status = checkDirectory(&stream);
    if (status != GF_DIR_OK) gfCloseDirStream(&stream);
  }
  if (status != GF_DIR_OK) {
    gfReportDirectoryFailure(path, status, &stream.directory, sink);
    platClose(group);
    return 1;
  }
  int failed = unpackAll(path, group, &stream, select, context, sink);
  gfCloseDirStream(&stream);
  platClose(group);
  return failed;
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return gfUnpackSelected(path, nullptr, nullptr, sink);
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
