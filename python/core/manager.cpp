// The process-wide file manager for Python: one running start of the engine's table at a
// time, the files opened through it, and what a fork leaves of them.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "python/core/common.h"

namespace tarnpak_core {

namespace {

// The engine's table belongs to one thread at a time: every manager call holds this lock,
// taken after the GIL is let go by calls that may wait (no thread holding it waits for the
// GIL). It also guards the running start's number, the open handles and each one's file,
// so that a close, a read and a stop in three threads follow one another.
std::mutex g_managerLock;
long g_runningGeneration = 0;  // the start whose table the engine holds; 0: none
class Handle;
std::unordered_set<Handle*> g_handles;  // open handles of the running manager

// With the GIL: whether a manager was started and not stopped, and the starts so far.
bool g_managerActive = false;
long g_generation = 0;
// In a child forked while a manager ran: that start, whose read worker stayed behind in the
// parent. The engine's table cannot be stopped or used in this process.
long g_forkedGeneration = 0;

const char kForkedManager[] =
    "the file manager was running when this process was forked from its parent: it cannot "
    "be used in this process";

[[noreturn]] void stale(const char* what) {
  throw py::value_error(std::string("I/O operation on ") + what);
}

// One file opened through the manager: read-only, positioned, closed by the manager's stop.
class Handle {
 public:
  // Made with the manager lock held.
  explicit Handle(GFILE* f) : file_(f) { g_handles.insert(this); }

  // In a child just forked: the file is left as it is (the engine's table cannot be used).
  void forget() { file_.store(nullptr); }
  ~Handle() { close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  long readInto(py::buffer buffer) {
    py::buffer_info info = buffer.request(true);
    long long want = info.size * info.itemsize;
    auto* at = static_cast<char*>(info.ptr);
    long long done = 0;
    bool open;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> hold(g_managerLock);
      GFILE* f = file_.load();
      open = f != nullptr;
      while (open && done < want) {
        int piece = (int)std::min<long long>(want - done, INT_MAX / 2);
        long got = gfRead(f, at + done, piece);
        if (got <= 0) break;
        done += got;
      }
    }
    if (!open) stale("a closed file");
    return (long)done;
  }

  long seek(long long offset, int whence) {
    long position = -1;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> hold(g_managerLock);
      if (GFILE* f = file_.load()) {
        // The engine's positions are longs and it clamps them to the file: so does this.
        long clamped = (long)std::max<long long>(LONG_MIN, std::min<long long>(LONG_MAX, offset));
        gfSeek(f, clamped, whence);
        position = gfTell(f);
      }
    }
    if (position < 0) stale("a closed file");
    return position;
  }

  // Quick calls keep the GIL; the lock still keeps them apart from a running read.
  long tell() {
    std::lock_guard<std::mutex> hold(g_managerLock);
    GFILE* f = file_.load();
    if (!f) stale("a closed file");
    return gfTell(f);
  }

  long size() {
    std::lock_guard<std::mutex> hold(g_managerLock);
    GFILE* f = file_.load();
    if (!f) stale("a closed file");
    return gfSize(f);
  }

  bool closed() const { return file_.load() == nullptr; }

  // Only the thread that takes the handle out of the open set closes its file: two closes,
  // or a close and the manager's stop, never close it twice.
  void close() {
    if (!file_.load()) return;
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(g_managerLock);
    if (g_handles.erase(this)) gfClose(file_.load());
    file_.store(nullptr);
  }

  // The manager is stopping (its lock held): the file is closed here.
  void closeForStop() {
    gfClose(file_.load());
    file_.store(nullptr);
  }

 private:
  std::atomic<GFILE*> file_;
};

class Manager {
 public:
  explicit Manager(const std::string& root) : root_(cPath(root)) {}
  ~Manager() {
    if (running()) stop();
  }

  void start() {
    if (generation_) throw EngineError{"this manager has already been used: make a new one"};
    if (g_forkedGeneration) throw EngineError{kForkedManager};
    if (g_managerActive) throw EngineError{"another tarnpak.Manager is running in this process"};
    checkRoot();
    g_managerActive = true;
    generation_ = ++g_generation;
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(g_managerLock);
    gfStart(root_.c_str());
    g_runningGeneration = generation_;
  }

  void stop() {
    if (!running()) return;
    g_managerActive = false;
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(g_managerLock);
    for (Handle* h : g_handles) h->closeForStop();
    g_handles.clear();
    g_runningGeneration = 0;
    gfStop();
  }

  bool running() const { return generation_ && generation_ == g_generation && g_managerActive; }

