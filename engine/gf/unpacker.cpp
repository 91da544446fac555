// The unpacker: recreates every file stored in a group file below the current directory,
// entering each directory level through a held handle so that no link is ever followed.
#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/group_format.h"
#include "engine/gf/group_open.h"
#include "engine/gf/names.h"
#include "engine/kestin/crew.h"
#include "engine/kestin/ascii.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Small files are written from a window of the group read in one piece: one read serves
// dozens of files, and a plain write of a few KiB costs less than a kernel copy call.
// Larger files go through the host's copy, which moves them without passing through here.
constexpr long kWindowSize = 256 * 1024;
constexpr long kWindowedFileMax = 64 * 1024;

// The part of the group the window holds: length bytes from start.
struct t_gfWindow {
  unsigned char* bytes;  // kWindowSize bytes, or null when memory failed (all files copied)
  long long start;
  long long length;
};

constexpr int kMaxLevels = GF_NAME_MAX / 2 + 1;  // a level takes a byte and a backslash

// ---- files whose names differ only in case ----------------------------------------------
// A stored name is written over a file already there whose name differs from it only in
// case, as a case-blind system would, instead of beside it. A directory's names are read
// once, the first time a new file is made in it, and kept while it is held.

// The names of one directory: each sits in text as a flag byte (1: a regular file), the
// name and its terminator; order gives their places sorted by the name in lower case, then
// by its bytes, so that one run holds all the spellings of a name in byte order.
struct t_gfListing {
  std::atomic<int> users;  // the held level and the tasks writing in it
  char* text;
  std::uint32_t used, room;
  std::uint32_t* order;
  std::uint32_t count, capacity;
  bool broken;  // memory ran out: the listing finds nothing
};

// Names without regard to case; the same order for any spelling of a name.
int compareFolded(const char* a, const char* b) {
  for (;; a++, b++) {
    int x = asciiLower((unsigned char)*a), y = asciiLower((unsigned char)*b);
    if (x != y || !x) return x - y;
  }
}

// Makes room for need more units of size bytes behind used in the block; false when
// memory fails.
bool reserve(void** block, std::uint32_t* room, std::uint32_t used, std::uint32_t need,
             size_t size) {
  if (used + (unsigned long long)need <= *room) return true;
  unsigned long long grown = (used + (unsigned long long)need) * 2 + 64;
  if (grown > 0xFFFFFFFFu) return false;
  void* bigger = ENGINE_NEW(grown * size);
  if (!bigger) return false;
  if (*block) std::memcpy(bigger, *block, used * size);
  ENGINE_DELETE(*block);
  *block = bigger;
  *room = (std::uint32_t)grown;
  return true;
}

void addListed(const char* name, int isRegular, void* context) {
  auto* l = static_cast<t_gfListing*>(context);
  std::uint32_t n = (std::uint32_t)std::strlen(name) + 2;
  void* text = l->text;
  void* order = l->order;
  l->broken = l->broken || !reserve(&text, &l->room, l->used, n, 1) ||
              !reserve(&order, &l->capacity, l->count, 1, sizeof *l->order);
  l->text = static_cast<char*>(text);
  l->order = static_cast<std::uint32_t*>(order);
  if (l->broken) return;
  l->text[l->used] = (char)(isRegular ? 1 : 0);
  std::memcpy(l->text + l->used + 1, name, n - 1);
  l->order[l->count++] = l->used;
  l->used += n;
}

void releaseListing(t_gfListing* l) {
  if (!l || --l->users > 0) return;
  ENGINE_DELETE(l->text);
  ENGINE_DELETE(l->order);
  ENGINE_DELETE(l);
}

// The names in dir, sorted; null when memory fails. A listing the host broke off keeps
// what it read: a name it missed is written beside its other spelling, as before.
t_gfListing* readListing(PlatHandle dir) {
  auto* l = static_cast<t_gfListing*>(ENGINE_NEW_ZERO(sizeof(t_gfListing)));
  if (!l) return nullptr;
  l->users.store(1);
  platListForCaseMatch(dir, addListed, l);
  const char* text = l->text;
  std::sort(l->order, l->order + l->count, [text](std::uint32_t a, std::uint32_t b) {
    int c = compareFolded(text + a + 1, text + b + 1);
    return c ? c < 0 : std::strcmp(text + a + 1, text + b + 1) < 0;
  });
  return l;
}

