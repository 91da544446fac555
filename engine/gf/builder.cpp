// The group builder: reads the root's build list, collects the files each mask names, and
// writes them into one group file; warns of list lines that do not do what they seem to.
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#include "tarnpak/debug.h"
#include "tarnpak/stdinputoutput.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

void (*gfBuildAfterCollect)() = nullptr;

namespace {

constexpr int kLineSize = 512;

// Where the group being written already lies (a group of an earlier build), so that a mask
// taking it can be noticed: its directory's identity and its name there.
struct t_gfOutputPlace {
  int known;
  std::uint64_t device, inode;
  char leaf[256];
};

// One build: where problems and warnings go, and whether a problem has stopped it.
struct t_gfBuild {
  t_gfReport sink;
  int failed;
  const char* root;  // the game directory, ending in a backslash
  t_gfBuildList* files;  // where found files go
  t_gfReport warn = nullptr;
  long found = 0;  // files collected so far
  // The build list line being collected, for warnings (number 0: none).
  int lineNumber = 0;
  const char* lineText = "";
  t_gfOutputPlace output = {};
};

// One directory search: where its files are on the host, once a file has been found.
struct t_gfSearch {
  const PlatFind* find;
  std::uint32_t hostDir;  // GF_NO_TEXT until stored
};

void fail(t_gfBuild* build, const char* format, ...) ENGINE_PRINTF(2, 3);

void fail(t_gfBuild* build, const char* format, ...) {
  build->failed = 1;
  va_list args;
  va_start(args, format);
  gfReportV(build->sink, format, args);
  va_end(args);
}

// A warning about the build list line being collected: "group.cfg line N 'text': ...".
void warnLine(t_gfBuild* build, const char* format, ...) ENGINE_PRINTF(2, 3);

void warnLine(t_gfBuild* build, const char* format, ...) {
  if (!build->warn) return;
  char what[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  gfReportf(build->warn, "group.cfg line %d '%s': %s", build->lineNumber, build->lineText, what);
}

// Whether a file the search found is the group being written, from an earlier build.
bool isOutput(const t_gfBuild* build, const PlatFind* find, const char* name) {
  const t_gfOutputPlace& out = build->output;
  return out.known && find->device == out.device && find->inode == out.inode &&
         std::strcmp(name, out.leaf) == 0;
}

void addBuildFile(const char* name, size_t leaf, t_gfSearch* search, const PlatFindData* found,
                  t_gfBuild* build) {
  t_gfBuildList* files = build->files;
  if (search->hostDir == GF_NO_TEXT) search->hostDir = gfBuildAddText(files, search->find->hostDir);
  std::uint32_t text = search->hostDir == GF_NO_TEXT ? GF_NO_TEXT : gfBuildAddText(files, name);
  t_gfBuildFile* f = text == GF_NO_TEXT ? nullptr : gfBuildAddFile(files);
  if (!f) {
    fail(build, "cannot take '%s' into the build: out of memory", name);
    return;
  }
  f->name = text;
  f->hostDir = search->hostDir;
  f->leaf = (std::uint16_t)leaf;
  f->size = (std::uint32_t)found->size;
  platTimeToDos(found->writeTime, &f->date, &f->time);
}

void addFound(const char* dirPart, t_gfSearch* search, const PlatFindData* found,
              t_gfBuild* build) {
  char name[GF_PATH_MAX + 1];
  if (!gfJoinPath(name, dirPart, found->name) ||
      std::strlen(build->root) + std::strlen(name) > GF_PATH_MAX) {
    fail(build, "the name '%s%s' is longer than a group can store", dirPart, found->name);
    return;
  }
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (found->size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) {
    fail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)found->size);
    return;
  }
  if (std::strlen(search->find->hostDir) + std::strlen(found->name) >= PLAT_PATH_MAX) {
    fail(build, "cannot take '%s' into the build: its host path is too long", name);
    return;
  }
  addBuildFile(name, std::strlen(dirPart), search, found, build);
  build->found++;
  if (build->lineNumber && isOutput(build, search->find, found->name))
    warnLine(build, "takes '%s', the group file being written: the previous group is packed "
             "into the new one", name);
}

