// SHA-256 sums: the exported hasher over the host's, the coreutils lines of a sums file, the
// sums of a group file read back, and the writer's sums stage, which the copier feeds.
#include "engine/gf/pack/sums.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/gf/base/group_format.h"
#include "engine/gf/base/group_open.h"
#include "engine/gf/base/names.h"
#include "engine/kestin/crew.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

static_assert(GF_SHA256_SIZE == PLAT_SHA256_SIZE, "one digest size");

t_gfSha256* gfSha256Open() { return reinterpret_cast<t_gfSha256*>(platSha256Open()); }

int gfSha256Add(t_gfSha256* hasher, const void* bytes, long count) {
  if (!hasher || count < 0) return -1;
  return platSha256Add(reinterpret_cast<PlatSha256*>(hasher), bytes, (size_t)count);
}

int gfSha256Finish(t_gfSha256* hasher, unsigned char digest[GF_SHA256_SIZE]) {
  return hasher ? platSha256Finish(reinterpret_cast<PlatSha256*>(hasher), digest) : -1;
}

void gfSha256Close(t_gfSha256* hasher) { platSha256Close(reinterpret_cast<PlatSha256*>(hasher)); }

void gfSha256Hex(const unsigned char digest[GF_SHA256_SIZE], char out[2 * GF_SHA256_SIZE + 1]) {
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < GF_SHA256_SIZE; i++) {
    out[2 * i] = hex[digest[i] >> 4];
    out[2 * i + 1] = hex[digest[i] & 15];
  }
  out[2 * GF_SHA256_SIZE] = 0;
}

long gfSumLine(const char* storedName, const unsigned char digest[GF_SHA256_SIZE], char* out) {
  // sha256sum marks a line whose name it escaped with a leading backslash; '\\' here is a
  // level separator and goes out as '/', so only a newline or carriage return escapes.
  bool escaped = std::strpbrk(storedName, "\n\r") != nullptr;
  long n = 0;
  if (escaped) out[n++] = '\\';
  gfSha256Hex(digest, out + n);
  n += 2 * GF_SHA256_SIZE;
  out[n++] = ' ';
  out[n++] = ' ';
  for (const char* c = storedName; *c && n < GF_SUM_LINE_MAX - 1; c++) {
    if (*c == '\\') {
      out[n++] = '/';
    } else if (*c == '\n' || *c == '\r') {
      out[n++] = '\\';
      out[n++] = *c == '\n' ? 'n' : 'r';
    } else {
      out[n++] = *c;
    }
  }
  out[n] = 0;
  return n;
}

// ---- the sums of a group file read back ---------------------------------------------------

