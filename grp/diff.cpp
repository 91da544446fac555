// grp diff: what differs between two groups, name by name: only in one, other size or bytes,
// the same bytes with another date. Exit 0 when the same, 1 when different, 2 on trouble.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace {

constexpr int kSame = 0, kDifferent = 1, kTrouble = 2;

// A group's entries by name, every copy in directory order.
typedef std::map<std::string, std::vector<t_gfGroupEntry>> t_byName;

int keepByName(const t_gfGroupEntry* e, void* context) {
  (*static_cast<t_byName*>(context))[e->name].push_back(*e);
  return 1;
}

// Compares B's bytes, piece by piece as they come, with the same stretch of A.
struct t_compare {
  FILE* a;
  long aNext;  // A's offset for the next piece
  bool differ;
  bool readError;
};

int comparePiece(const void* bytes, long count, void* context) {
  auto* c = static_cast<t_compare*>(context);
  std::vector<unsigned char> mine((size_t)count);
  if (std::fseek(c->a, c->aNext, SEEK_SET) != 0 ||
      std::fread(mine.data(), 1, (size_t)count, c->a) != (size_t)count) {
    c->readError = true;
    return 0;
  }
  c->aNext += count;
  if (std::memcmp(mine.data(), bytes, (size_t)count) != 0) c->differ = true;
  return !c->differ;
}

struct t_diff {
  const char* pathA;
  const char* pathB;
  FILE* a;
  bool json;
  long count = 0;
  bool trouble = false;
};

// Whether two copies of a name hold the same bytes; trouble set when either could not be read.
bool sameBytes(t_diff* d, const t_gfGroupEntry& a, const t_gfGroupEntry& b) {
  t_compare c{d->a, a.offset, false, false};
  int status = gfCopyGroupEntry(d->pathB, &b, comparePiece, &c, grpReport);
  if (status == 1 || c.readError) {
    if (c.readError) grpError("cannot read group file '%s'", d->pathA);
    d->trouble = true;
    return false;
  }
  return !c.differ;
}

std::string sideJson(const t_gfGroupEntry* e) {
  if (!e) return "null";
  char text[96];
  std::snprintf(text, sizeof text, "{\"size\": %ld, \"mtime\": %s}", e->size,
                grpJsonTime(e->date, e->time).c_str());
  return text;
}

// One difference: a line, or an object of the JSON array.
void reportDifference(t_diff* d, const char* change, const std::string& name,
                      const t_gfGroupEntry* a, const t_gfGroupEntry* b,
                      const std::string& detail) {
  if (d->json) {
    std::printf("%s{\"name\": %s, \"change\": \"%s\", \"a\": %s, \"b\": %s}",
                d->count ? ",\n  " : "[\n  ", grpJsonString(name.c_str()).c_str(), change,
                sideJson(a).c_str(), sideJson(b).c_str());
  } else {
    std::printf("%s: %s%s\n", change, grpPrintable(name.c_str()).c_str(), detail.c_str());
  }
  d->count++;
}

void compareCopies(t_diff* d, const std::string& name, const t_gfGroupEntry& a,
                   const t_gfGroupEntry& b) {
  char detail[160];
  if (a.size != b.size) {
    std::snprintf(detail, sizeof detail, " (%ld bytes in A, %ld in B)", a.size, b.size);
    reportDifference(d, "size", name, &a, &b, detail);
  } else if (!sameBytes(d, a, b)) {
    if (!d->trouble) reportDifference(d, "bytes", name, &a, &b, "");
  } else if (a.date != b.date || a.time != b.time) {
    std::string inA = grpIsoTime(a.date, a.time), inB = grpIsoTime(b.date, b.time);
    inA.erase(inA.find_last_not_of(' ') + 1);  // "no date" without its column padding
    inB.erase(inB.find_last_not_of(' ') + 1);
    std::snprintf(detail, sizeof detail, " (%s in A, %s in B)", inA.c_str(), inB.c_str());
    reportDifference(d, "date", name, &a, &b, detail);
  }
}

// Copies of a name compared pairwise in directory order; the extra copies of either side
// are differences of their own.
void compareName(t_diff* d, const std::string& name, const std::vector<t_gfGroupEntry>* a,
                 const std::vector<t_gfGroupEntry>* b) {
  size_t na = a ? a->size() : 0, nb = b ? b->size() : 0;
  for (size_t i = 0; i < std::min(na, nb) && !d->trouble; i++) compareCopies(d, name, (*a)[i], (*b)[i]);
  for (size_t i = nb; i < na; i++) reportDifference(d, "only in A", name, &(*a)[i], nullptr, "");
  for (size_t i = na; i < nb; i++) reportDifference(d, "only in B", name, nullptr, &(*b)[i], "");
}

}  // namespace

int grpDiff(int argc, char** argv) {
  t_grpArgs args;
  // A usage error is trouble (2) as for diff and cmp; the help exits 0.
  int done = grpCommandLine("diff", argc, argv, {"--json"}, false, 2, 2, &args);
  if (done >= 0) return done == GRP_OK ? kSame : kTrouble;
  t_diff d{args.operands[0].c_str(), args.operands[1].c_str(), nullptr, grpHasFlag(args, "--json")};
  t_byName a, b;
  if (gfReadGroupDirectory(d.pathA, nullptr, keepByName, &a, grpReport) ||
      gfReadGroupDirectory(d.pathB, nullptr, keepByName, &b, grpReport))
    return kTrouble;
  d.a = std::fopen(d.pathA, "rb");
  if (!d.a) {
    grpError("cannot open group file '%s'", d.pathA);
    return kTrouble;
  }
  auto ia = a.begin();
  auto ib = b.begin();
  while (!d.trouble && (ia != a.end() || ib != b.end())) {
    if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
      compareName(&d, ia->first, &ia->second, nullptr);
      ++ia;
    } else if (ia == a.end() || ib->first < ia->first) {
      compareName(&d, ib->first, nullptr, &ib->second);
      ++ib;
    } else {
      compareName(&d, ia->first, &ia->second, &ib->second);
      ++ia;
      ++ib;
    }
  }
  std::fclose(d.a);
  if (d.trouble) {
    grpFinishOutput(GRP_OK);
    return kTrouble;
  }
  if (d.json) std::fputs(d.count ? "\n]\n" : "[]\n", stdout);
  if (grpFinishOutput(GRP_OK) != GRP_OK) return kTrouble;
  return d.count ? kDifferent : kSame;
}
