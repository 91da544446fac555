// The group file manager's exported interface: the file table records and the gf functions
// (start-up scan, lookup, file handles, search, table edits, builder, unpacker).
#pragma once
#include <cstddef>
#include <cstdint>

#include "tarnpak/engine_api.h"

struct GFILE;

// An operating-system file as the records hold it: an integer of pointer width whose
// invalid value has all bits set.
typedef std::intptr_t t_gfHandle;
constexpr t_gfHandle GF_INVALID_HANDLE = -1;

// One file of the manager's table.
struct ENGINE_API t_gfFileInfo {
  char* name;   // relative to the root, backslashes, a-z turned to A-Z
  long offset;     // start of the data in its group file; 0 for a loose file
  long long size;  // the whole size, 64-bit on every host: a loose file may pass 4 GiB
  t_gfHandle handle;  // the group file's shared handle, or the loose file's own while open
  int openCount;
  std::uint16_t date;           // MS-DOS date of the last write (UTC)
  std::uint16_t time;           // MS-DOS time of the last write (UTC)
  unsigned char wavHeader[44];  // first 44 bytes of a ".WAV" file, else zeros
  void* cacheData;
  long readId;
  GFILE* cacheFile;
  int inGroup;
  float lastUse;
};

// An open file of the manager: a window of size bytes at base in the file behind handle (a
// group file, shared by every handle on its files, or a loose file's own handle).
struct ENGINE_API GFILE {
  t_gfHandle handle;
  long base;           // the window's first byte in that file; 0 for a loose file
  long size;           // taken from the record at open, raised by writes that pass it
  long pos;            // 0 to size, relative to base
  long index;          // the record's index in the file table
  unsigned char* key;  // 8-byte password key XORed over every byte moved, or null
};

// The caller's search record: fill mask, then gfFindFirst and gfFindNext fill name and index.
struct ENGINE_API t_findfirst {
  char name[256];  // the name found, without the directory part the mask gives
  char mask[256];  // relative to the root, e.g. "TEXTURES\\*.TGA"; any case
  long index;      // the record found last
};

// One queued asynchronous read.
struct ENGINE_API t_gfReadRequest {
  long id;
  t_gfHandle handle;  // the handle of the caller's GFILE
  long offset;        // absolute: the GFILE's base plus the position asked for
  int size;
  void* buffer;  // the caller's, valid until the read is finished
};

// The byte the password key is filled with behind a password's end: key[k] = k + this.
constexpr unsigned char GF_PASSWORD_FILLER = 0x5A;

// Where the checked inner forms send one message each (no newline); null: silent.
typedef void (*t_gfReport)(const char* message);

// ---- the file table -----------------------------------------------------------------------
ENGINE_API void gfStart(const char* root);
ENGINE_API void gfStart();
ENGINE_API void gfStop();
ENGINE_API long gfFetch(const char* name);
ENGINE_API t_gfFileInfo* gfGetFileInfo(const char* name);
ENGINE_API int gfCompareFileInfo(const t_gfFileInfo* a, const t_gfFileInfo* b);

// ---- file handles -------------------------------------------------------------------------
ENGINE_API GFILE* gfOpen(const char* name);
ENGINE_API GFILE* gfCreate(const char* name);
ENGINE_API void gfClose(GFILE* f);
// origin 0: from the start, 1: from the position, 2: from the end; clamped to the window.
ENGINE_API int gfSeek(GFILE* f, long offset, int origin);
ENGINE_API long gfTell(GFILE* f);
ENGINE_API long gfSize(GFILE* f);
// The record's size; -1 when long cannot hold it (2 GiB and more where long has 32 bits).
ENGINE_API long gfSizeEx(const char* name);
// Bytes delivered, at most what the window holds behind the position.
ENGINE_API long gfRead(GFILE* f, void* buffer, int count);
// Bytes written; 0 for a file in a group, which the manager never writes.
ENGINE_API long gfWrite(GFILE* f, const void* buffer, int count);
// The next line without its line end, at most bufferSize - 1 characters (the rest of a
// longer line is passed over); the empty string at the end of the file.
ENGINE_API void gfReadLN(GFILE* f, void* line, long bufferSize);
// At most 1023 characters per call; longer output is cut.
ENGINE_API void gfPrintf(GFILE* f, const char* format, ...) ENGINE_PRINTF(2, 3);
ENGINE_API void gfFlush(GFILE* f);
ENGINE_API void gfGetDateTime(GFILE* f, unsigned short* date, unsigned short* time);
ENGINE_API void gfGetDateTimeEx(const char* name, unsigned short* date, unsigned short* time);
// Sets the handle's key from password (null: no key); see GF_PASSWORD_FILLER.
ENGINE_API void gfSetPassword(GFILE* f, const char* password);

