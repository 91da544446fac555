// SHA-256 sums of groups: the sums of the entries the copier moves, the sums file the group
// writer writes beside a group it packs, and the clamp of stored dates to SOURCE_DATE_EPOCH
// for reproducible packs.
#pragma once
#include <cstdint>

#include "engine/gf/names.h"
#include "engine/gf/write_list.h"

// A sums file being written: complete and flushed before the group takes its name, named
// just after it.
struct t_gfSumsFile {
  PlatNewFile file;
  int open;
};

// Writes the sums of list (its digests filled by the copier) to a new file that takes the
// name path at gfSumsCommit. 0 on success; 1 after reporting why not through job.
int gfSumsWrite(t_gfSumsFile* sums, const char* path, const t_gfWriteList* list, t_gfJob* job);
int gfSumsCommit(t_gfSumsFile* sums, const char* path, t_gfJob* job);
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