// The spelling of name that is already in the listing: the first in byte order of the
// names that differ from it only in case. Null when there is none or it is not a regular
// file: a link, a directory or a pipe is left as it is and name is made beside it.
const char* otherSpelling(const t_gfListing* l, const char* name) {
  if (!l || l->broken) return nullptr;
  const std::uint32_t* begin = l->order;
  const std::uint32_t* end = begin + l->count;
  const std::uint32_t* at = std::lower_bound(
      begin, end, name,
      [l](std::uint32_t a, const char* key) { return compareFolded(l->text + a + 1, key) < 0; });
  for (; at != end && compareFolded(l->text + *at + 1, name) == 0; at++) {
    const char* spelled = l->text + *at + 1;
    if (std::strcmp(spelled, name) == 0) continue;  // the file just made
    return l->text[*at] ? spelled : nullptr;
  }
  return nullptr;
}

// ---- the directory levels ---------------------------------------------------------------

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

void dropLevels(t_gfLevels* levels, int keep) {
  while (levels->depth > keep) {
    releaseListing(levels->listings[levels->depth]);
    levels->listings[levels->depth] = nullptr;
    platClose(levels->dirs[--levels->depth]);
  }
  levels->made[keep ? levels->ends[keep - 1] : 0] = 0;
}

// The names of the innermost held level as they were before any task wrote in it, shared
// by the tasks that write there (each holds a use); null when the level was made by this
// unpack (nothing there but ours) or memory failed.
t_gfListing* sharedListing(t_gfLevels* levels) {
  int depth = levels->depth;
  if (depth > 0 && levels->fresh[depth - 1]) return nullptr;
  if (!levels->listings[depth])
    levels->listings[depth] = readListing(depth ? levels->dirs[depth - 1] : levels->top);
  t_gfListing* l = levels->listings[depth];
  if (l) ++l->users;
  return l;
}

// A path below the working directory as the host spells it in messages: the stored
// levels with the host's separator, then the file's own name.
void shownHostPath(const char* name, const char* leaf, char* out, size_t size) {
  const char* last = std::strrchr(name, '\\');
  size_t dir = last ? (size_t)(last - name) + 1 : 0;
  char path[GF_NAME_MAX + GF_PATH_MAX + 2];
  std::snprintf(path, sizeof path, "%.*s%s", (int)dir, name, leaf);
  gfShownPath(path, out, size);
}

// How many held levels the first length bytes of name share whole with the previous entry.
int sharedLevels(const t_gfLevels* levels, const char* name, size_t length) {
  int keep = 0;
  while (keep < levels->depth) {
    size_t end = levels->ends[keep];
    if (end > length || name[end] != '\\' || std::memcmp(levels->made, name, end) != 0) break;
    keep++;
  }
  return keep;
}

// ---- tasks --------------------------------------------------------------------------------
// The owner (the caller's thread) walks the directory in order: it makes the directory levels
// and cuts the entries into tasks of a few files in one directory, which the crew's threads
// write, each file whole by one thread. A task's messages wait in the task until the owner
// hands them on in task order, so that they come in directory order whatever the timing.

constexpr int kTaskFiles = 64;
constexpr int kTaskText = 8 * 1024;  // the stored names of a task's files

struct t_gfTaskFile {
  std::int32_t dataOffset, dataSize;
  std::uint16_t date, time;  // as stored, for GF_UNPACK_STORED_DATES
  std::uint16_t name;  // in the task's text
  bool recheck;  // its name was met before in this unpack: look at the directory afresh
};

enum t_gfTaskState { GF_TASK_FREE, GF_TASK_QUEUED, GF_TASK_RUNNING, GF_TASK_DONE };

