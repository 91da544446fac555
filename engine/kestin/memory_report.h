// The tracked allocator's reports of live blocks, for the engine's leak checks and its
// tests; not part of the library's interface.
#pragma once

// Live blocks and bytes of one source unit (null: all units together).
long memLiveBlocks(const char* unit);
long long memLiveBytes(const char* unit);
// Hands one line per live block ("unit:line size") to report; returns the count.
long memReportLive(void (*report)(const char* line));
