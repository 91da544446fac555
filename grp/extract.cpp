// grp extract: the unpacker's own road (with its refusal of unsafe names), into a chosen
// directory and only for the stored names that match the masks.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tarnpak/gf.h"
#include "grp/commands.h"
#include "grp/common.h"

namespace {

struct t_extractState {
  std::vector<std::string> masks;  // with backslashes between levels
  std::vector<bool> used;
  bool visited = false;
};

int selectName(const char* name, void* context) {
  auto* s = static_cast<t_extractState*>(context);
  s->visited = true;
  if (s->masks.empty()) return 1;
  bool chosen = false;
  for (size_t i = 0; i < s->masks.size(); i++) {
    if (gfMatchName(s->masks[i].c_str(), name)) {
      s->used[i] = true;
      chosen = true;
    }
  }
  return chosen;
}

std::string withBackslashes(std::string mask) {
  for (char& c : mask)
    if (c == '/') c = '\\';
  return mask;
}

// The group's path as seen from DIR: a relative one is made absolute before entering DIR.
bool enterDirectory(const std::string& dir, std::string* groupPath) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(*groupPath, ec);
  if (!ec) *groupPath = absolute.string();
  if (!ec) std::filesystem::current_path(dir, ec);
  if (ec) grpError("cannot enter directory '%s': %s", dir.c_str(), ec.message().c_str());
  return !ec;
}

}  // namespace

int grpExtract(int argc, char** argv) {
  t_grpArgs args;
  if (!grpParseArgs("extract", argc, argv, 2, {}, true, &args)) return GRP_USAGE;
  if (args.help) {
    grpPrintHelp("extract");
    return GRP_OK;
  }
  if (!grpWantOperands("extract", args, 1, (size_t)-1)) return GRP_USAGE;
  std::string path = args.operands[0];
  t_extractState state;
  for (size_t i = 1; i < args.operands.size(); i++)
    state.masks.push_back(withBackslashes(args.operands[i]));
  state.used.assign(state.masks.size(), false);
  if (!args.directory.empty() && !enterDirectory(args.directory, &path)) return GRP_FAILED;
  // An interrupt removes the file being written; the files finished before it stay.
  gfInstallToolSignals();
  int status = gfUnpackSelected(path.c_str(), selectName, &state, grpReport);
  if (status != 0 && !state.visited) return GRP_FAILED;  // the directory could not be read
  for (size_t i = 0; i < state.masks.size(); i++) {
    if (state.used[i]) continue;
    grpError("group file '%s' holds no name matching '%s'", args.operands[0].c_str(),
             grpPrintable(args.operands[i + 1].c_str()).c_str());
    status = GRP_FAILED;
  }
  return status ? GRP_FAILED : GRP_OK;
}
