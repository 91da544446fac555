// gfStart and gfStop: the manager's parts started and stopped in one written order.
#include <cstdio>

#include "engine/gf/manager/cache.h"
#include "engine/gf/manager/groups.h"
#include "engine/gf/manager/loose_files.h"
#include "engine/gf/base/names.h"
#include "engine/gf/manager/reader.h"
#include "engine/gf/manager/scan.h"
#include "engine/gf/manager/table.h"

namespace {

int started = 0;
bool scanRoot = true;  // false when gfStart(root) was given a root no name fits behind
const char* oneGroup = nullptr;  // gfStartGroup: the group file the table is made of

void startWorker() { gfReadWorkerStart(); }

// The table from a scan of the root, or empty when no name fits behind the root.
void startTable() {
  if (oneGroup)
    gfScanGroupIntoTable(oneGroup);
  else if (scanRoot)
    gfScanIntoTable(gfRoot);
  else
    gfTableOpen(0);
}

struct t_gfPart {
  void (*start)();
  void (*stop)();
};

// Stopped from the first to the last, started from the last to the first.
// - The worker stops first: once it has, no read writes into a cached block or reads a
//   handle, so everything below may be closed and freed; it starts last, over a whole table.
// - The cache's own GFILEs close while their records still hold the handles they count on.
// - Then the records' loose-file handles, then those orphaned by earlier edits.
// - The appended index and the table go once nothing refers to a record; the table tells
//   the GFILEs still open that their records are gone.
// - The cache's lists next: their blocks were the records' or are set aside, all now idle.
// - The group files' shared handles last: every record and GFILE on them has let go. The
//   scan opens them as it starts the table, so they have nothing to start themselves.
const t_gfPart kParts[] = {
    {startWorker, gfReadWorkerStop},        // read worker
    {nullptr, gfCacheCloseFiles},           // cached files
    {nullptr, gfCloseRecordHandles},        // handles
    {nullptr, gfCloseOrphans},              // orphans
    {nullptr, gfClearAppended},             // appended index
    {startTable, gfTableClose},             // the table
    {gfCacheStart, gfCacheReset},           // cache
    {nullptr, gfCloseGroups},               // group handles and names
};
constexpr int kPartCount = (int)(sizeof kParts / sizeof kParts[0]);

void startParts() {
  for (int i = kPartCount - 1; i >= 0; i--)
    if (kParts[i].start) kParts[i].start();
  started = 1;
}

}  // namespace

void gfStart(const char* root) {
  gfStop();
  scanRoot = gfMakeRoot(gfRoot, root);  // the builder refuses the empty root
  startParts();
}

void gfStart() {
  gfStop();
  scanRoot = true;
  startParts();
}

int gfStartGroup(const char* path, t_gfReport report) {
  if (gfReadGroupDirectory(path, nullptr, nullptr, nullptr, report)) return 1;
  gfStop();
  // The root is the group's directory: names the table does not hold are looked for there.
  char dir[GF_PATH_MAX + 1];
  const char* slash = path;
  for (const char* c = path; *c; c++)
    if (*c == '/' || *c == '\\') slash = c + 1;
  std::snprintf(dir, sizeof dir, "%.*s", (int)(slash - path), path);
  scanRoot = gfMakeRoot(gfRoot, dir[0] ? dir : ".");
  oneGroup = path;
  startParts();
  oneGroup = nullptr;
  return 0;
}

void gfStop() {
  if (!started) return;
  started = 0;
  for (const t_gfPart& part : kParts)
    if (part.stop) part.stop();
}
