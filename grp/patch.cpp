// grp patch: the group an update ships, holding only what changed from the old group to the
// new one, dated so that the engine's table takes it over the old copies once installed
// beside the old group.
#include <cstdio>
#include <string>
#include <vector>

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace {

// What the engine tells of each name, kept for --json.
struct t_patchRun {
  std::vector<std::string> entries;
  std::vector<std::string> stays;
};

std::string entryJson(const t_gfPatchEntry* e) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%ld", e->size);
  std::string text = "{\"name\": " + grpJsonString(e->name) + ", ";
  if (e->change == GF_PATCH_STAYS)
    return text + "\"size\": " + numbers + ", \"mtime\": " + grpJsonTime(e->date, e->time) + "}";
  return text + "\"change\": \"" + (e->change == GF_PATCH_ADDED ? "added" : "changed") +
         "\", \"size\": " + numbers + ", \"mtime\": " + grpJsonTime(e->date, e->time) +
         ", \"redated\": " + (e->redated ? "true" : "false") +
         ", \"newMtime\": " + grpJsonTime(e->newDate, e->newTime) + "}";
}

void hear(const t_gfPatchEntry* e, void* context) {
  auto* run = static_cast<t_patchRun*>(context);
  (e->change == GF_PATCH_STAYS ? run->stays : run->entries).push_back(entryJson(e));
}

void printArray(const char* key, const std::vector<std::string>& items, const char* after) {
  std::printf("  \"%s\": [", key);
  for (size_t i = 0; i < items.size(); i++)
    std::printf("%s\n    %s", i ? "," : "", items[i].c_str());
  std::printf("%s]%s\n", items.empty() ? "" : "\n  ", after);
}

}  // namespace

int grpPatch(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("patch", argc, argv, {"--json", "--sums="}, false, 3, 3, &args);
  if (done >= 0) return done;
  t_patchRun run;
  t_gfPatchOptions options{};
  options.size = sizeof options;
  options.oldPath = args.operands[0].c_str();
  options.newPath = args.operands[1].c_str();
  options.path = args.operands[2].c_str();
  options.sums = grpOptionValue(args, "--sums");
  options.told = hear;
  options.context = &run;
  options.report = grpReport;
  options.warn = grpWarn;
  // An interrupt leaves neither the unfinished patch nor its lock file behind.
  gfInstallToolSignals();
  if (gfPatchJob(&options)) return GRP_FAILED;
  if (grpHasFlag(args, "--json")) {
    std::printf("{\n  \"old\": %s,\n  \"new\": %s,\n  \"patch\": %s,\n",
                grpJsonString(options.oldPath).c_str(), grpJsonString(options.newPath).c_str(),
                grpJsonString(options.path).c_str());
    printArray("entries", run.entries, ",");
    printArray("staysVisible", run.stays, "");
    std::printf("}\n");
  }
  return grpFinishOutput(GRP_OK);
}