namespace {

constexpr long kWindow = 1 << 20;  // the group is read in pieces this large
constexpr long kJump = 64 * 1024;  // or this much where the next entry lies elsewhere

// One entry of the directory: where its data lies, and its name in the stored form at
// name in the names block.
struct t_gfSumEntry {
  long cursor;  // where the entry begins in the directory
  long offset, size;
  std::uint32_t name;
  bool listed;  // no later copy of its name follows it
};

// What a walk over a group holds: its directory, entries and names, the read window.
struct t_gfSumWalk {
  const char* path;
  char shown[PLAT_PATH_MAX];  // the path as the host spells it, for messages
  PlatHandle group;
  t_gfDirectory directory;
  t_gfSumEntry* entries;
  long count;
  char* names;
  unsigned char* window;
  long long windowAt;
  long windowLength;
  PlatSha256* hasher;
  t_gfJob job;
};

// Reads the entries and their stored forms; false after reporting a lack of memory.
bool loadEntries(t_gfSumWalk* w) {
  w->entries = ENGINE_NEW_ARRAY(t_gfSumEntry, (size_t)w->directory.entryCount + 1);
  w->names = static_cast<char*>(ENGINE_NEW((size_t)w->directory.dirSize + 1));
  if (!w->entries || !w->names) {
    gfFail(&w->job, "not enough memory for the directory of '%s'", w->shown);
    return false;
  }
  std::uint32_t used = 0;
  t_gfDirEntry e;
  for (long cursor = 0, at = 0; gfNextDirEntry(&w->directory, &cursor, &e); at = cursor) {
    t_gfSumEntry* s = &w->entries[w->count++];
    *s = {at, e.dataOffset, e.dataSize, used, true};
    gfUpperCase(e.name);
    size_t n = std::strlen(e.name) + 1;  // never more than the entry took in the directory
    std::memcpy(w->names + used, e.name, n);
    used += (std::uint32_t)n;
  }
  return true;
}

// Marks each copy of a name that a later copy (in directory order) replaces on unpacking.
bool markReplaced(t_gfSumWalk* w) {
  long* order = ENGINE_NEW_ARRAY(long, (size_t)w->count + 1);
  if (!order) {
    gfFail(&w->job, "not enough memory for the directory of '%s'", w->shown);
    return false;
  }
  for (long i = 0; i < w->count; i++) order[i] = i;
  std::sort(order, order + w->count, [w](long a, long b) {
    int byName = std::strcmp(w->names + w->entries[a].name, w->names + w->entries[b].name);
    return byName != 0 ? byName < 0 : a < b;
  });
  for (long i = 0; i + 1 < w->count; i++)
    if (std::strcmp(w->names + w->entries[order[i]].name,
                    w->names + w->entries[order[i + 1]].name) == 0)
      w->entries[order[i]].listed = false;
  ENGINE_DELETE(order);
  return true;
}

// The bytes [offset, offset + count) of the group, from the window, which is moved to
// offset when they are not in it. Null after reporting a read failure.
const unsigned char* windowed(t_gfSumWalk* w, long long offset, long count, const char* name) {
  if (offset >= w->windowAt && offset + count <= w->windowAt + w->windowLength)
    return w->window + (offset - w->windowAt);
  // A whole window where the entries follow each other (the builder's groups); a group whose
  // entries jump about is not read a window per entry.
  bool onward = offset == w->windowAt + w->windowLength;
  long long want = w->directory.fileLength - offset;
  long most = onward ? kWindow : count > kJump ? count : kJump;
  if (want > most) want = most;
  long long got = want >= count ? platReadAt(w->group, offset, w->window, (size_t)want) : -2;
  if (got < count) {
    gfFail(&w->job, "cannot read '%s' from group file '%s': %s", name, w->shown,
           got == -1 ? platLastError() : "the file ended early");
    return nullptr;
  }
  w->windowAt = offset;
  w->windowLength = (long)got;
  return w->window;
}

// The SHA-256 of one entry's bytes, read a window at a time.
bool hashEntry(t_gfSumWalk* w, const t_gfSumEntry* s, unsigned char* digest) {
  const char* name = w->names + s->name;
  for (long done = 0; done < s->size;) {
    long piece = s->size - done < kWindow ? s->size - done : kWindow;
    const unsigned char* bytes = windowed(w, (long long)s->offset + done, piece, name);
    if (!bytes) return false;
    if (platSha256Add(w->hasher, bytes, (size_t)piece) != 0) {
      gfFail(&w->job, "cannot hash '%s': %s", name, platLastError());
      return false;
    }
    done += piece;
  }
  if (platSha256Finish(w->hasher, digest) == 0) return true;
  gfFail(&w->job, "cannot hash '%s': %s", name, platLastError());
  return false;
}

void visitListed(t_gfSumWalk* w, t_gfSumVisitor visit, void* context) {
  for (long i = 0; i < w->count && !w->job.failed; i++) {
    const t_gfSumEntry* s = &w->entries[i];
    if (!s->listed) continue;
    unsigned char digest[GF_SHA256_SIZE];
    if (!hashEntry(w, s, digest)) return;
    t_gfDirEntry e;
    long cursor = s->cursor;
    gfNextDirEntry(&w->directory, &cursor, &e);
    t_gfGroupEntry out;
    std::memcpy(out.name, e.name, sizeof out.name);
    out.offset = e.dataOffset;
    out.size = e.dataSize;
    out.date = e.date;
    out.time = e.time;
    if (visit && !visit(&out, digest, context)) return;
  }
}

}  // namespace

int gfSumGroup(const char* path, t_gfSumVisitor visit, void* context, t_gfReport report) {
  t_gfSumWalk w{};
  w.path = path;
  gfShownPath(path, w.shown, sizeof w.shown);
  w.job = {report, 0};
  w.group = gfOpenGroup(path, &w.directory, report);
  if (w.group == INVALID_HANDLE) return 1;
  w.hasher = platSha256Open();
  if (!w.hasher) gfFail(&w.job, "cannot hash '%s': %s", w.shown, platLastError());
  w.window = w.job.failed ? nullptr : static_cast<unsigned char*>(ENGINE_NEW(kWindow));
  if (!w.job.failed && !w.window) gfFail(&w.job, "not enough memory to read '%s'", w.shown);
  if (!w.job.failed && loadEntries(&w) && markReplaced(&w)) visitListed(&w, visit, context);
  platSha256Close(w.hasher);
  ENGINE_DELETE(w.window);
  ENGINE_DELETE(w.entries);
  ENGINE_DELETE(w.names);
  gfFreeDirectory(&w.directory);
  platClose(w.group);
  return w.job.failed;
}

