// The asynchronous read worker: one thread serving a fixed queue of reads in the order they
// were queued, while the caller polls for completion by id.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/gf/gf_internal.h"

void (*gfReadBeforeServe)(const t_gfReadRequest*) = nullptr;

namespace {

constexpr long kReadPiece = 1 << 20;  // the worker looks for a stop request between pieces
constexpr long kLastId = 0x7FFFFFFF;  // ids stay positive 32-bit numbers

// The pending requests, oldest first from gfReadHead on (a ring, so that finishing one
// moves nothing). A request stays in the queue until the worker has read it.
t_gfReadRequest gfReadQueue[GF_READ_QUEUE_SIZE];
int gfReadHead = 0;
int gfReadCount = 0;
long gfNextReadId = 1;  // never reset: ids keep counting across restarts

std::mutex gfReadLock;  // guards the queue, gfReadSignalled and the worker's start and end
std::condition_variable gfReadEvent;
bool gfReadSignalled = false;  // the auto-reset event's state
std::atomic<bool> gfReadStopping{false};
std::thread gfReadThread;
bool gfReadRunning = false;

// A program may end without gfStop (the tool's pack road does): the worker is then told to
// leave and joined here, before the lock and the event above are destroyed.
struct t_gfReadAtExit {
  ~t_gfReadAtExit() { gfReadWorkerStop(); }
} gfReadAtExit;

long takeId() {
  long id = gfNextReadId;
  gfNextReadId = id >= kLastId ? 1 : id + 1;
  return id;
}

// Reads one request in pieces; a failed or short piece ends it (the read still counts as
// finished). Returns false when a stop request cut it off.
bool serve(const t_gfReadRequest& r) {
  if (gfReadBeforeServe) gfReadBeforeServe(&r);
  auto* out = static_cast<char*>(r.buffer);
  for (long done = 0; done < r.size;) {
    if (gfReadStopping.load(std::memory_order_relaxed)) return false;
    long piece = r.size - done < kReadPiece ? r.size - done : kReadPiece;
    long long got = gfReadAt(r.handle, r.offset + done, out + done, (unsigned long)piece);
    if (got < piece) break;
    done += piece;
  }
  return true;
}

void gfReadWorker() {
  std::unique_lock<std::mutex> guard(gfReadLock);
  for (;;) {
    gfReadEvent.wait(guard, [] { return gfReadSignalled || gfReadStopping.load(); });
    gfReadSignalled = false;
    while (gfReadCount > 0 && !gfReadStopping.load()) {
      t_gfReadRequest request = gfReadQueue[gfReadHead];
      guard.unlock();  // never held during a read
      bool finished = serve(request);
      guard.lock();
      if (!finished) break;
      gfReadHead = (gfReadHead + 1) % GF_READ_QUEUE_SIZE;
      gfReadCount--;
    }
    if (gfReadStopping.load()) return;
  }
}

}  // namespace

bool gfReadWorkerStart() {
  gfReadWorkerStop();
  {
    std::lock_guard<std::mutex> guard(gfReadLock);
    gfReadHead = gfReadCount = 0;
    gfReadSignalled = false;
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

long gfReadStart(GFILE* f, long position, void* buffer, int size) {
  long id = takeId();
  if (!f || !buffer || size <= 0) return id;  // nothing to read: finished at once
  if (gfReadRunning) {
    std::unique_lock<std::mutex> guard(gfReadLock);
    if (gfReadCount < GF_READ_QUEUE_SIZE) {
      int tail = (gfReadHead + gfReadCount) % GF_READ_QUEUE_SIZE;
      gfReadQueue[tail] = {id, f->handle, f->base + position, size, buffer};
      gfReadCount++;
      gfReadSignalled = true;
      guard.unlock();
      gfReadEvent.notify_one();
      return id;
    }
  }
  // The queue is full (or there is no worker): read now, through the handle's window.
  gfSeek(f, position, 0);
  gfRead(f, buffer, size);
  return id;
}

int gfReadCompleted(long id) {
  std::lock_guard<std::mutex> guard(gfReadLock);
  for (int i = 0; i < gfReadCount; i++)
    if (gfReadQueue[(gfReadHead + i) % GF_READ_QUEUE_SIZE].id == id) return 0;
  return 1;
}