// ---- the whole-file cache -----------------------------------------------------------------
// Starts caching name on the first call; returns its record once the bytes are at
// cacheData, null while the read runs and for a name not in the table (or not readable).
ENGINE_API t_gfFileInfo* gfCacheFile(const char* name);
// Drops the largest cached file whose read has finished.
ENGINE_API void gfUncacheFile();
// Drops the cached copy of the record at index if its read has finished.
ENGINE_API void gfUncacheFile(int index);
ENGINE_API void gfUncacheAllFiles();
// Lists the cached files through ConPrintf.
ENGINE_API void gfPrintCache();

// ---- asynchronous reads -------------------------------------------------------------------
// Queues a read of size bytes at position (relative to f's base, not cut to its window, no
// password) into buffer; returns its id. With 1024 reads pending the read is done at once
// through gfSeek and gfRead.
ENGINE_API long gfReadStart(GFILE* f, long position, void* buffer, int size);
// 1 when the read with that id is finished (or no read with that id is pending), else 0.
ENGINE_API int gfReadCompleted(long id);

// ---- search and table edits ---------------------------------------------------------------
// Matches come in table order; a mask without a directory part finds root records only.
ENGINE_API int gfFindFirst(t_findfirst* f);
ENGINE_API int gfFindNext(t_findfirst* f);
ENGINE_API void gfFindClose(t_findfirst* f);
// Registers (or refreshes) the loose file name below the root; returns its index, or -1
// for a null name or one longer than a stored name can be.
ENGINE_API int gfInsertFile(const char* name);
// Takes the record out of the table (nothing on disk); renumbers the records.
ENGINE_API void gfDeleteFile(const char* name);

// ---- the builder --------------------------------------------------------------------------
// gfPackJob (below) takes every option of a pack; the forms here are kept for their callers.
// Packs the files the root's "group.cfg" names into the group file name.
ENGINE_API void Tarnpak(const char* name, int flag);
// The same, reporting what went wrong; 0 when a group was written, 1 otherwise.
ENGINE_API int TarnpakChecked(const char* name, int flag, t_gfReport report);
// The same for the build list of directory root, without starting the manager: no table
// is built and the manager's root stays as it is. The group is the one gfStart(root) and
// TarnpakChecked would write.
ENGINE_API int TarnpakFrom(const char* root, const char* name, int flag, t_gfReport report);
// TarnpakFrom with warnings, one message each to warn (null: none): a build-list line whose
// mask finds no file, an empty line that leaves later lines unread, a second word that looks
// like the recursion flag but is none ('R', '-r'), words beyond the second, a group that
// holds no file, and the group being written found in the tree (its earlier version is then
// packed too). Warnings change neither the result nor the group written.
ENGINE_API int TarnpakFromWarned(const char* root, const char* name, int flag, t_gfReport report,
                                 t_gfReport warn);
// One line of a build list as the builder takes it: its number from 1, its text after the
// clean-up, its mask (the first word), whether the entry is recursive, and how many files it
// takes.
struct ENGINE_API t_gfListLine {
  int number;
  const char* text;
  const char* mask;
  int recursive;
  long files;
};
// Called once per line read, before the files of that line.
typedef void (*t_gfListLineVisitor)(const t_gfListLine* line, void* context);
// Called for each file a line takes, with the name it would be stored under.
typedef void (*t_gfListFileVisitor)(const t_gfListLine* line, const char* storedName,
                                    void* context);
