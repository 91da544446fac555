// A task, the few files of one directory that one thread writes, and the writing of its
// files (unpack_write.cpp).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/gf/base/group_format.h"
#include "engine/gf/unpack/unpack_listing.h"
#include "engine/kestin/containers.h"
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// The owner cuts the entries into tasks of a few files in one directory, which the helpers
// write, each file whole by one thread. A task's messages wait in the task until the owner
// hands them on in task order, so that they come in directory order whatever the timing.

// A task holds up to a few hundred files, most directories whole: two threads making files
// in one directory wait for each other on its lock (with 64 files a task, a quarter of an
// unpack's sleeps on a game tree were that wait, and two threads unpacked it slower than one).
constexpr int kTaskFiles = 512;
constexpr int kTaskText = 32 * 1024;  // the stored names of a task's files
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
