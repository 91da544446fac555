// grp mount: the merged file table as a read-only FUSE file system, served by the
// low-level interface on several threads (what they share is said below).
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
#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace {

// What the FUSE threads share, and why it is safe:
// - tree, the children lists and mountTime are made before the session starts and only
//   read after: the threads are started after them.
// - The manager's table is not locked by the manager. While mounted nothing edits it, so
//   lookups by index and the records' names, sizes, dates and times are only read. A
//   record's handle and open count, and the table's list of index holders, do change:
//   gfOpen and gfClose (for loose files) run under openLock, one at a time.
// - A file in a group is answered from the group file's handle at an absolute position,
//   which the manager opened at start and keeps until gfStop (after the session ended): no
//   GFILE, no lock, and concurrent reads never share a file position.
// - A loose file's reads go through its GFILE's handle and window, copied out under
//   openLock (the thread that opened it is not the one that reads it).
// - heldGroups, parentOf and placeOf are made before the session starts and only read after;
//   handedOver (which files went to the kernel ahead of their reads) is atomic per file.
// What the mount serves is the table as the scan made it: a read that would give other
// bytes than those (a group file changed in place, a loose file whose size changed, a
// failed read) answers EIO rather than fewer or other bytes.
t_mountTree tree;
std::vector<std::vector<size_t>> listings;  // each directory's children, in name order
time_t mountTime;
uid_t mountUid;  // every node belongs to whoever mounted (asked once, not per listed entry)
gid_t mountGid;
std::mutex openLock;
char lastFuseMessage[512];
fuse_session* mounted;  // set before the threads start

// A group file the table reads from, as it was when the mount began.
struct t_heldGroup {
  int fd;
  off_t size;
  timespec changed, written;
};
std::vector<t_heldGroup> heldGroups;  // by fd

// Notes the state of every group file the table's records read from.
void noteHeldGroups() {
  heldGroups.clear();
  for (long i = 0; i < gfTableCount(); i++) {
    const t_gfFileInfo* r = gfTableRecord(i);
    struct stat st;
    int fd = (int)r->handle;
    if (!r->inGroup || std::any_of(heldGroups.begin(), heldGroups.end(),
                                   [fd](const t_heldGroup& h) { return h.fd == fd; }))
      continue;
    if (fstat(fd, &st) == 0) heldGroups.push_back({fd, st.st_size, st.st_ctim, st.st_mtim});
  }
  std::sort(heldGroups.begin(), heldGroups.end(),
            [](const t_heldGroup& a, const t_heldGroup& b) { return a.fd < b.fd; });
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the group file open on fd still holds what it held when the mount began: the
// same size and no change since (its change time). Its last name going away (a new group
// renamed over it) changes that time too but not its bytes: a file without a name is
// written only through a handle, which would change its write time. Any other change, of
// its bytes or of its name or mode alone, counts.
bool groupUnchanged(int fd) {
  auto held = std::lower_bound(heldGroups.begin(), heldGroups.end(), fd,
                               [](const t_heldGroup& h, int key) { return h.fd < key; });
  struct stat st;
  if (held == heldGroups.end() || held->fd != fd || fstat(fd, &st) != 0) return false;
  if (st.st_size != held->size) return false;
  if (sameTime(st.st_ctim, held->changed)) return true;
  return st.st_nlink == 0 && sameTime(st.st_mtim, held->written);
}

// Whether the loose file open on fd still has the size the mount shows for it.
bool looseUnchanged(int fd, const t_gfFileInfo* r) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size == (off_t)r->size;
}

// The kernel may keep names and attributes this long: nothing changes behind the mount.
constexpr double kKeepSeconds = 24 * 3600;
constexpr unsigned kLargestRead = 1u << 20;

// Inode numbers are node numbers plus one, so that the root (node 0) is FUSE_ROOT_ID.
fuse_ino_t inodeOf(size_t node) { return (fuse_ino_t)node + 1; }
const t_mountNode* nodeOf(fuse_ino_t ino) {
  return ino >= 1 && ino <= tree.nodes.size() ? &tree.nodes[(size_t)(ino - 1)] : nullptr;
}