void collect(const char* mask, int recurse, t_gfBuild* build, const t_gfVisit* path) {
  const char* last = std::strrchr(mask, '\\');
  size_t dirLength = last && last != mask ? (size_t)(last - mask) + 1 : 0;
  char dirPart[GF_PATH_MAX + 1];
  char search[GF_PATH_MAX + 1];
  if (!gfJoinPath(search, build->root, mask)) {
    fail(build, "the mask '%s' is too long", mask);
    return;
  }
  std::memcpy(dirPart, mask, dirLength);
  dirPart[dirLength] = 0;
  const char* pattern = mask + dirLength;
  PlatFind find;
  PlatFindData found;
  if (!platFindFirst(&find, search, &found)) {
    if (find.unreadable)
      fail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
    return;
  }
  if (gfOnPath(&find, path)) {  // entered again through a link
    platFindClose(&find);
    return;
  }
  t_gfVisit here{find.device, find.inode, path};
  t_gfSearch held{&find, GF_NO_TEXT};
  do {
    if (!found.isDirectory) {
      addFound(dirPart, &held, &found, build);
    } else if (recurse && found.name[0] != '.') {
      char deeper[GF_PATH_MAX + 1];
      int n = std::snprintf(deeper, sizeof deeper, "%s%s\\%s", dirPart, found.name, pattern);
      if (n < 0 || n > GF_PATH_MAX)
        fail(build, "the mask '%s%s\\%s' is too long", dirPart, found.name, pattern);
      else
        collect(deeper, 1, build, &here);
    }
  } while (!build->failed && platFindNext(&find, &found));
  if (!build->failed && find.unreadable)
    fail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
  platFindClose(&find);
}

// The mask with '/' taken as '\\', as the directory search takes it; false when too long.
bool backslashMask(const char* mask, char* out) {
  size_t n = std::strlen(mask);
  if (n > GF_PATH_MAX) return false;
  for (size_t i = 0; i <= n; i++) out[i] = mask[i] == '/' ? '\\' : mask[i];
  return true;
}

// Collects one mask from the top: refused when it would leave the game directory.
void collectMask(const char* rawMask, int recurse, int line, t_gfBuild* build) {
  char mask[GF_PATH_MAX + 1];
  if (!backslashMask(rawMask, mask)) {
    fail(build, "the mask '%s' is too long", rawMask);
    return;
  }
  const char* why = gfEscapingNameReason(mask);  // a pattern, not a name to create
  if (why && line > 0)
    fail(build, "refusing line %d of the build list, '%s': %s", line, rawMask, why);
  else if (why)
    fail(build, "refusing the mask '%s': %s", rawMask, why);
  else
    collect(mask, recurse, build, nullptr);
}

// A second word that a user meant as the recursion flag but that is none: 'R', '-r', '/r'.
// Only a word whose first character is a lower-case 'r' makes an entry recursive.
bool looksLikeRecursionFlag(const char* word) {
  if (word[0] == 'r') return false;
  while (*word == '-' || *word == '/') word++;
  return *word == 'r' || *word == 'R';
}

// Collects the entry of one non-empty, cleaned line, warning of what it does not do.
void collectLine(char* line, int number, t_gfBuild* build) {
  char mask[kLineSize], word[kLineSize];
  ZSGetParamStr(line, 0, mask, ' ');
  ZSGetParamStr(line, 1, word, ' ');
  const char* more = ZSGetParamExist(line, 2, ' ') ? line + ZSGetParamOffset(line, 2, ' ') : "";
  build->lineNumber = number;
  build->lineText = line;
  if (looksLikeRecursionFlag(word))
    warnLine(build, "'%s' does not make the entry recursive: only a second word beginning "
             "with a lower-case 'r' does", word);
  if (more[0]) warnLine(build, "words after the second are ignored: '%s'", more);
  long before = build->found;
  collectMask(mask, word[0] == 'r', number, build);
  if (!build->failed && build->found == before) warnLine(build, "the mask finds no file");
  build->lineNumber = 0;
}