struct t_gfTask {
  PlatHandle dir;  // a second handle on the level receiving the files, the task's own
  bool dirFresh;   // the level was made by this unpack
  t_gfListing* listing;  // its names before the unpack (a use held), or null
  int fileCount;
  int textUsed;
  t_gfTaskFile files[kTaskFiles];
  char text[kTaskText];
  char* messages;  // one after the other, each with its terminator
  std::uint32_t messagesUsed, messagesRoom;
  int failures;
  int flags;  // the unpack's GF_UNPACK_ flags
  t_gfTaskState state;
  struct t_gfShared* shared;  // the job's, shared by its tasks
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
};

// A file left out because the disk filled: counted as a failure, without a message of its own.
void skipFile(t_gfTask* task) {
  task->failures++;
  task->shared->notWritten++;
}

void tellDone(t_gfShared* shared, const t_gfTaskFile* f) {
  long files = ++shared->filesDone;
  long long bytes = shared->bytesDone += (std::uint32_t)f->dataSize;
  gfTellProgress(files, shared->filesAll, bytes, shared->bytesAll);
}

void noteMessage(t_gfTask* task, const char* format, ...) ENGINE_PRINTF(2, 3);

void noteMessage(t_gfTask* task, const char* format, ...) {
  task->failures++;
  char line[2 * PLAT_PATH_MAX];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::uint32_t n = (std::uint32_t)std::strlen(line) + 1;
  void* block = task->messages;
  if (!reserve(&block, &task->messagesRoom, task->messagesUsed, n, 1)) return;  // counted still
  task->messages = static_cast<char*>(block);
  std::memcpy(task->messages + task->messagesUsed, line, n);
  task->messagesUsed += n;
}

// Opens (making them where missing) the levels of name before its last backslash; returns
// the directory that receives the file, or INVALID_HANDLE after noting why not in task.
PlatHandle enterLevels(t_gfLevels* levels, const char* name, t_gfTask* task) {
  const char* last = std::strrchr(name, '\\');
  size_t length = last ? (size_t)(last - name) : 0;
  dropLevels(levels, sharedLevels(levels, name, length));
  size_t pos = levels->depth ? levels->ends[levels->depth - 1] + 1 : 0;
  while (pos < length) {
    size_t next = pos;
    while (next < length && name[next] != '\\') next++;
    char level[GF_NAME_MAX + 1];
    std::memcpy(level, name + pos, next - pos);
    level[next - pos] = 0;
    PlatHandle parent = levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
    int isLink = 0, made = 0;
    PlatHandle h = levels->depth < kMaxLevels ? platOpenLevelNoting(parent, level, &isLink, &made)
                                              : INVALID_HANDLE;
    if (h == INVALID_HANDLE) {
      char levels[GF_NAME_MAX + 1], shown[GF_NAME_MAX + 1];
      std::snprintf(levels, sizeof levels, "%.*s", (int)(isLink ? next : std::strlen(name)), name);
      gfShownPath(levels, shown, sizeof shown);
      if (isLink)
        noteMessage(task, "refusing to unpack '%s': '%s' is a symbolic link", name, shown);
      else
        noteMessage(task, "cannot create '%s': %s", shown, platLastError());
      return INVALID_HANDLE;
    }
    levels->fresh[levels->depth] = made != 0;
    levels->dirs[levels->depth] = h;
    levels->ends[levels->depth++] = next;
    std::memcpy(levels->made, name, next);
    levels->made[next] = 0;
    pos = next + 1;
  }
  return levels->depth ? levels->dirs[levels->depth - 1] : levels->top;
}

// Writes a file's data to out; the bytes written (fewer when the group ended early), or -1
// after an error.
long long copyData(PlatHandle group, t_gfWindow* window, const t_gfTaskFile* f, PlatHandle out) {
  long long from = f->dataOffset, size = f->dataSize;
  if (!window->bytes || size > kWindowedFileMax) return platCopyRange(group, from, out, 0, size);
  if (from < window->start || from + size > window->start + window->length) {
    window->start = from;
    window->length = platReadAt(group, from, window->bytes, (size_t)kWindowSize);
    if (window->length < 0) {
      window->length = 0;
      return -1;
    }
  }
  long long have = window->start + window->length - from;
  long long count = have < size ? have : size;
  long long written = platWriteAt(out, 0, window->bytes + (from - window->start), (size_t)count);
  return written < 0 ? -1 : written;
}

