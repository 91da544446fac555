// The manager's names, paths and messages, which every layer of engine/gf builds on: names in
// the table's form, paths joined within the manager's limit, the root, the directories a
// walk is on, and the messages of the checked forms.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/platform/platform.h"
#include "tarnpak/gf.h"

constexpr int GF_PATH_MAX = 255;  // every name and path the manager builds stays within this

// ---- names and paths ------------------------------------------------------------------------
// Turns a to z into A to Z in place.
void gfUpperCase(char* name);
// A caller's name with the table's separators: every '/' becomes a backslash. out has
// GF_PATH_MAX + 1 bytes; false, with out untouched, when the name does not fit.
bool gfNormalName(char* out, const char* name);
// dir, name and suffix joined into out (GF_PATH_MAX + 1 bytes); false when the whole
// would not fit the manager's limit.
bool gfJoinPath(char* out, const char* dir, const char* name, const char* suffix = "");
// Copies name into out (size bytes) with every byte below 0x20 and 0x7F written as \xHH,
// so that a name from a file or a disk cannot steer the terminal it is printed on.
void gfEscapeControls(const char* name, char* out, size_t size);
// The root directory as gfStart(root) makes it: root with a backslash appended when it
// lacks one. Gives false, with out empty, when no name would fit behind it.
bool gfMakeRoot(char* out, const char* root);
// A path of the engine's (backslashes, such as the root and the names under it) as the host
// spells it, for a message: on POSIX every backslash becomes '/'. The engine keeps using its
// own form; this is only what a user reads. out holds size bytes; returns out.
const char* gfShownPath(const char* path, char* out, size_t size);

// The manager's root: written only by gfStart(root), read by the units that join names to it.
extern char gfRoot[GF_PATH_MAX + 1];  // ends in a backslash once gfStart(root) has set it

// ---- the directories a walk is on ---------------------------------------------------------
// One directory on the path of a recursive search, from the first one down.
struct t_gfVisit {
  std::uint64_t device, inode;
  const t_gfVisit* up;
};
// Whether the directory a search has just opened is already on the path: reached again
// through a link, it would be entered without end.
bool gfOnPath(const PlatFind* find, const t_gfVisit* path);

// ---- messages of the checked forms ----------------------------------------------------------
// Formats a message and hands it to sink, with control characters escaped; nothing when sink
// is null.
void gfReportf(t_gfReport sink, const char* format, ...) ENGINE_PRINTF(2, 3);
void gfReportV(t_gfReport sink, const char* format, va_list args);
// Tells warn which temporary files of killed processes the creation of file removed, if any.
void gfTellDebris(const PlatNewFile* file, t_gfReport warn);
// Tells the program's progress hook (gfSetProgress) how far a pack's copy or an unpack is.
void gfTellProgress(long filesDone, long filesAll, long long bytesDone, long long bytesAll);
// A job that reports its problems to sink; the first one reported marks it failed.
struct t_gfJob {
  t_gfReport sink;
  int failed;
};
void gfFail(t_gfJob* job, const char* format, ...) ENGINE_PRINTF(2, 3);

// A job's options record (t_gfPackOptions and the others) as the caller's size covers it,
// zero for the fields beyond: what a program built against an older, smaller record gives.
// False, with out all zero, for a null record or one whose size does not cover size itself.
template <typename Options>
bool gfTakeOptions(Options* out, const Options* given) {
  *out = Options{};
  if (!given || given->size < sizeof given->size) return false;
  std::size_t covered = given->size < sizeof *out ? given->size : sizeof *out;
  std::memcpy(static_cast<void*>(out), given, covered);
  out->size = sizeof *out;
  return true;
}

// Whether the job running on this thread is to stop (gfSetCancelCheck).
bool gfCancelRequested();
