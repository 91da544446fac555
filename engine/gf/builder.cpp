// The group builder: reads the root's build list, collects the files each mask names, and
// hands them to the group writer; warns of list lines that do not do what they seem to.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/gf/builder.h"

#include "engine/gf/group_format.h"
#include "engine/gf/group_writer.h"
#include "engine/gf/names.h"
#include "engine/kestin/ascii.h"
#include "engine/platform/faults.h"
#include "tarnpak/stdinputoutput.h"

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
struct t_gfBuild : t_gfJob {
  const char* root;  // the game directory, ending in a backslash
  t_gfWriteList* files;  // where found files go
  t_gfReport warn = nullptr;
  long found = 0;  // files collected so far
  // The build list line being collected, for warnings (number 0: none).
  int lineNumber = 0;
  const char* lineText = "";
  t_gfOutputPlace output = {};
  // An edit leaves the group being written out of what it adds (a build packs it, warned).
  bool skipOutput = false;
  // gfReadBuildList: told of each line and its files; null for a build.
  t_gfListLineVisitor onLine = nullptr;
  t_gfListFileVisitor onFile = nullptr;
  void* listContext = nullptr;
};

// One directory search: where its files are on the host, once a file has been found.
struct t_gfSearch {
  const PlatFind* find;
  std::uint32_t hostDir;  // GF_NO_TEXT until stored
};

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
  t_gfWriteList* files = build->files;
  if (search->hostDir == GF_NO_TEXT) search->hostDir = gfWriteAddText(files, search->find->hostDir);
  t_gfWriteEntry* f = search->hostDir == GF_NO_TEXT
                          ? nullptr
                          : gfWriteAddHostFile(files, name, leaf, search->hostDir);
  if (!f) {
    gfFail(build, "cannot take '%s' into the build: out of memory", name);
    return;
  }
  f->size = (std::uint32_t)found->size;
  platTimeToDos(found->writeTime, &f->date, &f->time);
}

void addFound(const char* dirPart, t_gfSearch* search, const PlatFindData* found,
              t_gfBuild* build) {
  char name[GF_PATH_MAX + 1];
  if (!gfJoinPath(name, dirPart, found->name) ||
      std::strlen(build->root) + std::strlen(name) > GF_PATH_MAX) {
    gfFail(build, "the name '%s%s' is longer than a group can store", dirPart, found->name);
    return;
  }
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (found->size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) {
    gfFail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)found->size);
    return;
  }
  if (std::strlen(search->find->hostDir) + std::strlen(found->name) >= PLAT_PATH_MAX) {
    gfFail(build, "cannot take '%s' into the build: its host path is too long", name);
    return;
  }
  if (build->skipOutput && isOutput(build, search->find, found->name)) {
    char shown[PLAT_PATH_MAX];
    gfReportf(build->warn, "leaving out '%s': it is the group file being written",
              gfShownPath(name, shown, sizeof shown));
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
    gfFail(build, "the mask '%s' is too long", mask);
    return;
  }
  std::memcpy(dirPart, mask, dirLength);
  dirPart[dirLength] = 0;
  const char* pattern = mask + dirLength;
  PlatFind find;
  PlatFindData found;
  if (!platFindFirst(&find, search, &found)) {
    if (find.unreadable)
      gfFail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
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
        gfFail(build, "the mask '%s%s\\%s' is too long", dirPart, found.name, pattern);
      else
        collect(deeper, 1, build, &here);
    }
  } while (!build->failed && platFindNext(&find, &found));
  if (!build->failed && find.unreadable)
    gfFail(build, "cannot read directory '%s': %s", find.hostDir, platLastError());
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
    gfFail(build, "the mask '%s' is too long", rawMask);
    return;
  }
  const char* why = gfEscapingNameReason(mask);  // a pattern, not a name to create
  if (why && line > 0)
    gfFail(build, "refusing line %d of the build list, '%s': %s", line, rawMask, why);
  else if (why)
    gfFail(build, "refusing the mask '%s': %s", rawMask, why);
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