// ---- the sums of the entries the copier moves ------------------------------------------------

bool gfEntrySumsOpen(t_gfEntrySums* sums, int count) {
  sums->count = count;
  sums->digests = ENGINE_NEW_ARRAY(unsigned char, (size_t)count * GF_SHA256_SIZE + 1);
  sums->fed = ENGINE_NEW_ARRAY(unsigned char, (size_t)count + 1);
  if (sums->fed) std::memset(sums->fed, 0, (size_t)count + 1);
  return sums->digests && sums->fed;
}

void gfEntrySumsFree(t_gfEntrySums* sums) {
  ENGINE_DELETE(sums->digests);
  ENGINE_DELETE(sums->fed);
  *sums = t_gfEntrySums{};
}

namespace {

// Hashes one more piece of the entry at place i with *hasher (opened at the first piece);
// last set finishes it into the digests.
bool hashPiece(PlatSha256** hasher, t_gfEntrySums* sums, int i, const void* bytes, long count,
               bool last) {
  if (!*hasher && !(*hasher = platSha256Open())) return false;
  if (count > 0 && platSha256Add(*hasher, bytes, (size_t)count) != 0) return false;
  return !last || platSha256Finish(*hasher, sums->digests + (size_t)i * GF_SHA256_SIZE) == 0;
}

}  // namespace

bool gfSumsFeed(t_gfEntrySums* sums, PlatSha256** hasher, int i, const void* bytes, long count) {
  sums->fed[i] = 1;
  return hashPiece(hasher, sums, i, bytes, count, true);
}

namespace {

constexpr long kReadBackPiece = 1 << 20;

// The entries the copier did not feed, large files which the host copies without showing their
// bytes, are hashed once the copy is done from the group just written (still in memory), by
// every thread of the crew, each taking the next: the sums are of the very bytes stored, and
// a pack keeps the host's fastest copy.
struct t_gfReadBack {
  t_gfEntrySums* sums;
  const t_gfWriteList* files;
  PlatHandle out;
  std::atomic<int> next{0};
  std::mutex lock;  // guards the failure
  int failed = -1;  // the first place that failed, -1: none
  t_gfCopyFailure failure;
};

// Hashes the group's bytes of the entry at place i through block.
bool hashStored(PlatSha256** hasher, int i, unsigned char* block, t_gfReadBack* job) {
  const t_gfWriteEntry* f = gfWriteEntryAt(job->files, i);
  for (long done = 0; done < (long)f->size;) {
    long piece = (long)f->size - done < kReadBackPiece ? (long)f->size - done : kReadBackPiece;
    long long got = platReadAt(job->out, (long long)f->offset + done, block, (size_t)piece);
    if (got != piece || !hashPiece(hasher, job->sums, i, block, piece, false)) return false;
    done += piece;
  }
  return hashPiece(hasher, job->sums, i, nullptr, 0, true);
}

void hashUnfed(void* context) {
  auto* job = static_cast<t_gfReadBack*>(context);
  PlatSha256* hasher = nullptr;
  auto* block = static_cast<unsigned char*>(ENGINE_NEW(kReadBackPiece));
  for (int i; (i = job->next.fetch_add(1)) < job->files->count;) {
    if (job->sums->fed[i]) continue;
    if (block && hashStored(&hasher, i, block, job)) continue;
    std::lock_guard<std::mutex> hold(job->lock);
    if (job->failed < 0 || i < job->failed) {
      job->failed = i;
      job->failure.kind = block ? GF_COPY_HASH_ERROR : GF_COPY_NO_MEMORY;
      std::snprintf(job->failure.reason, sizeof job->failure.reason, "%s", platLastError());
    }
  }
  ENGINE_DELETE(block);
  platSha256Close(hasher);
}

}  // namespace

int gfSumsReadBack(t_gfEntrySums* sums, const t_gfWriteList* files, PlatHandle out,
                   t_gfCopyFailure* failure) {
  t_gfReadBack job;
  job.sums = sums;
  job.files = files;
  job.out = out;
  t_crew crew;
  crewStart(&crew, files->count > 1 ? crewThreads() - 1 : 0, hashUnfed, &job);
  hashUnfed(&job);
  crewJoin(&crew);
  if (job.failed >= 0) *failure = job.failure;
  return job.failed;
}
