// The file table: the records (kept in table.cpp alone) behind small functions, their table
// order and name blocks, the holders of record indices that a removal renumbers, and the
// index of records appended behind the sorted part.
#pragma once
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// ---- the records ----------------------------------------------------------------------------
// An empty table with room for capacity records; false when memory fails, the table is then
// absent (every lookup fails and nothing can be added) until the next start.
bool gfTableOpen(int capacity);
// Gives back every record's name and cached block and the records themselves; every holder
// (below) is told its index is -1.
void gfTableClose();
bool gfTablePresent();
// The record at index, or null outside the table. Valid until the next append or removal.
t_gfFileInfo* gfRecordAt(long index);
// Copies record to the end of the table (taking its name block); its index, or -1 when
// there is no table or memory fails (the name is then still the caller's).
long gfTableAppend(const t_gfFileInfo& record);
// After the start-up scan: puts the records in table order and keeps the latest copy of
// each name.
void gfTableSortUnique();
// Takes the record at index out (its name block goes), puts the rest in table order, and
// gives every holder its record's new index, or -1 when its record was the one removed.
void gfTableRemove(long index);
// Sets a record's size, handing the change to the resize hook first.
void gfTableSetSize(long index, long long size);
// Called with a record's index and its new size before its size changes.
void gfTableOnResize(void (*hook)(long index, long long size));
// How many removals have renumbered the table since the program began: what keeps record
// indices of its own can tell when to renumber them.
unsigned long gfTableRenumberings();
// Records before this count are in table order (the rest were appended); for tests.
int gfTableSortedCount();

// A ".WAV" name's record keeps the file's first 44 bytes.
bool gfWantsWavHeader(const t_gfFileInfo* record);
void gfReadWavHeader(t_gfFileInfo* record, PlatHandle h, long offset);

// ---- order and names ------------------------------------------------------------------------
// Names by unsigned bytes, then the later copy first; equal copies compare equal, so this
// is a consistent order for sorting.
int gfTableOrder(const t_gfFileInfo* a, const t_gfFileInfo* b);
int gfCompareName(const char* key, const t_gfFileInfo* record);
// A record's name block: the name in upper case, and behind its terminator the spelling the
// file was found or inserted under, so that a loose file opens by its own name at once
// instead of by a case-blind search of every directory on its path.
char* gfNewRecordName(const char* spelling);
const char* gfDiskName(const t_gfFileInfo* record);

// ---- holders of record indices --------------------------------------------------------------
// Something that refers to a record by index (an open GFILE, a cache list node): registered
// with the table, its index follows its record when a removal renumbers the table, and
// becomes -1 once that record is gone. The caller owns the holder's memory.
struct t_gfIndexHolder {
  long* index;
  const char* name;  // the record's name block, while the table renumbers
  t_gfIndexHolder* prev;
  t_gfIndexHolder* next;
  bool listed;
};
void gfTableHold(t_gfIndexHolder* holder, long* index);
void gfTableLetGo(t_gfIndexHolder* holder);

// ---- lookups of appended records (appended.cpp) ---------------------------------------------
// Records behind the sorted part are found through a hash of their names, so that a table
// with many inserted files still answers in constant time. The table passes its records.
int gfFindAppended(const t_gfFileInfo* records, int sorted, int count, const char* upperName);
bool gfIndexAppended(const t_gfFileInfo* records, int index);  // false when memory fails
void gfClearAppended();  // after a full sort, and at gfStop
