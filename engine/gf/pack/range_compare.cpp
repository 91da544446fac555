// Comparing byte ranges of two open files. Pairs are cut into batches, each a run of pairs
// that follow each other in both files and together fit one piece (or one pair of any size,
// read a piece at a time); the crew's threads and the caller take the batches in turn. Each
// pair's answer depends only on its bytes, so the outcome is the same for any thread count.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "engine/gf/pack/range_compare.h"

#include "engine/gf/base/names.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

constexpr long long kPiece = 1 << 20;

// Pairs [begin, end): together bytes long, or one pair longer than a piece.
struct t_gfCompareBatch {
  int begin;
  int end;
  long long bytes;
};

struct t_gfCompareJob {
  PlatHandle files[2];
  t_gfRangePair* pairs;
  const t_gfCompareBatch* batches;
  int batchCount;
  std::atomic<int> next{0};
  std::atomic<bool> stop{false};
  std::mutex lock;  // guards the failure
  int failed = -1;
  t_gfCompareFailure failure{};
};

bool follows(const t_gfRangePair& before, const t_gfRangePair& pair) {
  return pair.first == before.first + before.size && pair.second == before.second + before.size;
}

// Cuts the pairs into batches; their count, or -1 when memory fails.
int makeBatches(const t_gfRangePair* pairs, int count, t_gfCompareBatch** out) {
  auto* batches = ENGINE_NEW_ARRAY(t_gfCompareBatch, (size_t)count + 1);
  *out = batches;
  if (!batches) return -1;
  int n = 0;
  for (int i = 0; i < count;) {
    t_gfCompareBatch b{i, i + 1, pairs[i].size};
    while (b.end < count && follows(pairs[b.end - 1], pairs[b.end]) &&
           b.bytes + pairs[b.end].size <= kPiece)
      b.bytes += pairs[b.end++].size;
    batches[n++] = b;
    i = b.end;
  }
  return n;
}

// Notes a failure and stops the job: no batch is taken any more.
void fail(t_gfCompareJob* job, int pair, t_gfCopyFailureKind kind, int side, const char* reason) {
  job->stop.store(true);
  std::lock_guard<std::mutex> hold(job->lock);
  if (job->failed >= 0 && job->failed < pair) return;
  job->failed = pair;
  job->failure.kind = kind;
  job->failure.side = side;
  std::snprintf(job->failure.reason, sizeof job->failure.reason, "%s", reason);
}

// Reads count bytes at at from both files into the two buffers; false after noting why not.
bool readBoth(t_gfCompareJob* job, int pair, long long at[2], long long count,
              unsigned char* buffers[2]) {
  for (int side = 0; side < 2; side++) {
    long long got = platReadAt(job->files[side], at[side], buffers[side], (size_t)count);
    if (got == count) continue;
    fail(job, pair, GF_COPY_READ_ERROR, side,
         got < 0 ? platLastError() : "the file ends before the data its directory places there");
    return false;
  }
  return true;
}

// One pair longer than a piece, a piece at a time until a piece differs.
void compareLong(t_gfCompareJob* job, int i, unsigned char* buffers[2]) {
  t_gfRangePair* pair = &job->pairs[i];
  for (long long done = 0; done < pair->size && !job->stop.load(); done += kPiece) {
    long long piece = pair->size - done < kPiece ? pair->size - done : kPiece;
    long long at[2] = {pair->first + done, pair->second + done};
    if (!readBoth(job, i, at, piece, buffers)) return;
    if (std::memcmp(buffers[0], buffers[1], (size_t)piece) != 0) {
      pair->differ = true;
      return;
    }
  }
}

// A run of pairs read as one stretch of each file; only when the stretches differ is each
// pair's part looked at.
void compareRun(t_gfCompareJob* job, const t_gfCompareBatch& b, unsigned char* buffers[2]) {
  t_gfRangePair* pairs = job->pairs;
  long long at[2] = {pairs[b.begin].first, pairs[b.begin].second};
  if (!readBoth(job, b.begin, at, b.bytes, buffers)) return;
  if (std::memcmp(buffers[0], buffers[1], (size_t)b.bytes) == 0) return;
  long long offset = 0;
  for (int i = b.begin; i < b.end; i++) {
    pairs[i].differ = std::memcmp(buffers[0] + offset, buffers[1] + offset,
                                  (size_t)pairs[i].size) != 0;
    offset += pairs[i].size;
  }
}

void compareBatches(t_gfCompareJob* job, bool asksCancel) {
  unsigned char* buffers[2] = {static_cast<unsigned char*>(ENGINE_NEW(kPiece)),
                               static_cast<unsigned char*>(ENGINE_NEW(kPiece))};
  for (int k; !job->stop.load() && (k = job->next.fetch_add(1)) < job->batchCount;) {
    const t_gfCompareBatch& b = job->batches[k];
    if (asksCancel && gfCancelRequested()) {
      fail(job, b.begin, GF_COPY_INTERRUPTED, 0, "");
    } else if (!buffers[0] || !buffers[1]) {
      fail(job, b.begin, GF_COPY_NO_MEMORY, 0, "");
    } else if (b.bytes > kPiece) {
      compareLong(job, b.begin, buffers);
    } else {
      compareRun(job, b, buffers);
    }
  }
  ENGINE_DELETE(buffers[0]);
  ENGINE_DELETE(buffers[1]);
}

void compareHelper(void* context) { compareBatches(static_cast<t_gfCompareJob*>(context), false); }

}  // namespace

int gfCompareRanges(PlatHandle first, PlatHandle second, t_gfRangePair* pairs, int count,
                    t_gfCompareFailure* failure) {
  for (int i = 0; i < count; i++) pairs[i].differ = false;
  if (count == 0) return -1;
  t_gfCompareBatch* batches;
  int batchCount = makeBatches(pairs, count, &batches);
  if (batchCount < 0) {
    *failure = {GF_COPY_NO_MEMORY, 0, ""};
    return 0;
  }
  void* block = ENGINE_NEW(sizeof(t_gfCompareJob));  // the job holds a lock: not on the stack
  if (!block) {
    ENGINE_DELETE(batches);
    *failure = {GF_COPY_NO_MEMORY, 0, ""};
    return 0;
  }
  auto* job = new (block) t_gfCompareJob;
  job->files[0] = first;
  job->files[1] = second;
  job->pairs = pairs;
  job->batches = batches;
  job->batchCount = batchCount;
  t_crew crew;
  crewStart(&crew, batchCount > 1 ? crewThreads() - 1 : 0, compareHelper, job);
  compareBatches(job, true);  // the caller's thread asks the cancel check
  crewJoin(&crew);
  int result = job->failed;
  if (result >= 0) *failure = job->failure;
  job->~t_gfCompareJob();
  ENGINE_DELETE(job);
  ENGINE_DELETE(batches);
  return result;
}