// Opens the file of a stored name in the task's directory for writing: under the name as
// stored, or, when that was not there but a regular file whose name differs only in case
// was, over that file under its own spelling. *leaf is the name opened.
PlatHandle createFile(t_gfTask* task, const t_gfTaskFile* f, const char** leaf) {
  int fresh = 0;
  PlatHandle out = platCreateInDirNoting(task->dir, *leaf, &fresh);
  if (out == INVALID_HANDLE || !fresh || task->dirFresh) return out;
  // A name met before may have been made by this unpack since the listing was read.
  t_gfListing* own = f->recheck ? readListing(task->dir) : nullptr;
  const char* other = otherSpelling(f->recheck ? own : task->listing, *leaf);
  if (other) {
    platClose(out);
    platRemoveInDir(task->dir, *leaf);
    *leaf = other;
    out = platCreateInDir(task->dir, other);
  }
  if (other && own) {  // other lives in own: the name is used below, so it moves to the task
    size_t n = std::strlen(other) + 1;
    if (task->textUsed + n <= sizeof task->text) {
      std::memcpy(task->text + task->textUsed, other, n);
      *leaf = task->text + task->textUsed;
      task->textUsed += (int)n;
    } else {
      *leaf = nullptr;
    }
  }
  releaseListing(own);
  return out;
}

// Gives the written file its stored date and time; a pair that is no valid date leaves the
// time of writing. False when the host refused.
bool setStoredDate(PlatHandle out, const t_gfTaskFile* f) {
  std::int64_t time;
  return !platDosToTime(f->date, f->time, &time) || platSetWriteTime(out, time) == 0;
}

// Writes one file of a task. A file that cannot be finished is removed, and so is the file
// being written when the tool is interrupted.
void writeFile(PlatHandle group, t_gfTask* task, const t_gfTaskFile* f, t_gfWindow* window) {
  if (task->shared->diskFull) {
    skipFile(task);
    return;
  }
  const char* name = task->text + f->name;
  const char* last = std::strrchr(name, '\\');
  const char* leaf = last ? last + 1 : name;
  PlatHandle out = createFile(task, f, &leaf);
  char shown[GF_NAME_MAX + 1];
  shownHostPath(name, leaf ? leaf : last ? last + 1 : name, shown, sizeof shown);
  if (out == INVALID_HANDLE || !leaf) {
    if (!leaf) platClose(out);
    if (leaf && platLastErrorIsNoSpace() && task->shared->diskFull.exchange(true))
      skipFile(task);
    else
      noteMessage(task, "cannot create '%s': %s", shown, leaf ? platLastError() : "out of memory");
    return;
  }
  int guard = platGuardPartialFile(task->dir, leaf);
  long long copied = copyData(group, window, f, out);
  if (copied != f->dataSize) {
    if (copied < 0 && platLastErrorIsNoSpace() && task->shared->diskFull.exchange(true))
      skipFile(task);  // another thread met the full disk first and said so
    else
      noteMessage(task, "cannot write '%s': %s", shown,
                  copied < 0 ? platLastError() : "the group file ended early");
    platClose(out);
    platRemoveInDir(task->dir, leaf);
    platUnguardPartialFile(guard);
    return;
  }
  // Every byte is in: an interrupt from here on leaves the file whole.
  platUnguardPartialFile(guard);
  if ((task->flags & GF_UNPACK_STORED_DATES) && !setStoredDate(out, f))
    noteMessage(task, "cannot set the date of '%s': %s", shown, platLastError());  // file stays
  if (platClose(out) != 0) {
    noteMessage(task, "cannot write '%s': %s", shown, platLastError());
    platRemoveInDir(task->dir, leaf);
  } else {
    tellDone(task->shared, f);
  }
}