void fillStat(size_t index, struct stat* st) {
  const t_mountNode& node = tree.nodes[index];
  std::memset(st, 0, sizeof *st);
  st->st_ino = inodeOf(index);
  st->st_uid = mountUid;
  st->st_gid = mountGid;
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

void fillEntry(size_t index, fuse_entry_param* e) {
  std::memset(e, 0, sizeof *e);
  e->ino = inodeOf(index);
  e->generation = 1;
  fillStat(index, &e->attr);
  e->attr_timeout = e->entry_timeout = kKeepSeconds;
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  const t_mountNode* dir = nodeOf(parent);
  if (!dir) return (void)fuse_reply_err(req, ENOENT);
  char key[256];
  auto found = dir->children.end();
  if (gfStoredForm(name, key)) found = dir->children.find(key);
  if (found == dir->children.end()) {
    fuse_entry_param none = {};  // remembered as absent for as long as names are
    none.entry_timeout = kKeepSeconds;
    return (void)fuse_reply_entry(req, &none);
  }
  fuse_entry_param e;
  fillEntry(found->second, &e);
  fuse_reply_entry(req, &e);
}

void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (!nodeOf(ino)) return (void)fuse_reply_err(req, ENOENT);
  struct stat st;
  fillStat((size_t)(ino - 1), &st);
  fuse_reply_attr(req, &st, kKeepSeconds);
}

// Like opens, directory opens need no answer when the kernel allows it: it then keeps the
// listings it was given (as the answer below asks) and sends no opens nor releases.
bool noOpendir = false;

void onOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const t_mountNode* node = nodeOf(ino);
  if (!node) return (void)fuse_reply_err(req, ENOENT);
  if (node->record >= 0) return (void)fuse_reply_err(req, ENOTDIR);
  if (noOpendir) return (void)fuse_reply_err(req, ENOSYS);
  fi->keep_cache = 1;  // listings never change: the kernel may keep them
  fi->cache_readdir = 1;
  fuse_reply_open(req, fi);
}

// One listing from offset on, with attributes (plus) or without: "." and ".." are offsets
// 1 and 2, child k is offset k + 3.
void listDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
  const t_mountNode* node = nodeOf(ino);
  if (!node) return (void)fuse_reply_err(req, ENOENT);
  if (node->record >= 0) return (void)fuse_reply_err(req, ENOTDIR);
  const std::vector<size_t>& children = listings[(size_t)(ino - 1)];
  std::vector<char> out(size);
  size_t used = 0;
  for (off_t at = offset; at < (off_t)children.size() + 2; at++) {
    size_t index = at < 2 ? (size_t)(ino - 1) : children[(size_t)(at - 2)];
    const char* name = at == 0 ? "." : at == 1 ? ".." : tree.nodes[index].name.c_str();
    fuse_entry_param e;
    fillEntry(index, &e);
    size_t room = size - used, need;
    if (plus) {
      if (at < 2) e.ino = 0;  // "." and ".." carry no lookup
      need = fuse_add_direntry_plus(req, out.data() + used, room, name, &e, at + 1);
    } else {
      need = fuse_add_direntry(req, out.data() + used, room, name, &e.attr, at + 1);
    }
    if (need > room) break;
    used += need;
  }
  fuse_reply_buf(req, out.data(), used);
}

void onReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  listDirectory(req, ino, size, offset, false);
}

void onReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  listDirectory(req, ino, size, offset, true);
}

// Opens need no answer of ours when the kernel allows it (no-open support): it then keeps
// the page cache across opens and sends neither opens nor releases, and reads come without
// a handle. The checks below stay for kernels without it.
bool noOpen = false;

void onOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const t_mountNode* node = nodeOf(ino);
  if (!node) return (void)fuse_reply_err(req, ENOENT);
  if (node->record < 0) return (void)fuse_reply_err(req, EISDIR);
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
  if (noOpen) return (void)fuse_reply_err(req, ENOSYS);
  const t_gfFileInfo* r = gfTableRecord(node->record);
  fi->fh = 0;  // a file in a group is read through the group file's handle
  if (!r->inGroup) {
    std::lock_guard<std::mutex> guard(openLock);
    GFILE* f = gfOpen(r->name);
    if (f && !looseUnchanged((int)f->handle, r)) {
      gfClose(f);
      f = nullptr;
    }
    if (!f) return (void)fuse_reply_err(req, EIO);
    fi->fh = (uint64_t)(uintptr_t)f;
  }
  fi->keep_cache = 1;  // the table is a snapshot: what was read stays valid
  fi->noflush = 1;     // nothing is written, so a close has nothing to flush
  fuse_reply_open(req, fi);
}

