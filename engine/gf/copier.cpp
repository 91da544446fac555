// The builder's data copy: every file's bytes go to the offset the directory gave them.
// Since all offsets are known in advance, the work is cut into independent batches that
// two threads read and write at once.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/gf/gf_internal.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr long kBatchSize = 1 << 20;              // small files are gathered up to this much
constexpr long kBatchedFileMax = kBatchSize / 4;  // larger ones are copied on their own
constexpr int kThreads = 2;                       // the reader threads, the caller's included

// The shared state of one copy. Batch b covers records first[b] to first[b + 1] - 1.
struct t_gfCopyJob {
  const t_gfBuildRecord* table;
  int count;
  HANDLE out;
  int* first;  // batches + 1 entries, from the tracked allocator
  int batches;
  std::atomic<int> next{0};
  std::mutex lock;  // guards the failure fields
  int failedRecord = -1;
  t_gfCopyFailure failure{};
};

// What one thread holds: its batch block and the directory of the file it opened last.
struct t_gfCopier {
  t_gfCopyJob* job;
  unsigned char* batch;
  HANDLE dir;
  char dirPath[PLAT_PATH_MAX];
};

void noteFailure(t_gfCopyJob* job, int record, t_gfCopyFailureKind kind) {
  std::lock_guard<std::mutex> guard(job->lock);
  if (job->failedRecord >= 0 && job->failedRecord <= record) return;  // keep the first
  job->failedRecord = record;
  job->failure.kind = kind;
  std::snprintf(job->failure.reason, sizeof job->failure.reason, "%s", platLastError());
}

bool stopped(t_gfCopyJob* job) {
  std::lock_guard<std::mutex> guard(job->lock);
  return job->failedRecord >= 0;
}

// Opens a source through the held directory when it lies in the same one as the file
// before: the host then looks up one name instead of walking the whole path.
HANDLE openSource(t_gfCopier* c, const char* source) {
  const char* slash = std::strrchr(source, '/');
  size_t dirLength = slash ? (size_t)(slash - source) : 0;
  if (!slash || dirLength == 0 || dirLength >= sizeof c->dirPath) return platOpenHostRead(source);
  if (c->dir == INVALID_HANDLE || std::strncmp(c->dirPath, source, dirLength) != 0 ||
      c->dirPath[dirLength] != 0) {
    platClose(c->dir);
    std::memcpy(c->dirPath, source, dirLength);
    c->dirPath[dirLength] = 0;
    c->dir = platOpenHostDir(c->dirPath);
  }
  return c->dir == INVALID_HANDLE ? platOpenHostRead(source) : platOpenInDir(c->dir, slash + 1);
}

// Reads a whole small file to at. Asking for one byte more than the search found tells at
// once whether the file has grown since. The count read, or -1 on an error.
long long readWhole(HANDLE in, unsigned char* at, long size) {
  long long got = platReadSome(in, 0, at, (size_t)size + 1);
  if (got >= 0 && got < size) {
    long long more = platReadAt(in, got, at + got, (size_t)(size + 1 - got));
    got = more < 0 ? more : got + more;
  }
  return got;
}

// Copies one record. With a batch block the bytes go into it at their place; without,
// the host copies them straight into the group. Returns false after noting a failure.
bool copyRecord(t_gfCopier* c, int i, unsigned char* at) {
  const t_gfBuildRecord* r = &c->job->table[i];
  HANDLE in = openSource(c, r->source);
  if (in == INVALID_HANDLE) {
    noteFailure(c->job, i, GF_COPY_CANNOT_OPEN);
    return false;
  }
  if (!platIsRegularFile(in)) {  // swapped for a pipe or device since the search
    platClose(in);
    noteFailure(c->job, i, GF_COPY_NOT_REGULAR);
    return false;
  }
  long size = r->info.size;
  long long got;
  if (at)
    got = readWhole(in, at, size);
  else
    got = platFileSize(in) != size ? size + 1
                                   : platCopyRange(in, 0, c->job->out, r->info.offset, size);
  platClose(in);
  if (got == size) return true;
  noteFailure(c->job, i, got < 0 ? GF_COPY_READ_ERROR : GF_COPY_CHANGED);
  return false;
}

void copyBatch(t_gfCopier* c, int b) {
  t_gfCopyJob* job = c->job;
  int from = job->first[b], to = job->first[b + 1];
  if (to - from == 1 && job->table[from].info.size > kBatchedFileMax) {
    copyRecord(c, from, nullptr);
    return;
  }
  long long base = job->table[from].info.offset;
  for (int i = from; i < to; i++)
    if (!copyRecord(c, i, c->batch + (job->table[i].info.offset - base))) return;
  long length = (long)(job->table[to - 1].info.offset + job->table[to - 1].info.size - base);
  if (platWriteAt(job->out, base, c->batch, (size_t)length) != length)
    noteFailure(job, to - 1, GF_COPY_WRITE_ERROR);
}

void copyWorker(t_gfCopyJob* job) {
  // One byte more than a batch holds: a small file that has grown is read one byte past.
  t_gfCopier c{job, static_cast<unsigned char*>(ENGINE_NEW(kBatchSize + 1)), INVALID_HANDLE, ""};
  if (!c.batch) {
    noteFailure(job, job->count, GF_COPY_NO_MEMORY);
    return;
  }
  for (int b; (b = job->next.fetch_add(1)) < job->batches && !stopped(job);) copyBatch(&c, b);
  platClose(c.dir);
  ENGINE_DELETE(c.batch);
}

// Cuts the records into batches: runs of small files up to the batch size, and every
// large file alone.
void planBatches(t_gfCopyJob* job) {
  long used = 0;
  job->batches = 0;
  for (int i = 0; i < job->count; i++) {
    long size = job->table[i].info.size;
    bool alone = size > kBatchedFileMax;
    if (i == 0 || alone || used + size > kBatchSize ||
        job->table[i - 1].info.size > kBatchedFileMax) {
      job->first[job->batches++] = i;
      used = 0;
    }
    used += size;
  }
  job->first[job->batches] = job->count;
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

int gfCopyData(const t_gfBuildRecord* table, int count, HANDLE out, t_gfCopyFailure* failure) {
  if (count == 0) return -1;
  t_gfCopyJob job;
  job.table = table;
  job.count = count;
  job.out = out;
  job.first = ENGINE_NEW_ARRAY(int, (size_t)count + 1);
  if (!job.first) {
    failure->kind = GF_COPY_NO_MEMORY;
    std::snprintf(failure->reason, sizeof failure->reason, "out of memory");
    return count;
  }
  planBatches(&job);
  std::thread helper;
  if (kThreads > 1 && job.batches > 1) startHelper(&helper, &job);
  copyWorker(&job);
  if (helper.joinable()) helper.join();
  ENGINE_DELETE(job.first);
  if (job.failedRecord >= 0) *failure = job.failure;
  return job.failedRecord;
}