void runTask(PlatHandle group, t_gfTask* task, t_gfWindow* window) {
  for (int i = 0; i < task->fileCount; i++) writeFile(group, task, &task->files[i], window);
}

// ---- names met so far ----------------------------------------------------------------------
// Two entries that land on one file (a name stored twice, or spelled otherwise on a host
// blind to case, or over one file already there in another case), or a file and a directory
// level of one name, must be written in directory order. The owner keeps a hash of every
// name met (without regard to case); an entry or level whose hash was met before waits until
// all the work before it is done. A false match only costs that wait.

struct t_gfNamesMet {
  std::uint64_t* slots;  // 0: empty
  std::uint32_t capacity, count;
  bool broken;  // memory failed: every name counts as met (waits, never wrong files)
};

std::uint64_t foldedHash(const char* name, size_t length, std::uint64_t kind) {
  std::uint64_t h = 1469598103934665603ull ^ kind;
  for (size_t i = 0; i < length; i++) h = (h ^ asciiLower((unsigned char)name[i])) * 1099511628211ull;
  return h ? h : 1;
}

constexpr std::uint64_t kFileName = 0, kLevelName = 0x9E3779B97F4A7C15ull;

bool metBefore(const t_gfNamesMet* met, std::uint64_t h) {
  if (!met->capacity) return false;
  for (std::uint32_t i = (std::uint32_t)h & (met->capacity - 1);; i = (i + 1) & (met->capacity - 1)) {
    if (met->slots[i] == h) return true;
    if (met->slots[i] == 0) return false;
  }
}

void noteMet(t_gfNamesMet* met, std::uint64_t h) {
  if (met->broken) return;
  if (met->count + 1 > met->capacity / 2) {
    std::uint32_t grown = met->capacity ? met->capacity * 2 : 1024;
    auto* bigger = static_cast<std::uint64_t*>(ENGINE_NEW_ZERO(sizeof(std::uint64_t) * grown));
    if (!bigger) {
      met->broken = true;
      return;
    }
    for (std::uint32_t i = 0; i < met->capacity; i++) {
      std::uint64_t old = met->slots[i];
      if (!old) continue;
      std::uint32_t j = (std::uint32_t)old & (grown - 1);
      while (bigger[j]) j = (j + 1) & (grown - 1);
      bigger[j] = old;
    }
    ENGINE_DELETE(met->slots);
    met->slots = bigger;
    met->capacity = grown;
  }
  std::uint32_t i = (std::uint32_t)h & (met->capacity - 1);
  while (met->slots[i] && met->slots[i] != h) i = (i + 1) & (met->capacity - 1);
  if (!met->slots[i]) met->count++;
  met->slots[i] = h;
}

// ---- the job ---------------------------------------------------------------------------------

constexpr int kMaxTasks = 2 * CREW_MAX;

struct t_gfUnpackJob {
  PlatHandle group;
  t_gfReport sink;
  std::mutex lock;  // guards the tasks' states and the counters
  std::condition_variable changed;
  t_gfTask* tasks[kMaxTasks];
  int taskCount;      // slots: task number n uses tasks[n % taskCount]
  long dispatched;    // tasks handed out so far
  long started;       // tasks a helper has taken
  long retired;       // tasks whose messages went out
  bool leaving;
  int helpers;
  int failures;
  int flags;  // GF_UNPACK_ flags
  t_gfLevels levels;
  t_gfNamesMet met;
  t_gfTask* current;  // being filled by the owner, or null
  t_gfWindow window;  // the owner's, when it writes the tasks itself
  t_gfShared shared;
};