// Reads the build list of directory root exactly as TarnpakFromWarned does and collects what
// each line takes, without writing anything; output is the group the build would write (for
// the warning of a tree that holds it; null: none). Warnings go to warn as that build gives
// them. 0 when the list was read, 1 after reporting why not.
ENGINE_API int gfReadBuildList(const char* root, const char* output, t_gfListLineVisitor onLine,
                               t_gfListFileVisitor onFile, void* context, t_gfReport report,
                               t_gfReport warn);
// Whether the build list of directory root can be read, checked before anything is scanned
// (a tree that is no game directory may be huge); 0 when it can, else 1 after reporting why.
ENGINE_API int gfCheckBuildList(const char* root, t_gfReport report);

// ---- editing a group --------------------------------------------------------------------
// gfEditGroup's flags.
constexpr int GF_EDIT_NEW_GROUP = 1;  // path holds no group yet: the result is a new group
constexpr int GF_EDIT_DRY_RUN = 2;    // everything but the writing: the group stays as it is
// A missing group is made new, an existing one edited: whether it is missing is looked at
// once the edit holds the group's lock, so that edits at once that each found it missing
// do not each make a group of their own, the last one replacing the others.
constexpr int GF_EDIT_MAKE_MISSING = 4;

// gfEditJob (below) takes every option of an edit; gfEditGroup and its forms are kept for
// their callers.
// Rewrites the group file at path with changes, as the builder would write the resulting set
// of files: the directory in the builder's order, every kept entry's bytes, date and time
// copied from the old group range by range (never read whole into memory), the build flag
// kept (1 for a new group).
// - adds: paths relative to directory root ('/' or '\\'); a file is stored under its path
//   (upper-cased, '\\' between levels), a directory gives its files recursively, leaving out
//   directories whose names begin with a dot, as the build-list line "PATH\\*.* r" would; ""
//   is root itself. Every entry of the old group with the stored name of an added file goes
//   (every copy of it). The group file itself, met in the tree, is left out with a warning.
// - removes: stored names in any case, '/' or '\\'; every copy goes. A name that is a
//   directory level of stored names takes everything below it ("sounds/voice" takes
//   SOUNDS\\VOICE\\A.WAV); a name holding '*' or '?' is a mask matched with the whole
//   stored name, as gfMatchName matches.
// - told (may be null) hears, in directory order, each old entry that goes, with
//   GF_EDIT_DRY_RUN too.
// Refused, with nothing written: a remove name that matches no entry, an add path that finds
// nothing, two added paths of one stored name, names the builder refuses (too long, leaving
// root), files the group cannot hold. Names only the Windows unpacker refuses are added with
// the builder's warning, as a build stores them. The old group stays whole on any failure;
// the new one replaces it in one commit. From reading the old group to that commit the edit
// holds the group's lock (the file path + ".lock" beside it), so that edits of one group, from
// any process, never lose each other: one waits for another, and fails after a minute. A path
// that is a symbolic link edits the group it leads to, and the link stays. 0 when the group
// was written, 1 after reporting why not; warnings (an added directory holding no file, the
// group met in the tree) go to warn.
ENGINE_API int gfEditGroup(const char* path, int flags, const char* root,
                           const char* const* adds, int addCount, const char* const* removes,
                           int removeCount, t_gfReport report, t_gfReport warn);
// Hears a stored name an edit takes out of the group.
typedef void (*t_gfEditVisitor)(const char* name, void* context);
// gfEditGroup, telling told of every entry that goes.
ENGINE_API int gfEditGroupTold(const char* path, int flags, const char* root,
                               const char* const* adds, int addCount,
                               const char* const* removes, int removeCount,
                               t_gfEditVisitor told, void* context, t_gfReport report,
                               t_gfReport warn);

// ---- the unpacker -------------------------------------------------------------------------
// gfUnpackJob (below) takes every option of an unpack; the forms here are kept for their
// callers.
// Recreates every file stored in the group file below the current directory.
ENGINE_API void gfUnpack(const char* path);
// The same, reporting each problem; 0 when every file was written, 1 otherwise.
ENGINE_API int gfUnpackChecked(const char* path, t_gfReport report);
// Chooses the entries to unpack by stored name; nonzero: unpack it.
typedef int (*t_gfNameFilter)(const char* name, void* context);
// gfUnpackChecked of only the entries select chooses (all of them when select is null).
ENGINE_API int gfUnpackSelected(const char* path, t_gfNameFilter select, void* context,
                                t_gfReport report);

