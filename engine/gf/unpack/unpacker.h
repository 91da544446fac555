// What the unpacker's units share: the names of a directory and the case rule, the names
// met so far, the held directory levels, the tasks the helpers write, and the job.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/gf/base/group_format.h"
#include "engine/kestin/containers.h"
#include "engine/kestin/crew.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// ---- a directory's names and the case rule (unpack_names.cpp) ----------------------------
// A stored name lands on the file already there whose name differs from it only in case, as
// on a case-blind system, whether that file was there before the unpack or made by it.

// The names of one directory: each sits in text as a flag byte (1: a regular file), the
// name and its terminator; order gives their places sorted by the name in lower case, then
// by its bytes, so that one run holds all the spellings of a name in byte order.
struct t_gfListing {
  std::atomic<int> users;  // the held level and the tasks writing in it
  t_engineArray<char> text;
  t_engineArray<std::uint32_t> order;
  bool broken;  // memory ran out or the host could not list the directory: it tells nothing
  char reason[128];  // why it is broken
};

// The names in dir, sorted; null when memory fails. A listing the host broke off is kept,
// marked broken with the reason: no spelling is decided on names it may have missed.
t_gfListing* gfReadListing(PlatHandle dir);
void gfReleaseListing(t_gfListing* l);  // drops one use; null is ignored

enum t_gfSpelling {
  GF_SPELLING_NONE,     // nothing of that name in any case (or only a link, directory or pipe)
  GF_SPELLING_EXACT,    // the name as stored is there
  GF_SPELLING_OTHER,    // a regular file of another spelling is there: *other (256 bytes)
  GF_SPELLING_FAILED    // the directory could not be listed (l null or broken): write nothing
};
t_gfSpelling gfFindSpelling(const t_gfListing* l, const char* name, char* other);
// Why a listing cannot tell (null: memory ran out before it was read).
const char* gfListingFailure(const t_gfListing* l);
// Removes from dir the temporary names of name's pattern in the listing (regular files only)
// whose process is gone: what a killed unpack (or pack) left beside the file. Calls removed
// with each name removed.
typedef void (*t_gfStaleVisit)(const char* removed, void* context);
void gfRemoveStaleTemps(const t_gfListing* l, PlatHandle dir, const char* name,
                        t_gfStaleVisit removed, void* context);

// ---- names met so far (unpack_names.cpp) ---------------------------------------------------
// Two entries that land on one file (a name stored twice, or spelled otherwise), or a file
// and a directory level of one name, must be written in directory order. The owner keeps a
// hash of every name met (without regard to case); an entry whose hash was met before waits
// until all the work before it is done. A false match only costs that wait.
struct t_gfNamesMet {
  t_engineSet hashes;
  bool broken;  // memory failed: every name counts as met (waits, never wrong files)
};
// Whether name (its directory levels from depth keep on, then the name itself) meets a name
// met before; notes them all.
bool gfMeetsEarlierName(t_gfNamesMet* met, const char* name, int keep);

// ---- tasks (unpack_write.cpp) ----------------------------------------------------------------
// The owner cuts the entries into tasks of a few files in one directory, which the helpers
// write, each file whole by one thread. A task's messages wait in the task until the owner
// hands them on in task order, so that they come in directory order whatever the timing.

constexpr int kTaskFiles = 64;
constexpr int kTaskText = 8 * 1024;  // the stored names of a task's files
// A task takes no more file after it holds this many bytes: a directory of large files is
// cut into several tasks, so that every thread copies some of them.
constexpr long long kTaskBytes = 8 << 20;

struct t_gfTaskFile {
  std::int32_t dataOffset, dataSize;
  std::uint16_t date, time;  // as stored, for GF_UNPACK_STORED_DATES
  std::uint16_t name;        // in the task's text
  bool recheck;  // its name was met before in this unpack: look at the directory afresh
};

// What the threads of one unpack share. The first "no space left" stops it: the files after
// it are counted, not tried, instead of one message each. And how far it is, for the
// progress hook, told as each file is done (a task may be one directory of large files).
struct t_gfShared {
  std::atomic<bool> diskFull{false};
  std::atomic<long> notWritten{0};
  std::atomic<long> filesDone{0};
  std::atomic<long long> bytesDone{0};
  long filesAll = 0;  // the whole directory's
  long long bytesAll = 0;
  // Old copies kept for reuse whose names could not be removed at the end, and why (the
  // first thread to meet it writes the reason).
  std::atomic<long> keptLeft{0};
  char keptReason[128] = "";
};
// Removes a writing thread's spares, counting in shared a failure to.
void gfDropSpares(PlatSpares* spares, t_gfShared* shared);

