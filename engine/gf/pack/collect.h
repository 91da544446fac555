// The builder's collection of files: what a build list mask or a path names below the game
// directory, gathered into a write list by the build list's rules (directories and files
// whose names differ only in case taken as the table merges them), with the state of one
// build (its reports, its warnings, the line being collected).
#pragma once
#include <cstdint>

#include "engine/gf/base/names.h"
#include "engine/gf/pack/looks.h"
#include "engine/gf/pack/write_list.h"
#include "tarnpak/gf.h"

// Where the group being written already lies (a group of an earlier build), so that a mask
// taking it can be noticed: its directory's identity and its name there.
struct t_gfOutputPlace {
  int known;
  std::uint64_t device, inode;
  char leaf[256];
};

// Where dates are taken: a file's last write later than to (SOURCE_DATE_EPOCH, when on) is
// stored as to, so that a pack of the same tree gives the same bytes whenever it runs.
struct t_gfDateClamp {
  int on;
  std::int64_t to;
};
// Reads SOURCE_DATE_EPOCH of the environment into clamp (off when it is not set): 0, or 1
// after reporting through job a value that is no decimal count of seconds. A value before
// the format's first date (1980-01-01 00:00:00 UTC; 0 is common) clamps to that date, told
// once through warn: a date the format cannot hold would be stored as none, file by file.
int gfReadDateClamp(t_gfDateClamp* clamp, t_gfJob* job, t_gfReport warn);

// One build: where problems and warnings go, and whether a problem has stopped it.
struct t_gfBuild : t_gfJob {
  const char* root;      // the game directory, ending in a backslash
  t_gfWriteList* files;  // where found files go
  t_gfDateClamp clamp = {};
  t_gfReport warn = nullptr;
  long found = 0;  // files collected so far
  long brokenLinks = 0;  // broken links the masks took, each left out with a warning
  int refusedLines = 0;  // build list lines refused for their text; the rest still read
  // The build list line being collected, for warnings (number 0: none).
  int lineNumber = 0;
  const char* lineText = "";
  t_gfOutputPlace output = {};
  // An edit leaves the group being written out of what it adds (a build packs it, warned),
  // and the group's lock file, which it holds.
  bool skipOutput = false;
  t_gfOutputPlace lockFile = {};
  // gfReadBuildList: told of each line and its files; null for a build.
  t_gfListLineVisitor onLine = nullptr;
  t_gfListFileVisitor onFile = nullptr;
  void* listContext = nullptr;
  t_gfLooks* looks = nullptr;  // the sizes and dates of the mask being collected, under way
};

// A warning about the build list line being collected: "group.cfg line N 'text': ...".
void gfWarnLine(t_gfBuild* build, const char* format, ...) ENGINE_PRINTF(2, 3);

// Collects one mask from the top (line: the build list line it comes from, 0 for none):
// refused when it would leave the game directory or is too long. A refused line is counted
// in refusedLines, not failed, so that the lines after it are read and their problems told
// too; the caller fails the build at the end of the list.
void gfCollectMask(const char* mask, int recurse, int line, t_gfBuild* build);
// What path (relative to root, which ends in a backslash; '/' taken as '\\'; wildcards
// allowed) finds first: 1 a directory, 0 a file, -1 nothing, -2 a directory that cannot be
// read, -3 a broken link.
int gfPathKind(const char* root, const char* path);
// Finds where the group name already lies, if it does: the directory the name resolves to
// (by the rule the group is created by) and the name as stored there.
void gfPlaceOutput(const char* name, t_gfOutputPlace* out);

// Adds to files what path (relative to root, which ends in a backslash) names, by the build
// list's rules: a file as the line "PATH" takes it, a directory (or "" for root) as
// "PATH\\*.* r" does, its date clamped by clamp. The file group, when met in the tree, is
// left out with a warning, and the group's lock file lockFile (a host path; null: none)
// without one. 0 when it went well; 1 after reporting to sink why not (nothing found, a name
// refused).
int gfCollectPath(const char* root, const char* path, const char* group, const char* lockFile,
                  t_gfWriteList* files, const t_gfDateClamp& clamp, t_gfReport sink,
                  t_gfReport warn);

// ---- each file a search finds (found.cpp) ---------------------------------------------------
// One directory search: where its files are on the host, once a file has been found.
struct t_gfSearch {
  const PlatFind* find;
  std::uint32_t hostDir;  // GF_NO_TEXT until stored
  // Whether the levels every file of the search shares are plain (they travel: no Windows
  // rule broken, ASCII only), looked at once, at its first file: a deep tree's files would
  // otherwise have them looked at again file by file. 0 not looked at yet, 1 plain, -1 not.
  int levelsPlain = 0;
};
// Takes the file (or broken link) a search of dirPart (the mask's directory part, ending in
// a backslash, or empty) found into the build: refused when its name is too long, left out
// with a warning when it is a broken link or the group being written; its size and date
// come from the looks when the search gave its name alone.
void gfAddFound(const char* dirPart, t_gfSearch* search, const PlatFindData* found,
                t_gfBuild* build);
// Acts on the looks at the files collected from first on, in their order (the looks all
// done): a file gone since the search is left out with a warning, a date outside the
// format's years is warned of, and a file too large or a look that failed ends the build.
void gfApplyLooks(t_gfBuild* build, int first);

// ---- directories whose names differ only in case ------------------------------------------
// A tree copied from a disk blind to case may hold sounds/, Sounds/ and SOUNDS/ side by side.
// The engine's table merges them (their stored names are one), so a mask's directory part
// takes them all, and of two files that get one stored name the table's copy is stored.

constexpr int kMaxSpellings = 256;

// The spellings on disk of a mask's directory part, each ending in a backslash (paths from
// the tracked allocator, given back by the caller).
struct t_gfSpelled {
  char path[GF_PATH_MAX + 1];
};
struct t_gfSpellings {
  t_gfSpelled* paths = nullptr;
  int count = 0;
};

// Every spelling of dirPart (ending in a backslash) on disk below root, in byte order. False
// when the part holds a wildcard, a "." level or an empty level (taken as it is), or too
// many.
bool gfSpellDirectory(const char* root, const char* dirPart, t_gfSpellings* out);
// Of the files one mask took from first on, those that get one stored name are one file to
// the engine's table, which keeps the newest: only that one is stored, with a warning naming
// it.
void gfMergeCaseCopies(t_gfBuild* build, int first);
