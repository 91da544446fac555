// Text through run-time descriptors: reading a line, reading a folded header line, and
// printf-style writing. The readers read ahead and seek back behind the line they deliver.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#define ENGINE_UNIT "stdinputoutput"
#include "engine/kestin/alloc.h"
#include "engine/platform/platform.h"
#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kOutSize = 512;

// What both readers share: the start position, the scratch block and the first read.
struct LineRead {
  long start;     // position of the handle before the call
  char* scratch;  // size bytes from the tracked allocator
  long count;     // bytes read into the caller's buffer
};

// Prepares a read of at most size - 1 bytes into buf. Returns 0, with buf empty and nothing
// left to release, when there is no line to deliver.
int beginLine(int handle, char* buf, long size, LineRead* r) {
  buf[0] = 0;
  r->start = platFdSeek(handle, 0, 1);
  if (r->start < 0) return 0;  // a handle that cannot seek back cannot be read line-wise
  r->scratch = static_cast<char*>(ENGINE_NEW((std::size_t)size));
  if (!r->scratch) return 0;
  r->count = platFdRead(handle, buf, (unsigned long)(size - 1));
  if (r->count <= 0) {
    ENGINE_DELETE(r->scratch);
    return 0;
  }
  buf[r->count] = 0;
  return 1;
}

void endLine(int handle, LineRead* r, long lineEnd) {
  platFdSeek(handle, r->start + lineEnd + 1, 0);
  ENGINE_DELETE(r->scratch);
}

// Skips the rest of an over-long line; returns the offset of its line feed from the start
// (or of the end of the file).
long skipLine(int handle, char* scratch, long size, long offset) {
  for (;;) {
    long got = platFdRead(handle, scratch, (unsigned long)(size - 1));
    if (got <= 0) return offset;
    const void* lf = std::memchr(scratch, '\n', (std::size_t)got);
    if (lf) return offset + (long)(static_cast<const char*>(lf) - scratch);
    offset += got;
  }
}

// Finds where the header line in buf ends, turning tabs from the third character on into
// spaces. A line feed ends it unless it is CR LF followed by a space; a line feed at index 1
// always does. Returns the offset of that line feed, or count when there is none.
long findHeaderEnd(char* buf, long count, bool* found) {
  *found = true;
  for (long i = 1; i < count; i++) {
    if (buf[i + 1] == '\t') buf[i + 1] = ' ';
    if (i == 1 && buf[1] == '\n') return 1;
    if (buf[i] == '\n' && !(buf[i - 1] == '\r' && buf[i + 1] == ' ')) return i;
  }
  *found = false;
  return count;
}

// Skips the rest of an over-long header line. The last two bytes seen ride at the front of
// the scratch block so a fold split between two reads is still recognised. Returns the
// offset from the start of the CR LF that ends the line (or of the end of the file).
long skipHeaderLine(int handle, char* scratch, long size, const char carry[2], long offset) {
  scratch[0] = carry[0];
  scratch[1] = carry[1];
  for (;;) {
    long got = platFdRead(handle, scratch + 2, (unsigned long)(size - 2));
    if (got <= 0) return offset;
    for (long j = 2; j < got + 2; j++) {
      if (scratch[j] == '\t') scratch[j] = ' ';
    }
    for (long j = 1; j + 1 < got + 2; j++) {
      if (scratch[j] == '\n' && scratch[j - 1] == '\r' && scratch[j + 1] != ' ')
        return offset + j - 2;
    }
    scratch[0] = scratch[got];
    scratch[1] = scratch[got + 1];
    offset += got;
  }
}

}  // namespace

void ReadLN(int handle, void* buffer, long size) {
  char* buf = static_cast<char*>(buffer);
  LineRead r;
  if (!buf || size <= 0 || !beginLine(handle, buf, size, &r)) return;
  const void* lf = std::memchr(buf, '\n', (std::size_t)r.count);
  long lineEnd = lf ? (long)(static_cast<const char*>(lf) - buf) : r.count;
  buf[lineEnd] = 0;
  KillTailCRLF(buf);
  if (!lf && r.count == size - 1) lineEnd = skipLine(handle, r.scratch, size, lineEnd);
  endLine(handle, &r, lineEnd);
}

void ReadHdrLN(int handle, char* buf, long size) {
  LineRead r;
  if (!buf || size <= 0 || !beginLine(handle, buf, size, &r)) return;
  bool found;
  long lineEnd = findHeaderEnd(buf, r.count, &found);
  const char carry[2] = {r.count >= 2 ? buf[r.count - 2] : '\0', buf[r.count - 1]};
  buf[lineEnd] = 0;
  ZSReplaceString(buf, "\r\n ", " ");
  KillTailCRLF(buf);
  if (!found && r.count == size - 1)
    lineEnd = skipHeaderLine(handle, r.scratch, size, carry, lineEnd);
  endLine(handle, &r, lineEnd);
}

void hprintf(int handle, const char* format, ...) {
  char text[kOutSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  platFdWrite(handle, text, (unsigned long)std::strlen(text));
}
