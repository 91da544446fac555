// The group writer's data copy: every entry's bytes, from a host file or a byte range of an
// open group, go to the offset the directory gave them. Since all offsets are known in
// advance, the work is cut into independent batches that two threads read and write at once.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/gf/group_writer.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr long kBatchSize = 1 << 20;              // small files are gathered up to this much
constexpr long kBatchedFileMax = kBatchSize / 4;  // larger ones are copied on their own
constexpr int kThreads = 2;                       // the reader threads, the caller's included

// The shared state of one copy. The next batch starts at record next, in table order.
struct t_gfCopyJob {
  const t_gfWriteList* files;
  int count;
  PlatHandle out;
  std::mutex lock;  // guards next and the failure fields
  int next = 0;
  int failedRecord = -1;
  t_gfCopyFailure failure{};
};

// What one thread holds: its batch block and the directory of the file it opened last.
struct t_gfCopier {
  t_gfCopyJob* job;
  unsigned char* batch;
  PlatHandle dir;
  std::uint32_t dirText;  // the held directory's host path in the collection
};

// reason: the failure's own words, or null for the host's.
void noteFailure(t_gfCopyJob* job, int record, t_gfCopyFailureKind kind,
                 const char* reason = nullptr) {
  std::lock_guard<std::mutex> guard(job->lock);
  if (job->failedRecord >= 0 && job->failedRecord <= record) return;  // keep the first
  job->failedRecord = record;
  job->failure.kind = kind;
  std::snprintf(job->failure.reason, sizeof job->failure.reason, "%s",
                reason ? reason : platLastError());
}

// Hands out the next batch, [*from, *to): a run of small files up to the batch size, or
// one large file alone. False when none is left or a failure has stopped the copy.
bool takeBatch(t_gfCopyJob* job, int* from, int* to) {
  std::lock_guard<std::mutex> guard(job->lock);
  if (job->failedRecord >= 0 || job->next >= job->count) return false;
  int i = *from = job->next;
  if (gfWriteEntryAt(job->files, i)->size > kBatchedFileMax) {
    *to = job->next = i + 1;
    return true;
  }
  long used = 0;
  for (; i < job->count; i++) {
    long size = gfWriteEntryAt(job->files, i)->size;
    if (size > kBatchedFileMax || used + size > kBatchSize) break;
    used += size;
  }
  *to = job->next = i;
  return true;
}

// Opens a source through its directory, held while the files of one search follow each
// other: the host then looks up one name instead of walking the whole path.
PlatHandle openSource(t_gfCopier* c, const t_gfWriteEntry* f) {
  const t_gfWriteList* files = c->job->files;
  if (c->dir == INVALID_HANDLE || c->dirText != f->hostDir) {
    platClose(c->dir);
    c->dirText = f->hostDir;
    c->dir = platOpenHostDir(gfWriteText(files, f->hostDir));
  }
  if (c->dir != INVALID_HANDLE) return platOpenInDir(c->dir, gfWriteText(files, f->name) + f->leaf);
  char source[PLAT_PATH_MAX];
  return gfWriteSourcePath(files, f, source, sizeof source) ? platOpenHostRead(source)
                                                            : INVALID_HANDLE;
}

// Reads a whole small file to at. Asking for one byte more than the search found tells at
// once whether the file has grown since. The count read, or -1 on an error.
long long readWhole(PlatHandle in, unsigned char* at, long size) {
  long long got = platReadSome(in, 0, at, (size_t)size + 1);
  if (got >= 0 && got < size) {
    long long more = platReadAt(in, got, at + got, (size_t)(size + 1 - got));
    got = more < 0 ? more : got + more;
  }
  return got;
}

