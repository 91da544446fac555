// grp mount: the merged file table as a read-only FUSE file system. The FUSE loop runs on
// one thread, so every call into the file manager comes from that thread.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "grp/commands.h"
#include "grp/common.h"
#include "grp/game_dir.h"
#include "grp/mount_tree.h"
#include "tarnpak/gf.h"

#ifdef GRP_HAVE_FUSE
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

t_mountTree tree;
time_t mountTime;
char lastFuseMessage[512];

void fillStat(const t_mountNode& node, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  if (node.record < 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    st->st_mtime = mountTime;
    return;
  }
  const t_gfFileInfo* r = gfTableRecord(node.record);
  long long written = 0;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = r->size;
  st->st_blocks = (r->size + 511) / 512;
  gfDosToUnixTime(r->date, r->time, &written);
  st->st_mtime = (time_t)written;
}

int onGetattr(const char* path, struct stat* st, struct fuse_file_info*) {
  long node = grpFindMountNode(tree, path);
  if (node < 0) return -ENOENT;
  fillStat(tree.nodes[(size_t)node], st);
  return 0;
}

int onReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags) {
  long node = grpFindMountNode(tree, path);
  if (node < 0) return -ENOENT;
  const t_mountNode& dir = tree.nodes[(size_t)node];
  if (dir.record >= 0) return -ENOTDIR;
  fill(buffer, ".", nullptr, 0, (fuse_fill_dir_flags)0);
  fill(buffer, "..", nullptr, 0, (fuse_fill_dir_flags)0);
  for (const auto& child : dir.children) {
    struct stat st;
    fillStat(tree.nodes[child.second], &st);
    if (fill(buffer, tree.nodes[child.second].name.c_str(), &st, 0, (fuse_fill_dir_flags)0)) break;
  }
  return 0;
}

int onOpen(const char* path, struct fuse_file_info* fi) {
  long node = grpFindMountNode(tree, path);
  if (node < 0) return -ENOENT;
  const t_mountNode& file = tree.nodes[(size_t)node];
  if (file.record < 0) return -EISDIR;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  GFILE* f = gfOpen(gfTableRecord(file.record)->name);
  if (!f) return -EIO;
  fi->fh = (uint64_t)(uintptr_t)f;
  fi->keep_cache = 1;  // the table is a snapshot: what was read stays valid
  return 0;
}

int onRead(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) {
  auto* f = (GFILE*)(uintptr_t)fi->fh;
  if (offset >= gfSize(f)) return 0;
  gfSeek(f, (long)offset, 0);
  long total = 0;
  while ((size_t)total < size) {  // FUSE wants the whole request unless the file ends
    int want = (int)std::min<size_t>(size - (size_t)total, 1 << 30);
    long got = gfRead(f, buffer + total, want);
    if (got <= 0) break;
    total += got;
  }
  return (int)total;
}

int onRelease(const char*, struct fuse_file_info* fi) {
  gfClose((GFILE*)(uintptr_t)fi->fh);
  return 0;
}

void* onInit(struct fuse_conn_info*, struct fuse_config* config) {
  // Nothing changes behind the mount, so the kernel may keep names, attributes and data.
  config->kernel_cache = 1;
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 3600;
  return nullptr;
}

void keepFuseMessage(enum fuse_log_level, const char* format, va_list args) {
  std::vsnprintf(lastFuseMessage, sizeof lastFuseMessage, format, args);
  size_t n = std::strlen(lastFuseMessage);
  while (n > 0 && (lastFuseMessage[n - 1] == '\n' || lastFuseMessage[n - 1] == '\r'))
    lastFuseMessage[--n] = 0;
}

bool checkMountPoint(const char* mountPoint) {
  std::error_code ec;
  if (std::filesystem::is_directory(mountPoint, ec)) return true;
  grpError("cannot mount on '%s': %s", mountPoint, ec ? ec.message().c_str() : "Not a directory");
  return false;
}

int serve(const char* gameDir, const char* mountPoint) {
  struct fuse_operations ops = {};
  ops.getattr = onGetattr;
  ops.readdir = onReaddir;
  ops.open = onOpen;
  ops.read = onRead;
  ops.release = onRelease;
  ops.init = onInit;
  const char* argv[] = {"grp", "-o", "ro,default_permissions,fsname=grp,subtype=grp"};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse_set_log_func(keepFuseMessage);
  struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&args);  // fuse_new may have made its own copy of the arguments
  if (!fuse) {
    grpError("cannot mount '%s': %s", gameDir, lastFuseMessage);
    return GRP_FAILED;
  }
  int status = GRP_FAILED;
  if (fuse_mount(fuse, mountPoint) != 0) {
    grpError("cannot mount on '%s': %s", mountPoint, lastFuseMessage);
  } else {
    struct fuse_session* session = fuse_get_session(fuse);
    if (fuse_set_signal_handlers(session) != 0) {
      grpError("cannot mount on '%s': cannot catch SIGINT and SIGTERM", mountPoint);
    } else {
      int loop = fuse_loop(fuse);  // single-threaded: one call into the manager at a time
      fuse_remove_signal_handlers(session);
      status = loop < 0 ? GRP_FAILED : GRP_OK;  // a signal ends the loop with 0 as well
      if (loop < 0) grpError("mount on '%s' failed: %s", mountPoint, std::strerror(-loop));
    }
    fuse_unmount(fuse);
  }
  fuse_destroy(fuse);
  return status;
}

// Starts the table with the unmount signals blocked, so that a thread the manager starts
// (its read worker) never takes them: the handler must run on the thread of the FUSE loop,
// whose blocking read it interrupts.
bool startQuietly(const char* gameDir) {
  sigset_t unmountSignals, previous;
  sigemptyset(&unmountSignals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&unmountSignals, sig);
  pthread_sigmask(SIG_BLOCK, &unmountSignals, &previous);
  bool started = grpStartGameDir(gameDir);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

// Mounts the game directory's table and serves it until it is unmounted.
int mountAndServe(const char* gameDir, const char* mountPoint) {
  if (!checkMountPoint(mountPoint) || !startQuietly(gameDir)) return GRP_FAILED;
  mountTime = std::time(nullptr);
  grpBuildMountTree(&tree);
  int status = serve(gameDir, mountPoint);
  tree.nodes.clear();
  gfStop();
  return status;
}

}  // namespace

#else  // built without libfuse3

namespace {

int mountAndServe(const char*, const char*) {
  grpError("mount: this grp was built without FUSE (install libfuse3-dev and rebuild)");
  return GRP_FAILED;
}

}  // namespace

#endif

int grpMount(int argc, char** argv) {
  t_grpArgs args;
  if (!grpParseArgs("mount", argc, argv, 2, {}, false, &args)) return GRP_USAGE;
  if (args.help) {
    grpPrintHelp("mount");
    return GRP_OK;
  }
  if (!grpWantOperands("mount", args, 2, 2)) return GRP_USAGE;
  return mountAndServe(args.operands[0].c_str(), args.operands[1].c_str());
}
