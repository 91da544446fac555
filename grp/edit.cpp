// grp add and grp rm: a group changed in place through the engine's group edit, which keeps
// the old group whole on any failure.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace fs = std::filesystem;

namespace {

// PATH as a path below DIR ("" for DIR itself), '/' between levels; false, after a message,
// when it leads out of DIR.
bool belowDirectory(const std::string& dir, const std::string& path, std::string* out) {
  fs::path p(path);
  std::error_code ec;
  if (p.is_absolute()) {
    fs::path base = fs::weakly_canonical(dir.empty() ? fs::current_path(ec) : fs::path(dir), ec);
    if (!ec) p = fs::weakly_canonical(p, ec).lexically_relative(base);
    if (ec || p.empty()) {
      grpError("add: '%s' is not below %s", grpPrintable(path.c_str()).c_str(),
               dir.empty() ? "the current directory" : ("'" + dir + "'").c_str());
      return false;
    }
  }
  std::string rel = p.lexically_normal().generic_string();
  while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
  if (rel == ".") rel.clear();
  if (rel == ".." || rel.compare(0, 3, "../") == 0) {
    grpError("add: '%s' is not below %s: a stored name cannot leave it", grpPrintable(path.c_str()).c_str(),
             dir.empty() ? "the current directory" : ("'" + dir + "'").c_str());
    return false;
  }
  *out = rel;
  return true;
}

std::vector<const char*> pointers(const std::vector<std::string>& texts) {
  std::vector<const char*> out;
  for (const std::string& t : texts) out.push_back(t.c_str());
  out.push_back(nullptr);
  return out;
}

// What an add and a remove share: the group, the sums file asked for, where messages go.
t_gfEditOptions editOptions(const t_grpArgs& args, const char* group) {
  t_gfEditOptions options{};
  options.size = sizeof options;
  options.path = group;
  options.sums = grpOptionValue(args, "--sums");
  options.report = grpReport;
  options.warn = grpWarn;
  return options;
}

// An interrupt leaves the group as it was, with neither the edit's temporary nor its lock
// file behind.
bool runEdit(t_gfEditOptions* options) {
  gfInstallToolSignals();
  return gfEditJob(options) == 0;
}

}  // namespace

int grpAdd(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("add", argc, argv, {"--sums="}, true, 2, (size_t)-1, &args);
  if (done >= 0) return done;
  const std::string& group = args.operands[0];
  std::vector<std::string> paths;
  for (size_t i = 1; i < args.operands.size(); i++) {
    std::string rel;
    if (!belowDirectory(args.directory, args.operands[i], &rel)) return GRP_FAILED;
    paths.push_back(rel);
  }
  std::vector<const char*> adds = pointers(paths);
  // Whether the group is missing is decided under its lock: eight adds at once to a missing
  // group make one group holding every file.
  t_gfEditOptions options = editOptions(args, group.c_str());
  options.flags = GF_EDIT_MAKE_MISSING;
  options.root = args.directory.empty() ? "." : args.directory.c_str();
  options.adds = adds.data();
  options.addCount = (int)paths.size();
  return runEdit(&options) ? GRP_OK : GRP_FAILED;
}

// --dry-run: each stored name that would go, one a line.
void printGoing(const char* name, void*) { std::printf("%s\n", grpPrintable(name).c_str()); }

int grpRm(int argc, char** argv) {
  t_grpArgs args;
  int done =
      grpCommandLine("rm", argc, argv, {"--dry-run", "--sums="}, false, 2, (size_t)-1, &args);
  if (done >= 0) return done;
  std::vector<std::string> names(args.operands.begin() + 1, args.operands.end());
  std::vector<const char*> removes = pointers(names);
  t_gfEditOptions options = editOptions(args, args.operands[0].c_str());
  options.root = ".";
  options.removes = removes.data();
  options.removeCount = (int)names.size();
  if (grpHasFlag(args, "--dry-run")) {  // nothing is written: no sums either
    options.flags = GF_EDIT_DRY_RUN;
    options.sums = nullptr;
    options.told = printGoing;
  }
  return grpFinishOutput(runEdit(&options) ? GRP_OK : GRP_FAILED);
}
