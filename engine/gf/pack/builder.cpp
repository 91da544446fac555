// The group builder: reads the root's build list line by line, has the files each mask
// names collected, and hands them to the group writer; warns of list lines that do not do
// what they seem to.
#include <cstdio>
#include <cstring>

#include "engine/gf/pack/collect.h"
#include "engine/gf/base/group_format.h"
#include "engine/gf/pack/group_writer.h"
#include "engine/gf/base/names.h"
#include "engine/gf/pack/write_list.h"
#include "engine/platform/ascii.h"
#include "engine/platform/faults.h"
#include "tarnpak/stdinputoutput.h"

namespace {

constexpr int kLineSize = 512;

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

// A line whose mask found no file, told with the likely cause: a directory named as a mask
// (a mask takes files), or a name with a space (the mask ends at the first one).
void warnOfNothingFound(const char* line, const char* mask, t_gfBuild* build) {
  if (!std::strpbrk(mask, "*?") && gfPathKind(build->root, mask) == 1) {
    gfWarnLine(build, "'%s' is a directory, and a mask takes files: '%s\\*.*' takes the files "
               "in it, '%s\\*.* r' those below it too", mask, mask, mask);
    return;
  }
  char spaced[kLineSize];
  std::snprintf(spaced, sizeof spaced, "%s", line);
  for (char* c = spaced; *c; c++)
    if (*c == ' ') *c = '?';
  if (std::strchr(line, ' ') && gfPathKind(build->root, spaced) == 0) {
    gfWarnLine(build, "the mask ends at the first space, so it is '%s': a mask cannot hold a "
               "space, but '?' matches one ('%s' takes the file)", mask, spaced);
    return;
  }
  gfWarnLine(build, "the mask finds no file");
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
    gfWarnLine(build, "'%s' does not make the entry recursive: only a second word beginning "
             "with a lower-case 'r' does", word);
  if (more[0]) gfWarnLine(build, "words after the second are ignored: '%s'", more);
  long before = build->found, brokenBefore = build->brokenLinks;
  int refusedBefore = build->refusedLines;
  int firstFile = build->files->count;
  gfCollectMask(mask, word[0] == 'r', number, build);
  if (!build->failed && build->found == before && build->brokenLinks == brokenBefore &&
      build->refusedLines == refusedBefore)
    warnOfNothingFound(line, mask, build);
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

// A list saved as UTF-16 ("Unicode" in Notepad) would be read as masks of raw bytes that
// find nothing: refused, naming the encoding, before a line is collected.
bool refuseWideText(const char* line, const char* listPath, t_gfBuild* build) {
  const char* order = std::strncmp(line, "\xFF\xFE", 2) == 0   ? "little-endian"
                      : std::strncmp(line, "\xFE\xFF", 2) == 0 ? "big-endian"
                                                               : nullptr;
  if (!order) return false;
  char shown[PLAT_PATH_MAX];
  gfFail(build, "build list '%s' is UTF-16 text (%s, with a byte-order mark): save it as "
         "UTF-8 or ASCII", gfShownPath(listPath, shown, sizeof shown), order);
  return true;
}

// Reads the build list line by line up to its first empty line and collects every entry.
void readBuildList(int fd, const char* listPath, t_gfBuild* build) {
  char line[kLineSize];
  for (int number = 1; !build->failed; number++) {  // a refused line does not stop it
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
    if (number == 1 && refuseWideText(line, listPath, build)) break;
    if (number == 1) skipByteOrderMark(line);
    KillUnusedSpacesEtc(line);
    if (line[0] == 0) {
      warnOfUnreadLines(fd, number, build);
      break;
    }
    collectLine(line, number, build);
  }
  // Each refused line has been told; the build fails once all of them are known.
  if (build->refusedLines > 0) build->failed = 1;
}

// Why the build list could not be opened: the game directory itself when that is what
// is missing or unreadable, else the list.
void refuseOpen(const char* root, const char* shownList, t_gfBuild* build) {
  char reason[256];
  std::snprintf(reason, sizeof reason, "%s", platLastError());
  char host[PLAT_PATH_MAX];
  PlatHandle dir = platHostPath(root, host, sizeof host) ? platOpenHostDir(host) : INVALID_HANDLE;
  if (dir != INVALID_HANDLE) {
    platClose(dir);
    gfFail(build, "cannot open build list '%s': %s", shownList, reason);
    return;
  }
  char shown[PLAT_PATH_MAX];
  gfShownPath(root, shown, sizeof shown);
  size_t n = std::strlen(shown);
  if (n > 1 && (shown[n - 1] == '/' || shown[n - 1] == '\\')) shown[n - 1] = 0;
  // Only ".grp" in lower case makes the tool unpack: DATA.GRP is taken as a directory.
  char renamed[PLAT_PATH_MAX] = "";
  for (size_t i = 0; i + 4 <= n && !renamed[0] && !std::strstr(shown, ".grp"); i++) {
    if (!asciiEqualAnyCaseN(shown + i, ".grp", 4)) continue;
    std::memcpy(renamed, shown, n + 1);
    std::memcpy(renamed + i, ".grp", 4);
  }
  if (renamed[0])
    gfFail(build, "cannot read game directory '%s': %s (only a name holding '.grp' in lower "
           "case is a group to unpack: rename it, such as to '%s')", shown, platLastError(),
           renamed);
  else
    gfFail(build, "cannot read game directory '%s': %s", shown, platLastError());
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
    refuseOpen(root, shown, build);
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

// Whether the file at name is anything but an empty group (16 bytes, no entry): what a
// build that found nothing must not replace.
bool holdsMoreThanNothing(const char* name) {
  PlatHandle h = platOpenRead(name);
  if (h == INVALID_HANDLE) return true;  // there, yet unreadable: kept all the same
  unsigned char header[GF_HEADER_SIZE];
  bool empty = platFileSize(h) == GF_HEADER_SIZE &&
               platReadAt(h, 0, header, sizeof header) == GF_HEADER_SIZE &&
               std::memcmp(header, "FPRG", 4) == 0 &&
               (header[8] | header[9] | header[10] | header[11]) == 0;
  platClose(h);
  return !empty;
}

// A build that found no file never replaces a group that holds some: an empty group in its
// place is a loss, not a result. Where no group (or an empty one) lies, the empty group is
// written, with a warning.
void keepFullGroup(const char* name, t_gfBuild* build) {
  if (!build->output.known) gfPlaceOutput(name, &build->output);
  if (!build->output.known || !holdsMoreThanNothing(name)) return;
  char shown[PLAT_PATH_MAX];
  gfFail(build, "not replacing '%s': no line of group.cfg found a file, and the group would "
         "hold none", gfShownPath(name, shown, sizeof shown));
}

// Reads the build list of root and writes the group name; with lister's visitors set, only
// reads the list and tells them what it takes.
int buildGroup(const char* root, const char* name, int flag, t_gfReport sink, t_gfReport warn,
               const t_gfBuild* lister = nullptr, const char* sums = nullptr) {
  t_gfWriteList files{};
  t_gfBuild build{{sink, 0}, root, &files};
  build.warn = warn;
  if (!lister && gfReadDateClamp(&build.clamp, &build, warn)) return 1;
  if (lister) {
    build.onLine = lister->onLine;
    build.onFile = lister->onFile;
    build.listContext = lister->listContext;
  }
  char listPath[GF_PATH_MAX + 16];
  int fd = openBuildList(root, listPath, sizeof listPath, &build);
  if (fd < 0) return 1;
  if (warn && name) gfPlaceOutput(name, &build.output);
  readBuildList(fd, listPath, &build);
  platFdClose(fd);
  if (lister) {
    if (!build.failed && files.count == 0)
      gfReportf(warn, "no line of group.cfg finds a file: the group would hold none");
    gfWriteFree(&files);
    return build.failed;
  }
  if (!build.failed && files.count == 0) keepFullGroup(name, &build);
  if (!build.failed) {
    platMoment(PLAT_MOMENT_PACK_COLLECTED);
    t_gfWriteOptions options;
    options.sums = sums;
    options.warn = warn;
    build.failed = gfWriteGroup(name, (unsigned)flag, &files, sink, options);
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

int gfPackJob(const t_gfPackOptions* given) {
  t_gfPackOptions options;
  if (!gfTakeOptions(&options, given)) return 1;
  char rootPath[GF_PATH_MAX + 1];  // empty when too long: the build list then cannot be opened
  const char* root = gfRoot;  // already a root, as gfStart made it
  if (options.root) {
    gfMakeRoot(rootPath, options.root);
    root = rootPath;
  }
  return buildGroup(root, options.name, options.flag, options.report, options.warn, nullptr,
                    options.sums);
}

// The older forms, each one pack job.
static int packWith(t_gfPackOptions options) { return gfPackJob(&options); }

int TarnpakChecked(const char* name, int flag, t_gfReport sink) {
  return packWith({sizeof(t_gfPackOptions), nullptr, name, flag, nullptr, sink, nullptr});
}

int TarnpakFrom(const char* root, const char* name, int flag, t_gfReport sink) {
  return packWith({sizeof(t_gfPackOptions), root, name, flag, nullptr, sink, nullptr});
}

int TarnpakFromWarned(const char* root, const char* name, int flag, t_gfReport sink,
                      t_gfReport warn) {
  return packWith({sizeof(t_gfPackOptions), root, name, flag, nullptr, sink, warn});
}

int TarnpakFromSummed(const char* root, const char* name, int flag, const char* sums,
                      t_gfReport sink, t_gfReport warn) {
  return packWith({sizeof(t_gfPackOptions), root, name, flag, sums, sink, warn});
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

