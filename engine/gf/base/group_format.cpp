// The group file format: key stream, header and entry layout, the checked directory
// reader, and the stored-name safety checks.
#include "engine/gf/base/group_format.h"

#include <cstdio>
#include <cstring>

#include "engine/platform/ascii.h"
#include "tarnpak/kestin.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

void gfRandomSeed(t_gfRandom* random, std::uint32_t seed) { random->state = seed; }

int gfRandomNext(t_gfRandom* random) {
  random->state = random->state * 214013u + 2531011u;
  return (int)((random->state >> 16) & 0x7FFF);
}

std::uint32_t gfScrambleSeed(long long fileLength) {
  return (std::uint32_t)((fileLength + GF_SEED_OFFSET) % 65535);
}

void gfScramble(unsigned char* directory, long size, long long fileLength) {
  t_gfRandom random;
  gfRandomSeed(&random, gfScrambleSeed(fileLength));
  gfScrambleNext(&random, directory, size);
}

void gfScrambleNext(t_gfRandom* random, unsigned char* bytes, long size) {
  for (long j = 0; j < size; j++) bytes[j] ^= (unsigned char)(gfRandomNext(random) % 255);
}

namespace {

unsigned char* putWord(unsigned char* out, std::uint16_t v) {
  out[0] = (unsigned char)v;
  out[1] = (unsigned char)(v >> 8);
  return out + 2;
}

unsigned char* putInt(unsigned char* out, std::uint32_t v) {
  for (int i = 0; i < 4; i++) out[i] = (unsigned char)(v >> (8 * i));
  return out + 4;
}

}  // namespace

void gfPutHeader(unsigned char* out, const t_gfHeader* header) {
  out = putInt(out, header->magic);
  out = putInt(out, header->buildFlag);
  out = putInt(out, (std::uint32_t)header->entryCount);
  putInt(out, (std::uint32_t)header->dirSize);
}

unsigned char* gfPutEntry(unsigned char* out, const char* name, std::int32_t dataOffset,
                          std::int32_t dataSize, std::uint16_t date, std::uint16_t time) {
  std::size_t n = std::strlen(name);
  out = putWord(out, (std::uint16_t)n);
  std::memcpy(out, name, n);
  out = putInt(out + n, (std::uint32_t)dataOffset);
  out = putInt(out, (std::uint32_t)dataSize);
  out = putWord(out, date);
  return putWord(out, time);
}