void helperLoop(void* context) {
  auto* job = static_cast<t_gfUnpackJob*>(context);
  t_gfWindow window{static_cast<unsigned char*>(ENGINE_NEW(kWindowSize)), 0, 0};
  std::unique_lock<std::mutex> held(job->lock);
  for (;;) {
    job->changed.wait(held, [job] { return job->leaving || job->started < job->dispatched; });
    if (job->started >= job->dispatched) break;
    t_gfTask* task = job->tasks[job->started++ % job->taskCount];
    task->state = GF_TASK_RUNNING;
    held.unlock();
    runTask(job->group, task, &window);
    held.lock();
    task->state = GF_TASK_DONE;
    job->changed.notify_all();
  }
  held.unlock();
  ENGINE_DELETE(window.bytes);
}

// Hands the oldest task's messages on and frees its slot; waits for it to be done.
void retireOne(t_gfUnpackJob* job, std::unique_lock<std::mutex>& held) {
  t_gfTask* task = job->tasks[job->retired % job->taskCount];
  job->changed.wait(held, [task] { return task->state == GF_TASK_DONE; });
  for (std::uint32_t at = 0; at < task->messagesUsed; at += (std::uint32_t)std::strlen(task->messages + at) + 1)
    gfReportf(job->sink, "%s", task->messages + at);
  job->failures += task->failures;
  if (task->dir != INVALID_HANDLE) platClose(task->dir);
  releaseListing(task->listing);
  task->state = GF_TASK_FREE;
  job->retired++;
}

// The next task to fill, in a free slot (its previous task retired first).
t_gfTask* newTask(t_gfUnpackJob* job) {
  std::unique_lock<std::mutex> held(job->lock);
  while (job->dispatched - job->retired >= job->taskCount) retireOne(job, held);
  t_gfTask* task = job->tasks[job->dispatched % job->taskCount];
  task->dir = INVALID_HANDLE;
  task->dirFresh = false;
  task->listing = nullptr;
  task->fileCount = task->textUsed = 0;
  task->messagesUsed = 0;
  task->failures = 0;
  task->flags = job->flags;
  task->shared = &job->shared;
  return task;
}

// Hands the task being filled to the helpers (or, without any, writes it at once).
void dispatch(t_gfUnpackJob* job) {
  t_gfTask* task = job->current;
  if (!task) return;
  job->current = nullptr;
  if (job->helpers == 0 && task->fileCount > 0) runTask(job->group, task, &job->window);
  std::lock_guard<std::mutex> guard(job->lock);
  task->state = job->helpers == 0 ? GF_TASK_DONE : GF_TASK_QUEUED;
  job->dispatched++;
  job->changed.notify_all();
}

// Waits until every task handed out is done, and hands their messages on.
void waitForAll(t_gfUnpackJob* job) {
  dispatch(job);
  std::unique_lock<std::mutex> held(job->lock);
  while (job->retired < job->dispatched) retireOne(job, held);
}

// Whether name (its directory levels from depth keep on, then the name itself) meets a name
// met before; notes them all.
bool meetsEarlierName(t_gfNamesMet* met, const char* name, int keep) {
  bool seen = met->broken;
  int level = 0;
  for (const char* c = name; *c; c++) {
    if (*c != '\\') continue;
    if (level++ < keep) continue;
    size_t length = (size_t)(c - name);
    seen = seen || metBefore(met, foldedHash(name, length, kFileName));
    noteMet(met, foldedHash(name, length, kLevelName));
  }
  size_t length = std::strlen(name);
  std::uint64_t h = foldedHash(name, length, kFileName);
  seen = seen || metBefore(met, h) || metBefore(met, foldedHash(name, length, kLevelName));
  noteMet(met, h);
  return seen;
}

// Whether the task being filled can take e: its directory, room for one more.
bool fitsCurrent(const t_gfUnpackJob* job, const char* name, size_t dirLength) {
  const t_gfTask* task = job->current;
  if (!task || task->dir == INVALID_HANDLE || task->fileCount == kTaskFiles) return false;
  if (task->textUsed + std::strlen(name) + 1 > sizeof task->text) return false;
  const char* first = task->text + task->files[0].name;
  return std::strncmp(first, name, dirLength) == 0 &&
         (dirLength == 0 ? !std::strchr(first, '\\')
                         : first[dirLength] == '\\' && !std::strchr(first + dirLength + 1, '\\'));
}

