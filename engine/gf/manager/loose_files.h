// Loose files' records and handles: a record's own handle, the orphans it leaves behind when
// it is refreshed, recreated or deleted under open GFILEs, and registering a loose file
// (gfInsertFile, in the public header).
#pragma once
#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

// Closes a loose file's handle for good, after its queued reads leave the worker's queue:
// once closed, its number may come back from the next open.
void gfCloseLoose(PlatHandle h);
// A loose file's handle that its record no longer holds (the record was refreshed,
// recreated or deleted) while count GFILEs still use it: it is closed when the last of them
// closes, or at gfStop.
void gfOrphanHandle(PlatHandle h, int count);
// One GFILE on an orphaned handle closed.
void gfReleaseOrphan(PlatHandle h);
void gfCloseOrphans();
// Lets the record go of its loose-file handle, handing it to the orphans when handles are
// still open on it.
void gfDetachHandle(t_gfFileInfo* record);
// At gfStop: the loose-file handles the records hold.
void gfCloseRecordHandles();
