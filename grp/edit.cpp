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
  int flags = GF_EDIT_MAKE_MISSING;
  const char* root = args.directory.empty() ? "." : args.directory.c_str();
  int failed = gfEditGroupSummed(group.c_str(), flags, root, adds.data(), (int)paths.size(),
                                 nullptr, 0, grpOptionValue(args, "--sums"), grpReport, grpWarn);
  return failed ? GRP_FAILED : GRP_OK;
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
  int failed;
  if (grpHasFlag(args, "--dry-run"))  // nothing is written: no sums either
    failed = gfEditGroupTold(args.operands[0].c_str(), GF_EDIT_DRY_RUN, ".", nullptr, 0,
                             removes.data(), (int)names.size(), printGoing, nullptr, grpReport,
                             grpWarn);
  else
    failed = gfEditGroupSummed(args.operands[0].c_str(), 0, ".", nullptr, 0, removes.data(),
                               (int)names.size(), grpOptionValue(args, "--sums"), grpReport,
                               grpWarn);
  return grpFinishOutput(failed ? GRP_FAILED : GRP_OK);
}