// Takes one entry: refused, or into a task of its directory.
void takeEntry(t_gfUnpackJob* job, const t_gfDirEntry* e) {
  const char* why = gfUnsafeNameReason(e->name);
  const char* last = std::strrchr(e->name, '\\');
  size_t dirLength = last ? (size_t)(last - e->name) : 0;
  bool conflict = !why && meetsEarlierName(&job->met, e->name,
                                           sharedLevels(&job->levels, e->name, dirLength));
  if (why || conflict || !fitsCurrent(job, e->name, dirLength)) {
    if (conflict) waitForAll(job);
    else dispatch(job);
    job->current = newTask(job);
  }
  t_gfTask* task = job->current;
  if (why) {
    noteMessage(task, "refusing to unpack '%s': %s", e->name, why);
    dispatch(job);
    return;
  }
  if (task->dir == INVALID_HANDLE) {
    PlatHandle dir = enterLevels(&job->levels, e->name, task);
    if (dir == INVALID_HANDLE) {
      dispatch(job);
      return;
    }
    task->dir = platDuplicate(dir);
    if (task->dir == INVALID_HANDLE) {
      char shown[GF_NAME_MAX + 1];
      shownHostPath(e->name, last ? last + 1 : e->name, shown, sizeof shown);
      noteMessage(task, "cannot create '%s': %s", shown, platLastError());
      dispatch(job);
      return;
    }
    int depth = job->levels.depth;
    task->dirFresh = depth > 0 && job->levels.fresh[depth - 1];
    task->listing = sharedListing(&job->levels);
  }
  t_gfTaskFile* f = &task->files[task->fileCount++];
  f->dataOffset = e->dataOffset;
  f->dataSize = e->dataSize;
  f->date = e->date;
  f->time = e->time;
  f->name = (std::uint16_t)task->textUsed;
  f->recheck = conflict;
  size_t n = std::strlen(e->name) + 1;
  std::memcpy(task->text + task->textUsed, e->name, n);
  task->textUsed += (int)n;
}

// Goes through the whole directory once: a damaged group is refused before anything is
// written. Counts the entries and their bytes on the way.
t_gfDirStatus checkDirectory(t_gfDirStream* stream, long* files, long long* bytes) {
  t_gfDirEntry entry;
  t_gfDirStatus status;
  while (gfNextStreamEntry(stream, &entry, &status)) {
    ++*files;
    *bytes += (std::uint32_t)entry.dataSize;
  }
  gfRewindDirStream(stream);
  return status;
}

// Gives the job its task slots (two per helper, one without) and the owner's window; false
// when memory fails.
bool prepareJob(t_gfUnpackJob* job, int helpers) {
  int want = helpers ? 2 * helpers : 1;
  for (; job->taskCount < want; job->taskCount++) {
    auto* task = static_cast<t_gfTask*>(ENGINE_NEW_ZERO(sizeof(t_gfTask)));
    if (!task) break;
    task->dir = INVALID_HANDLE;
    job->tasks[job->taskCount] = task;
  }
  if (helpers == 0) job->window.bytes = static_cast<unsigned char*>(ENGINE_NEW(kWindowSize));
  return job->taskCount > 0;
}

void finishJob(t_gfUnpackJob* job) {
  for (int i = 0; i < job->taskCount; i++) {
    ENGINE_DELETE(job->tasks[i]->messages);
    ENGINE_DELETE(job->tasks[i]);
  }
  ENGINE_DELETE(job->window.bytes);
  ENGINE_DELETE(job->met.slots);
  dropLevels(&job->levels, 0);
  releaseListing(job->levels.listings[0]);
  platClose(job->levels.top);
}

