// State and inner operations shared by the group file manager's own units; never included
// outside engine/gf.
#pragma once
#include <cstdarg>

#include "engine/gf/group_format.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

struct struct_list;

constexpr int GF_PATH_MAX = 255;  // every name and path the manager builds stays within this

// ---- names and paths (names.cpp) --------------------------------------------------------
// Turns a to z into A to Z in place.
void gfUpperCase(char* name);
// A caller's name with the table's separators: every '/' becomes a backslash. out has
// GF_PATH_MAX + 1 bytes; false, with out untouched, when the name does not fit.
bool gfNormalName(char* out, const char* name);
// dir, name and suffix joined into out (GF_PATH_MAX + 1 bytes); false when the whole
// would not fit the manager's limit.
bool gfJoinPath(char* out, const char* dir, const char* name, const char* suffix = "");
// Copies name into out (size bytes) with every byte below 0x20 and 0x7F written as \xHH,
// so that a name from a file or a disk cannot steer the terminal it is printed on.
void gfEscapeControls(const char* name, char* out, size_t size);
// The root directory as gfStart(root) makes it: root with a backslash appended when it
// lacks one. Gives false, with out empty, when no name would fit behind it.
bool gfMakeRoot(char* out, const char* root);
// A path of the engine's (backslashes, such as the root and the names under it) as the host
// spells it, for a message: on POSIX every backslash becomes '/'. The engine keeps using its
// own form; this is only what a user reads. out holds size bytes; returns out.
const char* gfShownPath(const char* path, char* out, size_t size);

// ---- the manager's root (lifecycle.cpp) ---------------------------------------------------
// Written only by gfStart(root), read by the units that join names to it.
extern char gfRoot[GF_PATH_MAX + 1];  // ends in a backslash once gfStart(root) has set it

// ---- positioned transfers (positioned_io.cpp) ----------------------------------------------
// One positioned transfer on h; bytes moved, or -1 when nothing moved because of an error.
long long gfReadAt(PlatHandle h, long offset, void* buffer, unsigned long count);
long long gfWriteAt(PlatHandle h, long offset, const void* buffer, unsigned long count);

// ---- the file table (table.cpp) ------------------------------------------------------------
// The records live in table.cpp alone; the other units reach them through these functions.
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
// Sets a record's size; a record whose cached copy would no longer match is first handed to
// the resize hook.
void gfTableSetSize(long index, long size);
// Called with a record's index before its size changes while it holds a cached copy.
void gfTableOnResize(void (*hook)(long index));
// Records before this count are in table order (the rest were appended); for tests.
int gfTableSortedCount();

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

// A ".WAV" name's record keeps the file's first 44 bytes.
bool gfWantsWavHeader(const t_gfFileInfo* record);
void gfReadWavHeader(t_gfFileInfo* record, PlatHandle h, long offset);

// ---- lookups of appended records (appended.cpp) -------------------------------------------
// Records behind the sorted part are found through a hash of their names, so that a table
// with many inserted files still answers in constant time. The table passes its records.
int gfFindAppended(const t_gfFileInfo* records, int sorted, int count, const char* upperName);
bool gfIndexAppended(const t_gfFileInfo* records, int index);  // false when memory fails
void gfClearAppended();  // after a full sort, and at gfStop

// ---- the root's group files (groups.cpp) ----------------------------------------------------
// The shared handles of the group files read at start-up, each with its file name relative
// to the root (null when memory for it failed). Closed at gfStop, once each, whether or not
// any record still refers to them.
bool gfAddGroup(PlatHandle group);  // false when memory fails
void gfNoteGroupName(PlatHandle group, const char* name);
bool gfIsGroupHandle(PlatHandle h);
void gfCloseGroups();

// ---- the start-up scan (scan.cpp) ---------------------------------------------------------
// Scans root (its group files, then its loose files) into a new table in table order.
void gfScanIntoTable(const char* root);
// The table of the one group file at path (gfStartGroup).
void gfScanGroupIntoTable(const char* path);

