// The chained little-endian readers of byte buffers.
#include <cstring>

#include "tarnpak/kestin.h"

unsigned char* get_w(unsigned char* p, unsigned short& value) {
  value = (unsigned short)(p[0] | (p[1] << 8));
  return p + 2;
}

unsigned char* get_i(unsigned char* p, int& value) {
  unsigned int v = (unsigned int)p[0] | ((unsigned int)p[1] << 8) | ((unsigned int)p[2] << 16) |
                   ((unsigned int)p[3] << 24);
  value = (int)v;
  return p + 4;
}

unsigned char* get_a(unsigned char* p, void* dst, long count) {
  if (count > 0) std::memcpy(dst, p, (size_t)count);
  return p + (count > 0 ? count : 0);
}
