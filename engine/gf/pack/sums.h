// SHA-256 sums of groups: the sums stage of the group writer (the sums of the entries the
// copier moves, and the sums file written beside the group, sums_file.cpp).
#pragma once
#include <cstdint>

#include "engine/gf/base/names.h"
#include "engine/gf/pack/write_list.h"

// A sums file being written: complete and flushed before the group takes its name, named
// just after it. Its first line names the group it was made for (gfSumsGroupLine), so that a
// sums file left beside a newer group (a job stopped between the two renames) is told apart
// from damage in the group.
struct t_gfSumsFile {
  PlatNewFile file;
  int open;
};

// The sums stage of a write: the SHA-256 of each entry's bytes by place in the table order.
// The copier feeds it the entries whose bytes it reads; the writer then has it read back from
// the group just written the entries the host copied unseen, and writes the sums file from it.
struct t_gfEntrySums {
  unsigned char* digests;
  unsigned char* fed;  // nonzero where the copier fed the entry
  int count;
};
// Room for the sums of count entries; false when memory fails.
bool gfEntrySumsOpen(t_gfEntrySums* sums, int count);
void gfEntrySumsFree(t_gfEntrySums* sums);
// Takes the whole bytes of the entry at place i, hashed with *hasher (opened at the first
// entry, closed by the caller). False when the host's hash failed (platLastError says why).
bool gfSumsFeed(t_gfEntrySums* sums, PlatSha256** hasher, int i, const void* bytes, long count);
// Hashes the entries the copier did not feed, read back from out, the group just written, by
// the crew's threads. -1 when all went well, else the first place that failed, with failure
// described.
int gfSumsReadBack(t_gfEntrySums* sums, const t_gfWriteList* files, PlatHandle out,
                   t_gfCopyFailure* failure);

// Refuses, before anything is written, a sums path that would take the place of the group
// being written (any spelling, through a link, a hard link), of a group the job reads, or of
// a file the group is made from. 0 when the path is free; 1 after reporting through job.
int gfSumsRefusePlace(const char* sums, const char* group, const t_gfWriteList* list,
                      t_gfJob* job);
// Writes the sums of list (entrySums complete) to a new file that takes the name path at
// gfSumsCommit; head is the SHA-256 of the new group's header and directory as written. The
// debris of killed jobs it removes is told to warn. 0 on success; 1 after reporting why not
// through job.
int gfSumsWrite(t_gfSumsFile* sums, const char* path, const t_gfWriteList* list,
                const t_gfEntrySums* entrySums, const unsigned char head[GF_SHA256_SIZE],
                t_gfReport warn, t_gfJob* job);
// Names the sums file once the group took its name; a failure is reported as such: the new
// group (group names it) is in place, its sums are not.
int gfSumsCommit(t_gfSumsFile* sums, const char* path, const char* group, t_gfJob* job);
void gfSumsDiscard(t_gfSumsFile* sums);
