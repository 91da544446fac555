// Starting the engine's file table on a game directory, for table and mount.
#include "grp/game_dir.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "tarnpak/gf.h"
#include "grp/common.h"

bool grpStartGameDir(const char* dir) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(dir, ec)) return gfStartGroup(dir, grpReport) == 0;
  bool isDir = std::filesystem::is_directory(dir, ec);
  if (!isDir) {
    // Named for what was most likely meant: a missing FILE.grp is a group file.
    bool groupName = std::strstr(dir, ".grp") || std::strstr(dir, ".GRP");
    grpError("cannot read %s '%s': %s", groupName ? "group file" : "game directory",
             grpPrintable(dir).c_str(), ec ? ec.message().c_str() : "Not a directory");
    return false;
  }
  if (std::strlen(dir) >= kGrpRootMax) {
    grpError("cannot read game directory '%s': the path is longer than the engine's %zu bytes", dir,
             kGrpRootMax - 1);
    return false;
  }
  gfStart(dir);
  return true;
}