// After the empty line number that ended the list: warns when a non-empty line follows,
// which the list's rule leaves unread. Reads on to the end of the file, which the reader
// marks by no longer moving on.
void warnOfUnreadLines(int fd, int number, t_gfBuild* build) {
  if (!build->warn) return;
  char line[kLineSize];
  unsigned long failures = platErrorCount();
  for (long at = platFdSeek(fd, 0, 1); at >= 0;) {
    ReadLN(fd, line, sizeof line);
    long next = platFdSeek(fd, 0, 1);
    if (next == at || platErrorCount() != failures) return;
    at = next;
    KillUnusedSpacesEtc(line);
    if (line[0]) break;
  }
  if (line[0])
    gfReportf(build->warn, "group.cfg line %d: lines after line %d are not read: an empty line "
              "ends the build list", number, number);
}

// An editor may begin a UTF-8 text with a byte-order mark; no mask begins with it.
void skipByteOrderMark(char* line) {
  if (std::strncmp(line, "\xEF\xBB\xBF", 3) == 0)
    std::memmove(line, line + 3, std::strlen(line + 3) + 1);
}

// Reads the build list line by line up to its first empty line and collects every entry.
void readBuildList(int fd, const char* listPath, t_gfBuild* build) {
  char line[kLineSize];
  for (int number = 1; !build->failed; number++) {
    // The line reader gives an empty line for a failed read too, which would end the list
    // early as if it were complete: a failure on the way tells the two apart.
    unsigned long failures = platErrorCount();
    ReadLN(fd, line, sizeof line);
    if (platErrorCount() != failures) {
      char shown[PLAT_PATH_MAX];
      fail(build, "cannot read build list '%s': %s",
           gfShownPath(listPath, shown, sizeof shown), platLastError());
      break;
    }
    if (number == 1) skipByteOrderMark(line);
    KillUnusedSpacesEtc(line);
    if (line[0] == 0) {
      warnOfUnreadLines(fd, number, build);
      break;
    }
    collectLine(line, number, build);
  }
}

// Gives every file its data offset behind the directory; the directory's size, or -1
// after reporting that the group would be too long.
long long placeData(t_gfBuildList* files, t_gfBuild* build) {
  long long dirSize = 0, length = GF_HEADER_SIZE;
  for (int i = 0; i < files->count; i++) {
    const t_gfBuildFile* f = gfBuildFileAt(files, i);
    dirSize += (long long)std::strlen(gfBuildText(files, f->name)) + GF_ENTRY_FIXED_SIZE;
    length += f->size;
  }
  length += dirSize;
  if (length >= GF_LENGTH_LIMIT) {
    fail(build, "the group would be %lld bytes long, more than a group can hold", length);
    return -1;
  }
  long long offset = GF_HEADER_SIZE + dirSize;
  for (int i = 0; i < files->count; i++) {
    t_gfBuildFile* f = gfBuildFileAt(files, i);
    f->offset = (std::uint32_t)offset;
    offset += f->size;
  }
  return dirSize;
}

enum t_gfHeadWrite { GF_HEAD_WRITTEN, GF_HEAD_NO_MEMORY, GF_HEAD_WRITE_FAILED };