namespace {

t_gfDirStatus damaged(t_gfDirectory* d, const char* format, long a, long long b = 0,
                      long long c = 0) {
  std::snprintf(d->problem, sizeof d->problem, format, a, b, c);
  return GF_DIR_DAMAGED;
}

t_gfDirStatus checkHeader(t_gfDirectory* d, const t_gfHeader* h) {
  long long L = d->fileLength;
  if (L >= GF_LENGTH_LIMIT) return damaged(d, "the file is too large for a group (%ld)", (long)L);
  if (h->entryCount < 0) return damaged(d, "negative entry count %ld", h->entryCount);
  if (h->dirSize < 0) return damaged(d, "negative directory size %ld", h->dirSize);
  if (h->dirSize > L - GF_HEADER_SIZE)
    return damaged(d, "directory of %ld bytes runs past the end of the file (%lld bytes)",
                   h->dirSize, L);
  if (h->entryCount > h->dirSize / GF_ENTRY_FIXED_SIZE)
    return damaged(d, "%ld entries cannot fit a directory of %lld bytes", h->entryCount,
                   h->dirSize);
  return GF_DIR_OK;
}

// Reads the entry at p into e; returns the pointer behind it.
const unsigned char* decodeEntry(const unsigned char* at, t_gfDirEntry* e) {
  unsigned short n;
  unsigned char* p = get_w(const_cast<unsigned char*>(at), n);
  p = get_a(p, e->name, n);
  e->name[n] = 0;
  p = get_i(get_i(p, e->dataOffset), e->dataSize);
  return get_w(get_w(p, e->date), e->time);
}

// Checks the entry at p (left bytes of the directory behind it) against the directory and
// the file, and reads it into e when e is given.
t_gfDirStatus parseEntry(t_gfDirectory* d, const unsigned char* at, long left, long i,
                         t_gfDirEntry* e) {
  if (left < 2) return damaged(d, "entry %ld runs past the end of the directory", i);
  unsigned short n;
  unsigned char* p = get_w(const_cast<unsigned char*>(at), n);
  if (n == 0 || n > GF_NAME_MAX) return damaged(d, "entry %ld has a name of %lld bytes", i, n);
  if (left < (long)n + GF_ENTRY_FIXED_SIZE)
    return damaged(d, "entry %ld runs past the end of the directory", i);
  if (std::memchr(p, 0, n)) return damaged(d, "entry %ld has a NUL byte in its name", i);
  int offset, size;
  get_i(get_i(p + n, offset), size);
  if (offset < 0 || size < 0 || (long long)offset + size > d->fileLength)
    return damaged(d, "entry %ld: data at %lld, %lld bytes, lies outside the file", i, offset,
                   size);
  if (e) decodeEntry(at, e);
  return GF_DIR_OK;
}

t_gfDirStatus endOfEntries(t_gfDirectory* d, long pos) {
  if (pos != d->dirSize)
    return damaged(d, "the entries end at byte %ld of a %lld-byte directory", pos, d->dirSize);
  return GF_DIR_OK;
}

// Walks every entry and checks it against the buffer and file.
t_gfDirStatus checkEntries(t_gfDirectory* d) {
  long pos = 0;
  for (long i = 0; i < d->entryCount; i++) {
    t_gfDirStatus status = parseEntry(d, d->bytes + pos, d->dirSize - pos, i, nullptr);
    if (status != GF_DIR_OK) return status;
    pos += (long)d->bytes[pos] + ((long)d->bytes[pos + 1] << 8) + GF_ENTRY_FIXED_SIZE;
  }
  return endOfEntries(d, pos);
}

// Reads and checks the header of the group open on handle into d (no directory bytes).
t_gfDirStatus readHeader(PlatHandle handle, t_gfDirectory* d) {
  std::memset(d, 0, sizeof *d);
  unsigned char raw[GF_HEADER_SIZE];
  d->fileLength = platFileSize(handle);
  if (d->fileLength < 0) return GF_DIR_READ_ERROR;
  long long got = platReadAt(handle, 0, raw, sizeof raw);
  if (got < 0) return GF_DIR_READ_ERROR;
  if (got < 4) return GF_DIR_NOT_GROUP;
  int word;
  get_i(raw, word);
  if ((std::uint32_t)word != GF_MAGIC) return GF_DIR_NOT_GROUP;
  if (got < GF_HEADER_SIZE) return damaged(d, "the file is shorter than a group header", 0);
  t_gfHeader h;
  h.magic = GF_MAGIC;
  get_i(get_i(get_i(raw + 4, word), h.entryCount), h.dirSize);
  h.buildFlag = (std::uint32_t)word;
  t_gfDirStatus status = checkHeader(d, &h);
  if (status != GF_DIR_OK) return status;
  d->entryCount = h.entryCount;
  d->dirSize = h.dirSize;
  return GF_DIR_OK;
}

}  // namespace

t_gfDirStatus gfLoadDirectory(PlatHandle handle, t_gfDirectory* d) {
  t_gfDirStatus status = readHeader(handle, d);
  if (status != GF_DIR_OK) return status;
  d->bytes = static_cast<unsigned char*>(ENGINE_NEW(d->dirSize > 0 ? d->dirSize : 1));
  if (!d->bytes) return GF_DIR_NO_MEMORY;
  long long got = platReadAt(handle, GF_HEADER_SIZE, d->bytes, (size_t)d->dirSize);
  if (got != d->dirSize) status = got < 0 ? GF_DIR_READ_ERROR : damaged(d, "short directory", 0);
  if (status == GF_DIR_OK) {
    gfScramble(d->bytes, d->dirSize, d->fileLength);
    status = checkEntries(d);
  }
  if (status != GF_DIR_OK) gfFreeDirectory(d);
  return status;
}

int gfNextDirEntry(const t_gfDirectory* d, long* cursor, t_gfDirEntry* e) {
  if (*cursor >= d->dirSize) return 0;
  *cursor = (long)(decodeEntry(d->bytes + *cursor, e) - d->bytes);
  return 1;
}

// ---- the directory read a block at a time ----------------------------------------------

namespace {

constexpr long kStreamBlock = 64 * 1024;  // far more than the longest entry

// Makes sure the block holds the next entry whole (or all that is left of the directory):
// the bytes not used yet move to the front and more are read and unscrambled behind them.
t_gfDirStatus fillBlock(t_gfDirStream* s) {
  t_gfDirectory* d = &s->directory;
  long left = d->dirSize - s->pos;
  long want =
      left < GF_NAME_MAX + 2 + GF_ENTRY_FIXED_SIZE ? left : GF_NAME_MAX + 2 + GF_ENTRY_FIXED_SIZE;
  long have = s->blockStart + s->blockLength - s->pos;
  if (have >= want) return GF_DIR_OK;
  std::memmove(d->bytes, d->bytes + (s->pos - s->blockStart), (size_t)have);
  s->blockStart = s->pos;
  long room = kStreamBlock - have;
  long rest = d->dirSize - (s->pos + have);
  long count = rest < room ? rest : room;
  long long got =
      platReadAt(s->handle, GF_HEADER_SIZE + s->pos + have, d->bytes + have, (size_t)count);
  if (got < 0) return GF_DIR_READ_ERROR;
  if (got != count) return damaged(d, "short directory", 0);
  gfScrambleNext(&s->random, d->bytes + have, count);
  s->blockLength = have + count;
  return GF_DIR_OK;
}

}  // namespace

