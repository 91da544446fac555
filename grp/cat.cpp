// grp cat: one stored file's bytes to standard output, found by the engine's rules (any
// case, '/' as '\\', the copy the table would keep).
#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "grp/commands.h"
#include "grp/common.h"
#include "tarnpak/gf.h"

namespace {

int toStdout(const void* bytes, long count, void*) {
  return std::fwrite(bytes, 1, (size_t)count, stdout) == (size_t)count;
}

}  // namespace

int grpCat(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("cat", argc, argv, {}, false, 2, 2, &args);
  if (done >= 0) return done;
  const char* path = args.operands[0].c_str();
  const char* name = args.operands[1].c_str();
  t_gfGroupEntry entry;
  int found = gfFindGroupEntry(path, name, &entry, grpReport);
  if (found == 1) return GRP_FAILED;
  if (found == 2) {
    grpError("group file '%s' holds no file named '%s'", path, grpPrintable(name).c_str());
    return GRP_FAILED;
  }
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // the bytes as stored: no "\r" before each "\n"
#endif
  // A stopped copy is a failed write to standard output, which grpFinishOutput reports.
  int copied = gfCopyGroupEntry(path, &entry, toStdout, nullptr, grpReport);
  return grpFinishOutput(copied == 1 ? GRP_FAILED : GRP_OK);
}