// Positioned reads of a window until count bytes or its end, into *done; false when the
// file failed a read or ended before the window does (it is shorter than it was).
bool readWindow(int fd, long long base, long long size, char* out, size_t count, off_t offset,
                size_t* done) {
  *done = 0;
  if (offset >= size) return true;
  count = (size_t)std::min<long long>((long long)count, size - offset);
  while (*done < count) {
    ssize_t got = pread(fd, out + *done, count - *done, (off_t)(base + offset + (off_t)*done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    *done += (size_t)got;
  }
  return true;
}

// A loose file's bytes through its GFILE, when it still has the size the mount shows.
bool readLoose(GFILE* f, const t_gfFileInfo* r, char* out, size_t count, off_t offset,
               size_t* done) {
  return looseUnchanged((int)f->handle, r) &&
         readWindow((int)f->handle, f->base, f->size, out, count, offset, done);
}

// A file in a group is answered from the group file's descriptor: libfuse splices its pages
// to the kernel without copying them through this process when the kernel allows it (the
// larger the read, the more that saves: half the time of a first pass over files of a few
// MiB), and reads them into its own buffer otherwise. The bytes then leave before they can
// be checked, so the group is checked just before: a change from then on, during the
// transfer itself, is the one this cannot see.
void replyFromGroup(fuse_req_t req, const t_gfFileInfo* r, size_t size, off_t offset) {
  int fd = (int)r->handle;
  if (!groupUnchanged(fd)) return (void)fuse_reply_err(req, EIO);
  size_t count = offset >= r->size ? 0 : (size_t)std::min<long long>((long long)size, r->size - offset);
  fuse_bufvec data = FUSE_BUFVEC_INIT(count);
  data.buf[0].flags = (fuse_buf_flags)(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
  data.buf[0].fd = fd;
  data.buf[0].pos = r->offset + offset;
  fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
}

// A reader that goes through a directory's files in their order (a copy, an archiver, a
// game loading a level) sends a request per file, and waits for each. So when a file's
// start is read and the file before it in its directory's listing was read or handed over
// (or there is none), the bytes of the grouped files behind it, up to kPushBytes, are
// handed to the kernel's page cache at once: their reads find them there and send no
// request at all. A reader that picks files here and there hands over nothing. Each file
// is handed over once (the kernel keeps what it was given, the table is a snapshot); one
// the kernel has no inode for yet (never listed or looked up) is refused by it, and waits
// for its own read.
constexpr size_t kPushBytes = 1u << 20;
constexpr size_t kPushLook = 64;  // files looked at per read, handed over or not
std::vector<size_t> parentOf, placeOf;  // each node's directory and place in its listing
std::unique_ptr<std::atomic<bool>[]> handedOver;

bool followsOn(size_t index) {
  size_t at = placeOf[index];
  return at == 0 || handedOver[listings[parentOf[index]][at - 1]];
}

void handOverFollowing(size_t index) {
  if (!followsOn(index)) return;
  const std::vector<size_t>& siblings = listings[parentOf[index]];
  size_t bytes = 0;
  size_t end = std::min(siblings.size(), placeOf[index] + 1 + kPushLook);
  for (size_t at = placeOf[index] + 1; at < end && bytes < kPushBytes; at++) {
    size_t next = siblings[at];
    long record = tree.nodes[next].record;
    if (record < 0) continue;
    const t_gfFileInfo* r = gfTableRecord(record);
    if (!r->inGroup || r->size <= 0 || r->size > (long long)(kPushBytes - bytes)) continue;
    if (handedOver[next].exchange(true)) continue;
    int fd = (int)r->handle;
    if (!groupUnchanged(fd)) {
      handedOver[next] = false;  // its own read answers EIO
      return;
    }
    fuse_bufvec data = FUSE_BUFVEC_INIT((size_t)r->size);
    data.buf[0].flags = (fuse_buf_flags)(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    data.buf[0].fd = fd;
    data.buf[0].pos = r->offset;
    if (fuse_lowlevel_notify_store(mounted, inodeOf(next), 0, &data, FUSE_BUF_SPLICE_MOVE) != 0)
      handedOver[next] = false;  // its own read will come
    else
      bytes += (size_t)r->size;
  }
}

void onRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  const t_mountNode* node = nodeOf(ino);
  if (!node || node->record < 0) return (void)fuse_reply_err(req, EISDIR);
  const t_gfFileInfo* r = gfTableRecord(node->record);
  if (r->inGroup) {
    replyFromGroup(req, r, size, offset);
    size_t index = (size_t)(ino - 1);
    if (offset == 0 && index > 0) {
      handedOver[index] = true;
      handOverFollowing(index);
    }
    return;
  }
  thread_local std::vector<char> buffer;
  if (buffer.size() < size) buffer.resize(size);
  size_t got;
  bool whole;
  if (fi->fh) {
    std::lock_guard<std::mutex> guard(openLock);
    whole = readLoose((GFILE*)(uintptr_t)fi->fh, r, buffer.data(), size, offset, &got);
  } else {  // no open came: the loose file is opened for this read alone
    std::lock_guard<std::mutex> guard(openLock);
    GFILE* f = gfOpen(r->name);
    whole = f && readLoose(f, r, buffer.data(), size, offset, &got);
    if (f) gfClose(f);
  }
  if (!whole) return (void)fuse_reply_err(req, EIO);
  fuse_reply_buf(req, buffer.data(), got);
}

void onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  if (fi->fh) {
    std::lock_guard<std::mutex> guard(openLock);
    gfClose((GFILE*)(uintptr_t)fi->fh);
  }
  fuse_reply_err(req, 0);
}

void onInit(void*, fuse_conn_info* conn) {
  // Large reads and read-ahead: whole files of a few hundred KiB in one request.
  conn->max_read = 0;
  conn->max_readahead = kLargestRead;
  conn->max_write = kLargestRead;  // libfuse sizes the kernel's largest request from this
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // every listing carries attributes
  noOpen = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
  if (noOpen) conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
  noOpendir = (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
  if (noOpendir) conn->want |= FUSE_CAP_NO_OPENDIR_SUPPORT;
  // Nothing changes behind the mount: reads need not look whether a file's size or date did.
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  if (conn->capable & FUSE_CAP_CACHE_SYMLINKS) conn->want |= FUSE_CAP_CACHE_SYMLINKS;
  // Replies from a group's descriptor go to the kernel spliced, its pages moved when it can.
  conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
}

// The children of every directory in name order, so that a listing resumes at an offset
// without a walk of the map.
void makeListings() {
  listings.assign(tree.nodes.size(), {});
  parentOf.assign(tree.nodes.size(), 0);
  placeOf.assign(tree.nodes.size(), 0);
  for (size_t i = 0; i < tree.nodes.size(); i++)
    for (const auto& child : tree.nodes[i].children) {
      parentOf[child.second] = i;
      placeOf[child.second] = listings[i].size();
      listings[i].push_back(child.second);
    }
  handedOver.reset(new std::atomic<bool>[tree.nodes.size()]());
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

// Serves requests on a few threads: reads of group files need no lock, and the kernel
// sends reads of many files at once (read-ahead, and every reader process).
int runLoop(fuse_session* session) {
  fuse_loop_config* config = fuse_loop_cfg_create();
  if (!config) return fuse_session_loop(session);
  fuse_loop_cfg_set_clone_fd(config, 0);
  fuse_loop_cfg_set_max_threads(config, 8);
  fuse_loop_cfg_set_idle_threads(config, 4);
  int loop = fuse_session_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);
  return loop;
}

int serve(const char* gameDir, const char* mountPoint) {
  fuse_lowlevel_ops ops = {};
  ops.init = onInit;
  ops.lookup = onLookup;
  ops.getattr = onGetattr;
  ops.opendir = onOpendir;
  ops.readdir = onReaddir;
  ops.readdirplus = onReaddirplus;
  ops.open = onOpen;
  ops.read = onRead;
  ops.release = onRelease;
  const char* argv[] = {"grp", "-o", "ro,default_permissions,fsname=grp,subtype=grp"};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse_set_log_func(keepFuseMessage);
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&args);  // the session may have made its own copy of the arguments
  mounted = session;
  if (!session) {
    grpError("cannot mount '%s': %s", gameDir, lastFuseMessage);
    return GRP_FAILED;
  }
  int status = GRP_FAILED;
  if (fuse_session_mount(session, mountPoint) != 0) {
    grpError("cannot mount on '%s': %s", mountPoint, lastFuseMessage);
  } else {
    if (fuse_set_signal_handlers(session) != 0) {
      grpError("cannot mount on '%s': cannot catch SIGINT and SIGTERM", mountPoint);
    } else {
      int loop = runLoop(session);
      fuse_remove_signal_handlers(session);
      status = loop < 0 ? GRP_FAILED : GRP_OK;  // a signal ends the loop with 0 as well
      if (loop < 0) grpError("mount on '%s' failed: %s", mountPoint, std::strerror(-loop));
    }
    fuse_session_unmount(session);
  }
  fuse_session_destroy(session);
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
  mountUid = getuid();
  mountGid = getgid();
  noteHeldGroups();
  grpBuildMountTree(&tree);
  makeListings();
  int status = serve(gameDir, mountPoint);
  tree.nodes.clear();
  listings.clear();
  parentOf.clear();
  placeOf.clear();
  handedOver.reset();
  heldGroups.clear();
  gfStop();
  return status;
}

}  // namespace

#else  // built without libfuse3

namespace {

int mountAndServe(const char*, const char*) {
#ifdef _WIN32
  grpError("mount: mounting needs a FUSE host (Linux, with /dev/fuse); grp for Windows has "
           "no mount: use grp list, cat and extract");
#else
  grpError("mount: this grp was built without FUSE (install libfuse3-dev and rebuild)");
#endif
  return GRP_FAILED;
}

}  // namespace

#endif

int grpMount(int argc, char** argv) {
  t_grpArgs args;
  int done = grpCommandLine("mount", argc, argv, {}, false, 2, 2, &args);
  if (done >= 0) return done;
  return mountAndServe(args.operands[0].c_str(), args.operands[1].c_str());
}