// gfUnpackWith's flags.
constexpr int GF_UNPACK_STORED_DATES = 1;  // each file's last write set to its stored date
// gfUnpackSelected with flags.
ENGINE_API int gfUnpackWith(const char* path, t_gfNameFilter select, void* context, int flags,
                            t_gfReport report);
// gfUnpackWith writing below the directory target instead of the current directory (null:
// the current directory), so that a program need not change its working directory, which
// every thread shares. target must exist.
ENGINE_API int gfUnpackInto(const char* path, const char* target, t_gfNameFilter select,
                            void* context, int flags, t_gfReport report);

// ---- stopping a long job ------------------------------------------------------------------
// Asked now and then on the calling thread while a pack, an unpack or a group edit that this
// thread started runs (between files, and between pieces of the data); nonzero stops the job
// as an interrupt stops the tool: a group being written is discarded (an older one stays
// whole) and an unpack keeps the files it finished, each whole, and starts no other. The job
// then reports "interrupted" and fails.
typedef int (*t_gfCancelCheck)(void* context);
// Sets the check for jobs started on the calling thread (null: none, the default).
ENGINE_API void gfSetCancelCheck(t_gfCancelCheck check, void* context);

// ---- threads ------------------------------------------------------------------------------
// How many threads the unpacker, the builder and the start-up scan use: count, or with 0 (the
// default) TARNPAK_THREADS from the environment, else the processors the process may run on;
// at most 16. 1 runs every job on the caller's thread alone. The output is the same for
// every count.
ENGINE_API void gfSetThreads(int count);
// For a program: warns through warn when TARNPAK_THREADS is set but is not a whole number
// from 1 to 16, which the engine then ignores (the default count is used). 1 when it warned.
ENGINE_API int gfWarnOfThreadSetting(t_gfReport warn);

// ---- progress -----------------------------------------------------------------------------
// Hears how far a pack's copy of the data or an unpack is: files and bytes done, of all.
// Called after each batch of files (a pack) or each file (an unpack), one call at a time but
// possibly from the job's helper threads; the program decides what to show and how often.
typedef void (*t_gfProgress)(long filesDone, long filesAll, long long bytesDone,
                             long long bytesAll);
// Sets the hook for every later job (null: none, the default).
ENGINE_API void gfSetProgress(t_gfProgress progress);

// ---- durability ---------------------------------------------------------------------------
// Whether a group the engine writes (the builder, grp's edits) reaches the disk before it
// takes its name: 1, the default, flushes its data first and its directory after the rename,
// so that after a power cut the name holds the old group or the whole new one. 0 is for
// scratch outputs: no flush, so the pack is faster, but after a power cut or a system crash
// the name may hold the old group, or a new one cut short or empty. Either way a failed or
// killed pack leaves the old group whole.
ENGINE_API void gfSetDurable(int on);

// ---- inspecting group files and the table (for tools) -------------------------------------
// One entry of a group file's directory, as stored.
struct ENGINE_API t_gfGroupEntry {
  char name[256];
  long offset;
  long size;
  std::uint16_t date;
  std::uint16_t time;
};

// What a group file's header says, and its length.
struct ENGINE_API t_gfGroupSummary {
  long entryCount;
  long dirSize;
  long long fileLength;
};

// A group file's header is this long; the directory follows it.
constexpr long GF_GROUP_HEADER_SIZE = 16;

// Called for each entry in directory order; returning 0 stops the walk.
typedef int (*t_gfEntryVisitor)(const t_gfGroupEntry* entry, void* context);
// Reads the directory of the group file at path with the manager's one directory reader,
// which checks every count, length and offset, and hands each entry to visit (null: none).
// 0 when the directory was sound; 1 when the file cannot be read, is no group file or is
// damaged, each reported through report. summary may be null.
ENGINE_API int gfReadGroupDirectory(const char* path, t_gfGroupSummary* summary,
                                    t_gfEntryVisitor visit, void* context, t_gfReport report);
