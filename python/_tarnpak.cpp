// The C++ core of the Python module: group directories and stored bytes, the builder, the
// unpacker and group edits, and the process-wide manager with its file handles, over the
// engine's public API.
// The Python package (tarnpak/__init__.py) builds the documented classes on top of this.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tarnpak/gf.h"

namespace py = pybind11;

namespace {

// ---- errors and the engine's messages -----------------------------------------------------

// Raised with the engine's own message; tarnpak.Error in Python, a subclass of OSError.
struct EngineError {
  std::string message;
};

PyObject* g_errorType = nullptr;
// Makes the tarnpak.Error (or its OSError subclass) for a message: set by the package, which
// knows the errno behind the engine's reasons.
py::object* g_errorFactory = nullptr;

void raiseEngineError(const std::string& message) {
  if (g_errorFactory && *g_errorFactory) {
    py::object error = (*g_errorFactory)(message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  } else {
    PyErr_SetString(g_errorType, message.c_str());
  }
}

// A path for the engine, which takes it up to its first NUL: one holding NUL is refused, as
// Python's own file functions refuse it, instead of naming another file.
const std::string& cPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return path;
}

// The report callbacks carry no context, so one job at a time collects into these. The
// builder may report from its pool threads, hence the lock around the lists themselves.
// The job lock is timed so that a job waiting for another's end still hears Ctrl-C.
std::timed_mutex g_jobLock;
std::mutex g_messageLock;
std::vector<std::string> g_reports;
std::vector<std::string> g_warnings;

void collectReport(const char* message) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  g_reports.emplace_back(message);
}

void collectWarning(const char* message) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  g_warnings.emplace_back(message);
}

std::string joinedReports(const char* fallback) {
  std::string text;
  for (const std::string& r : g_reports) text += (text.empty() ? "" : "\n") + r;
  return text.empty() ? fallback : text;
}

