// The unpacker: recreates every file stored in a group file below the current directory,
// entering each directory level through a held handle so that no link is ever followed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#include "engine/kestin/ascii.h"
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

// ---- files whose names differ only in case ----------------------------------------------
// A stored name is written over a file already there whose name differs from it only in
// case, as a case-blind system would, instead of beside it. A directory's names are read
// once, the first time a new file is made in it, and kept while it is held.

// The names of one directory: each sits in text as a flag byte (1: a regular file), the
// name and its terminator; order gives their places sorted by the name in lower case, then
// by its bytes, so that one run holds all the spellings of a name in byte order.
struct t_gfListing {
  char* text;
  std::uint32_t used, room;
  std::uint32_t* order;
  std::uint32_t count, capacity;
  bool broken;  // memory ran out: the listing finds nothing
};

// Names without regard to case; the same order for any spelling of a name.
int compareFolded(const char* a, const char* b) {
  for (;; a++, b++) {
    int x = asciiLower((unsigned char)*a), y = asciiLower((unsigned char)*b);
    if (x != y || !x) return x - y;
  }
}

// Makes room for need more units of size bytes behind used in the block; false when
// memory fails.
bool reserve(void** block, std::uint32_t* room, std::uint32_t used, std::uint32_t need,
             size_t size) {
  if (used + (unsigned long long)need <= *room) return true;
  unsigned long long grown = (used + (unsigned long long)need) * 2 + 64;
  if (grown > 0xFFFFFFFFu) return false;
  void* bigger = ENGINE_NEW(grown * size);
  if (!bigger) return false;
  if (*block) std::memcpy(bigger, *block, used * size);
  ENGINE_DELETE(*block);
  *block = bigger;
  *room = (std::uint32_t)grown;
  return true;
}

void addListed(const char* name, int isRegular, void* context) {
  auto* l = static_cast<t_gfListing*>(context);
  std::uint32_t n = (std::uint32_t)std::strlen(name) + 2;
  void* text = l->text;
  void* order = l->order;
  l->broken = l->broken || !reserve(&text, &l->room, l->used, n, 1) ||
              !reserve(&order, &l->capacity, l->count, 1, sizeof *l->order);
  l->text = static_cast<char*>(text);
  l->order = static_cast<std::uint32_t*>(order);
  if (l->broken) return;
  l->text[l->used] = (char)(isRegular ? 1 : 0);
  std::memcpy(l->text + l->used + 1, name, n - 1);
  l->order[l->count++] = l->used;
  l->used += n;
}

void freeListing(t_gfListing* l) {
  if (!l) return;
  ENGINE_DELETE(l->text);
  ENGINE_DELETE(l->order);
  ENGINE_DELETE(l);
}

// The names in dir, sorted; null when memory fails. A listing the host broke off keeps
// what it read: a name it missed is written beside its other spelling, as before.
t_gfListing* readListing(PlatHandle dir) {
  auto* l = static_cast<t_gfListing*>(ENGINE_NEW_ZERO(sizeof(t_gfListing)));
  if (!l) return nullptr;
  platListForCaseMatch(dir, addListed, l);
  const char* text = l->text;
  std::sort(l->order, l->order + l->count, [text](std::uint32_t a, std::uint32_t b) {
    int c = compareFolded(text + a + 1, text + b + 1);
    return c ? c < 0 : std::strcmp(text + a + 1, text + b + 1) < 0;
  });
  return l;
}

// The spelling of name that is already in the listing: the first in byte order of the
// names that differ from it only in case. Null when there is none or it is not a regular
// file: a link, a directory or a pipe is left as it is and name is made beside it.
const char* otherSpelling(const t_gfListing* l, const char* name) {
  if (!l || l->broken) return nullptr;
  const std::uint32_t* begin = l->order;
  const std::uint32_t* end = begin + l->count;
  const std::uint32_t* at = std::lower_bound(
      begin, end, name,
      [l](std::uint32_t a, const char* key) { return compareFolded(l->text + a + 1, key) < 0; });
  for (; at != end && compareFolded(l->text + *at + 1, name) == 0; at++) {
    const char* spelled = l->text + *at + 1;
    if (std::strcmp(spelled, name) == 0) continue;  // the file just made
    return l->text[*at] ? spelled : nullptr;
  }
  return nullptr;
}

// ---- the directory levels ---------------------------------------------------------------

// The directory levels of the previous entry, held open: the next entry in the same
// directory opens no level again, and each level is entered through its parent's handle,
// never by a path the host would resolve through links.
struct t_gfLevels {
  PlatHandle top;               // the working directory
  PlatHandle dirs[kMaxLevels];  // dirs[i]: level i + 1
  size_t ends[kMaxLevels];      // where level i + 1 ends in made
  bool fresh[kMaxLevels];       // level i + 1 was made by this unpack: it held no file
  // listings[0]: the working directory's names, listings[i]: level i's; read when needed
  t_gfListing* listings[kMaxLevels + 1];
  int depth;
  char made[GF_NAME_MAX + 1];  // the stored-name prefix the held levels stand for
};

void dropLevels(t_gfLevels* levels, int keep) {
  while (levels->depth > keep) {
    freeListing(levels->listings[levels->depth]);
    levels->listings[levels->depth] = nullptr;
    platClose(levels->dirs[--levels->depth]);
  }
  levels->made[keep ? levels->ends[keep - 1] : 0] = 0;
}