// name as the manager looks names up: '/' taken as '\\', a to z turned into A to Z
// (ASCII only, whatever the locale). out holds 256 bytes; 0, with out empty, when the name
// is longer than a stored name can be, else 1.
ENGINE_API int gfStoredForm(const char* name, char* out);
// Finds name in the group file at path by the manager's rules (those of gfFetch): any case,
// '/' as '\\', and of several copies the one the table keeps, the later date first (the
// first in directory order among equals). 0 with *entry filled; 1 when the group cannot be
// read, reported through report; 2 when it holds no such name (not reported).
ENGINE_API int gfFindGroupEntry(const char* path, const char* name, t_gfGroupEntry* entry,
                                t_gfReport report);
// Receives the bytes of a copy, a piece at a time; returning 0 stops the copy.
typedef int (*t_gfByteSink)(const void* bytes, long count, void* context);
// Hands the stored bytes of entry (from gfFindGroupEntry or gfReadGroupDirectory on the
// same file) to sink. 0 when every byte went; 1 when the group could not be read, reported
// through report; 2 when sink stopped the copy (not reported).
ENGINE_API int gfCopyGroupEntry(const char* path, const t_gfGroupEntry* entry,
                                t_gfByteSink sink, void* context, t_gfReport report);
// Why the unpacker refuses to write a stored name (absolute, a drive, a ".." level), or
// null when it is safe.
ENGINE_API const char* gfUnsafeName(const char* name);
// Why a name safe to unpack does not travel between hosts, or null: the Windows unpacker
// refuses it (a device name such as AUX, one of < > : " | ? * or a control character, a
// part ending in a dot or a space), or it holds bytes outside ASCII, which Linux reads as
// UTF-8 and Windows in its ANSI code page. Packing and adding store such names with a
// warning; this says which.
ENGINE_API const char* gfNotPortableName(const char* name);

// Starts the manager (as gfStart does) with a table of the one group file at path: its
// entries, one per name as gfStart keeps them, and no loose file. The root is the group's
// directory. 0 when started; 1 when the group cannot be read, reported, and nothing started.
ENGINE_API int gfStartGroup(const char* path, t_gfReport report);

// The table by position, in table order: records after gfStart, the record at index (null
// outside the table), and the file name, relative to the root, of the group file that holds
// a record's data (null for a loose file).
ENGINE_API long gfTableCount();
ENGINE_API const t_gfFileInfo* gfTableRecord(long index);
ENGINE_API const char* gfRecordGroupName(long index);

// ---- SHA-256 sums ------------------------------------------------------------------------
// The host's own SHA-256 (libcrypto on POSIX, CNG on Windows). A hasher serves one thread at
// a time and any number of messages in turn; null from gfSha256Open when the host offers
// none. gfSha256Add and gfSha256Finish return 0 on success; a finish leaves the hasher ready
// for the next message.
constexpr int GF_SHA256_SIZE = 32;
struct t_gfSha256;
ENGINE_API t_gfSha256* gfSha256Open();
ENGINE_API int gfSha256Add(t_gfSha256* hasher, const void* bytes, long count);
ENGINE_API int gfSha256Finish(t_gfSha256* hasher, unsigned char digest[GF_SHA256_SIZE]);
ENGINE_API void gfSha256Close(t_gfSha256* hasher);
// A digest in lower-case hex, as sha256sum prints it: 64 digits and a terminator in out.
ENGINE_API void gfSha256Hex(const unsigned char digest[GF_SHA256_SIZE],
                            char out[2 * GF_SHA256_SIZE + 1]);

// A sums line is at most this long, without its newline.
constexpr long GF_SUM_LINE_MAX = 2 * GF_SHA256_SIZE + 3 + 2 * 255;
// The line of a sums file (the coreutils format, as sha256sum writes it) for a stored name:
// the digest in lower-case hex, two blanks, and the name as an unpack writes it, '/' between
// levels. A name holding a backslash, a newline or a carriage return has them written as
// "\\", "\n" and "\r" and the line begins with a backslash. out holds GF_SUM_LINE_MAX + 1
// bytes; returns the line's length.
ENGINE_API long gfSumLine(const char* storedName, const unsigned char digest[GF_SHA256_SIZE],
                          char* out);
