// GFILE handles: windows onto a record's bytes in a group file or a loose file, with a
// position of their own, an optional password key, and the reads they queue for the worker.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/gf/base/group_format.h"
#include "engine/gf/manager/groups.h"
#include "engine/gf/manager/loose_files.h"
#include "engine/gf/base/names.h"
#include "engine/gf/manager/file.h"
#include "engine/gf/manager/reader.h"
#include "engine/gf/manager/table.h"
#include "tarnpak/stdinputoutput.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr int kKeySize = 8;
constexpr int kPrintfSize = 1024;

// A GFILE as the manager allocates it: the caller's record first, then its place among the
// table's index holders, so that the index follows the record whatever a removal renumbers.
struct t_gfOpenFile {
  GFILE file;
  t_gfIndexHolder holder;
};

t_gfFileInfo* recordOf(const GFILE* f) { return gfRecordAt(f->index); }

// The record f was opened on, provided it still holds f's handle: a record that was
// recreated or refreshed since no longer speaks for f.
t_gfFileInfo* ownRecord(const GFILE* f) {
  t_gfFileInfo* r = recordOf(f);
  return r && r->handle == f->handle ? r : nullptr;
}

void applyKey(const unsigned char* key, long pos, unsigned char* bytes, long long count) {
  for (long long i = 0; i < count; i++) bytes[i] ^= key[(pos + i) % kKeySize];
}

GFILE* newHandle(PlatHandle h, long base, long size, long index) {
  auto* open = static_cast<t_gfOpenFile*>(ENGINE_NEW_ZERO(sizeof(t_gfOpenFile)));
  if (!open) return nullptr;
  GFILE* f = &open->file;
  gfTableHold(&open->holder, &f->index);
  f->handle = h;
  f->base = base;
  f->size = size;
  f->index = index;
  return f;
}

void freeHandle(GFILE* f) {
  auto* open = reinterpret_cast<t_gfOpenFile*>(f);
  gfTableLetGo(&open->holder);
  ENGINE_DELETE(f->key);
  ENGINE_DELETE(open);
}

// Opens a loose file for its record's first handle: read-write when it may be, else
// read-only.
PlatHandle openLoose(const char* name) {
  char path[GF_PATH_MAX + 1];
  if (!gfJoinPath(path, gfRoot, name)) return INVALID_HANDLE;
  PlatHandle h = platOpenFile(path, 1);
  return h != INVALID_HANDLE ? h : platOpenFile(path, 0);
}

// Whether size fits a GFILE's window, whose fields are long (32 bits on Windows).
bool fitsWindow(long long size) { return (long long)(long)size == size; }

}  // namespace

GFILE* gfOpen(const char* name) { return gfOpenRecord(gfFetch(name)); }

GFILE* gfOpenRecord(long i) {
  t_gfFileInfo* r = gfRecordAt(i);
  if (!r || !fitsWindow(r->size)) return nullptr;  // never a window of the wrong size
  if (r->handle == INVALID_HANDLE) {
    r->handle = openLoose(gfDiskName(r));
    if (r->handle == INVALID_HANDLE) return nullptr;
    r->openCount = 0;
  }
  GFILE* f = newHandle(r->handle, r->offset, (long)r->size, i);
  if (!f) {
    if (r->openCount < 1 && !gfIsGroupHandle(r->handle)) {
      platClose(r->handle);
      r->handle = INVALID_HANDLE;
    }
    return nullptr;
  }
  r->openCount++;
  return f;
}

GFILE* gfCreate(const char* given) {
  char name[GF_PATH_MAX + 1], path[GF_PATH_MAX + 1];
  if (!given || !gfNormalName(name, given) || std::strlen(name) > GF_NAME_MAX ||
      !gfJoinPath(path, gfRoot, name))
    return nullptr;
  GFILE* f = newHandle(INVALID_HANDLE, 0, 0, -1);
  if (!f) return nullptr;
  PlatHandle h = platCreateMatched(path);
  if (h == INVALID_HANDLE) {
    freeHandle(f);
    return nullptr;
  }
  int i = gfInsertFile(name);
  if (i < 0) {
    platClose(h);
    freeHandle(f);
    return nullptr;
  }
  t_gfFileInfo* r = gfRecordAt(i);
  gfDetachHandle(r);  // earlier handles on the name keep what they had, never this file
  r->handle = h;
  r->openCount = 1;
  r->inGroup = 0;
  r->offset = 0;
  gfTableSetSize(i, 0);
  f->handle = h;
  f->index = i;
  return f;
}

void gfClose(GFILE* f) {
  if (!f) return;
  t_gfFileInfo* r = ownRecord(f);
  if (r) {
    r->openCount--;
    // A group file's handle is shared by all its records and stays open until gfStop.
    if (r->openCount < 1 && !gfIsGroupHandle(r->handle)) {
      gfCloseLoose(r->handle);
      r->handle = INVALID_HANDLE;
    }
  } else {
    gfReleaseOrphan(f->handle);
  }
  freeHandle(f);
}