  Handle* open(const py::handle& name) {
    std::string key = nameFromPython(name);
    Handle* h = nullptr;
    bool live;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> hold(g_managerLock);
      live = isRunning();
      GFILE* f = live ? gfOpen(key.c_str()) : nullptr;
      if (f) h = new Handle(f);
    }
    if (!live) notRunning();
    if (!h) throw py::key_error(py::str(name));
    return h;
  }

  bool exists(const py::handle& name) {
    std::string key = nameFromPython(name);
    std::lock_guard<std::mutex> hold(g_managerLock);
    if (!isRunning()) notRunning();
    return gfFetch(key.c_str()) >= 0;
  }

  // Full stored names of the records the engine's search finds for mask, in table order.
  py::list glob(const py::handle& mask) {
    std::string raw = nameFromPython(mask);
    py::list out;
    std::lock_guard<std::mutex> hold(g_managerLock);
    if (!isRunning()) notRunning();
    if (raw.size() > 255) return out;
    t_findfirst f{};
    std::memcpy(f.mask, raw.c_str(), raw.size() + 1);
    for (char& c : f.mask)
      if (c == '/') c = '\\';
    for (int hit = gfFindFirst(&f); hit; hit = gfFindNext(&f))
      if (const t_gfFileInfo* r = gfTableRecord(f.index)) out.append(nameToPython(r->name));
    gfFindClose(&f);
    return out;
  }

  // (name, size, date, time, offset, source) per record; source None for a loose file.
  py::list table() {
    py::list out;
    std::lock_guard<std::mutex> hold(g_managerLock);
    if (!isRunning()) notRunning();
    long n = gfTableCount();
    for (long i = 0; i < n; i++) {
      const t_gfFileInfo* r = gfTableRecord(i);
      if (!r) continue;
      const char* group = gfRecordGroupName(i);
      py::object source = group ? py::object(nameToPython(group)) : py::object(py::none());
      out.append(py::make_tuple(nameToPython(r->name), r->size, r->date, r->time, r->offset,
                                source));
    }
    return out;
  }

 private:
  // With the manager lock held: whether this manager's start is the engine's table.
  bool isRunning() const { return generation_ && g_runningGeneration == generation_; }
  [[noreturn]] void notRunning() const {
    if (generation_ && generation_ == g_forkedGeneration) throw EngineError{kForkedManager};
    throw py::value_error("the manager is not running");
  }

  // The engine starts on any root, and one that is no directory gives an empty table: such
  // a root is refused as grp table refuses it.
  void checkRoot() const {
    struct stat st;
    std::string reason;
    if (::stat(root_.c_str(), &st) != 0)
      reason = std::strerror(errno);
    else if (!S_ISDIR(st.st_mode))
      reason = std::strerror(ENOTDIR);
    else if (root_.size() >= kRootMax)
      reason = "the path is longer than the engine's " + std::to_string(kRootMax - 1) + " bytes";
    if (!reason.empty())
      throw EngineError{"cannot read game directory '" + root_ + "': " + reason};
  }
  // The engine's paths stay within 255 bytes: a longer root leaves no room for a name.
  static constexpr size_t kRootMax = 255;

  std::string root_;
  long generation_ = 0;
};

// ---- fork ---------------------------------------------------------------------------------
// The manager's lock is taken around a fork (see common.cpp); the engine's table, whose read
// worker does not come along, is refused in the child.
void beforeFork() { g_managerLock.lock(); }
void afterForkInParent() { g_managerLock.unlock(); }
void afterForkInChild() {
  g_managerLock.unlock();
  if (g_runningGeneration || g_managerActive) {
    g_forkedGeneration = g_runningGeneration ? g_runningGeneration : g_generation;
    g_runningGeneration = 0;
    g_managerActive = false;
    for (Handle* h : g_handles) h->forget();
    g_handles.clear();
  }
}

}  // namespace

void registerManager(py::module_& m) {
  py::class_<Handle>(m, "_Handle")
      .def("readinto", &Handle::readInto)
      .def("seek", &Handle::seek)
      .def("tell", &Handle::tell)
      .def("size", &Handle::size)
      .def_property_readonly("closed", &Handle::closed)
      .def("close", &Handle::close);

  py::class_<Manager>(m, "_Manager")
      .def(py::init<std::string>())
      .def("start", &Manager::start)
      .def("stop", &Manager::stop)
      .def_property_readonly("running", &Manager::running)
      .def("open", &Manager::open, py::return_value_policy::take_ownership)
      .def("exists", &Manager::exists)
      .def("glob", &Manager::glob)
      .def("table", &Manager::table);
  pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}

}  // namespace tarnpak_core
