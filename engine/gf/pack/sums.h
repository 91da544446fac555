// SHA-256 sums of groups: the sums of the entries the copier moves, the sums file the group
// writer writes beside a group it packs (sums_file.cpp), and the clamp of stored dates to
// SOURCE_DATE_EPOCH for reproducible packs.
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

// Refuses, before anything is written, a sums path that would take the place of the group
// being written (any spelling, through a link, a hard link), of a group the job reads, or of
// a file the group is made from. 0 when the path is free; 1 after reporting through job.
int gfSumsRefusePlace(const char* sums, const char* group, const t_gfWriteList* list,
                      t_gfJob* job);
// Writes the sums of list (its digests filled by the copier) to a new file that takes the
// name path at gfSumsCommit; head is the SHA-256 of the new group's header and directory as
// written. 0 on success; 1 after reporting why not through job.
int gfSumsWrite(t_gfSumsFile* sums, const char* path, const t_gfWriteList* list,
                const unsigned char head[GF_SHA256_SIZE], t_gfJob* job);
// Names the sums file once the group took its name; a failure is reported as such: the new
// group (group names it) is in place, its sums are not.
int gfSumsCommit(t_gfSumsFile* sums, const char* path, const char* group, t_gfJob* job);
void gfSumsDiscard(t_gfSumsFile* sums);

// SOURCE_DATE_EPOCH of the environment: 0 when it is not set; 1 with *epoch set; -1 after
// reporting through job a value that is no decimal count of seconds.
int gfSourceDateEpoch(std::int64_t* epoch, t_gfJob* job);

// Hashes one more piece of the entry at place i of files with *hasher (opened at the first
// piece); last set finishes it into the list's digests. False when the host's hash failed
// (platLastError says why).
bool gfHashEntryPiece(PlatSha256** hasher, const t_gfWriteList* files, int i, const void* bytes,
                      long count, bool last);
// The sums of the entries larger than smallMax, which the copier has the host copy without
// showing their bytes: read back from out, the group just written, by the crew's threads.
// -1 when all went well, else the first place that failed, with failure described.
int gfSumLargeEntries(const t_gfWriteList* files, PlatHandle out, long smallMax,
                      t_gfCopyFailure* failure);