// Walks the entries select chooses (every entry when select is null) and has them written.
void unpackEntries(t_gfUnpackJob* job, t_gfDirStream* stream, const char* path,
                   t_gfNameFilter select, void* context) {
  int helpers = crewThreads() > 1 ? crewThreads() : 0;
  if (!prepareJob(job, helpers)) {
    gfReportf(job->sink, "not enough memory to unpack '%s'", path);
    job->failures++;
    return;
  }
  t_crew crew;
  job->helpers = job->taskCount > 1 ? crewStart(&crew, helpers, helperLoop, job) : 0;
  if (job->helpers == 0 && !job->window.bytes)
    job->window.bytes = static_cast<unsigned char*>(ENGINE_NEW(kWindowSize));
  t_gfDirEntry entry;
  t_gfDirStatus status;
  bool interrupted = false;
  while (!interrupted && gfNextStreamEntry(stream, &entry, &status)) {
    // Tasks already handed out finish their files whole; no entry after this one is begun.
    interrupted = gfCancelRequested();
    if (!interrupted && (!select || select(entry.name, context))) takeEntry(job, &entry);
  }
  waitForAll(job);
  if (long n = job->shared.notWritten.load())
    gfReportf(job->sink, "unpacking '%s' stopped at the first full disk: %ld more file%s not "
              "written", path, n, n == 1 ? " was" : "s were");
  {
    std::lock_guard<std::mutex> guard(job->lock);
    job->leaving = true;
    job->changed.notify_all();
  }
  if (job->helpers) crewJoin(&crew);
  if (interrupted) {
    gfReportf(job->sink, "interrupted");
    job->failures++;
  } else if (status != GF_DIR_OK) {  // the group changed since the check
    gfReportDirectoryFailure(path, status, &stream->directory, job->sink);
    job->failures++;
  }
}

int unpackAll(const char* path, const char* target, PlatHandle group, t_gfDirStream* stream,
              t_gfNameFilter select, void* context, int flags, t_gfReport sink, long files,
              long long bytes) {
  void* block = ENGINE_NEW_ZERO(sizeof(t_gfUnpackJob));
  if (!block) {
    gfReportf(sink, "not enough memory to unpack '%s'", path);
    return 1;
  }
  auto* job = new (block) t_gfUnpackJob{};
  job->group = group;
  job->sink = sink;
  job->flags = flags;
  job->shared.filesAll = files;
  job->shared.bytesAll = bytes;
  job->levels.top = platOpenHostDir(target ? target : ".");
  int failed = 1;
  if (job->levels.top == INVALID_HANDLE) {
    char shown[PLAT_PATH_MAX];
    if (target)
      gfReportf(sink, "cannot open directory '%s': %s", gfShownPath(target, shown, sizeof shown),
                platLastError());
    else
      gfReportf(sink, "cannot open the working directory: %s", platLastError());
  } else {
    unpackEntries(job, stream, path, select, context);
    failed = job->failures ? 1 : 0;
  }
  finishJob(job);
  job->~t_gfUnpackJob();
  ENGINE_DELETE(block);
  return failed;
}

}  // namespace

int gfUnpackInto(const char* path, const char* target, t_gfNameFilter select, void* context,
                 int flags, t_gfReport sink) {
  PlatHandle group = platOpenRead(path);
  if (group == INVALID_HANDLE) {
    gfReportOpenFailure(path, sink);
    return 1;
  }
  t_gfDirStream stream;
  t_gfDirStatus status = gfOpenDirStream(group, &stream);
  long files = 0;
  long long bytes = 0;
  if (status == GF_DIR_OK) {
    status = checkDirectory(&stream, &files, &bytes);
    if (status != GF_DIR_OK) gfCloseDirStream(&stream);
  }
  if (status != GF_DIR_OK) {
    gfReportDirectoryFailure(path, status, &stream.directory, sink);
    platClose(group);
    return 1;
  }
  int failed =
      unpackAll(path, target, group, &stream, select, context, flags, sink, files, bytes);
  gfCloseDirStream(&stream);
  platClose(group);
  return failed;
}

int gfUnpackWith(const char* path, t_gfNameFilter select, void* context, int flags,
                 t_gfReport sink) {
  return gfUnpackInto(path, nullptr, select, context, flags, sink);
}

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  return gfUnpackWith(path, select, context, 0, sink);
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return gfUnpackSelected(path, nullptr, nullptr, sink);
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
