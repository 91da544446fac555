// The group file format: header, directory entries, the directory scrambling, the one
// directory reader every reader of group files goes through, and the check of stored names.
#pragma once
#include <cstdint>

#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

constexpr std::uint32_t GF_MAGIC = 0x47525046;  // "FPRG" read little-endian
constexpr int GF_HEADER_SIZE = (int)GF_GROUP_HEADER_SIZE;
constexpr int GF_ENTRY_FIXED_SIZE = 14;  // an entry without its name
constexpr int GF_NAME_MAX = 255;
constexpr long long GF_SEED_OFFSET = 24817;
// The seed is computed in signed 32-bit arithmetic, so the file length plus the seed
// offset must stay below this.
constexpr long long GF_LENGTH_LIMIT = 0x80000000LL - GF_SEED_OFFSET;

// ---- scrambling --------------------------------------------------------------------------
// The generator of the directory's key stream.
struct t_gfRandom {
  std::uint32_t state;
};
void gfRandomSeed(t_gfRandom* random, std::uint32_t seed);
int gfRandomNext(t_gfRandom* random);  // 0 to 32767
std::uint32_t gfScrambleSeed(long long fileLength);
// XORs the directory with the key stream of a group file fileLength bytes long. Scrambling
// and unscrambling are the same operation.
void gfScramble(unsigned char* directory, long size, long long fileLength);
// Scrambles the next size bytes of a directory whose key stream has reached random: a
// directory scrambled in pieces, in order, comes out as if scrambled whole.
void gfScrambleNext(t_gfRandom* random, unsigned char* bytes, long size);

// ---- header and entries ------------------------------------------------------------------
struct t_gfHeader {
  std::uint32_t magic;
  std::uint32_t buildFlag;
  std::int32_t entryCount;
  std::int32_t dirSize;
};
void gfPutHeader(unsigned char* out, const t_gfHeader* header);  // 16 bytes
// Writes one entry at out (nameLength + 14 bytes); returns the pointer behind it.
unsigned char* gfPutEntry(unsigned char* out, const char* name, std::int32_t dataOffset,
                          std::int32_t dataSize, std::uint16_t date, std::uint16_t time);

// ---- the directory reader ----------------------------------------------------------------
enum t_gfDirStatus {
  GF_DIR_OK,
  GF_DIR_NOT_GROUP,   // the magic does not match, or the file is too short to hold it
  GF_DIR_READ_ERROR,  // the operating system failed a read
  GF_DIR_DAMAGED,     // a count, length or offset does not fit; problem says which
  GF_DIR_NO_MEMORY,
};

// A group's directory, read whole, unscrambled and checked: every entry lies inside
// dirSize, the entries end exactly at it, every name is 1 to 255 bytes without a NUL, and
// every file's data lies inside the group file.
struct t_gfDirectory {
  unsigned char* bytes;  // dirSize bytes, from the tracked allocator
  std::int32_t entryCount;
  std::int32_t dirSize;
  long long fileLength;
  char problem[200];  // what is wrong, when the status says so
};

// The name comes last: a name one byte too long then runs into the redzone of a checked
// build, not into the fields after it.
struct t_gfDirEntry {
  std::int32_t dataOffset;
  std::int32_t dataSize;
  std::uint16_t date;
  std::uint16_t time;
  char name[GF_NAME_MAX + 1];
};

// Reads the directory of the group file open on handle. On any status but GF_DIR_OK
// nothing stays allocated.
t_gfDirStatus gfLoadDirectory(PlatHandle handle, t_gfDirectory* directory);
// Steps through the entries of a loaded directory: cursor starts at 0; returns 0 after
// the last entry.
int gfNextDirEntry(const t_gfDirectory* directory, long* cursor, t_gfDirEntry* entry);
void gfFreeDirectory(t_gfDirectory* directory);

// The same directory read a block at a time, each entry checked as it comes: memory stays
// the same however many entries the group holds. directory.bytes is the block.
struct t_gfDirStream {
  t_gfDirectory directory;
  PlatHandle handle;
  t_gfRandom random;  // the key stream, up to the end of the block
  long blockStart;    // the directory offset of the block's first byte
  long blockLength;
  long pos;  // the directory offset of the next entry
  long index;
};
// Reads and checks the header; on any status but GF_DIR_OK nothing stays allocated.
t_gfDirStatus gfOpenDirStream(PlatHandle handle, t_gfDirStream* stream);
// Back to the first entry.
void gfRewindDirStream(t_gfDirStream* stream);
// 1 with the next entry; 0 after the last one (status GF_DIR_OK when the entries end
// exactly at the directory's end) or when a read or a check failed (status says which).
int gfNextStreamEntry(t_gfDirStream* stream, t_gfDirEntry* entry, t_gfDirStatus* status);
void gfCloseDirStream(t_gfDirStream* stream);

// ---- stored names ------------------------------------------------------------------------
// Whether a name stays below the directory it is taken relative to: not absolute (no
// leading separator, no drive letter) and no ".." component. Returns null when it does,
// else the reason. Masks of the build list are held to this.
const char* gfEscapingNameReason(const char* name);
// Whether a stored name may become a host path below the directory it is unpacked into:
// it must not escape (above), and with windowsRules no part of it may be a name Windows
// would silently take for something else: a device (CON, PRN, AUX, NUL, COM1 to COM9,
// LPT1 to LPT9, CONIN$, CONOUT$, with any extension), a part ending in a dot or a space
// (Windows drops them), or one holding a character Windows refuses or reads as a stream
// separator (< > : " | ? * and control characters). Null when it is safe, else the reason.
const char* gfUnsafeNameReasonFor(const char* name, bool windowsRules);
// The Windows rules above for one part of a name (part[0, length), no separator in it).
const char* gfWindowsPartReason(const char* part, size_t length);
// The check for this host: Windows rules only on Windows, where those names are mapped
// elsewhere; on POSIX they are ordinary names, written as stored.
#ifdef _WIN32
constexpr bool GF_WINDOWS_NAME_RULES = true;
#else
constexpr bool GF_WINDOWS_NAME_RULES = false;
#endif
inline const char* gfUnsafeNameReason(const char* name) {
  return gfUnsafeNameReasonFor(name, GF_WINDOWS_NAME_RULES);
}
// A stored name as the levels it is unpacked into, in place: every '/' becomes '\\'. No
// builder stores a '/', but another program may, and every host takes it as a separator
// (as the manager's lookups take it for '\\'): split there, each level is entered and
// checked on its own, and the last part reaches the file system as one component.
void gfLevelSeparators(char* name);