// Writes the header and the scrambled directory, a block at a time: the finished length
// is known before any data is written, so each block is scrambled once, in memory.
t_gfHeadWrite writeHead(const t_gfBuildList* files, long long dirSize, unsigned flag,
                        PlatHandle out) {
  constexpr long kBlock = 64 * 1024;
  auto* block = static_cast<unsigned char*>(ENGINE_NEW(kBlock));
  if (!block) return GF_HEAD_NO_MEMORY;
  const t_gfBuildFile* last = files->count ? gfBuildFileAt(files, files->count - 1) : nullptr;
  long long length = last ? (long long)last->offset + last->size : GF_HEADER_SIZE + dirSize;
  t_gfRandom random;
  gfRandomSeed(&random, gfScrambleSeed(length));
  t_gfHeader header{GF_MAGIC, flag, files->count, (std::int32_t)dirSize};
  gfPutHeader(block, &header);
  long used = GF_HEADER_SIZE, scrambled = GF_HEADER_SIZE;
  long long at = 0;
  bool written = true;
  for (int i = 0; written && i <= files->count; i++) {
    // Room for the longest entry, or the end: the block goes out.
    if (i == files->count || used + GF_NAME_MAX + GF_ENTRY_FIXED_SIZE > kBlock) {
      gfScrambleNext(&random, block + scrambled, used - scrambled);
      written = platWriteAt(out, at, block, (size_t)used) == used;
      at += used;
      used = scrambled = 0;
      if (i == files->count) break;
    }
    const t_gfBuildFile* f = gfBuildFileAt(files, i);
    char name[GF_PATH_MAX + 1];
    gfBuildStoredName(files, f, name);
    used = (long)(gfPutEntry(block + used, name, (std::int32_t)f->offset, (std::int32_t)f->size,
                             f->date, f->time) -
                  block);
  }
  ENGINE_DELETE(block);
  return written ? GF_HEAD_WRITTEN : GF_HEAD_WRITE_FAILED;
}

// Copies the data area, reporting the first file that failed.
void writeData(const t_gfBuildList* files, PlatHandle out, t_gfBuild* build) {
  t_gfCopyFailure why;
  int bad = gfCopyData(files, out, &why);
  if (bad < 0) return;
  const t_gfBuildFile* f = bad < files->count ? gfBuildFileAt(files, bad) : nullptr;
  char source[PLAT_PATH_MAX] = "";
  if (f) gfBuildSourcePath(files, f, source, sizeof source);
  switch (why.kind) {
    case GF_COPY_CANNOT_OPEN: {
      char name[GF_PATH_MAX + 1], shown[4 * GF_PATH_MAX + 1];
      gfBuildStoredName(files, f, name);
      gfEscapeControls(name, shown, sizeof shown);
      W32ConPrintf("Error: file %s can not be opened\n", shown);
      fail(build, "cannot open '%s': %s", source, why.reason);
      break;
    }
    case GF_COPY_NOT_REGULAR:
      fail(build, "'%s' is no longer a regular file", source);
      break;
    case GF_COPY_CHANGED:
      fail(build, "'%s' changed size while the group was built (%ld bytes when found)", source,
           (long)f->size);
      break;
    case GF_COPY_READ_ERROR:
      fail(build, "cannot copy '%s' into the group: %s", source, why.reason);
      break;
    case GF_COPY_NO_MEMORY:
      fail(build, "not enough memory to copy the files");
      break;
    default:
      fail(build, "cannot write the group file: %s", why.reason);
  }
}

// Writes the group to a temporary file beside name and renames it into place once whole.
void writeGroup(const char* name, unsigned flag, t_gfBuildList* files, t_gfBuild* build) {
  long long dirSize = placeData(files, build);
  if (dirSize < 0) return;
  PlatNewFile out;
  char shown[PLAT_PATH_MAX];
  gfShownPath(name, shown, sizeof shown);
  if (platNewFileCreate(&out, name) != 0) {
    fail(build, "cannot create group file '%s': %s", shown, platLastError());
    return;
  }
  switch (writeHead(files, dirSize, flag, out.handle)) {
    case GF_HEAD_NO_MEMORY:
      fail(build, "not enough memory to write the directory");
      break;
    case GF_HEAD_WRITE_FAILED:
      fail(build, "cannot write group file '%s': %s", shown, platLastError());
      break;
    case GF_HEAD_WRITTEN:
      break;
  }
  if (!build->failed) writeData(files, out.handle, build);
  if (build->failed)
    platNewFileDiscard(&out);
  else if (platNewFileCommit(&out) != 0)
    fail(build, "cannot write group file '%s': %s", shown, platLastError());
}