// The first line of a sums file the engine writes names the version of the group it was
// made for: GF_SUMS_GROUP_TAG and the SHA-256, in lower-case hex, of the group's header and
// directory as stored, which hold every entry's name, place, size and date. sha256sum skips
// it as a comment. A group whose head digest differs is another version of the group: its
// sums file is stale, which is no sign of damage.
#define GF_SUMS_GROUP_TAG "# tarnpak group "
// That line for a head digest, without its newline; out holds GF_SUM_LINE_MAX + 1 bytes.
// Returns the line's length.
ENGINE_API long gfSumsGroupLine(const unsigned char digest[GF_SHA256_SIZE], char* out);
// The head digest of the group file at path: 0, or 1 after reporting why not.
ENGINE_API int gfGroupHeadDigest(const char* path, unsigned char digest[GF_SHA256_SIZE],
                                 t_gfReport report);
// Called with each entry a sums file lists and the SHA-256 of its stored bytes; returning 0
// stops the walk.
typedef int (*t_gfSumVisitor)(const t_gfGroupEntry* entry,
                              const unsigned char digest[GF_SHA256_SIZE], void* context);
// Hashes the stored bytes of the group file at path, each name once: of several copies of a
// name (any case) the one an unpack leaves, the last in directory order. Entries come in
// directory order. 0 when every entry was hashed (or visit stopped the walk); 1 after
// reporting why not (the group cannot be read, is damaged, the host has no SHA-256).
ENGINE_API int gfSumGroup(const char* path, t_gfSumVisitor visit, void* context,
                          t_gfReport report);
// TarnpakFromWarned that also writes the sums file sums (null: none) of the group it packs,
// hashing the bytes it stores (small files as they are read, large ones from the group once
// written); the sums file is complete before the group takes its name and takes its own after.
ENGINE_API int TarnpakFromSummed(const char* root, const char* name, int flag, const char* sums,
                                 t_gfReport report, t_gfReport warn);
// gfEditGroup that also writes the sums file sums (null: none) of the new group.
ENGINE_API int gfEditGroupSummed(const char* path, int flags, const char* root,
                                 const char* const* adds, int addCount,
                                 const char* const* removes, int removeCount, const char* sums,
                                 t_gfReport report, t_gfReport warn);

// ---- one entry point per job: pack, edit, unpack -----------------------------------------
// Each job takes one options record. Zero the record, set size to its sizeof, then fill what
// the job needs: the engine reads only the fields that size covers and takes zero for the
// rest, so a program built against an older, smaller record keeps working as records grow.
// Each entry point returns 0 when the job was done and 1 otherwise, having reported why
// (1 without a word for a null record or one whose size does not even cover size).

// A pack: the files the build list (group.cfg) of root names, written as the group file name.
struct ENGINE_API t_gfPackOptions {
  std::size_t size;
  // The game directory; null: the manager's root as gfStart set it (as Tarnpak packs).
  // Otherwise the manager is not started: no table is built and its root stays as it is.
  const char* root;
  const char* name;   // the group file to write
  int flag;           // the build flag its header holds
  const char* sums;   // the sums file to write beside the group (null: none); see gfSumLine
  t_gfReport report;  // problems, one message each (null: silent)
  t_gfReport warn;    // warnings, as TarnpakFromWarned lists them (null: none)
};
ENGINE_API int gfPackJob(const t_gfPackOptions* options);

// An edit of the group file at path, as gfEditGroup describes it.
struct ENGINE_API t_gfEditOptions {
  std::size_t size;
  const char* path;
  int flags;                    // GF_EDIT_NEW_GROUP, GF_EDIT_DRY_RUN, GF_EDIT_MAKE_MISSING
  const char* root;             // where added paths lie (null or "": the current directory)
  const char* const* adds;
  int addCount;
  const char* const* removes;
  int removeCount;
  const char* sums;             // the sums file to write beside the new group (null: none)
  t_gfEditVisitor told;         // hears each entry that goes, in directory order (null: none)
  void* context;                // handed to told
  t_gfReport report;
  t_gfReport warn;
};
ENGINE_API int gfEditJob(const t_gfEditOptions* options);

