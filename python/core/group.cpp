// One group file for Python: its directory read once and checked by the engine, an index of
// its names, its stored bytes and their SHA-256 sums read from the very file whose directory
// was read; and what its entries' dates and names mean.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "python/core/common.h"

namespace tarnpak_core {

namespace {

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

  // (name, SHA-256 in hex) of each entry a sums file lists, in directory order, named as the
  // sums file names it ('/' between levels): of several copies of a name (any case) the
  // last, which an unpack leaves.
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
    for (size_t i = 0; i < listed.size(); i++) {
      std::string name = listed[i]->name;  // '/' between levels, as grp sum writes them
      std::replace(name.begin(), name.end(), '\\', '/');
      out.append(py::make_tuple(nameToPython(name.c_str()), digests[i]));
    }
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

py::object unixTime(unsigned short date, unsigned short time) {
  long long seconds;
  if (!gfDosToUnixTime(date, time, &seconds)) return py::none();
  return py::int_(seconds);
}

py::object unsafeName(const py::handle& name) {
  const char* why = gfUnsafeName(nameFromPython(name).c_str());
  return why ? py::object(py::str(why)) : py::object(py::none());
}

// In a child just forked: no read of another thread goes on (see Group::forgetReaders).
void afterForkInChild() {
  for (Group* g : Group::all()) g->forgetReaders();
}

}  // namespace

void registerGroup(py::module_& m) {
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
  m.def("unix_time", &unixTime);
  m.def("unsafe_name", &unsafeName);
  pthread_atfork(nullptr, nullptr, afterForkInChild);
}

}  // namespace tarnpak_core