// The spelling already on disk of the file leaf just made in the innermost held level,
// or null when leaf is the only one.
const char* spellingOnDisk(t_gfLevels* levels, const char* leaf) {
  int depth = levels->depth;
  if (depth > 0 && levels->fresh[depth - 1]) return nullptr;  // nothing there but ours
  if (!levels->listings[depth])
    levels->listings[depth] = readListing(depth ? levels->dirs[depth - 1] : levels->top);
  return otherSpelling(levels->listings[depth], leaf);
}

// A path below the working directory as the host spells it in messages: the stored
// levels with the host's separator, then the file's own name.
void shownHostPath(const char* name, const char* leaf, char* out, size_t size) {
  const char* last = std::strrchr(name, '\\');
  size_t dir = last ? (size_t)(last - name) + 1 : 0;
  char path[GF_NAME_MAX + GF_PATH_MAX + 2];
  std::snprintf(path, sizeof path, "%.*s%s", (int)dir, name, leaf);
  gfShownPath(path, out, size);
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
    int isLink = 0, made = 0;
    PlatHandle h = levels->depth < kMaxLevels ? platOpenLevelNoting(parent, level, &isLink, &made)
                                              : INVALID_HANDLE;
    if (h == INVALID_HANDLE) {
      char levels[GF_NAME_MAX + 1], shown[GF_NAME_MAX + 1];
      std::snprintf(levels, sizeof levels, "%.*s", (int)(isLink ? next : std::strlen(name)), name);
      gfShownPath(levels, shown, sizeof shown);
      if (isLink)
        gfReportf(sink, "refusing to unpack '%s': '%s' is a symbolic link", name, shown);
      else
        gfReportf(sink, "cannot create '%s': %s", shown, platLastError());
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

// Opens the file of a stored name in dir for writing: under the name as stored, or, when
// that was not there but a regular file whose name differs only in case was, over that
// file under its own spelling. *leaf is the name opened.
PlatHandle createFile(PlatHandle dir, t_gfLevels* levels, const char** leaf) {
  int fresh = 0;
  PlatHandle out = platCreateInDirNoting(dir, *leaf, &fresh);
  const char* other = out != INVALID_HANDLE && fresh ? spellingOnDisk(levels, *leaf) : nullptr;
  if (!other) return out;
  platClose(out);
  platRemoveInDir(dir, *leaf);
  *leaf = other;
  return platCreateInDir(dir, other);
}

// Gives the written file the entry's stored date and time; a pair that is no valid date
// leaves the time of writing. False when the host refused.
bool setStoredDate(PlatHandle out, const t_gfDirEntry* e) {
  std::int64_t time;
  return !platDosToTime(e->date, e->time, &time) || platSetWriteTime(out, time) == 0;
}

// Writes one entry's file; 0 on success. A file that cannot be finished is removed, and so
// is the file being written when the tool is interrupted.
int unpackEntry(PlatHandle group, const t_gfDirEntry* e, t_gfLevels* levels, t_gfWindow* window,
                int flags, t_gfReport sink) {
  const char* why = gfUnsafeNameReason(e->name);
  if (why) {
    gfReportf(sink, "refusing to unpack '%s': %s", e->name, why);
    return 1;
  }
  PlatHandle dir = enterLevels(levels, e->name, sink);
  if (dir == INVALID_HANDLE) return 1;
  const char* last = std::strrchr(e->name, '\\');
  const char* leaf = last ? last + 1 : e->name;
  PlatHandle out = createFile(dir, levels, &leaf);
  char shown[GF_NAME_MAX + 1];
  shownHostPath(e->name, leaf, shown, sizeof shown);
  if (out == INVALID_HANDLE) {
    gfReportf(sink, "cannot create '%s': %s", shown, platLastError());
    return 1;
  }
  int guard = platGuardPartialFile(dir, leaf);
  long long copied = copyData(group, window, e, out);
  if (copied != e->dataSize) {
    gfReportf(sink, "cannot write '%s': %s", shown,
              copied < 0 ? platLastError() : "the group file ended early");
    platClose(out);
    platRemoveInDir(dir, leaf);
    platUnguardPartialFile(guard);
    return 1;
  }
  // Every byte is in: an interrupt from here on leaves the file whole.
  platUnguardPartialFile(guard);
  int failed = 0;
  if ((flags & GF_UNPACK_STORED_DATES) && !setStoredDate(out, e)) {
    gfReportf(sink, "cannot set the date of '%s': %s", shown, platLastError());
    failed = 1;  // the file itself is whole and stays
  }
  if (platClose(out) != 0) {
    gfReportf(sink, "cannot write '%s': %s", shown, platLastError());
    platRemoveInDir(dir, leaf);
    return 1;
  }
  return failed;
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
              void* context, int flags, t_gfReport sink) {
  t_gfLevels levels;
  levels.depth = 0;
  levels.made[0] = 0;
  for (t_gfListing*& listing : levels.listings) listing = nullptr;
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
      failures += unpackEntry(group, &entry, &levels, &window, flags, sink);
  if (status != GF_DIR_OK) {  // the group changed since the check
    gfReportDirectoryFailure(path, status, &stream->directory, sink);
    failures++;
  }
  ENGINE_DELETE(window.bytes);
  dropLevels(&levels, 0);
  freeListing(levels.listings[0]);
  platClose(levels.top);
  return failures ? 1 : 0;
}

}  // namespace

int gfUnpackWith(const char* path, t_gfNameFilter select, void* context, int flags,
                 t_gfReport sink) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportOpenFailure(path, sink);
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
  int failed = unpackAll(path, group, &stream, select, context, flags, sink);
  gfCloseDirStream(&stream);
  platClose(group);
  return failed;
}

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  return gfUnpackWith(path, select, context, 0, sink);
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return gfUnpackSelected(path, nullptr, nullptr, sink);
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
