// Positioned transfers, the one way the manager's handles and the read worker move bytes,
// and the asynchronous read worker with its queue.
#pragma once
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// ---- positioned transfers -------------------------------------------------------------------
// One positioned transfer on h, neither depending on a file pointer; bytes moved, or -1 when
// nothing moved because of an error (an error after some bytes still counts those bytes).
long long gfReadAt(PlatHandle h, long offset, void* buffer, unsigned long count);
long long gfWriteAt(PlatHandle h, long offset, const void* buffer, unsigned long count);

// ---- the read worker ------------------------------------------------------------------------
constexpr int GF_READ_QUEUE_SIZE = 1024;
// Empties the queue and starts the worker; false when the thread cannot be started (reads
// are then done at once on the caller's thread).
bool gfReadWorkerStart();
// Tells the worker to leave and waits for it; a read in progress stops at its next piece.
// Queued reads are never served; once this returns the worker writes no buffer.
void gfReadWorkerStop();
// Whether the worker has been told to leave (for a hook that holds the worker).
bool gfReadStopRequested();
// The id for the next read, queued or not.
long gfReadNewId();
// Queues a read for the worker; false when there is no worker or the queue is full.
bool gfReadEnqueue(const t_gfReadRequest& request);
// Before h is closed: its queued reads leave the queue (and so count as finished), and a
// read of it in progress stops at its current piece, which is waited for. Once this
// returns, the worker neither reads h nor writes those reads' buffers.
void gfReadDrop(PlatHandle h);
// Takes the queued read id (id 0: the newest queued read) out of the queue, when the worker
// has not begun it, so that the caller can do it at once; false when it is being read,
// finished or never queued.
bool gfReadTakeBack(long id, t_gfReadRequest* request);
