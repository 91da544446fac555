// Positioned transfers on an open file: the one way the manager's handles and the read
// worker move bytes, so neither depends on the other's file pointer or position.
#include "engine/gf/gf_internal.h"

// Both transfers report what really moved: an error after some bytes still counts those
// bytes, so the caller's position and size follow the file.
long long gfReadAt(PlatHandle h, long offset, void* buffer, unsigned long count) {
  auto* bytes = static_cast<char*>(buffer);
  unsigned long done = 0;
  while (done < count) {
    long long got = platReadSome(h, offset + (long)done, bytes + done, count - done);
    if (got <= 0) return done ? (long long)done : got;
    done += (unsigned long)got;
  }
  return (long long)done;
}

long long gfWriteAt(PlatHandle h, long offset, const void* buffer, unsigned long count) {
  const auto* bytes = static_cast<const char*>(buffer);
  unsigned long done = 0;
  while (done < count) {
    long long put = platWriteSome(h, offset + (long)done, bytes + done, count - done);
    if (put <= 0) return done ? (long long)done : -1;
    done += (unsigned long)put;
  }
  return (long long)done;
}
