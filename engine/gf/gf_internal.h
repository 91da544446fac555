// State and inner operations shared by the group file manager's own units; never included
// outside engine/gf.
#pragma once
#include <cstdarg>

#include "engine/gf/group_format.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

struct struct_list;

// One file found by the start-up scan, kept in a list until the table is made.
struct t_gfScanEntry {
  char* name;        // the full path
  PlatHandle group;  // the group file holding the entry, or INVALID_HANDLE for a loose file
  long offset;
  long size;
  std::uint16_t date;
  std::uint16_t time;
  int inGroup;
};

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

// ---- manager state (owned by table.cpp) ---------------------------------------------------
extern char gfRoot[GF_PATH_MAX + 1];  // ends in a backslash once gfStart(root) has set it
extern t_gfFileInfo* gfFiles;         // gfFileCount records; null while stopped
extern int gfFileCount;
extern int gfSortedCount;  // records before this are in table order
extern int gfStarted;
// The handles of the root's group files read at start-up (data: the handle). They are
// closed here at gfStop, once each, whether or not any record still refers to them.
extern struct_list* gfGroupHandles;

extern int gfFileCapacity;  // records gfFiles has room for; inserts grow it geometrically

// ---- the names of the root's group files (group_names.cpp) ---------------------------------
void gfNoteGroupName(PlatHandle group, const char* name);  // name: relative to the root
void gfForgetGroupNames();                                 // at gfStop, after the handles close

// ---- lookups of appended records (appended.cpp) -------------------------------------------
// Records behind gfSortedCount are found through a hash of their names, so that a table
// with many inserted files still answers in constant time.
int gfFindAppended(const char* upperName);  // index, or -1
bool gfIndexAppended(int index);            // false when memory fails (lookups then walk)
void gfClearAppended();                     // after a full sort, and at gfStop

// ---- positioned transfers (positioned_io.cpp) ----------------------------------------------
// One positioned transfer on h; bytes moved, or -1 when nothing moved because of an error.
long long gfReadAt(PlatHandle h, long offset, void* buffer, unsigned long count);
long long gfWriteAt(PlatHandle h, long offset, const void* buffer, unsigned long count);

// ---- file handles (file.cpp) ---------------------------------------------------------------
// Whether h is the shared handle of one of the root's group files.
bool gfIsGroupHandle(PlatHandle h);
// A loose file's handle that its record no longer holds (the record was refreshed,
// recreated or deleted) while count GFILEs still use it: it is closed when the last of them
// closes, or at gfStop.
void gfOrphanHandle(PlatHandle h, int count);
void gfCloseOrphans();
// Lets the record at index go of its loose-file handle, handing it to the orphans when
// handles are still open on it.
void gfDetachHandle(t_gfFileInfo* record);

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
// Called, when set, on the worker's thread before it serves each request: lets tests hold
// the worker at a known point. Set it while no worker runs.
extern void (*gfReadBeforeServe)(const t_gfReadRequest* request);

// ---- the cache (cache.cpp) ------------------------------------------------------------------
// Empties the cache list and the total at gfStop (the records' blocks are released there).
void gfCacheReset();
// Around a renumbering of the table: the cache list's nodes follow their records by name;
// the node of the record at index leaving goes.
void gfCacheBeforeRenumber(int leaving);
void gfCacheAfterRenumber();
// A record leaving the table: its cached copy goes, or, while its read still runs, is kept
// aside until gfStop.
void gfCacheForget(int index);

// ---- the start-up scan (scan.cpp) ---------------------------------------------------------
void gfScanRoot(struct_list** list, const char* dir);
void gfScanDir(struct_list** list, const char* dir);
void gfReadGroup(struct_list** list, PlatHandle group);
// A new scan entry, zero but for the given name (held in the entry's own block); null when
// memory fails.
t_gfScanEntry* gfNewScanEntry(const char* name);
void gfFreeScanEntry(t_gfScanEntry* entry);

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

// Called, when set, after the build list has been collected and before anything is
// written: lets tests change files between the search and the copy.
extern void (*gfBuildAfterCollect)();

// ---- trees -----------------------------------------------------------------
// One directory on the path of a recursive search, from the first one down.
struct t_gfVisit {
  std::uint64_t device, inode;
  const t_gfVisit* up;
};
// Whether the directory a search has just opened is already on the path: reached again
// through a link, it would be entered without end.
bool gfOnPath(const PlatFind* find, const t_gfVisit* path);
