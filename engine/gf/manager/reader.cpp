// Positioned transfers, and the asynchronous read worker: one thread serving a fixed queue
// of reads in the order they were queued, while the caller polls for completion by id.
#include "engine/gf/manager/reader.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/platform/faults.h"

// Both transfers report what really moved: an error after some bytes still counts those
// bytes, so the caller's position and size follow the file.
long long gfReadAt(PlatHandle h, long offset, void* buffer, unsigned long count) {
  auto* bytes = static_cast<char*>(buffer);
  unsigned long done = 0;
  while (done < count) {
    long long got = platReadSome(h, offset + (long)done, bytes + done, count - done);
    if (got <= 0) return done ? (long long)done : got;
    done += (unsigned long)got;
  }
  return (long long)done;
}

long long gfWriteAt(PlatHandle h, long offset, const void* buffer, unsigned long count) {
  const auto* bytes = static_cast<const char*>(buffer);
  unsigned long done = 0;
  while (done < count) {
    long long put = platWriteSome(h, offset + (long)done, bytes + done, count - done);
    if (put <= 0) return done ? (long long)done : -1;
    done += (unsigned long)put;
  }
  return (long long)done;
}

namespace {

constexpr long kReadPiece = 1 << 20;  // the worker looks for a stop request between pieces
constexpr long kLastId = 0x7FFFFFFF;  // ids stay positive 32-bit numbers
// Times the worker gives up its processor and looks at the queue again before it sleeps: a
// caller that queues one file after another (a cache being filled) finds it awake, and
// pays no wake-up per request.
constexpr int kLooksBeforeSleeping = 64;

// The pending requests, oldest first from gfReadHead on (a ring, so that finishing one
// moves nothing). A request stays in the queue until the worker has read it.
t_gfReadRequest gfReadQueue[GF_READ_QUEUE_SIZE];
int gfReadHead = 0;
int gfReadCount = 0;
long gfNextReadId = 1;  // never reset: ids keep counting across restarts
// The id of the oldest pending read, 0 when none is (written under gfReadLock). Ids are
// queued in the order they were given out, so every id given out before it is finished:
// a poll of a finished read is answered from this alone, without the lock the worker takes
// twice a read. Its release pairs with the poll's acquire, so the bytes of a read reported
// finished are in the caller's buffer.
std::atomic<long> gfReadFirstPending{0};

std::mutex gfReadLock;  // guards the queue, gfReadSignalled and the worker's start and end
std::condition_variable gfReadEvent;
bool gfReadSignalled = false;  // the auto-reset event's state
// Whether the worker sleeps on gfReadEvent: only then does queueing a request wake it. A
// worker that is reading finds the new request when it looks at the queue again.
bool gfReadWaiting = false;
std::atomic<bool> gfReadStopping{false};
std::thread gfReadThread;
bool gfReadRunning = false;

// The request at the head while the worker serves it (guarded by gfReadLock). A close of
// its descriptor cancels it; the worker then reads no further piece, and the close waits
// only for a piece already being read, so the descriptor is never read after it closed.
bool gfReadServing = false;
bool gfReadCancelled = false;
bool gfReadInPiece = false;
std::condition_variable gfReadPieceDone;

// After every change of the queue's head (gfReadLock held).
void noteFirstPending() {
  long first = gfReadCount > 0 ? gfReadQueue[gfReadHead].id : 0;
  gfReadFirstPending.store(first, std::memory_order_release);
}

// A program may end without gfStop (the tool's pack road does): the worker is then told to
// leave and joined here, before the lock and the event above are destroyed. When this runs
// in a Windows DLL at process end, the system has already ended the worker (perhaps
// holding the lock): there is nothing left to tell or to join.
struct t_gfReadAtExit {
  ~t_gfReadAtExit() {
    if (gfReadRunning && platOtherThreadsEnded()) {
      gfReadThread.detach();
      gfReadRunning = false;
    }
    gfReadWorkerStop();
  }
} gfReadAtExit;

// Reads one request in pieces, with the lock held between them; a failed or short piece
// ends it (the read still counts as finished), and so does a cancel. Returns false when a
// stop request cut it off.
bool serve(const t_gfReadRequest& r, std::unique_lock<std::mutex>& guard) {
  auto* out = static_cast<char*>(r.buffer);
  for (long done = 0; done < r.size;) {
    if (gfReadStopping.load(std::memory_order_relaxed)) return false;
    if (gfReadCancelled) return true;
    long piece = r.size - done < kReadPiece ? r.size - done : kReadPiece;
    gfReadInPiece = true;
    guard.unlock();  // never held during a read
    long long got = gfReadAt(r.handle, r.offset + done, out + done, (unsigned long)piece);
    guard.lock();
    gfReadInPiece = false;
    gfReadPieceDone.notify_all();
    if (got < piece) break;
    done += piece;
  }
  return true;
}

bool readyToServe() { return gfReadSignalled || gfReadStopping.load(); }

// Yields a few times, with the lock let go, for a request or a stop to come.
void lookAgainBriefly(std::unique_lock<std::mutex>& guard) {
  for (int i = 0; i < kLooksBeforeSleeping && !readyToServe(); i++) {
    guard.unlock();
    std::this_thread::yield();
    guard.lock();
  }
}

void gfReadWorker() {
  std::unique_lock<std::mutex> guard(gfReadLock);
  for (;;) {
    lookAgainBriefly(guard);
    gfReadWaiting = true;
    gfReadEvent.wait(guard, readyToServe);
    gfReadWaiting = false;
    gfReadSignalled = false;
    while (gfReadCount > 0 && !gfReadStopping.load()) {
      t_gfReadRequest request = gfReadQueue[gfReadHead];
      gfReadServing = true;
      gfReadCancelled = false;
      guard.unlock();  // a test's hook may hold the worker here
      platMoment(PLAT_MOMENT_READ_SERVED, &request);
      guard.lock();
      bool finished = serve(request, guard);
      gfReadServing = false;
      if (!finished) break;
      gfReadHead = (gfReadHead + 1) % GF_READ_QUEUE_SIZE;
      gfReadCount--;
      noteFirstPending();
    }
    if (gfReadStopping.load()) return;
  }
}

// Whether the request at place i of the queue counts as pending: all do but the one being
// served once its descriptor closed.
bool pendingAt(int i) { return !(i == 0 && gfReadServing && gfReadCancelled); }

}  // namespace

