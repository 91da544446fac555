// The whole-file cache's part in the manager's start and stop and in the table's edits (the
// cache itself is offered by the public header).
#pragma once

// At gfStart: the cache hears of records whose size changes.
void gfCacheStart();
// At gfStop, before the records' handles close: the cache's own GFILEs.
void gfCacheCloseFiles();
// Empties the cache list and the total at gfStop (the records' blocks are released there).
void gfCacheReset();
// A record leaving the table: its cached copy and list nodes go, or, while its read still
// runs, the block is kept aside until gfStop.
void gfCacheForget(long index);
// A record about to take a new size: with a cached copy it is forgotten as above; nodes left
// without their copy take the new size in the victim order.
void gfCacheResized(long index, long long size);