// Stored names are bytes; Python sees them as file names are seen: UTF-8, any other byte
// kept as a lone surrogate (os.fsdecode), so that every name converts back unchanged.
py::str nameToPython(const char* name) {
  PyObject* s = PyUnicode_DecodeUTF8(name, (Py_ssize_t)std::strlen(name), "surrogateescape");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

std::string nameFromPython(const py::handle& name) {
  if (PyBytes_Check(name.ptr()))
    return cPath(std::string(py::bytes(py::reinterpret_borrow<py::bytes>(name))));
  PyObject* b = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
  if (!b) throw py::error_already_set();
  return cPath(std::string(py::reinterpret_steal<py::bytes>(b)));
}

// ---- interrupts during a job --------------------------------------------------------------
// A job runs without the GIL, so Python's own handler of Ctrl-C only notes the signal. The
// engine asks checkInterrupt between pieces of the job; at most every 20 ms it takes the GIL
// and lets Python run its signal handlers. An exception they raise (KeyboardInterrupt) stops
// the job, which ends as an interrupted tool run ends, and is raised when the job returns.
struct Interrupt {
  std::chrono::steady_clock::time_point next{};
  PyObject* type = nullptr;  // the exception a handler raised, owned; null: none
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// With the GIL: runs Python's signal handlers; true when one raised, its exception then kept
// in state.
bool handlerRaised(Interrupt* state) {
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Fetch(&state->type, &state->value, &state->traceback);
  return state->type != nullptr;
}

int checkInterrupt(void* context) {
  auto* state = static_cast<Interrupt*>(context);
  if (state->type) return 1;
  auto now = std::chrono::steady_clock::now();
  if (now < state->next) return 0;
  state->next = now + std::chrono::milliseconds(20);
  py::gil_scoped_acquire held;
  return handlerRaised(state) ? 1 : 0;
}

// Without the GIL: takes the job lock, which another thread's job may hold for seconds,
// waiting in short slices between which the signal handlers run. False when one raised an
// exception (kept in state): the lock is not taken then.
bool awaitJobLock(Interrupt* state) {
  while (!g_jobLock.try_lock_for(std::chrono::milliseconds(50))) {
    py::gil_scoped_acquire held;
    if (handlerRaised(state)) return false;
  }
  return true;
}

[[noreturn]] void raiseKept(Interrupt* state) {
  PyErr_Restore(state->type, state->value, state->traceback);
  state->type = state->value = state->traceback = nullptr;
  throw py::error_already_set();
}

// ---- interrupts after a job's end ---------------------------------------------------------
// A KeyboardInterrupt out of a call must mean that the job was stopped (an older group kept
// whole); a signal that comes once the job has done its work (the new group in place) must
// not be raised inside the call. Python raises a pending signal at its next check, which
// the package's own code after the job would be. So the package's entry points run through
// a Deferring object (a callable of this core, no Python frame of its own): once a job of
// the call has ended, the signal handlers are run at once and what they raise is held back,
// as is an interrupt the package's code after the job meets; when the entry point returns,
// the held exception is handed to Python as a pending call, which raises it in the caller.
// Signal handlers run in the main thread only, so only its calls ever hold one back.
struct Deferral {
  int depth = 0;         // entry points running on this thread, nested
  bool jobEnded = false;  // a job of the outermost one ran to its end
  PyObject* type = nullptr;  // the exception held back, owned; null: none
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local Deferral tDeferral;
unsigned long g_mainThread = 0;  // Python's main thread, where signal handlers run

// With the GIL: keeps the exception being raised (the error indicator) to be raised after
// the call, with a note saying what it came after.
void holdBack() {
  Deferral& d = tDeferral;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (d.type) {  // one is held already: a second Ctrl-C says nothing more
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  // Raised afresh in the caller: the frames it passed inside the package are not where it
  // ends the caller's code.
  Py_CLEAR(traceback);
  if (value) PyException_SetTraceback(value, Py_None);
  if (value && PyObject_HasAttrString(value, "add_note")) {
    PyObject* noted = PyObject_CallMethod(
        value, "add_note", "s",
        "tarnpak: this interrupt came once the call's job had ended, and did not stop it");
    if (noted)
      Py_DECREF(noted);
    else
      PyErr_Clear();
  }
  d.type = type;
  d.value = value;
  d.traceback = traceback;
}

int raiseHeldBack(void*) {
  Deferral& d = tDeferral;
  if (!d.type) return 0;
  PyErr_Restore(d.type, d.value, d.traceback);
  d.type = d.value = d.traceback = nullptr;
  return -1;
}

// With the GIL, after a job ran to its end (its own failure included): inside an entry point,
// a signal that came meanwhile is handled now and what it raised held back.
void jobEnded() {
  Deferral& d = tDeferral;
  if (d.depth == 0) return;  // called on its own: the signal stays pending, as ever
  d.jobEnded = true;
  if (PyErr_CheckSignals() != 0) holdBack();
}

// Runs job (which returns a status) without the GIL under the job lock, interruptible; raises
// what a signal handler raised while it waited for the lock or while the job ran (which then
// stopped it). A job that finished its work although a handler raised meanwhile keeps it
// held back, as a signal after its end.
template <class Job>
int runJob(Job job) {
  Interrupt state;
  int status = 0;
  bool ran = false;
  {
    py::gil_scoped_release unlocked;
    if (awaitJobLock(&state)) {
      std::lock_guard<std::timed_mutex> hold(g_jobLock, std::adopt_lock);
      gfSetCancelCheck(checkInterrupt, &state);
      status = job();
      gfSetCancelCheck(nullptr, nullptr);
      ran = true;
    }
  }
  if (state.type && (!ran || status != 0 || tDeferral.depth == 0)) raiseKept(&state);
  if (state.type) {
    PyErr_Restore(state.type, state.value, state.traceback);
    holdBack();
  }
  jobEnded();
  return status;
}

// The package's entry points: func called through this, so that an interrupt after a job's
// end is raised in the caller, after the call (see Deferral).
class Deferring {
 public:
  explicit Deferring(py::object func) : func_(std::move(func)) {}

  py::object call(const py::args& args, const py::kwargs& kwargs) {
    Deferral& d = tDeferral;
    bool outermost = d.depth == 0;
    if (outermost) d.jobEnded = false;
    d.depth++;
    py::object result = py::none();
    PyObject* out = PyObject_Call(func_.ptr(), args.ptr(), kwargs.ptr());
    d.depth--;
    if (out)
      result = py::reinterpret_steal<py::object>(out);
    else if (d.jobEnded && PyThread_get_thread_ident() == g_mainThread &&
             PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
      holdBack();  // met by the package's code after the job: the caller never sees a result
    if (outermost) {
      if (d.type && Py_AddPendingCall(raiseHeldBack, nullptr) != 0) {
        PyErr_Clear();  // Python's queue is full: raised here rather than lost
        raiseHeldBack(nullptr);
      }
      d.jobEnded = false;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return result;
  }

  // As a class attribute: a method, bound to the instance it is reached through.
  py::object get(const py::object& instance, const py::object&) {
    if (instance.is_none()) return py::cast(Deferring(func_));
    PyObject* bound = PyMethod_New(func_.ptr(), instance.ptr());
    if (!bound) throw py::error_already_set();
    return py::cast(Deferring(py::reinterpret_steal<py::object>(bound)));
  }

  const py::object& func() const { return func_; }

 private:
  py::object func_;
};

// ---- one group file -----------------------------------------------------------------------

// A group's directory, read once and checked by the engine; names are found through an
// index kept here, so a read costs no second pass over the directory. The group file stays
// open: the stored bytes are read from the very file whose directory was read, even after
// the tool replaced the group under its name, and a read is one positioned read.
class Group {
 public:
  explicit Group(std::string path) : path_(std::move(cPath(path))) {
    Interrupt state;
    bool read = false;
    {
      py::gil_scoped_release unlocked;
      if (awaitJobLock(&state)) {
        std::lock_guard<std::timed_mutex> hold(g_jobLock, std::adopt_lock);
        read = openAndRead();
      }
    }
    if (state.type) raiseKept(&state);
    if (!read) throw EngineError{error_};
    index();
    all().insert(this);
  }

  ~Group() {
    all().erase(this);
    close();
  }

  // Every Group, guarded by the GIL (made and dropped with it held).
  static std::unordered_set<Group*>& all() {
    static auto* groups = new std::unordered_set<Group*>();  // kept past the interpreter's end
    return *groups;
  }

  // In a child just forked: a read another thread of the parent was doing holds the file
  // lock for good, which would keep close() waiting; no such read exists in the child.
  void forgetReaders() { new (&fileLock_) std::shared_mutex; }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  void close() {
    std::unique_lock<std::shared_mutex> hold(fileLock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  const std::string& path() const { return path_; }
  long long fileLength() const { return summary_.fileLength; }
  long dirSize() const { return summary_.dirSize; }
  size_t count() const { return entries_.size(); }

  // (name, size, date, time, offset) of every entry in directory order.
  py::list entries() const {
    py::list out;
    for (const t_gfGroupEntry& e : entries_)
      out.append(py::make_tuple(nameToPython(e.name), e.size, e.date, e.time, e.offset));
    return out;
  }

  // The entry a lookup of name finds (any case, '/' or '\\'), or -1.
  long find(const py::handle& name) const {
    std::string raw = nameFromPython(name);
    char key[256];
    if (raw.size() > 255 || raw.find('\0') != std::string::npos) return -1;
    if (!gfStoredForm(raw.c_str(), key)) return -1;
    auto hit = byName_.find(key);
    if (hit != byName_.end()) return hit->second;
    // A stored name may itself hold '/', which the stored form turned into '\\'.
    if (raw.find('/') != std::string::npos) {
      for (char& c : raw)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
      hit = byName_.find(raw);
      if (hit != byName_.end()) return hit->second;
    }
    return -1;
  }

  py::bytes read(long i) const {
    const t_gfGroupEntry& e = entry(i);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, e.size);
    if (!out) throw py::error_already_set();
    py::bytes bytes = py::reinterpret_steal<py::bytes>(out);
    copy(e, PyBytes_AS_STRING(out));
    return bytes;
  }

  // Up to the buffer's length of entry i's bytes from position pos into buffer; the count.
  long readInto(long i, long pos, py::buffer buffer) const {
    py::buffer_info info = buffer.request(true);
    t_gfGroupEntry window = entry(i);
    if (pos < 0 || pos >= window.size) return 0;
    long long want = info.size * info.itemsize;
    long n = (long)std::min<long long>(want, window.size - pos);
    window.offset += pos;
    window.size = n;
    copy(window, static_cast<char*>(info.ptr));
    return n;
  }

  // The SHA-256 of entry i's bytes, in hex.
  std::string sha256(long i) const {
    const t_gfGroupEntry& e = entry(i);
    std::vector<std::string> out;
    hashEntries({&e}, &out);
    return out[0];
  }

  // (name, SHA-256 in hex) of each entry a sums file lists, in directory order: of several
  // copies of a name (any case) the last, which an unpack leaves.
  py::list sums() const {
    auto key = [](const char* name) {  // names compared as the unpacker matches them
      std::string k = name;
      for (char& c : k)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
      return k;
    };
    std::unordered_map<std::string, size_t> last;
    for (size_t i = 0; i < entries_.size(); i++) last[key(entries_[i].name)] = i;
    std::vector<const t_gfGroupEntry*> listed;
    for (size_t i = 0; i < entries_.size(); i++)
      if (last[key(entries_[i].name)] == i) listed.push_back(&entries_[i]);
    std::vector<std::string> digests;
    hashEntries(listed, &digests);
    py::list out;
    for (size_t i = 0; i < listed.size(); i++)
      out.append(py::make_tuple(nameToPython(listed[i]->name), digests[i]));
    return out;
  }

  // The engine's order of two entries (negative: a sorts first).
  int compare(long a, long b) const {
    t_gfFileInfo x{}, y{};
    x.name = const_cast<char*>(entry(a).name);
    x.date = entry(a).date;
    x.time = entry(a).time;
    y.name = const_cast<char*>(entry(b).name);
    y.date = entry(b).date;
    y.time = entry(b).time;
    return gfCompareFileInfo(&x, &y);
  }

 private:
  static int keepEntry(const t_gfGroupEntry* e, void* context) {
    static_cast<Group*>(context)->entries_.push_back(*e);
    return 1;
  }

  // Of several copies of a name the manager keeps the later date, the first among equals.
  void index() {
    byName_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); i++) {
      auto at = byName_.emplace(entries_[i].name, (long)i);
      if (!at.second && compare(at.first->second, (long)i) > 0) at.first->second = (long)i;
    }
  }

  const t_gfGroupEntry& entry(long i) const {
    if (i < 0 || (size_t)i >= entries_.size()) throw py::index_error("no such entry");
    return entries_[(size_t)i];
  }

  static bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  }

  // Opens the group, then reads its directory by name with the engine's reader; should the
  // name have been given to another file in between (a pack replacing the group), again.
  // The job lock is held.
  bool openAndRead() {
    for (int attempt = 0; attempt < 3; attempt++) {
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      g_reports.clear();
      entries_.clear();
      if (gfReadGroupDirectory(path_.c_str(), &summary_, keepEntry, this, collectReport)) {
        error_ = joinedReports("cannot read the group file");
        close();
        return false;
      }
      struct stat held, named;
      if (fd_ >= 0 && fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 &&
          sameFile(held, named) && (long long)held.st_size == summary_.fileLength)
        return true;
      close();
    }
    error_ = "cannot read group file '" + path_ + "': it keeps being replaced";
    return false;
  }

  // Hashes the bytes of each entry with the engine's (the host's) SHA-256, reading a piece
  // at a time from the held group file, without the GIL.
  void hashEntries(const std::vector<const t_gfGroupEntry*>& list,
                   std::vector<std::string>* out) const {
    constexpr long kPiece = 1 << 20;
    std::string failure;
    {
      py::gil_scoped_release unlocked;
      std::shared_lock<std::shared_mutex> hold(fileLock_);
      t_gfSha256* hasher = fd_ < 0 ? nullptr : gfSha256Open();
      std::vector<char> piece(kPiece);
      if (fd_ < 0) failure = "closed";
      else if (!hasher) failure = "the host offers no SHA-256";
      for (size_t k = 0; k < list.size() && failure.empty(); k++) {
        const t_gfGroupEntry& e = *list[k];
        for (long done = 0; failure.empty() && done < e.size;) {
          long want = std::min<long>(kPiece, e.size - done);
          ssize_t got = pread(fd_, piece.data(), (size_t)want, (off_t)(e.offset + done));
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0)
            failure = "cannot read '" + std::string(e.name) + "' from group file '" + path_ +
                      "': " + (got < 0 ? std::strerror(errno) : "the file ended early");
          else if (gfSha256Add(hasher, piece.data(), (long)got) != 0)
            failure = "cannot hash '" + std::string(e.name) + "'";
          else
            done += (long)got;
        }
        unsigned char digest[GF_SHA256_SIZE];
        if (failure.empty() && gfSha256Finish(hasher, digest) != 0)
          failure = "cannot hash '" + std::string(e.name) + "'";
        if (failure.empty()) out->push_back(hex(digest));
      }
      gfSha256Close(hasher);
    }
    if (failure == "closed") throw py::value_error("I/O operation on a closed group");
    if (!failure.empty()) throw EngineError{failure};
  }

  static std::string hex(const unsigned char* digest) {
    char text[2 * GF_SHA256_SIZE + 1];
    gfSha256Hex(digest, text);
    return text;
  }

  // Reads the window e of the group into out (e.size bytes) without the GIL.
  void copy(const t_gfGroupEntry& e, char* out) const {
    long long done = 0;
    int error = 0;
    {
      py::gil_scoped_release unlocked;
      std::shared_lock<std::shared_mutex> hold(fileLock_);
      if (fd_ < 0) error = EBADF;
      while (!error && done < e.size) {
        ssize_t got = pread(fd_, out + done, (size_t)(e.size - done), (off_t)(e.offset + done));
        if (got > 0)
          done += got;
        else if (got < 0 && errno != EINTR)
          error = errno;
        else if (got == 0)
          error = -1;
      }
    }
    if (error == EBADF && fd_ < 0) throw py::value_error("I/O operation on a closed group");
    if (error)
      throw EngineError{"cannot read '" + std::string(e.name) + "' from group file '" + path_ +
                        "': " + (error > 0 ? std::strerror(error) : "the file ended early")};
  }

  std::string path_;
  std::string error_;
  int fd_ = -1;
  mutable std::shared_mutex fileLock_;
  t_gfGroupSummary summary_{};
  std::vector<t_gfGroupEntry> entries_;
  std::unordered_map<std::string, long> byName_;
};

// ---- the builder and the unpacker ---------------------------------------------------------

// (status, errors, warnings) of a pack of root's build list into output.
py::tuple pack(const std::string& root, const std::string& output, const py::object& sums) {
  cPath(root);
  cPath(output);
  std::string sumsPath = sums.is_none() ? std::string() : sums.cast<std::string>();
  if (!sums.is_none()) cPath(sumsPath);
  std::vector<std::string> reports, warnings;
  int status = runJob([&] {
    g_reports.clear();
    g_warnings.clear();
    t_gfPackOptions options{};
    options.size = sizeof options;
    options.root = root.c_str();
    options.name = output.c_str();
    options.flag = 1;
    options.sums = sums.is_none() ? nullptr : sumsPath.c_str();
    options.report = collectReport;
    options.warn = collectWarning;
    int result = gfPackJob(&options);
    reports.swap(g_reports);
    warnings.swap(g_warnings);
    return result;
  });
  return py::make_tuple(status, reports, warnings);
}

// One name a patch tells of, kept past the job (the engine's texts go with it).
struct PatchName {
  std::string name;
  t_gfPatchEntry entry;
};

void collectPatchName(const t_gfPatchEntry* entry, void* context) {
  static_cast<std::vector<PatchName>*>(context)->push_back({entry->name, *entry});
}

// (status, errors, warnings, names) of a patch from the group oldPath to newPath written as
// output; names: (name, change, size, date, time, redated, newDate, newTime) in name order.
py::tuple patch(const std::string& oldPath, const std::string& newPath, const std::string& output,
                const py::object& sums) {
  cPath(oldPath);
  cPath(newPath);
  cPath(output);
  std::string sumsPath = sums.is_none() ? std::string() : sums.cast<std::string>();
  cPath(sumsPath);
  std::vector<std::string> reports, warnings;
  std::vector<PatchName> told;
  int status = runJob([&] {
    g_reports.clear();
    g_warnings.clear();
    t_gfPatchOptions options{};
    options.size = sizeof options;
    options.oldPath = oldPath.c_str();
    options.newPath = newPath.c_str();
    options.path = output.c_str();
    options.sums = sums.is_none() ? nullptr : sumsPath.c_str();
    options.told = collectPatchName;
    options.context = &told;
    options.report = collectReport;
    options.warn = collectWarning;
    int result = gfPatchJob(&options);
    reports.swap(g_reports);
    warnings.swap(g_warnings);
    return result;
  });
  py::list names;
  for (const PatchName& n : told)
    names.append(py::make_tuple(nameToPython(n.name.c_str()), n.entry.change, n.entry.size,
                                n.entry.date, n.entry.time, n.entry.redated != 0,
                                n.entry.newDate, n.entry.newTime));
  return py::make_tuple(status, reports, warnings, names);
}

// (status, errors, warnings) of an edit of the group at path: adds (paths below root) and
// removes (stored names); a missing group is made when create is set.
py::tuple edit(const std::string& path, const std::string& root, const py::list& adds,
               const py::list& removes, bool create) {
  cPath(path);
  cPath(root);
  std::vector<std::string> addNames, removeNames;
  for (const py::handle& a : adds) addNames.push_back(nameFromPython(a));
  for (const py::handle& r : removes) removeNames.push_back(nameFromPython(r));
  std::vector<const char*> addPointers, removePointers;
  for (const std::string& a : addNames) addPointers.push_back(a.c_str());
  for (const std::string& r : removeNames) removePointers.push_back(r.c_str());
  std::vector<std::string> reports, warnings;
  int status = runJob([&] {
    g_reports.clear();
    g_warnings.clear();
    t_gfEditOptions options{};
    options.size = sizeof options;
    options.path = path.c_str();
    options.flags = create ? GF_EDIT_NEW_GROUP : 0;
    options.root = root.c_str();
    options.adds = addPointers.data();
    options.addCount = (int)addPointers.size();
    options.removes = removePointers.data();
    options.removeCount = (int)removePointers.size();
    options.report = collectReport;
    options.warn = collectWarning;
    int result = gfEditJob(&options);
    reports.swap(g_reports);
    warnings.swap(g_warnings);
    return result;
  });
  return py::make_tuple(status, reports, warnings);
}

struct Selection {
  std::unordered_set<std::string> keys;  // stored forms
};

int selectStored(const char* name, void* context) {
  auto* s = static_cast<Selection*>(context);
  char key[256];
  return gfStoredForm(name, key) && s->keys.count(key);
}

// (status, errors) of unpacking the group at path below the directory target; names (None:
// all) chooses entries by their stored form.
py::tuple unpack(const std::string& path, const std::string& target, const py::object& names) {
  cPath(path);
  cPath(target);
  Selection selection;
  bool all = names.is_none();
  if (!all) {
    for (const py::handle& n : names) {
      std::string raw = nameFromPython(n);
      char key[256];
      if (raw.size() <= 255 && gfStoredForm(raw.c_str(), key)) selection.keys.insert(key);
    }
  }
  std::vector<std::string> reports;
  int status = runJob([&] {
    g_reports.clear();
    t_gfUnpackOptions options{};
    options.size = sizeof options;
    options.path = path.c_str();
    options.target = target.c_str();
    options.select = all ? nullptr : selectStored;
    options.context = &selection;
    options.report = collectReport;
    int result = gfUnpackJob(&options);
    reports.swap(g_reports);
    return result;
  });
  return py::make_tuple(status, reports);
}

// ---- the process-wide manager -------------------------------------------------------------

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
// A child has only the thread that forked. A lock another thread held at that moment would
// stay held in the child for good, and what it guards might be half changed: the locks held
// only briefly are taken around the fork, so the child gets them free and their state
// whole; the job lock, held for a whole job, is made anew in the child, where no job runs.
// The engine's table, whose read worker does not come along, is refused in the child.
void beforeFork() {
  g_managerLock.lock();
  g_messageLock.lock();
}

void afterForkInParent() {
  g_messageLock.unlock();
  g_managerLock.unlock();
}

void afterForkInChild() {
  g_messageLock.unlock();
  g_managerLock.unlock();
  new (&g_jobLock) std::timed_mutex;
  g_mainThread = PyThread_get_thread_ident();  // Python's main thread now
  for (Group* g : Group::all()) g->forgetReaders();
  if (g_runningGeneration || g_managerActive) {
    g_forkedGeneration = g_runningGeneration ? g_runningGeneration : g_generation;
    g_runningGeneration = 0;
    g_managerActive = false;
    for (Handle* h : g_handles) h->forget();
    g_handles.clear();
  }
}

py::object unixTime(unsigned short date, unsigned short time) {
  long long seconds;
  if (!gfDosToUnixTime(date, time, &seconds)) return py::none();
  return py::int_(seconds);
}

py::object unsafeName(const py::handle& name) {
  const char* why = gfUnsafeName(nameFromPython(name).c_str());
  return why ? py::object(py::str(why)) : py::object(py::none());
}

}  // namespace

PYBIND11_MODULE(_tarnpak, m) {
  m.doc() = "The engine core of the tarnpak package; use the package, not this module.";
  m.attr("__version__") = TARNPAK_VERSION;

  static py::exception<EngineError> error(m, "Error", PyExc_OSError);
  g_errorType = error.ptr();
  error.attr("__module__") = "tarnpak";
  error.doc() = "A failure the engine reported; the message is the engine's own.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const EngineError& e) {
      raiseEngineError(e.message);
    }
  });
  // Kept for the life of the process: the interpreter may drop the module before the last
  // error is made.
  g_errorFactory = new py::object();
  m.def("_set_error_factory", [](py::object factory) { *g_errorFactory = std::move(factory); });

  py::class_<Group>(m, "_Group")
      .def(py::init<std::string>(), py::arg("path"))
      .def_property_readonly("path", &Group::path)
      .def_property_readonly("file_length", &Group::fileLength)
      .def_property_readonly("dir_size", &Group::dirSize)
      .def("__len__", &Group::count)
      .def("entries", &Group::entries)
      .def("find", &Group::find)
      .def("read", &Group::read)
      .def("read_into", &Group::readInto)
      .def("compare", &Group::compare)
      .def("sha256", &Group::sha256)
      .def("sums", &Group::sums)
      .def("close", &Group::close);

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

  py::class_<Deferring>(m, "_Deferring")
      .def(py::init<py::object>())
      .def("__call__", &Deferring::call)
      .def("__get__", &Deferring::get, py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__wrapped__", &Deferring::func)
      .def_property_readonly("__doc__", [](const Deferring& d) { return d.func().attr("__doc__"); })
      .def("__getattr__", [](const Deferring& d, const py::str& name) {  // __name__, ...
        return py::getattr(d.func(), name);
      })
      .def("__repr__", [](const Deferring& d) { return py::repr(d.func()); });

  g_mainThread = py::module_::import("threading").attr("main_thread")().attr("ident")
                     .cast<unsigned long>();
  pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);

  m.def("pack", &pack, py::arg("root"), py::arg("output"), py::arg("sums") = py::none());
  m.def("edit", &edit);
  m.def("patch", &patch, py::arg("old"), py::arg("new"), py::arg("output"),
        py::arg("sums") = py::none());
  m.def("unpack", &unpack);
  m.def("set_threads", [](int count) {
    if (count < 0) throw py::value_error("the thread count cannot be negative");
    gfSetThreads(count);
  });
  m.def("unix_time", &unixTime);
  m.def("unsafe_name", &unsafeName);
}
