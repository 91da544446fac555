// The engine's small containers over the tracked allocator: a growable array of plain items,
// and an open-address set of 64-bit values. Both start zeroed (no constructor, so they can
// live in zeroed blocks) and take their blocks under the caller's unit and line.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine/kestin/alloc.h"

// A growable array of items copied as bytes. Growing doubles the room, so pushing n items
// copies fewer than 2n; a failed growth leaves the array as it was.
template <typename T>
struct t_engineArray {
  T* items;
  std::uint32_t count;
  std::uint32_t room;

  T& operator[](std::uint32_t i) const { return items[i]; }

  // Room for more items behind count; false when memory fails or the count would pass
  // 32 bits.
  bool reserve(std::uint32_t more, const char* unit, int line) {
    unsigned long long need = (unsigned long long)count + more;
    if (need <= room) return true;
    unsigned long long grown = room ? 2ull * room : 16;
    if (grown < need) grown = need;
    if (grown > 0xFFFFFFFFull) return false;
    T* bigger = static_cast<T*>(engineNew(sizeof(T) * grown, 1, unit, line));
    if (!bigger) return false;
    if (count) std::memcpy(static_cast<void*>(bigger), items, sizeof(T) * count);
    engineDelete(items);
    items = bigger;
    room = (std::uint32_t)grown;
    return true;
  }

  bool push(const T& item, const char* unit, int line) {
    if (!reserve(1, unit, line)) return false;
    items[count++] = item;
    return true;
  }

  // Copies n items behind the last; false when memory fails.
  bool append(const T* from, std::uint32_t n, const char* unit, int line) {
    if (!reserve(n, unit, line)) return false;
    std::memcpy(static_cast<void*>(items + count), from, sizeof(T) * n);
    count += n;
    return true;
  }

  // Gives the block back; the array is empty again.
  void release() {
    engineDelete(items);
    items = nullptr;
    count = room = 0;
  }
};

// An open-address set of nonzero 64-bit values, each placed by its high 32 bits (a hash the
// caller computed) while its low bits tell values of one hash apart: the caller may keep a
// whole 64-bit hash in it, or a 32-bit hash beside a number of its own. Kept at most half
// full, so that a probe ends soon at an empty slot.
struct t_engineSet {
  std::uint64_t* slots;  // 0: empty
  std::uint32_t room;    // a power of two, or 0
  std::uint32_t count;

  static std::uint32_t hashOf(std::uint64_t value) { return (std::uint32_t)(value >> 32); }

  // Calls match(value) for each value of the given hash, in probe order, until it answers
  // true; that value, or 0 when none did.
  template <typename Match>
  std::uint64_t find(std::uint32_t hash, Match match) const {
    if (!room) return 0;
    for (std::uint32_t i = hash & (room - 1); slots[i]; i = (i + 1) & (room - 1))
      if (hashOf(slots[i]) == hash && match(slots[i])) return slots[i];
    return 0;
  }

  bool has(std::uint64_t value) const {
    return find(hashOf(value), [value](std::uint64_t v) { return v == value; }) != 0;
  }

  // Adds value (nonzero) unless it is in already; false when memory fails, the set then
  // being as it was.
  bool add(std::uint64_t value, const char* unit, int line) {
    if ((count + 1ull) * 2 > room && !grow(unit, line)) return false;
    std::uint32_t i = hashOf(value) & (room - 1);
    while (slots[i] && slots[i] != value) i = (i + 1) & (room - 1);
    if (!slots[i]) count++;
    slots[i] = value;
    return true;
  }

  void release() {
    engineDelete(slots);
    slots = nullptr;
    room = count = 0;
  }

 private:
  bool grow(const char* unit, int line) {
    std::uint64_t grown = room ? 2ull * room : 64;
    if (grown > 0x80000000ull) return false;
    auto* bigger = static_cast<std::uint64_t*>(engineNewZero(8 * grown, unit, line));
    if (!bigger) return false;
    for (std::uint32_t i = 0; i < room; i++) {
      if (!slots[i]) continue;
      std::uint32_t j = hashOf(slots[i]) & (std::uint32_t)(grown - 1);
      while (bigger[j]) j = (j + 1) & (std::uint32_t)(grown - 1);
      bigger[j] = slots[i];
    }
    engineDelete(slots);
    slots = bigger;
    room = (std::uint32_t)grown;
    return true;
  }
};

// The unit and line of the calling unit's allocations (ENGINE_UNIT defined before alloc.h).
#define ENGINE_HERE ENGINE_UNIT, __LINE__
