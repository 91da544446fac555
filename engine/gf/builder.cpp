// The group builder: reads the root's build list, collects the files each mask names, and
// writes them into one group file.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarnpak/debug.h"
#include "engine/gf/gf_internal.h"
#include "engine/gf/group_format.h"
#include "tarnpak/stdinputoutput.h"
#include "tarnpak/t_list.h"
#define ENGINE_UNIT "gf manager"
#include "engine/kestin/alloc.h"

void (*gfBuildAfterCollect)() = nullptr;

namespace {

constexpr int kLineSize = 512;

// One build: where problems go, and whether one has stopped it.
struct t_gfBuild {
  t_gfReport sink;
  int failed;
  int keepSource;  // the builder's own collection keeps each file's host path
};

void fail(t_gfBuild* build, const char* format, ...) __attribute__((format(printf, 2, 3)));

void fail(t_gfBuild* build, const char* format, ...) {
  build->failed = 1;
  va_list args;
  va_start(args, format);
  gfReportV(build->sink, format, args);
  va_end(args);
}

void addFound(struct_list** list, const char* dirPart, const PlatFind* find,
              const PlatFindData* found, t_gfBuild* build) {
  char name[GF_PATH_MAX + 1];
  if (!gfJoinPath(name, dirPart, found->name) ||
      std::strlen(gfRoot) + std::strlen(name) > GF_PATH_MAX) {
    fail(build, "the name '%s%s' is longer than a group can store", dirPart, found->name);
    return;
  }
  // The whole size, not its low 32 bits: a file of 4 GiB would otherwise pass as a small one.
  if (found->size >= GF_LENGTH_LIMIT - GF_HEADER_SIZE) {
    fail(build, "'%s' is too large for a group (%lld bytes)", name, (long long)found->size);
    return;
  }
  char source[PLAT_PATH_MAX];
  t_gfScanEntry* e =
      platFindPath(find, found, source, sizeof source) ? gfNewScanEntry(name) : nullptr;
  if (e && build->keepSource) e->source = ENGINE_STRDUP(source);
  if (!e || (build->keepSource && !e->source) || !List_Add(*list, e)) {
    gfFreeScanEntry(e);
    fail(build, "cannot take '%s' into the build: out of memory", name);
    return;
  }
  gfUpperCase(e->name);
  e->size = (long)found->size;
  platTimeToDos(found->writeTime, &e->date, &e->time);
}

void collect(struct_list** list, const char* mask, int recurse, t_gfBuild* build,
             const t_gfVisit* path) {
  const char* last = std::strrchr(mask, '\\');
  size_t dirLength = last && last != mask ? (size_t)(last - mask) + 1 : 0;
  char dirPart[GF_PATH_MAX + 1];
  char search[GF_PATH_MAX + 1];
  if (!gfJoinPath(search, gfRoot, mask)) {
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
  do {
    if (!found.isDirectory) {
      addFound(list, dirPart, &find, &found, build);
    } else if (recurse && found.name[0] != '.') {
      char deeper[GF_PATH_MAX + 1];
      int n = std::snprintf(deeper, sizeof deeper, "%s%s\\%s", dirPart, found.name, pattern);
      if (n < 0 || n > GF_PATH_MAX)
        fail(build, "the mask '%s%s\\%s' is too long", dirPart, found.name, pattern);
      else
        collect(list, deeper, 1, build, &here);
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
void collectMask(struct_list** list, const char* rawMask, int recurse, int line, t_gfBuild* build) {
  char mask[GF_PATH_MAX + 1];
  if (!backslashMask(rawMask, mask)) {
    fail(build, "the mask '%s' is too long", rawMask);
    return;
  }
  const char* why = gfUnsafeNameReason(mask);
  if (why && line > 0)
    fail(build, "refusing line %d of the build list, '%s': %s", line, rawMask, why);
  else if (why)
    fail(build, "refusing the mask '%s': %s", rawMask, why);
  else
    collect(list, mask, recurse, build, nullptr);
}

// Reads the build list line by line up to its first empty line and collects every entry.
void readBuildList(int fd, const char* listPath, struct_list** list, t_gfBuild* build) {
  char line[kLineSize], mask[kLineSize], word[kLineSize];
  for (int number = 1; !build->failed; number++) {
    // The line reader gives an empty line for a failed read too, which would end the list
    // early as if it were complete: a failure on the way tells the two apart.
    unsigned long failures = platErrorCount();
    ReadLN(fd, line, sizeof line);
    if (platErrorCount() != failures) {
      fail(build, "cannot read build list '%s': %s", listPath, platLastError());
      break;
    }
    KillUnusedSpacesEtc(line);
    if (line[0] == 0) break;
    ZSGetParamStr(line, 0, mask, ' ');
    ZSGetParamStr(line, 1, word, ' ');
    collectMask(list, mask, word[0] == 'r', number, build);
  }
}

void freeScanList(struct_list** list) {
  while (*list) {
    gfFreeScanEntry(static_cast<t_gfScanEntry*>((*list)->data));
    List_Del(*list, *list);
  }
}

int compareBuildRecords(const void* a, const void* b) {
  return gfTableOrder(&static_cast<const t_gfBuildRecord*>(a)->info,
                      &static_cast<const t_gfBuildRecord*>(b)->info);
}

// The directory table: one record per scan entry, the entries given back, then sorted.
t_gfBuildRecord* makeTable(struct_list** list, int count) {
  auto* table = ENGINE_NEW_ARRAY(t_gfBuildRecord, count > 0 ? count : 1);
  if (!table) return nullptr;
  for (int i = 0; i < count; i++) {
    auto* e = static_cast<t_gfScanEntry*>((*list)->data);
    table[i].info.name = e->name;  // the entry's name block is exactly long enough
    table[i].info.size = e->size;
    table[i].info.date = e->date;
    table[i].info.time = e->time;
    table[i].source = e->source;
    e->name = e->source = nullptr;
    gfFreeScanEntry(e);
    List_Del(*list, *list);
  }
  std::qsort(table, (size_t)count, sizeof *table, compareBuildRecords);
  return table;
}

void freeTable(t_gfBuildRecord* table, int count) {
  if (!table) return;
  for (int i = 0; i < count; i++) {
    ENGINE_DELETE(table[i].info.name);
    ENGINE_DELETE(table[i].source);
  }
  ENGINE_DELETE(table);
}

// Header and scrambled directory in one block; the data offsets go into the records.
// The finished length is known before any data is written, so the directory is scrambled
// in memory once instead of being written plain and rewritten.
unsigned char* makeHead(t_gfBuildRecord* table, int count, unsigned flag, long* headSize,
                        t_gfBuild* build) {
  long long dirSize = 0, length = GF_HEADER_SIZE;
  for (int i = 0; i < count; i++) dirSize += (long long)std::strlen(table[i].info.name) + 14;
  length += dirSize;
  for (int i = 0; i < count; i++) length += table[i].info.size;
  if (length >= GF_LENGTH_LIMIT) {
    fail(build, "the group would be %lld bytes long, more than a group can hold", length);
    return nullptr;
  }
  auto* head = static_cast<unsigned char*>(ENGINE_NEW(GF_HEADER_SIZE + dirSize));
  if (!head) {
    fail(build, "not enough memory for a directory of %lld bytes", dirSize);
    return nullptr;
  }
  t_gfHeader header{GF_MAGIC, flag, count, (std::int32_t)dirSize};
  gfPutHeader(head, &header);
  unsigned char* p = head + GF_HEADER_SIZE;
  long offset = GF_HEADER_SIZE + (long)dirSize;
  for (int i = 0; i < count; i++) {
    t_gfFileInfo* r = &table[i].info;
    r->offset = offset;
    p = gfPutEntry(p, r->name, (std::int32_t)offset, (std::int32_t)r->size, r->date, r->time);
    offset += r->size;
  }
  gfScramble(head + GF_HEADER_SIZE, (long)dirSize, length);
  *headSize = GF_HEADER_SIZE + (long)dirSize;
  return head;
}

// Copies the data area, reporting the first file that failed.
void writeData(t_gfBuildRecord* table, int count, HANDLE out, t_gfBuild* build) {
  t_gfCopyFailure why;
  int bad = gfCopyData(table, count, out, &why);
  if (bad < 0) return;
  const t_gfBuildRecord* r = bad < count ? &table[bad] : nullptr;
  switch (why.kind) {
    case GF_COPY_CANNOT_OPEN: {
      char shown[4 * GF_PATH_MAX + 1];
      gfEscapeControls(r->info.name, shown, sizeof shown);
      W32ConPrintf("Error: file %s can not be opened\n", shown);
      fail(build, "cannot open '%s': %s", r->source, why.reason);
      break;
    }
    case GF_COPY_NOT_REGULAR:
      fail(build, "'%s' is no longer a regular file", r->source);
      break;
    case GF_COPY_CHANGED:
      fail(build, "'%s' changed size while the group was built (%ld bytes when found)", r->source,
           r->info.size);
      break;
    case GF_COPY_READ_ERROR:
      fail(build, "cannot copy '%s' into the group: %s", r->source, why.reason);
      break;
    case GF_COPY_NO_MEMORY:
      fail(build, "not enough memory to copy the files");
      break;
    default:
      fail(build, "cannot write the group file: %s", why.reason);
  }
}

// Writes the group to a temporary file beside name and renames it into place once whole.
void writeGroup(const char* name, unsigned flag, t_gfBuildRecord* table, int count,
                t_gfBuild* build) {
  long headSize = 0;
  unsigned char* head = makeHead(table, count, flag, &headSize, build);
  if (!head) return;
  PlatNewFile out;
  if (platNewFileCreate(&out, name) != 0) {
    fail(build, "cannot create group file '%s': %s", name, platLastError());
  } else {
    if (platWriteAt(out.handle, 0, head, (size_t)headSize) != headSize)
      fail(build, "cannot write group file '%s': %s", name, platLastError());
    if (!build->failed) writeData(table, count, out.handle, build);
    if (build->failed)
      platNewFileDiscard(&out);
    else if (platNewFileCommit(&out) != 0)
      fail(build, "cannot write group file '%s': %s", name, platLastError());
  }
  ENGINE_DELETE(head);
}

// Opens the build list of the root directory root (ending in a backslash; empty when the
// path given was too long); -1 after reporting why not.
int openBuildList(const char* root, char* listPath, size_t size, t_gfBuild* build) {
  std::snprintf(listPath, size, "%sgroup.cfg", root);
  if (!root[0]) {
    fail(build, "cannot open build list '%s': the directory path is empty or too long", listPath);
    return -1;
  }
  int fd = platFdOpenRead(listPath);
  if (fd < 0) {
    fail(build, "cannot open build list '%s': %s", listPath, platLastError());
  } else if (!platFdIsRegularFile(fd)) {  // a pipe could hold the build forever
    fail(build, "build list '%s' is not a regular file", listPath);
    platFdClose(fd);
    fd = -1;
  }
  return fd;
}

}  // namespace

void gfCollectFiles(struct_list** list, const char* mask, int recurse) {
  t_gfBuild build{nullptr, 0, 0};
  collectMask(list, mask, recurse, 0, &build);
}

int gfCheckBuildList(const char* root, t_gfReport sink) {
  t_gfBuild build{sink, 0, 0};
  char rootPath[GF_PATH_MAX + 1], listPath[GF_PATH_MAX + 16];
  gfMakeRoot(rootPath, root);
  int fd = openBuildList(rootPath, listPath, sizeof listPath, &build);
  platFdClose(fd);
  return fd < 0 ? 1 : 0;
}

int TarnpakChecked(const char* name, int flag, t_gfReport sink) {
  t_gfBuild build{sink, 0, 1};
  char listPath[GF_PATH_MAX + 16];
  int fd = openBuildList(gfRoot, listPath, sizeof listPath, &build);
  if (fd < 0) return 1;
  struct_list* list = nullptr;
  readBuildList(fd, listPath, &list, &build);
  platFdClose(fd);
  if (build.failed) {
    freeScanList(&list);
    return 1;
  }
  if (gfBuildAfterCollect) gfBuildAfterCollect();
  int count = List_Count(list);
  t_gfBuildRecord* table = makeTable(&list, count);
  if (!table) {
    freeScanList(&list);
    fail(&build, "not enough memory for the directory of %d files", count);
    return 1;
  }
  writeGroup(name, (unsigned)flag, table, count, &build);
  freeTable(table, count);
  return build.failed;
}

void Tarnpak(const char* name, int flag) { TarnpakChecked(name, flag, nullptr); }