// Copies a byte range of an open group, offset to offset: into the batch block at at, or
// without one straight into the group being written. The group holding the range is
// shared by both threads, so only positioned transfers touch it.
bool copyRange(t_gfCopier* c, int i, const t_gfWriteEntry* f, unsigned char* at) {
  PlatHandle in = c->job->files->sources[f->hostDir].handle;
  long long got = at ? platReadAt(in, f->from, at, f->size)
                     : platCopyRange(in, f->from, c->job->out, f->offset, f->size);
  if (got == (long long)f->size) return true;
  noteFailure(c->job, i, GF_COPY_READ_ERROR, got < 0 ? nullptr : "the group file ended early");
  return false;
}

// Copies one record. With a batch block the bytes go into it at their place; without,
// the host copies them straight into the group. Returns false after noting a failure.
bool copyRecord(t_gfCopier* c, int i, unsigned char* at) {
  const t_gfWriteEntry* f = gfWriteEntryAt(c->job->files, i);
  if (f->inGroup) return copyRange(c, i, f, at);
  PlatHandle in = openSource(c, f);
  if (in == INVALID_HANDLE) {
    noteFailure(c->job, i, GF_COPY_CANNOT_OPEN);
    return false;
  }
  if (!platIsRegularFile(in)) {  // swapped for a pipe or device since the search
    platClose(in);
    noteFailure(c->job, i, GF_COPY_NOT_REGULAR);
    return false;
  }
  long size = (long)f->size;
  long long got;
  if (at)
    got = readWhole(in, at, size);
  else
    got = platFileSize(in) != size ? size + 1 : platCopyRange(in, 0, c->job->out, f->offset, size);
  platClose(in);
  if (got == size) return true;
  noteFailure(c->job, i, got < 0 ? GF_COPY_READ_ERROR : GF_COPY_CHANGED);
  return false;
}

void copyBatch(t_gfCopier* c, int from, int to) {
  t_gfCopyJob* job = c->job;
  const t_gfWriteEntry* first = gfWriteEntryAt(job->files, from);
  if (to - from == 1 && first->size > kBatchedFileMax) {
    copyRecord(c, from, nullptr);
    return;
  }
  long long base = first->offset;
  for (int i = from; i < to; i++)
    if (!copyRecord(c, i, c->batch + (gfWriteEntryAt(job->files, i)->offset - base))) return;
  const t_gfWriteEntry* last = gfWriteEntryAt(job->files, to - 1);
  long length = (long)(last->offset + last->size - base);
  if (platWriteAt(job->out, base, c->batch, (size_t)length) != length)
    noteFailure(job, to - 1, GF_COPY_WRITE_ERROR);
}

void copyWorker(t_gfCopyJob* job) {
  // One byte more than a batch holds: a small file that has grown is read one byte past.
  t_gfCopier c{job, static_cast<unsigned char*>(ENGINE_NEW(kBatchSize + 1)), INVALID_HANDLE, 0};
  if (!c.batch) {
    noteFailure(job, job->count, GF_COPY_NO_MEMORY);
    return;
  }
  for (int from, to; takeBatch(job, &from, &to);) copyBatch(&c, from, to);
  platClose(c.dir);
  ENGINE_DELETE(c.batch);
}

// Starts the helper thread; false when the system refuses one. std::thread reports that by
// throwing, and this is the one place the engine catches an exception: the copy then runs
// on the calling thread alone, and nothing is thrown out of the library.
bool startHelper(std::thread* helper, t_gfCopyJob* job) {
  try {
    if (gfRefuseHelperThread)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    *helper = std::thread(copyWorker, job);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

int gfRefuseHelperThread = 0;

int gfCopyData(const t_gfWriteList* files, PlatHandle out, t_gfCopyFailure* failure) {
  if (files->count == 0) return -1;
  t_gfCopyJob job;
  job.files = files;
  job.count = files->count;
  job.out = out;
  std::thread helper;
  if (kThreads > 1 && files->count > 1) startHelper(&helper, &job);
  copyWorker(&job);
  if (helper.joinable()) helper.join();
  if (job.failedRecord >= 0) *failure = job.failure;
  return job.failedRecord;
}
