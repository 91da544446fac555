// The entries of a group to write, from host files or byte ranges of an open group: one
// small record per file and its names packed in large blocks; and how the copy of an entry
// can fail, as the copier and the sums of its entries report it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/kestin/containers.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// One entry of the group to write. Its texts live in the list's blocks: name is the stored
// name as given (upper-cased only when compared or written). The bytes come either from a
// host file (hostDir: the host directory it lies in, leaf: where its name there starts in
// name) or, with inGroup set, from the range of size bytes at from in the list's source
// group number hostDir.
struct t_gfWriteEntry {
  std::uint32_t name;
  std::uint32_t hostDir;
  std::uint32_t size;
  std::uint32_t offset;  // where the data goes in the group, once the directory is made
  std::uint32_t from;
  std::uint16_t date;
  std::uint16_t time;
  std::uint16_t leaf;
  std::uint8_t inGroup;
  std::uint8_t look;  // a host file's look by the collection (t_gfLook): 0 once complete
};

// An open group whose byte ranges entries copy: the caller's handle, kept open by the
// caller until the write is done, and its path for messages.
struct t_gfWriteSource {
  PlatHandle handle;
  std::uint32_t path;
};

// The entries of one group: records in pages, texts in blocks, and after gfWriteSort the
// record numbers in table order. Zero-initialise; gfWriteFree gives everything back.
struct t_gfWriteList {
  t_engineArray<t_gfWriteEntry*> pages;  // records never move once made
  int count;
  t_engineArray<char*> text;
  std::uint32_t textUsed;  // in the last block
  std::uint32_t* order;
  // Records 0 to orderedCount are already in order, as a mask's merge of case copies left
  // them: a sort of the same records has nothing to do (a record added since undoes it).
  int orderedCount;
  t_engineArray<t_gfWriteSource> sources;
};

constexpr std::uint32_t GF_NO_TEXT = 0xFFFFFFFFu;
// Stores a text; its place, or GF_NO_TEXT when memory fails.
std::uint32_t gfWriteAddText(t_gfWriteList* list, const char* text);
const char* gfWriteText(const t_gfWriteList* list, std::uint32_t at);
// A new zeroed record at the end; null when memory fails.
t_gfWriteEntry* gfWriteAddEntry(t_gfWriteList* list);
// A new record for the file leaf (in name, from name + leaf on) of the host directory
// stored at hostDir; the caller fills size, date and time. Null when memory fails.
t_gfWriteEntry* gfWriteAddHostFile(t_gfWriteList* list, const char* name, size_t leaf,
                                   std::uint32_t hostDir);
// A new record whose bytes are the range of size bytes at from in the group open on group
// (path: for messages); the caller fills date and time. Null when memory fails.
t_gfWriteEntry* gfWriteAddRange(t_gfWriteList* list, const char* name, PlatHandle group,
                                const char* path, long from, long size);
t_gfWriteEntry* gfWriteEntryNumber(const t_gfWriteList* list, std::uint32_t number);
// The record at place i of the table order.
inline t_gfWriteEntry* gfWriteEntryAt(const t_gfWriteList* list, int i) {
  return gfWriteEntryNumber(list, list->order[i]);
}
// Puts the records in table order (the later of two copies first); false when memory fails.
bool gfWriteSort(t_gfWriteList* list);
// Takes order (count numbers from the tracked allocator, every record's stored name unlike
// the others', sorted by gfWriteSortRange from 0) as the list's table order.
void gfWriteKeepOrder(t_gfWriteList* list, std::uint32_t* order);
void gfWriteFree(t_gfWriteList* list);
// Where an entry's bytes come from, for messages: the host path, or the stored name and
// the group holding it. False when it does not fit size bytes.
bool gfWriteSourcePath(const t_gfWriteList* list, const t_gfWriteEntry* f, char* out,
                       size_t size);
// Drops the records from first on whose keep[i - first] is false; the others keep their
// order. The texts stay (they are freed with the list).
void gfWriteDropRecords(t_gfWriteList* list, int first, const bool* keep);
// Sorts the record numbers from first to the end by stored name (the table's comparison,
// ties in the order found) into order, which holds count - first numbers.
void gfWriteSortRange(const t_gfWriteList* list, int first, std::uint32_t* order);
// Whether two records get one stored name.
bool gfWriteSameName(const t_gfWriteList* list, std::uint32_t a, std::uint32_t b);
// The name an entry is stored under (GF_PATH_MAX + 1 bytes).
void gfWriteStoredName(const t_gfWriteList* list, const t_gfWriteEntry* f, char* out);

// ---- how the copy of an entry failed ----------------------------------------------------
enum t_gfCopyFailureKind {
  GF_COPY_CANNOT_OPEN,
  GF_COPY_CHANGED,  // the file's size is no longer what the search found
  GF_COPY_READ_ERROR,
  GF_COPY_WRITE_ERROR,  // the group file could not be written
  GF_COPY_NO_MEMORY,
  GF_COPY_NOT_REGULAR,  // the name no longer holds a regular file (a pipe, say)
  GF_COPY_HASH_ERROR,   // the host's SHA-256 failed
  GF_COPY_INTERRUPTED,  // the job's cancel check asked it to stop
};

struct t_gfCopyFailure {
  t_gfCopyFailureKind kind;
  char reason[160];  // the host's words for a read or write error
};
