// The group writer's data copy: every entry's bytes, from a host file or a byte range of an
// open group, go to the offset the directory gave them. The crew's threads read batches of
// small files ahead into a few buffers (and feed them to the writer's sums stage, when sums
// are wanted); the caller's thread alone writes them, in order.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "engine/gf/pack/group_writer.h"

#include "engine/gf/base/names.h"
#include "engine/gf/pack/sums.h"
#include "engine/gf/pack/write_list.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

namespace {

// Small files are gathered up to this much. The blocks (one per helper and two more) are
// most of a pack's memory: half a MiB each keeps the writes long while a pack of 20,000
// files stays within 8 MiB of resident memory.
constexpr long kBatchSize = 512 << 10;
// Larger files are copied on their own by the writer. Files up to this size are read ahead
// by the helpers: with a limit of a quarter block, files of 128-256 KiB (common in game
// data) fell to the writer alone and a durable pack of a game tree took a tenth longer.
constexpr long kBatchedFileMax = 256 << 10;
constexpr int kMaxSlots = CREW_MAX + 2;
// A large file goes into the group in pieces of this size, so that its writeback starts
// behind the copy instead of after it.
constexpr long long kCopyPiece = 4 << 20;

// A batch in its slot: small files read into the slot's block by whoever took the batch, or
// one large file that the writer copies itself.
struct t_gfCopySlot {
  unsigned char* bytes;  // kBatchSize + 1: a small file that has grown is read one byte past
  long batch;            // the batch number it holds
  int from, to;          // its records in the table order
  bool direct;           // a large file: nothing is read ahead
  bool failed;           // the read failed: failedRecord and failure say how
  int failedRecord;
  t_gfCopyFailure failure;
};

// The shared state of one copy. Batches are numbered in table order in the crew's ring as
// they are taken; the ring's slot of a batch is its place in slots, so at most slotCount
// batches are ahead of the writer, which retires them in order.
struct t_gfCopyJob {
  const t_gfWriteList* files;
  int count;
  PlatHandle out;
  t_gfEntrySums* sums;         // fed the bytes read, when sums are wanted
  PlatWriteBehind behind;      // the writer's alone
  bool behindFailed = false;   // the group's writeback failed: noted where it was seen
  t_crewRing ring;             // its lock guards everything below
  int nextRecord = 0;          // the first record of the next batch
  long stopAt = 0x7FFFFFFF;    // no batch from this one on is taken: one before it failed
  int slotCount = 0;
  t_gfCopySlot slots[kMaxSlots];
};

// What one thread holds: the directory of the file it opened last, and its hasher.
struct t_gfCopier {
  t_gfCopyJob* job;
  PlatHandle dir;
  std::uint32_t dirText;  // the held directory's host path in the collection
  PlatSha256* hasher = nullptr;  // opened at the first entry to hash
};

// reason: the failure's own words, or null for the host's.
void noteFailure(t_gfCopySlot* slot, int record, t_gfCopyFailureKind kind,
                 const char* reason = nullptr) {
  slot->failedRecord = record;
  slot->failure.kind = kind;
  std::snprintf(slot->failure.reason, sizeof slot->failure.reason, "%s",
                reason ? reason : platLastError());
}

// Whether another batch may be taken now (the lock held).
bool batchLeft(const t_gfCopyJob* job) {
  return !job->ring.over && job->nextRecord < job->count && job->ring.issued < job->stopAt;
}

// Takes the next batch into its slot (the lock held, a slot free): a run of small files up
// to the batch size, or one large file alone, finished at once for the writer to copy.
t_gfCopySlot* takeBatch(t_gfCopyJob* job) {
  long batch = crewRingTake(&job->ring);
  t_gfCopySlot* slot = &job->slots[crewRingSlot(&job->ring, batch)];
  slot->batch = batch;
  slot->failed = false;
  int i = slot->from = job->nextRecord;
  slot->direct = gfWriteEntryAt(job->files, i)->size > kBatchedFileMax;
  if (slot->direct) {
    slot->to = job->nextRecord = i + 1;
    crewRingFinish(&job->ring, batch);
    return slot;
  }
  long used = 0;
  for (; i < job->count; i++) {
    long size = gfWriteEntryAt(job->files, i)->size;
    if (size > kBatchedFileMax || used + size > kBatchSize) break;
    used += size;
  }
  slot->to = job->nextRecord = i;
  return slot;
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

// The writer's copy of count bytes at from in in straight to offset in the group, a piece at
// a time with the writeback of each started behind it, through bounce (kBatchSize bytes: the
// block of the slot being written, which a large file leaves free) where the host's own
// copy would fill the group's pages in halves. The bytes copied (fewer when the source ended
// early), or -1 on an error.
long long copyAcross(t_gfCopyJob* job, PlatHandle in, long long from, long long offset,
                     long long count, unsigned char* bounce) {
  long long done = 0;
  while (done < count) {
    long long piece = count - done < kCopyPiece ? count - done : kCopyPiece;
    long long got = platCopyRangeVia(in, from + done, job->out, offset + done, piece, bounce,
                                     (size_t)kBatchSize);
    if (got < 0) return -1;
    done += got;
    if (platWriteBehind(&job->behind, offset + done) != 0) return job->behindFailed = true, -1;
    if (got < piece) break;
  }
  return done;
}

// Copies a byte range of an open group: into the batch block at at, or without one (the
// writer only) straight into the group being written. The group holding the range is
// shared by every thread, so only positioned transfers touch it.
bool copyRange(t_gfCopier* c, t_gfCopySlot* slot, int i, const t_gfWriteEntry* f,
               unsigned char* at) {
  PlatHandle in = c->job->files->sources[f->hostDir].handle;
  long long got = at ? platReadAt(in, f->from, at, f->size)
                     : copyAcross(c->job, in, f->from, f->offset, f->size, slot->bytes);
  if (got == (long long)f->size) return true;
  // behindFailed is the writer's: a helper (with a block) never looks at it.
  bool behind = !at && c->job->behindFailed;
  t_gfCopyFailureKind kind = behind ? GF_COPY_WRITE_ERROR : GF_COPY_READ_ERROR;
  noteFailure(slot, i, kind, got < 0 ? nullptr : "the group file ended early");
  return false;
}

// Copies one record. With a batch block the bytes go into it at their place; without (the
// writer only), the host copies them straight into the group. False after noting a failure.
bool copyRecord(t_gfCopier* c, t_gfCopySlot* slot, int i, unsigned char* at) {
  const t_gfWriteEntry* f = gfWriteEntryAt(c->job->files, i);
  if (f->inGroup) return copyRange(c, slot, i, f, at);
  PlatHandle in = openSource(c, f);
  if (in == INVALID_HANDLE) {
    noteFailure(slot, i, GF_COPY_CANNOT_OPEN);
    return false;
  }
  long size = (long)f->size;
  // A source swapped for a pipe or a device since the search must not be copied. A small
  // one is read at once and looked at only when the read does not give the size found (a
  // pipe, opened without waiting, gives nothing or fails; a device gives more): the look
  // is then one call per failure instead of one per file.
  long long got;
  int regular;
  if (at && size > 0) {
    got = readWhole(in, at, size);
    regular = got == size ? 1 : platIsRegularFile(in);
  } else if ((regular = platIsRegularFile(in)) != 1) {
    got = -1;  // nothing read from what is not a regular file, or gave no answer
  } else if (at) {
    got = readWhole(in, at, size);
  } else {
    long long now = platFileSize(in);
    got = now != size ? (now < 0 ? -1 : size + 1)  // no answer, or another size than found
                      : copyAcross(c->job, in, 0, f->offset, size, slot->bytes);
  }
  platClose(in);
  if (got == size) return true;
  bool behind = !at && c->job->behindFailed;  // the writer's alone, as above
  noteFailure(slot, i,
              regular == 0                ? GF_COPY_NOT_REGULAR
              : behind                    ? GF_COPY_WRITE_ERROR
              : got < 0 || regular < 0    ? GF_COPY_READ_ERROR
                                          : GF_COPY_CHANGED);
  return false;
}

// Reads the small files of a batch into its slot's block, each at its place, and feeds each
// to the sums stage when sums are wanted: the reading threads share the hashing.
bool readBatch(t_gfCopier* c, t_gfCopySlot* slot) {
  const t_gfWriteList* files = c->job->files;
  long long base = gfWriteEntryAt(files, slot->from)->offset;
  for (int i = slot->from; i < slot->to; i++) {
    const t_gfWriteEntry* f = gfWriteEntryAt(files, i);
    unsigned char* at = slot->bytes + (f->offset - base);
    if (!copyRecord(c, slot, i, at)) return false;
    if (c->job->sums && !gfSumsFeed(c->job->sums, &c->hasher, i, at, (long)f->size)) {
      noteFailure(slot, i, GF_COPY_HASH_ERROR);
      return false;
    }
  }
  return true;
}

// Reads the batch just taken (the lock released meanwhile) and marks it finished, read or
// failed; a failure stops the batches behind it from being taken.
void fillSlot(t_gfCopier* c, t_gfCopySlot* slot, std::unique_lock<std::mutex>& held) {
  held.unlock();
  bool read = readBatch(c, slot);
  held.lock();
  slot->failed = !read;
  if (!read && slot->batch + 1 < c->job->stopAt) c->job->stopAt = slot->batch + 1;
  crewRingFinish(&c->job->ring, slot->batch);
}

// Whether a batch may be taken now: one is left and its slot is free (the lock held).
bool roomAhead(const t_gfCopyJob* job) { return batchLeft(job) && crewRingHasRoom(&job->ring); }

void readAhead(void* context) {
  auto* job = static_cast<t_gfCopyJob*>(context);
  t_gfCopier c{job, INVALID_HANDLE, 0};
  std::unique_lock<std::mutex> held(job->ring.lock);
  for (;;) {
    job->ring.moving.wait(held, [job] { return !batchLeft(job) || roomAhead(job); });
    if (!batchLeft(job)) break;
    t_gfCopySlot* slot = takeBatch(job);
    if (!slot->direct) fillSlot(&c, slot, held);
  }
  held.unlock();
  platClose(c.dir);
  platSha256Close(c.hasher);
}

// Writes one batch (or copies its large file) at its place in the group.
bool writeSlot(t_gfCopier* c, t_gfCopySlot* slot) {
  t_gfCopyJob* job = c->job;
  if (slot->failed) return false;
  if (slot->direct) return copyRecord(c, slot, slot->from, nullptr);
  const t_gfWriteEntry* first = gfWriteEntryAt(job->files, slot->from);
  const t_gfWriteEntry* last = gfWriteEntryAt(job->files, slot->to - 1);
  long length = (long)(last->offset + last->size - first->offset);
  if (platWriteAt(job->out, first->offset, slot->bytes, (size_t)length) == length &&
      platWriteBehind(&job->behind, (long long)first->offset + length) == 0)
    return true;
  noteFailure(slot, slot->to - 1, GF_COPY_WRITE_ERROR);
  return false;
}

// How far the copy is, after the batch in slot went out.
void tellWritten(const t_gfCopyJob* job, const t_gfCopySlot* slot) {
  const t_gfWriteEntry* first = gfWriteEntryAt(job->files, 0);
  const t_gfWriteEntry* done = gfWriteEntryAt(job->files, slot->to - 1);
  const t_gfWriteEntry* last = gfWriteEntryAt(job->files, job->count - 1);
  gfTellProgress(slot->to, job->count, (long long)done->offset + done->size - first->offset,
                 (long long)last->offset + last->size - first->offset);
}

// The writer: retires the batches in order. While the next one is not read yet it reads the
// batches no helper has taken (with no helper, it reads them all) rather than sleep: a
// thread woken for every batch waits for the scheduler each time, which on a busy machine
// cost more than the helpers gained. Returns the failed slot, or null.
t_gfCopySlot* writeAll(t_gfCopyJob* job) {
  t_gfCopier c{job, INVALID_HANDLE, 0};
  t_gfCopySlot* failed = nullptr;
  t_crewRing* ring = &job->ring;
  std::unique_lock<std::mutex> held(ring->lock);
  for (;;) {
    long b = ring->retired;
    if (b == ring->issued && !batchLeft(job)) break;
    while (!crewRingFinished(ring, b) && roomAhead(job)) {
      t_gfCopySlot* taken = takeBatch(job);
      if (!taken->direct) fillSlot(&c, taken, held);
    }
    crewRingAwaitOldest(ring, held);
    t_gfCopySlot* slot = &job->slots[crewRingSlot(ring, b)];
    held.unlock();
    if (gfCancelRequested()) {
      slot->failure.kind = GF_COPY_INTERRUPTED;
      slot->failedRecord = job->count;
      failed = slot;
    } else if (!writeSlot(&c, slot)) {
      failed = slot;
    } else {
      tellWritten(job, slot);
    }
    held.lock();
    if (failed) break;  // its slot keeps the failure: no batch is taken any more
    crewRingRetire(ring);
  }
  crewRingClose(ring);  // the helpers leave
  held.unlock();
  platClose(c.dir);
  platSha256Close(c.hasher);
  return failed;
}

// Gives the job its buffers: one per helper and two more, so that the helpers read on while
// the writer writes (one for the writer alone). Returns how many it got.
int makeSlots(t_gfCopyJob* job, int helpers) {
  int want = helpers == 0 ? 1 : helpers + 2 < kMaxSlots ? helpers + 2 : kMaxSlots;
  for (; job->slotCount < want; job->slotCount++) {
    t_gfCopySlot* slot = &job->slots[job->slotCount];
    slot->bytes = static_cast<unsigned char*>(ENGINE_NEW(kBatchSize + 1));
    if (!slot->bytes) break;
  }
  crewRingOpen(&job->ring, job->slotCount);
  return job->slotCount;
}

}  // namespace

int gfCopyData(const t_gfWriteList* files, PlatHandle out, t_gfEntrySums* sums,
               t_gfCopyFailure* failure) {
  if (files->count == 0) return -1;
  void* block = ENGINE_NEW(sizeof(t_gfCopyJob));  // the job holds locks: not on the stack
  if (!block) {
    failure->kind = GF_COPY_NO_MEMORY;
    failure->reason[0] = 0;
    return files->count;
  }
  auto* job = new (block) t_gfCopyJob;
  job->files = files;
  job->count = files->count;
  job->out = out;
  job->sums = sums;
  // Nothing to write behind when nothing is flushed at the end.
  platWriteBehindBegin(&job->behind, gfDurableWrites() ? out : INVALID_HANDLE);
  // The writer reads too: with the helpers it makes the thread count.
  int helpers = files->count > 1 ? crewThreads() - 1 : 0;
  int result = -1;
  if (makeSlots(job, helpers) == 0) {
    failure->kind = GF_COPY_NO_MEMORY;
    failure->reason[0] = 0;
    result = files->count;
  } else {
    t_crew crew;
    crewStart(&crew, job->slotCount > 1 ? helpers : 0, readAhead, job);
    t_gfCopySlot* failed = writeAll(job);
    crewJoin(&crew);
    if (failed) {
      *failure = failed->failure;
      result = failed->failedRecord;
    }
  }
  for (int i = 0; i < job->slotCount; i++) ENGINE_DELETE(job->slots[i].bytes);
  job->~t_gfCopyJob();
  ENGINE_DELETE(job);
  return result;
}