// A queued read goes to the worker as it stands: the whole count at the absolute offset,
// without the key, the position left alone. With no room in the queue it is done at once
// through the handle's window instead.
long gfReadStart(GFILE* f, long position, void* buffer, int size) {
  long id = gfReadNewId();
  if (!f || !buffer || size <= 0) return id;  // nothing to read: finished at once
  if (gfReadEnqueue({id, f->handle, f->base + position, size, buffer})) return id;
  gfSeek(f, position, 0);
  gfRead(f, buffer, size);
  return id;
}

int gfSeek(GFILE* f, long offset, int origin) {
  if (!f) return 0;
  long long target;
  if (origin == 0)
    target = offset;
  else if (origin == 1)
    target = (long long)f->pos + offset;
  else if (origin == 2)
    target = (long long)f->size + offset;
  else
    return (int)f->pos;
  if (target > f->size) target = f->size;
  if (target < 0) target = 0;
  f->pos = (long)target;
  return (int)f->pos;
}

long gfTell(GFILE* f) { return f ? f->pos : 0; }

long gfSize(GFILE* f) { return f ? f->size : 0; }

long gfSizeEx(const char* name) {
  const t_gfFileInfo* r = gfRecordAt(gfFetch(name));
  if (!r) return 0;
  return fitsWindow(r->size) ? (long)r->size : -1;
}

long gfRead(GFILE* f, void* buffer, int count) {
  if (!f || !buffer || count <= 0 || f->pos >= f->size) return 0;
  long n = count < f->size - f->pos ? count : f->size - f->pos;
  long long got = gfReadAt(f->handle, f->base + f->pos, buffer, (unsigned long)n);
  if (got <= 0) return 0;
  if (f->key) applyKey(f->key, f->pos, static_cast<unsigned char*>(buffer), got);
  f->pos += (long)got;
  return (long)got;
}

long gfWrite(GFILE* f, const void* buffer, int count) {
  if (!f || !buffer || count <= 0) return 0;
  t_gfFileInfo* r = recordOf(f);
  if (r && r->inGroup && r->handle == f->handle) return 0;  // group files are read-only
  if (gfIsGroupHandle(f->handle)) return 0;
  const void* bytes = buffer;
  unsigned char* copy = nullptr;
  if (f->key) {
    copy = static_cast<unsigned char*>(ENGINE_NEW((size_t)count));
    if (!copy) return 0;
    std::memcpy(copy, buffer, (size_t)count);
    applyKey(f->key, f->pos, copy, count);
    bytes = copy;
  }
  long long written = gfWriteAt(f->handle, f->base + f->pos, bytes, (unsigned long)count);
  ENGINE_DELETE(copy);
  if (written <= 0) return 0;
  f->pos += (long)written;
  if (f->pos > f->size) {
    f->size = f->pos;
    r = ownRecord(f);
    if (r && r->size < f->size) gfTableSetSize(f->index, f->size);
  }
  return (long)written;
}

void gfReadLN(GFILE* f, void* buffer, long bufferSize) {
  char* line = static_cast<char*>(buffer);
  if (!line || bufferSize < 1) return;
  line[0] = 0;
  if (!f || bufferSize < 2) return;
  long start = gfTell(f);
  long want = bufferSize - 1 > 0x7FFFFFFF ? 0x7FFFFFFF : bufferSize - 1;
  long n = gfRead(f, line, (int)want);
  line[n] = 0;
  char* feed = static_cast<char*>(std::memchr(line, '\n', (size_t)n));
  long e = feed ? feed - line : n;
  if (feed) *feed = 0;
  KillTailCRLF(line);
  if (n == want && e == want) {
    // The line filled the buffer: pass over the rest of it up to its line feed.
    char scratch[4096];
    for (;;) {
      long got = gfRead(f, scratch, (int)sizeof scratch);
      if (got <= 0) break;
      char* lf = static_cast<char*>(std::memchr(scratch, '\n', (size_t)got));
      e += lf ? lf - scratch : got;
      if (lf) break;
    }
  }
  gfSeek(f, start + e + 1, 0);
}

void gfPrintf(GFILE* f, const char* format, ...) {
  char text[kPrintfSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n <= 0) return;
  if (n > kPrintfSize - 1) n = kPrintfSize - 1;  // longer output is cut
  gfWrite(f, text, n);
}

void gfFlush(GFILE* f) {
  if (f) platFlush(f->handle);
}

void gfGetDateTime(GFILE* f, unsigned short* date, unsigned short* time) {
  if (date) *date = 0;
  if (time) *time = 0;
  if (!f) return;
  t_gfFileInfo* r = recordOf(f);
  if (!r) return;
  if (date) *date = r->date;
  if (time) *time = r->time;
}

void gfGetDateTimeEx(const char* name, unsigned short* date, unsigned short* time) {
  const t_gfFileInfo* r = gfRecordAt(gfFetch(name));
  if (!r) return;
  if (date) *date = r->date;
  if (time) *time = r->time;
}

void gfSetPassword(GFILE* f, const char* password) {
  if (!f) return;
  ENGINE_DELETE(f->key);
  f->key = nullptr;
  if (!password) return;
  f->key = static_cast<unsigned char*>(ENGINE_NEW(kKeySize));
  if (!f->key) return;
  const char* c = password;
  for (int k = 0; k < kKeySize; k++)
    f->key[k] = *c ? (unsigned char)*c++ : (unsigned char)(k + GF_PASSWORD_FILLER);
}