t_gfDirStatus gfOpenDirStream(PlatHandle handle, t_gfDirStream* s) {
  t_gfDirStatus status = readHeader(handle, &s->directory);
  if (status != GF_DIR_OK) return status;
  s->directory.bytes = static_cast<unsigned char*>(ENGINE_NEW(kStreamBlock));
  if (!s->directory.bytes) return GF_DIR_NO_MEMORY;
  s->handle = handle;
  gfRewindDirStream(s);
  return GF_DIR_OK;
}

void gfRewindDirStream(t_gfDirStream* s) {
  gfRandomSeed(&s->random, gfScrambleSeed(s->directory.fileLength));
  s->blockStart = s->blockLength = s->pos = 0;
  s->index = 0;
}

int gfNextStreamEntry(t_gfDirStream* s, t_gfDirEntry* e, t_gfDirStatus* status) {
  t_gfDirectory* d = &s->directory;
  if (s->index >= d->entryCount) {
    *status = endOfEntries(d, s->pos);
    return 0;
  }
  *status = fillBlock(s);
  if (*status == GF_DIR_OK)
    *status = parseEntry(d, d->bytes + (s->pos - s->blockStart), d->dirSize - s->pos, s->index, e);
  if (*status != GF_DIR_OK) return 0;
  s->pos += (long)std::strlen(e->name) + GF_ENTRY_FIXED_SIZE;
  s->index++;
  return 1;
}

void gfCloseDirStream(t_gfDirStream* s) { gfFreeDirectory(&s->directory); }

void gfFreeDirectory(t_gfDirectory* d) {
  ENGINE_DELETE(d->bytes);
  d->bytes = nullptr;
}

const char* gfEscapingNameReason(const char* name) {
  if (name[0] == '\\' || name[0] == '/') return "the name is absolute";
  int first = asciiUpper((unsigned char)name[0]);
  if (first >= 'A' && first <= 'Z' && name[1] == ':')
    return "the name has a drive letter";
  const char* part = name;
  for (const char* c = name;; c++) {
    if (*c == '\\' || *c == '/' || *c == 0) {
      if (c - part == 2 && part[0] == '.' && part[1] == '.')
        return "the name leads out of the directory with \"..\"";
      if (*c == 0) break;
      part = c + 1;
    }
  }
  return nullptr;
}

namespace {

// Whether part[0, length) names a device to Windows: the part before its first dot,
// without trailing spaces, is a reserved name in any case.
bool isWindowsDevice(const char* part, size_t length) {
  size_t base = 0;
  while (base < length && part[base] != '.') base++;
  while (base > 0 && part[base - 1] == ' ') base--;
  auto startsAs = [&](const char* device) {  // device in upper case
    for (size_t i = 0; device[i]; i++)
      if (i >= base || asciiUpper((unsigned char)part[i]) != device[i])
        return false;
    return true;
  };
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (base == std::strlen(device) && startsAs(device)) return true;
  // COM1 to COM9 and LPT1 to LPT9.
  return base == 4 && part[3] >= '1' && part[3] <= '9' && (startsAs("COM") || startsAs("LPT"));
}

}  // namespace

const char* gfWindowsPartReason(const char* part, size_t length) {
  for (size_t i = 0; i < length; i++) {
    switch (unsigned char c = (unsigned char)part[i]) {
      case '<': case '>': case ':': case '"': case '|': case '?': case '*':
        return "the name has a character Windows does not take in file names";
      default:
        if (c < 32) return "the name has a character Windows does not take in file names";
    }
  }
  if (length > 0 && (part[length - 1] == '.' || part[length - 1] == ' '))
    return "a part of the name ends in a dot or a space, which Windows would drop";
  if (isWindowsDevice(part, length)) return "the name is a Windows device name";
  return nullptr;
}

const char* gfUnsafeNameReasonFor(const char* name, bool windowsRules) {
  if (const char* why = gfEscapingNameReason(name)) return why;
  if (!windowsRules) return nullptr;
  const char* part = name;
  for (const char* c = name;; c++) {
    if (*c == '\\' || *c == '/' || *c == 0) {
      if (const char* why = gfWindowsPartReason(part, (size_t)(c - part))) return why;
      if (*c == 0) break;
      part = c + 1;
    }
  }
  return nullptr;
}

void gfLevelSeparators(char* name) {
  for (; *name; name++)
    if (*name == '/') *name = '\\';
}