// ---- the read worker (reader.cpp) ---------------------------------------------------------
constexpr int GF_READ_QUEUE_SIZE = 1024;
// Empties the queue and starts the worker; false when the thread cannot be started (reads
// are then done at once on the caller's thread).
bool gfReadWorkerStart();
// Tells the worker to leave and waits for it; a read in progress stops at its next piece.
// Queued reads are never served; once this returns the worker writes no buffer.
void gfReadWorkerStop();
// Whether the worker has been told to leave (for a hook that holds the worker).
bool gfReadStopRequested();
// The id for the next read, queued or not.
long gfReadNewId();
// Queues a read for the worker; false when there is no worker or the queue is full.
bool gfReadEnqueue(const t_gfReadRequest& request);
// Before h is closed: its queued reads leave the queue (and so count as finished), and a
// read of it in progress stops at its current piece, which is waited for. Once this
// returns, the worker neither reads h nor writes those reads' buffers.
void gfReadDrop(PlatHandle h);
// Takes the queued read id (id 0: the newest queued read) out of the queue, when the worker
// has not begun it, so that the caller can do it at once; false when it is being read,
// finished or never queued.
bool gfReadTakeBack(long id, t_gfReadRequest* request);

// ---- loose files' records and handles (loose_files.cpp) -----------------------------------
// Closes a loose file's handle for good, after its queued reads leave the worker's queue:
// once closed, its number may come back from the next open.
void gfCloseLoose(PlatHandle h);
// A loose file's handle that its record no longer holds (the record was refreshed,
// recreated or deleted) while count GFILEs still use it: it is closed when the last of them
// closes, or at gfStop.
void gfOrphanHandle(PlatHandle h, int count);
// One GFILE on an orphaned handle closed.
void gfReleaseOrphan(PlatHandle h);
void gfCloseOrphans();
// Lets the record go of its loose-file handle, handing it to the orphans when handles are
// still open on it.
void gfDetachHandle(t_gfFileInfo* record);
// At gfStop: the loose-file handles the records hold.
void gfCloseRecordHandles();
// Registers (or refreshes) the loose file name below the root: gfInsertFile.
int gfInsertLoose(const char* name);

// ---- the cache (cache.cpp) ------------------------------------------------------------------
// At gfStart: the cache hears of records whose size changes.
void gfCacheStart();
// At gfStop, before the records' handles close: the cache's own GFILEs.
void gfCacheCloseFiles();
// Empties the cache list and the total at gfStop (the records' blocks are released there).
void gfCacheReset();
// A record leaving the table or changing size: its cached copy and list nodes go, or, while
// its read still runs, the block is kept aside until gfStop.
void gfCacheForget(long index);

// ---- messages of the checked forms (report.cpp) --------------------------------------------
// Formats a message and hands it to sink; nothing when sink is null.
void gfReportf(t_gfReport sink, const char* format, ...) ENGINE_PRINTF(2, 3);
void gfReportV(t_gfReport sink, const char* format, va_list args);
// A job that reports its problems to sink; the first one reported marks it failed.
struct t_gfJob {
  t_gfReport sink;
  int failed;
};
void gfFail(t_gfJob* job, const char* format, ...) ENGINE_PRINTF(2, 3);

// ---- opening a group file (group_open.cpp) --------------------------------------------
// Opens the group file at path and loads its directory; on failure reports why to sink and
// returns INVALID_HANDLE with nothing left open or allocated.
PlatHandle gfOpenGroup(const char* path, t_gfDirectory* directory, t_gfReport sink);
// Reports why the directory of the group file at path could not be read.
void gfReportDirectoryFailure(const char* path, t_gfDirStatus status,
                              const t_gfDirectory* directory, t_gfReport sink);
// Reports why the group file at path could not be opened (the host's reason).
void gfReportOpenFailure(const char* path, t_gfReport sink);

// ---- the table order ----------------------------------------------------------------------
// Names by unsigned bytes, then the later copy first; equal copies compare equal, so this
// is a consistent order for sorting.
int gfTableOrder(const t_gfFileInfo* a, const t_gfFileInfo* b);
int gfCompareName(const char* key, const t_gfFileInfo* record);
// A record's name block: the name in upper case, and behind its terminator the spelling the
// file was found or inserted under, so that a loose file opens by its own name at once
// instead of by a case-blind search of every directory on its path.
char* gfNewRecordName(const char* spelling);
const char* gfDiskName(const t_gfFileInfo* record);

// ---- trees -----------------------------------------------------------------
// One directory on the path of a recursive search, from the first one down.
struct t_gfVisit {
  std::uint64_t device, inode;
  const t_gfVisit* up;
};
// Whether the directory a search has just opened is already on the path: reached again
// through a link, it would be entered without end.
bool gfOnPath(const PlatFind* find, const t_gfVisit* path);
