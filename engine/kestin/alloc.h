// The allocation helpers every engine unit goes through: they tag each block with the
// source unit (define ENGINE_UNIT before including) and the allocating line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarnpak/kestin.h"

// The allocation operator: block type is accepted and dropped, as the engine library wants
// only unit and line. Sizes beyond the allocator's 32-bit range, or beyond the largest
// object the host can address (half of a 32-bit host's memory), fail with null.
inline void* engineNew(std::size_t size, int /*blockType*/, const char* unit, int line) {
  if (size > 0xFFFFFFFFu || size > (std::size_t)PTRDIFF_MAX) return nullptr;
  return memNewDbg((unsigned int)size, unit, line);
}

// The release operator.
inline void engineDelete(void* block) { memDeleteDbg(block); }

#define ENGINE_NEW(size) engineNew((size), 1, ENGINE_UNIT, __LINE__)
#define ENGINE_NEW_ZERO(size) engineNewZero((size), ENGINE_UNIT, __LINE__)
#define ENGINE_NEW_ARRAY(type, count) \
  static_cast<type*>(engineNewArray(sizeof(type), (count), ENGINE_UNIT, __LINE__))
#define ENGINE_STRDUP(text) engineStrdup((text), ENGINE_UNIT, __LINE__)
#define ENGINE_DELETE(block) engineDelete(block)

inline void* engineNewZero(std::size_t size, const char* unit, int line) {
  void* block = engineNew(size, 1, unit, line);
  if (block) std::memset(block, 0, size);
  return block;
}

// A zero-filled array of count elements; null when the product overflows or memory fails.
inline void* engineNewArray(std::size_t elementSize, std::size_t count, const char* unit,
                            int line) {
  if (count != 0 && elementSize > (std::size_t)-1 / count) return nullptr;
  return engineNewZero(elementSize * count, unit, line);
}

inline char* engineStrdup(const char* text, const char* unit, int line) {
  std::size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(engineNew(n, 1, unit, line));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}
