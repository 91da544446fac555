// The unpacker: recreates every file stored in a group file below the current directory,
// entering each directory level through a held handle so that no link is ever followed.
// This unit walks the group's directory and cuts it into tasks; the others make the levels,
// schedule the tasks, write the files and keep the rules for names.
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/gf/unpack/unpack_tasks.h"

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/group_open.h"
#include "engine/gf/base/names.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/containers.h"

namespace {

// Whether the task being filled can take e: its directory, room for one more.
bool fitsCurrent(const t_gfUnpackJob* job, const char* name, size_t dirLength) {
  const t_gfTask* task = job->current;
  if (!task || task->dir == INVALID_HANDLE || task->fileCount == kTaskFiles) return false;
  if (task->bytes >= kTaskBytes) return false;
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
  bool conflict = !why && gfMeetsEarlierName(&job->met, e->name,
                                             gfSharedLevels(&job->levels, e->name, dirLength));
  // A name with a '~' may be a Windows volume's short name for any other: it waits too.
  bool wait = conflict || (!why && std::strchr(e->name, '~'));
  if (why || wait || !fitsCurrent(job, e->name, dirLength)) {
    if (wait) gfWaitForAll(job);
    else gfDispatch(job);
    job->current = gfNewTask(job);
  }
  t_gfTask* task = job->current;
  if (why) {
    gfNoteTaskMessage(task, "refusing to unpack '%s': %s", e->name, why);
    gfDispatch(job);
    return;
  }
  if (task->dir == INVALID_HANDLE) {
    PlatHandle dir = gfEnterLevels(&job->levels, e->name, task);
    if (dir == INVALID_HANDLE) {
      gfDispatch(job);
      return;
    }
    task->dir = platDuplicate(dir);
    if (task->dir == INVALID_HANDLE) {
      char shown[GF_NAME_MAX + 1];
      gfShownHostPath(e->name, last ? last + 1 : e->name, shown, sizeof shown);
      gfNoteTaskMessage(task, "cannot create '%s': %s", shown, platLastError());
      gfDispatch(job);
      return;
    }
    int depth = job->levels.depth;
    task->dirFresh = depth > 0 && job->levels.fresh[depth - 1];
    task->listing = gfSharedListing(&job->levels);
  }
  t_gfTaskFile* f = &task->files[task->fileCount++];
  f->dataOffset = e->dataOffset;
  f->dataSize = e->dataSize;
  task->bytes += (std::uint32_t)e->dataSize;
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
  job->window.spares = static_cast<PlatSpares*>(ENGINE_NEW_ZERO(sizeof(PlatSpares)));
  return job->taskCount > 0;
}

void finishJob(t_gfUnpackJob* job) {
  for (int i = 0; i < job->taskCount; i++) {
    job->tasks[i]->messages.release();
    ENGINE_DELETE(job->tasks[i]);
  }
  ENGINE_DELETE(job->window.bytes);
  ENGINE_DELETE(job->window.spares);
  job->met.hashes.release();
  gfDropLevels(&job->levels, 0);
  gfReleaseListing(job->levels.listings[0]);
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
  crewRingOpen(&job->ring, job->taskCount);
  t_crew crew;
  job->helpers = job->taskCount > 1 ? crewStart(&crew, helpers, gfUnpackHelper, job) : 0;
  if (job->helpers == 0 && !job->window.bytes)
    job->window.bytes = static_cast<unsigned char*>(ENGINE_NEW(kWindowSize));
  t_gfDirEntry entry;
  t_gfDirStatus status;
  bool interrupted = false;
  while (!interrupted && gfNextStreamEntry(stream, &entry, &status)) {
    gfLevelSeparators(entry.name);  // before any check: a '/' is a level, never in a leaf
    // Tasks already handed out finish their files whole; no entry after this one is begun.
    interrupted = gfCancelRequested();
    if (!interrupted && (!select || select(entry.name, context))) takeEntry(job, &entry);
  }
  gfWaitForAll(job);
  if (long n = job->shared.notWritten.load())
    gfReportf(job->sink, "unpacking '%s' stopped at the first full disk: %ld more file%s not "
              "written", path, n, n == 1 ? " was" : "s were");
  {
    std::lock_guard<std::mutex> guard(job->ring.lock);
    crewRingClose(&job->ring);
  }
  if (job->helpers) crewJoin(&crew);
  if (job->window.spares) gfDropSpares(job->window.spares, &job->shared);
  if (job->shared.keptLeft.load()) {
    gfReportf(job->sink, "cannot remove the temporary files kept beside the files of '%s' "
              "(named after them, with '.tarnpak-tmp-'): %s", path, job->shared.keptReason);
    job->failures++;
  }
  if (interrupted) {
    gfReportf(job->sink, "interrupted");
    job->failures++;
  } else if (status != GF_DIR_OK) {  // the group changed since the check
    gfReportDirectoryFailure(path, status, &stream->directory, job->sink);
    job->failures++;
  }
}

// What one unpack works from: the caller's options, the group open for reading, its
// directory checked whole, and that directory's entries and bytes.
struct t_unpackSource {
  const t_gfUnpackOptions* options;
  PlatHandle group;
  t_gfDirStream* stream;
  long files;
  long long bytes;
};

int unpackAll(const t_unpackSource& from) {
  const t_gfUnpackOptions& options = *from.options;
  const char* path = options.path;
  const char* target = options.target;
  t_gfReport sink = options.report;
  void* block = ENGINE_NEW_ZERO(sizeof(t_gfUnpackJob));
  if (!block) {
    gfReportf(sink, "not enough memory to unpack '%s'", path);
    return 1;
  }
  auto* job = new (block) t_gfUnpackJob{};
  job->group = from.group;
  job->sink = sink;
  job->flags = options.flags;
  job->shared.filesAll = from.files;
  job->shared.bytesAll = from.bytes;
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
    unpackEntries(job, from.stream, path, options.select, options.context);
    failed = job->failures ? 1 : 0;
  }
  finishJob(job);
  job->~t_gfUnpackJob();
  ENGINE_DELETE(block);
  return failed;
}

}  // namespace

int gfUnpackJob(const t_gfUnpackOptions* given) {
  t_gfUnpackOptions options;
  if (!gfTakeOptions(&options, given)) return 1;
  const char* path = options.path;
  t_gfReport sink = options.report;
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
  int failed = unpackAll({&options, group, &stream, files, bytes});
  gfCloseDirStream(&stream);
  platClose(group);
  return failed;
}

// The older forms, each one unpack job.
static int unpackWith(t_gfUnpackOptions options) { return gfUnpackJob(&options); }

int gfUnpackInto(const char* path, const char* target, t_gfNameFilter select, void* context,
                 int flags, t_gfReport sink) {
  return unpackWith({sizeof(t_gfUnpackOptions), path, target, select, context, flags, sink});
}

int gfUnpackWith(const char* path, t_gfNameFilter select, void* context, int flags,
                 t_gfReport sink) {
  return unpackWith({sizeof(t_gfUnpackOptions), path, nullptr, select, context, flags, sink});
}

int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context, t_gfReport sink) {
  return unpackWith({sizeof(t_gfUnpackOptions), path, nullptr, select, context, 0, sink});
}

int gfUnpackChecked(const char* path, t_gfReport sink) {
  return unpackWith({sizeof(t_gfUnpackOptions), path, nullptr, nullptr, nullptr, 0, sink});
}

void gfUnpack(const char* path) { gfUnpackChecked(path, nullptr); }