struct t_gfTask {
  PlatHandle dir;        // a second handle on the level receiving the files, the task's own
  bool dirFresh;         // the level was made by this unpack
  t_gfListing* listing;  // its names before the unpack (a use held), or null
  PlatHandle group;      // the group being read: never written over
  int fileCount;
  int textUsed;
  long long bytes;  // the data of its files
  t_gfTaskFile files[kTaskFiles];
  t_engineArray<char> messages;  // one after the other, each with its terminator
  int failures;
  int flags;  // the unpack's GF_UNPACK_ flags
  t_gfShared* shared;  // the job's, shared by its tasks
  // Last, so that a name written one byte past the end meets the redzone of a checked build.
  char text[kTaskText];
};

void gfNoteTaskMessage(t_gfTask* task, const char* format, ...) ENGINE_PRINTF(2, 3);
// A message that is no failure (what the task cleaned up), handed on in the same order.
void gfNoteTaskNotice(t_gfTask* task, const char* format, ...) ENGINE_PRINTF(2, 3);

// Small files are written from a window of the group read in one piece: one read serves
// dozens of files, and a plain write of a few KiB costs less than a kernel copy call.
// Larger files go through the host's copy, which moves them without passing through here.
constexpr long kWindowSize = 256 * 1024;

// The part of the group the window holds: length bytes from start.
struct t_gfWindow {
  unsigned char* bytes;  // kWindowSize bytes, or null when memory failed (all files copied)
  long long start;
  long long length;
  PlatSpares* spares;  // the writing thread's replaced copies, written again (null: none)
};

// Writes every file of the task.
void gfRunTask(PlatHandle group, t_gfTask* task, t_gfWindow* window);

// A path below the working directory as the host spells it in messages: the stored levels
// with the host's separator, then the file's own name.
void gfShownHostPath(const char* name, const char* leaf, char* out, size_t size);

// ---- the directory levels (unpack_levels.cpp) -----------------------------------------------
constexpr int kMaxLevels = GF_NAME_MAX / 2 + 1;  // a level takes a byte and a backslash

// The directory levels of the previous entry, held open: the next entry in the same
// directory opens no level again, and each level is entered through its parent's handle,
// never by a path the host would resolve through links.
struct t_gfLevels {
  PlatHandle top;               // the working directory
  PlatHandle dirs[kMaxLevels];  // dirs[i]: level i + 1
  size_t ends[kMaxLevels];      // where level i + 1 ends in made
  bool fresh[kMaxLevels];       // level i + 1 was made by this unpack: it held no file
  // listings[0]: the working directory's names, listings[i]: level i's; read when needed
  t_gfListing* listings[kMaxLevels + 1];
  int depth;
  char made[GF_NAME_MAX + 1];  // the stored-name prefix the held levels stand for
};

void gfDropLevels(t_gfLevels* levels, int keep);
// How many held levels the first length bytes of name share whole with the previous entry.
int gfSharedLevels(const t_gfLevels* levels, const char* name, size_t length);
// Opens (making them where missing) the levels of name before its last backslash; returns
// the directory that receives the file, or INVALID_HANDLE after noting why not in task.
PlatHandle gfEnterLevels(t_gfLevels* levels, const char* name, t_gfTask* task);
// The names of the innermost held level as they were before any task wrote in it, shared
// by the tasks that write there (each holds a use); null when the level was made by this
// unpack (nothing there but ours) or memory failed.
t_gfListing* gfSharedListing(t_gfLevels* levels);

// ---- the job (unpack_tasks.cpp) ----------------------------------------------------------------
constexpr int kMaxTasks = 2 * CREW_MAX;

// The tasks are the batches of the crew's ring: the owner issues them in directory order,
// the helpers claim and write them, and the owner retires them (hands their messages on) in
// the same order.
struct t_gfUnpackJob {
  PlatHandle group;
  t_gfReport sink;
  t_crewRing ring;
  t_gfTask* tasks[kMaxTasks];  // task number n uses tasks[crewRingSlot(&ring, n)]
  int taskCount;
  int helpers;
  int failures;
  int flags;  // GF_UNPACK_ flags
  t_gfLevels levels;
  t_gfNamesMet met;
  t_gfTask* current;  // being filled by the owner, or null
  t_gfWindow window;  // the owner's, when it writes the tasks itself
  t_gfShared shared;
};

// A helper thread's loop: takes queued tasks in order and writes them.
void gfUnpackHelper(void* context);
// The next task to fill, in a free slot (its previous task retired first).
t_gfTask* gfNewTask(t_gfUnpackJob* job);
// Hands the task being filled to the helpers (or, without any, writes it at once).
void gfDispatch(t_gfUnpackJob* job);
// Waits until every task handed out is done, and hands their messages on.
void gfWaitForAll(t_gfUnpackJob* job);