bool gfReadWorkerStart() {
  gfReadWorkerStop();
  {
    std::lock_guard<std::mutex> guard(gfReadLock);
    gfReadHead = gfReadCount = 0;
    noteFirstPending();
    gfReadSignalled = gfReadServing = gfReadCancelled = gfReadInPiece = gfReadWaiting = false;
    gfReadStopping = false;
  }
  // The one place an exception can come from: a thread the system will not start. The
  // manager then works without a worker, reading at once on the caller's thread.
  try {
    gfReadThread = std::thread(gfReadWorker);
  } catch (...) {
    return false;
  }
  gfReadRunning = true;
  return true;
}

void gfReadWorkerStop() {
  if (!gfReadRunning) return;
  {
    std::lock_guard<std::mutex> guard(gfReadLock);
    gfReadStopping = true;
  }
  gfReadEvent.notify_one();
  gfReadThread.join();
  gfReadRunning = false;
}

bool gfReadStopRequested() { return gfReadStopping.load(); }

long gfReadNewId() {
  long id = gfNextReadId;
  gfNextReadId = id >= kLastId ? 1 : id + 1;
  return id;
}

bool gfReadEnqueue(const t_gfReadRequest& request) {
  if (!gfReadRunning) return false;
  std::unique_lock<std::mutex> guard(gfReadLock);
  if (gfReadCount >= GF_READ_QUEUE_SIZE) return false;
  gfReadQueue[(gfReadHead + gfReadCount) % GF_READ_QUEUE_SIZE] = request;
  if (gfReadCount++ == 0) noteFirstPending();
  gfReadSignalled = true;
  bool asleep = gfReadWaiting;
  guard.unlock();
  if (asleep) gfReadEvent.notify_one();
  return true;
}

void gfReadDrop(PlatHandle h) {
  if (!gfReadRunning || h == INVALID_HANDLE) return;
  std::unique_lock<std::mutex> guard(gfReadLock);
  bool cancelled = false;
  int kept = 0;
  for (int i = 0; i < gfReadCount; i++) {
    const t_gfReadRequest& r = gfReadQueue[(gfReadHead + i) % GF_READ_QUEUE_SIZE];
    bool serving = i == 0 && gfReadServing;
    if (r.handle == h && !serving) continue;
    if (r.handle == h) cancelled = gfReadCancelled = true;  // the worker takes it out
    gfReadQueue[(gfReadHead + kept++) % GF_READ_QUEUE_SIZE] = r;
  }
  gfReadCount = kept;
  noteFirstPending();
  if (cancelled) gfReadPieceDone.wait(guard, [] { return !gfReadInPiece; });
}

bool gfReadTakeBack(long id, t_gfReadRequest* out) {
  if (!gfReadRunning) return false;
  std::lock_guard<std::mutex> guard(gfReadLock);
  int first = gfReadServing ? 1 : 0;  // the request being read stays the worker's
  if (gfReadCount <= first) return false;
  int at = gfReadCount - 1;  // with no id, the newest: the worker reaches it last
  if (id != 0)
    for (at = first; at < gfReadCount; at++)
      if (gfReadQueue[(gfReadHead + at) % GF_READ_QUEUE_SIZE].id == id) break;
  if (at == gfReadCount) return false;
  *out = gfReadQueue[(gfReadHead + at) % GF_READ_QUEUE_SIZE];
  for (int i = at + 1; i < gfReadCount; i++)
    gfReadQueue[(gfReadHead + i - 1) % GF_READ_QUEUE_SIZE] =
        gfReadQueue[(gfReadHead + i) % GF_READ_QUEUE_SIZE];
  gfReadCount--;
  noteFirstPending();
  return true;
}

int gfReadCompleted(long id) {
  long first = gfReadFirstPending.load(std::memory_order_acquire);
  // Older than the oldest pending read, and not by so much that the ids have wrapped
  // around between them.
  if (first == 0 || (id < first && first - id < (1L << 30))) return 1;
  std::lock_guard<std::mutex> guard(gfReadLock);
  for (int i = 0; i < gfReadCount; i++)
    if (gfReadQueue[(gfReadHead + i) % GF_READ_QUEUE_SIZE].id == id && pendingAt(i)) return 0;
  return 1;
}