// Opens the build list of the root directory root (ending in a backslash; empty when the
// path given was too long); -1 after reporting why not.
int openBuildList(const char* root, char* listPath, size_t size, t_gfBuild* build) {
  std::snprintf(listPath, size, "%sgroup.cfg", root);
  char shown[PLAT_PATH_MAX];
  gfShownPath(listPath, shown, sizeof shown);
  if (!root[0]) {
    fail(build, "cannot open build list '%s': the directory path is empty or too long", shown);
    return -1;
  }
  int fd = platFdOpenRead(listPath);
  if (fd < 0) {
    fail(build, "cannot open build list '%s': %s", shown, platLastError());
  } else if (!platFdIsRegularFile(fd)) {  // a pipe could hold the build forever
    fail(build, "build list '%s' is not a regular file", shown);
    platFdClose(fd);
    fd = -1;
  }
  return fd;
}

}  // namespace

int gfCheckBuildList(const char* root, t_gfReport sink) {
  t_gfBuild build{sink, 0, "", nullptr};
  char rootPath[GF_PATH_MAX + 1], listPath[GF_PATH_MAX + 16];
  gfMakeRoot(rootPath, root);
  int fd = openBuildList(rootPath, listPath, sizeof listPath, &build);
  platFdClose(fd);
  return fd < 0 ? 1 : 0;
}

namespace {

// Whether two names are one on a host that matches names without regard to case.
bool sameNameAnyCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (std::toupper((unsigned char)*a) != std::toupper((unsigned char)*b)) return false;
  return *a == *b;
}

// Finds where the group name already lies, if it does: the directory the name resolves to
// (by the rule the group is created by) and the name as stored there.
void placeOutput(const char* name, t_gfOutputPlace* out) {
  char host[PLAT_PATH_MAX];
  if (!platHostPath(name, host, sizeof host)) return;
  const char* leaf = host;
  for (const char* c = host; *c; c++)
    if (*c == '/' || *c == '\\') leaf = c + 1;
  PlatFind find;
  PlatFindData found;
  if (std::strlen(leaf) >= sizeof out->leaf || !platFindFirst(&find, host, &found)) return;
  do {
    // The exact name first; else (a host blind to case) the name in another case.
    bool exact = std::strcmp(found.name, leaf) == 0;
    if (!found.isDirectory && (exact || (!out->known && sameNameAnyCase(found.name, leaf)))) {
      out->known = 1;
      std::snprintf(out->leaf, sizeof out->leaf, "%s", found.name);
      if (exact) break;
    }
  } while (platFindNext(&find, &found));
  out->device = find.device;
  out->inode = find.inode;
  platFindClose(&find);
}

int buildGroup(const char* root, const char* name, int flag, t_gfReport sink, t_gfReport warn) {
  t_gfBuildList files{};
  t_gfBuild build{sink, 0, root, &files};
  build.warn = warn;
  char listPath[GF_PATH_MAX + 16];
  int fd = openBuildList(root, listPath, sizeof listPath, &build);
  if (fd < 0) return 1;
  if (warn) placeOutput(name, &build.output);
  readBuildList(fd, listPath, &build);
  platFdClose(fd);
  if (!build.failed) {
    if (gfBuildAfterCollect) gfBuildAfterCollect();
    if (!gfBuildSort(&files))
      fail(&build, "not enough memory for the directory of %d files", files.count);
    else
      writeGroup(name, (unsigned)flag, &files, &build);
  }
  if (!build.failed && files.count == 0) {
    char shown[PLAT_PATH_MAX];
    gfReportf(warn, "the group '%s' holds no file: no line of group.cfg found one",
              gfShownPath(name, shown, sizeof shown));
  }
  gfBuildFree(&files);
  return build.failed;
}

}  // namespace

int TarnpakChecked(const char* name, int flag, t_gfReport sink) {
  return buildGroup(gfRoot, name, flag, sink, nullptr);
}

int TarnpakFrom(const char* root, const char* name, int flag, t_gfReport sink) {
  return TarnpakFromWarned(root, name, flag, sink, nullptr);
}

int TarnpakFromWarned(const char* root, const char* name, int flag, t_gfReport sink,
                      t_gfReport warn) {
  char rootPath[GF_PATH_MAX + 1];
  gfMakeRoot(rootPath, root);  // empty when too long: the build list then cannot be opened
  return buildGroup(rootPath, name, flag, sink, warn);
}

void Tarnpak(const char* name, int flag) { TarnpakChecked(name, flag, nullptr); }