// gfReadBuildList: the line just collected and the files it took, from the list's record
// firstFile on.
void tellLine(t_gfBuild* build, const char* mask, int recursive, int firstFile) {
  const t_gfWriteList* files = build->files;
  t_gfListLine line{build->lineNumber, build->lineText, mask, recursive,
                    (long)(files->count - firstFile)};
  build->onLine(&line, build->listContext);
  if (!build->onFile) return;
  for (int i = firstFile; i < files->count; i++) {
    char name[GF_PATH_MAX + 1];
    gfWriteStoredName(files, gfWriteEntryNumber(files, (std::uint32_t)i), name);
    build->onFile(&line, name, build->listContext);
  }
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
  int firstFile = build->files->count;
  collectMask(mask, word[0] == 'r', number, build);
  if (!build->failed && build->found == before) warnLine(build, "the mask finds no file");
  if (!build->failed && build->onLine) tellLine(build, mask, word[0] == 'r', firstFile);
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
      gfFail(build, "cannot read build list '%s': %s",
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

// Opens the build list of the root directory root (ending in a backslash; empty when the
// path given was too long); -1 after reporting why not.
int openBuildList(const char* root, char* listPath, size_t size, t_gfBuild* build) {
  std::snprintf(listPath, size, "%sgroup.cfg", root);
  char shown[PLAT_PATH_MAX];
  gfShownPath(listPath, shown, sizeof shown);
  if (!root[0]) {
    gfFail(build, "cannot open build list '%s': the directory path is empty or too long", shown);
    return -1;
  }
  int fd = platFdOpenRead(listPath);
  if (fd < 0) {
    gfFail(build, "cannot open build list '%s': %s", shown, platLastError());
  } else if (int regular = platFdIsRegularFile(fd); regular != 1) {
    // A pipe could hold the build forever.
    if (regular < 0)
      gfFail(build, "cannot read build list '%s': %s", shown, platLastError());
    else
      gfFail(build, "build list '%s' is not a regular file", shown);
    platFdClose(fd);
    fd = -1;
  }
  return fd;
}

}  // namespace

int gfCheckBuildList(const char* root, t_gfReport sink) {
  t_gfBuild build{{sink, 0}, "", nullptr};
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
    if (asciiUpper((unsigned char)*a) != asciiUpper((unsigned char)*b)) return false;
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

// Reads the build list of root and writes the group name; with lister's visitors set, only
// reads the list and tells them what it takes.
int buildGroup(const char* root, const char* name, int flag, t_gfReport sink, t_gfReport warn,
               const t_gfBuild* lister = nullptr) {
  t_gfWriteList files{};
  t_gfBuild build{{sink, 0}, root, &files};
  build.warn = warn;
  if (lister) {
    build.onLine = lister->onLine;
    build.onFile = lister->onFile;
    build.listContext = lister->listContext;
  }
  char listPath[GF_PATH_MAX + 16];
  int fd = openBuildList(root, listPath, sizeof listPath, &build);
  if (fd < 0) return 1;
  if (warn && name) placeOutput(name, &build.output);
  readBuildList(fd, listPath, &build);
  platFdClose(fd);
  if (lister) {
    if (!build.failed && files.count == 0)
      gfReportf(warn, "no line of group.cfg finds a file: the group would hold none");
    gfWriteFree(&files);
    return build.failed;
  }
  if (!build.failed) {
    platMoment(PLAT_MOMENT_PACK_COLLECTED);
    build.failed = gfWriteGroup(name, (unsigned)flag, &files, sink);
  }
  if (!build.failed && files.count == 0) {
    char shown[PLAT_PATH_MAX];
    gfReportf(warn, "the group '%s' holds no file: no line of group.cfg found one",
              gfShownPath(name, shown, sizeof shown));
  }
  gfWriteFree(&files);
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

int gfReadBuildList(const char* root, const char* output, t_gfListLineVisitor onLine,
                    t_gfListFileVisitor onFile, void* context, t_gfReport sink,
                    t_gfReport warn) {
  t_gfWriteList none{};
  t_gfBuild lister{{nullptr, 0}, "", &none};
  static const t_gfListLineVisitor ignoreLine = [](const t_gfListLine*, void*) {};
  lister.onLine = onLine ? onLine : ignoreLine;
  lister.onFile = onFile;
  lister.listContext = context;
  char rootPath[GF_PATH_MAX + 1];
  gfMakeRoot(rootPath, root);
  return buildGroup(rootPath, output, 1, sink, warn, &lister);
}

int gfCollectPath(const char* root, const char* path, const char* group, t_gfWriteList* files,
                  t_gfReport sink, t_gfReport warn) {
  t_gfBuild build{{sink, 0}, root, files};
  build.warn = warn;
  build.skipOutput = true;
  placeOutput(group, &build.output);
  char mask[GF_PATH_MAX + 1], search[GF_PATH_MAX + 1];
  if (!backslashMask(path, mask) || !gfJoinPath(search, root, mask)) {
    gfFail(&build, "the path '%s' is too long for a group", path);
    return 1;
  }
  if (std::strpbrk(mask, "*?")) {
    gfFail(&build, "cannot add '%s': '*' and '?' are wildcards, not part of a stored name", path);
    return 1;
  }
  size_t n = std::strlen(mask);
  while (n > 0 && mask[n - 1] == '\\') mask[--n] = 0;  // "maps/" is the directory maps
  bool isDir = n == 0;
  PlatFind find;
  PlatFindData found;
  if (!isDir && platFindFirst(&find, search, &found)) {
    isDir = found.isDirectory != 0;
    platFindClose(&find);
  } else if (!isDir) {
    char shown[PLAT_PATH_MAX];
    gfFail(&build, "cannot add '%s': %s", gfShownPath(search, shown, sizeof shown),
           find.unreadable ? platLastError() : "No such file or directory");
    return 1;
  }
  char taken[GF_PATH_MAX + 1];
  if (!gfJoinPath(taken, mask, isDir ? (n ? "\\*.*" : "*.*") : "")) {
    gfFail(&build, "the path '%s' is too long for a group", path);
    return 1;
  }
  collectMask(taken, isDir, 0, &build);
  if (!build.failed && build.found == 0 && isDir)
    gfReportf(warn, "'%s' holds no file to add", n ? path : ".");
  return build.failed;
}