// An unpack of the group file at path, as gfUnpack describes it.
struct ENGINE_API t_gfUnpackOptions {
  std::size_t size;
  const char* path;
  // The directory to write below (it must exist); null: the current directory. A program
  // need not change its working directory, which every thread shares.
  const char* target;
  t_gfNameFilter select;  // chooses the entries to unpack (null: all of them)
  void* context;          // handed to select
  int flags;              // GF_UNPACK_STORED_DATES
  t_gfReport report;
};
ENGINE_API int gfUnpackJob(const t_gfUnpackOptions* options);

// ---- a patch: what an update adds to an installed group ----------------------------------
// How a name fares in a patch from the group oldPath to the group newPath. The copy of a
// name that counts in each group is the one the table keeps (the latest date; of equal
// dates, any copy whose bytes differ counts as a change).
constexpr int GF_PATCH_ADDED = 1;    // new holds it, old does not: in the patch
constexpr int GF_PATCH_CHANGED = 2;  // both hold it, with other bytes: in the patch
constexpr int GF_PATCH_STAYS = 3;    // old holds it, new does not: stays visible
struct ENGINE_API t_gfPatchEntry {
  const char* name;   // the stored name, upper case
  int change;         // GF_PATCH_ADDED, GF_PATCH_CHANGED or GF_PATCH_STAYS
  long size;          // the patch's copy (old's for GF_PATCH_STAYS)
  std::uint16_t date; // the date and time the patch stores (old's for GF_PATCH_STAYS)
  std::uint16_t time;
  // Set when new's copy is dated no later than old's: the patch then stores the next date
  // after old's instead of new's own, here.
  int redated;
  std::uint16_t newDate;
  std::uint16_t newTime;
};
// Hears each name of a patch, by stored name.
typedef void (*t_gfPatchVisitor)(const t_gfPatchEntry* entry, void* context);

// A patch: the group file path holding every entry of newPath that oldPath lacks or holds
// with other bytes (compared byte for byte), and nothing else, so that a game directory
// holding oldPath and the patch shows newPath's files through the table, whatever the group
// files are called. Every copy in the patch is dated later than oldPath's copy of its name:
// where newPath's own date is not (a file put back to an older version, a change within one
// date tick) the patch stores the next date after oldPath's, and warns. A name oldPath holds
// and newPath lacks cannot be taken away by a patch: each is told and warned of. Identical
// groups give an empty patch, with a warning. The patch is written as every group is (the
// builder's order, one commit, under the lock of path from the reading of the two groups to
// that commit), with newPath's build flag. Refused: a path or sums naming oldPath or newPath,
// a name oldPath holds dated at the last date a group can store while newPath changes it.
struct ENGINE_API t_gfPatchOptions {
  std::size_t size;
  const char* oldPath;
  const char* newPath;
  const char* path;           // the patch to write
  const char* sums;           // the sums file to write beside the patch (null: none)
  t_gfPatchVisitor told;      // hears every name added, changed or staying (null: none)
  void* context;              // handed to told
  t_gfReport report;
  t_gfReport warn;
};
ENGINE_API int gfPatchJob(const t_gfPatchOptions* options);

// ---- services for the engine's programs ---------------------------------------------------
// The library's version, "MAJOR.MINOR.PATCH".
ENGINE_API const char* gfVersion();
// The directory search's wildcard rule: '*' and '?' match without regard to case, and a
// pattern ending in ".*" also matches a name without a dot.
ENGINE_API int gfMatchName(const char* pattern, const char* name);
// An MS-DOS date and time (UTC) as seconds since 1970; 0 when the pair is no valid date.
ENGINE_API int gfDosToUnixTime(unsigned short date, unsigned short time, long long* seconds);
// For a program that packs: a full disk or a file size limit becomes an error instead of the
// process's end, and an interrupt leaves no temporary group file behind.
ENGINE_API void gfInstallToolSignals();
