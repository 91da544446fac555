// Fuzzes the file manager's state: the input is a sequence of operations (handles, seeks,
// reads, writes, passwords, queued reads, the cache, searches, inserts, deletes, creates,
// files changed on disk, restarts) on a small game directory, each result checked against a
// plain model kept here; every stop must leave no engine block and no extra descriptor.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/gf/base/group_format.h"
#include "engine/kestin/memory_report.h"
#include "fuzz_support.h"
#include "tarnpak/gf.h"
#include "tarnpak/stdinputoutput.h"

namespace {

constexpr std::size_t kMaxInput = 512;
constexpr int kMaxHandles = 8;

// ---- the game directory ---------------------------------------------------------------
// Stored name -> host spelling of the directories a file may be created in.
const std::map<std::string, std::string> kDirs = {
    {"", ""}, {"DATA", "Data/"}, {"DATA\\SUB", "Data/Sub/"}, {"DATA\\SUB\\DEEP", "Data/Sub/deep/"}};

struct Stored {
  const char* name;
  std::string bytes;
  unsigned short date;
};
constexpr unsigned short k2003 = (23 << 9) | (1 << 5) | 1, k2004 = (24 << 9) | (1 << 5) | 1;
constexpr time_t k1995 = 788918400, k2010 = 1262304000;

std::string pattern(int size, int seed) {
  std::string s(size, '\0');
  for (int i = 0; i < size; i++) s[i] = (char)(seed * 37 + i * 11 + i / 7);
  return s;
}

// Both groups hold SHARED.DAT (the later, in TWO.GRP, wins); ONE.GRP's DATA\FOO.TXT is
// older than the loose file, its DATA\OLD.TXT newer than the loose one.
const std::vector<Stored>& groupOne() {
  static const std::vector<Stored> g = {{"DATA\\FOO.TXT", pattern(50, 1), k2003},
                                        {"DATA\\OLD.TXT", pattern(70, 2), k2003},
                                        {"SHARED.DAT", pattern(90, 3), k2003},
                                        {"G1\\ONLY1.DAT", pattern(130, 4), k2003}};
  return g;
}
const std::vector<Stored>& groupTwo() {
  static const std::vector<Stored> g = {{"SHARED.DAT", pattern(110, 5), k2004},
                                        {"G2\\ONLY2.DAT", pattern(20, 6), k2004},
                                        {"DATA\\SUB\\G.DAT", pattern(300, 7), k2004}};
  return g;
}

std::string groupImage(const std::vector<Stored>& files) {
  int dirSize = 0;
  for (auto& f : files) dirSize += (int)std::strlen(f.name) + GF_ENTRY_FIXED_SIZE;
  std::string image(GF_HEADER_SIZE + dirSize, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(&image[0]);
  t_gfHeader header{GF_MAGIC, 1, (int)files.size(), dirSize};
  gfPutHeader(bytes, &header);
  unsigned char* p = bytes + GF_HEADER_SIZE;
  int offset = GF_HEADER_SIZE + dirSize;
  for (auto& f : files) {
    p = gfPutEntry(p, f.name, offset, (int)f.bytes.size(), f.date, 0x6000);
    offset += (int)f.bytes.size();
  }
  for (auto& f : files) image += f.bytes;
  gfScramble(reinterpret_cast<unsigned char*>(&image[GF_HEADER_SIZE]), dirSize,
             (long long)image.size());
  return image;
}

// A file on disk as the model knows it: its host path (relative to the root), bytes, and
// whether it is newer than every stored copy (written while fuzzing) or has a fixed date.
struct DiskFile {
  std::string host;
  std::string bytes;
  time_t mtime;
};

struct Record {
  std::string ino;  // the disk file (stored name) whose bytes the record reads
  long base = 0, size = 0;
  bool inGroup = false, groupHandle = false;
  long gen = 0;  // changes whenever the record gives up the handles opened on it
  std::optional<std::string> cached;
};

struct Handle {
  GFILE* f = nullptr;
  std::string record, ino;
  long base = 0, size = 0, pos = 0, gen = 0;
  bool groupHandle = false;
  std::optional<std::string> key;
};

struct Model {
  std::map<std::string, DiskFile> disk;  // by stored name
  std::map<std::string, Record> table;   // by stored name
  std::vector<Handle> handles;
  long nextGen = 1;
  bool staleNodes = false;  // a cached copy was dropped by index since the list was emptied
};

const std::string& root() {
  static const std::string r = fuzzScratch() + "/game/";
  return r;
}

void writeHost(const DiskFile& file) {
  std::string path = root() + file.host;
  FILE* out = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(out);
  FUZZ_CHECK(std::fwrite(file.bytes.data(), 1, file.bytes.size(), out) == file.bytes.size());
  std::fclose(out);
  utimbuf times{file.mtime, file.mtime};
  FUZZ_CHECK(utime(path.c_str(), &times) == 0);
}

std::map<std::string, DiskFile> originalDisk() {
  std::map<std::string, DiskFile> d;
  d["DATA\\FOO.TXT"] = {"Data/Foo.txt", pattern(60, 10), k2010};
  d["DATA\\OLD.TXT"] = {"Data/Old.txt", pattern(30, 11), k1995};
  d["DATA\\SUB\\Q.BIN"] = {"Data/Sub/q.bin", pattern(200, 12), k2010};
  d["DATA\\SUB\\DEEP\\Z.Z"] = {"Data/Sub/deep/z.z", pattern(9, 13), k2010};
  d["README.WAV"] = {"ReadMe.wav", pattern(64, 14), k2010};
  d["TOP.TXT"] = {"Top.txt", "top\r\nline two\n", k2010};
  d["ONE.GRP"] = {"one.grp", groupImage(groupOne()), k2010};
  d["TWO.GRP"] = {"Two.GRP", groupImage(groupTwo()), k2010};
  return d;
}

void makeTree(Model& m) {
  fuzzEmptyDirectory(root());
  for (auto& [dir, host] : kDirs)
    if (!host.empty()) mkdir((root() + host).c_str(), 0755);
  m.disk = originalDisk();
  for (auto& [name, file] : m.disk) writeHost(file);
}

// The table a start builds: the stored copies, then loose files that are newer.
void scan(Model& m) {
  m.table.clear();
  for (auto* group : {&groupOne(), &groupTwo()}) {
    std::string ino = group == &groupOne() ? "ONE.GRP" : "TWO.GRP";
    long offset = GF_HEADER_SIZE;
    for (auto& f : *group) offset += (long)std::strlen(f.name) + GF_ENTRY_FIXED_SIZE;
    for (auto& f : *group) {
      auto it = m.table.find(f.name);
      bool later = it == m.table.end() || f.date > k2003;
      if (later) {
        Record& r = m.table[f.name];
        r = Record{};
        r.ino = ino;
        r.base = offset;
        r.size = (long)f.bytes.size();
        r.inGroup = r.groupHandle = true;
      }
      offset += (long)f.bytes.size();
    }
  }
  for (auto& [name, file] : m.disk) {
    auto it = m.table.find(name);
    if (it != m.table.end() && file.mtime < k2010) continue;  // older than the stored copy
    Record r;
    r.ino = name;
    r.size = (long)file.bytes.size();
    m.table[name] = r;
  }
  for (auto& [name, r] : m.table) r.gen = m.nextGen++;
}

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return 0;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

// ---- checks -----------------------------------------------------------------------------
void checkTable(const Model& m) {
  if (std::getenv("FUZZ_MANAGER_TRACE")) {
    for (long i = 0; i < gfTableCount(); i++) std::fprintf(stderr, "engine %s\n", gfTableRecord(i)->name);
    for (auto& [n, r] : m.table) std::fprintf(stderr, "model %s\n", n.c_str());
  }
  FUZZ_CHECK(gfTableCount() == (long)m.table.size());
  for (long i = 0; i < gfTableCount(); i++) {
    const t_gfFileInfo* r = gfTableRecord(i);
    auto it = m.table.find(r->name);
    FUZZ_CHECK(it != m.table.end());
    FUZZ_CHECK(gfFetch(r->name) == i);
    FUZZ_CHECK(r->size == it->second.size);
    FUZZ_CHECK((r->cacheData != nullptr) == it->second.cached.has_value());
  }
  for (auto& h : m.handles) {
    FUZZ_CHECK(gfTell(h.f) == h.pos);
    FUZZ_CHECK(gfSize(h.f) == h.size);
  }
}

bool owns(const Model& m, const Handle& h) {
  auto it = m.table.find(h.record);
  return it != m.table.end() && it->second.gen == h.gen;
}

// The bytes the OS gives for count bytes at offset of a disk file: fewer at its end.
std::string bytesAt(const Model& m, const std::string& ino, long offset, long count) {
  const std::string& b = m.disk.at(ino).bytes;
  if (offset >= (long)b.size() || count <= 0) return "";
  return b.substr(offset, count);
}

std::string normal(std::string name) {
  for (auto& c : name) c = c == '/' ? '\\' : (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
  return name;
}

std::string parentOf(const std::string& name) {
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? "" : name.substr(0, slash);
}

std::string lastPart(const std::string& name) {
  size_t cut = name.find_last_of("\\/");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

void dropSizeChanged(Record& r, long size) {
  if (r.size != size) r.cached.reset();
  r.size = size;
}

// ---- operations -----------------------------------------------------------------------
const char* const kNames[] = {
    "data\\foo.txt", "DATA/FOO.TXT", "dATa\\sUb\\Q.BiN", "readme.WAV", "SHARED.dat",
    "data\\Old.txt", "g1\\only1.dat", "G2/Only2.dat", "data\\sub\\g.dat", "Top.txt",
    "data\\sub\\DEEP\\z.z", "one.grp", "new.txt", "Data\\New2.bin", "nodir\\x.txt",
    "data\\sub\\deep\\N3.bin"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];
const char* const kMasks[] = {"*.*", "*", "data\\*.*", "DATA\\SUB\\*", "*.txt", "?????.dat",
                              "g1\\*", "data/sub/*.bin", "*.grp", "", "data\\*\\*", "*\\*",
                              "D*", "data\\sub\\deep\\?.?", "NEW*", "s*.d?t"};
constexpr int kMaskCount = sizeof kMasks / sizeof kMasks[0];
const char* const kPasswords[] = {nullptr, "", "pw", "longpassword"};

struct Input {
  const std::uint8_t* p;
  const std::uint8_t* end;
  int byte() { return p < end ? *p++ : 0; }
  bool more() const { return p < end; }
};

void applyKey(const Handle& h, long pos, std::string& bytes) {
  if (!h.key) return;
  for (size_t i = 0; i < bytes.size(); i++) {
    int k = (int)((pos + (long)i) % 8);
    const std::string& pw = *h.key;  // its characters, then k + the filler byte
    unsigned char kb = k < (int)pw.size() ? (unsigned char)pw[k]
                                          : (unsigned char)(k + GF_PASSWORD_FILLER);
    bytes[i] = (char)(bytes[i] ^ kb);
  }
}

void opOpen(Model& m, const std::string& name) {
  if ((int)m.handles.size() >= kMaxHandles) return;
  GFILE* f = gfOpen(name.c_str());
  auto it = m.table.find(normal(name));
  bool openable = it != m.table.end() &&
                  (it->second.groupHandle || m.disk.count(it->second.ino));
  FUZZ_CHECK((f != nullptr) == openable);
  if (!f) return;
  const Record& r = it->second;
  m.handles.push_back({f, it->first, r.ino, r.base, r.size, 0, r.gen, r.groupHandle, {}});
}

void opRead(Model& m, Handle& h, int count) {
  std::vector<char> buf(count + 1, '\x55');
  long n = gfRead(h.f, buf.data(), count);
  long want = count <= 0 || h.pos >= h.size ? 0 : std::min<long>(count, h.size - h.pos);
  std::string expect = bytesAt(m, h.ino, h.base + h.pos, want);
  FUZZ_CHECK(n == (long)expect.size());
  applyKey(h, h.pos, expect);
  FUZZ_CHECK(std::string(buf.data(), n) == expect);
  h.pos += n;
}

void opWrite(Model& m, Handle& h, int count, int seed) {
  if (h.record.size() > 4 && h.record.compare(h.record.size() - 4, 4, ".GRP") == 0) return;
  std::string data = pattern(count, seed);
  long n = gfWrite(h.f, data.data(), count);
  auto it = m.table.find(h.record);
  bool own = owns(m, h);
  bool refused = h.groupHandle || (own && it->second.inGroup) || count <= 0;
  if (refused) {
    FUZZ_CHECK(n == 0);
    return;
  }
  FUZZ_CHECK(n == count);
  applyKey(h, h.pos, data);
  DiskFile& file = m.disk.at(h.ino);
  long at = h.base + h.pos;
  if ((long)file.bytes.size() < at + count) file.bytes.resize(at + count, '\0');
  file.bytes.replace(at, count, data);
  file.mtime = std::time(nullptr);
  h.pos += count;
  if (h.pos > h.size) {
    h.size = h.pos;
    if (own && it->second.size < h.size) dropSizeChanged(it->second, h.size);
  }
}

void opReadStart(Model& m, Handle& h, long pos, int count) {
  std::vector<char> buf(count + 1, '\x55');
  long id = gfReadStart(h.f, pos, buf.data(), count);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!gfReadCompleted(id)) {
    FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    std::this_thread::yield();
  }
  std::string expect = bytesAt(m, h.ino, h.base + pos, count);
  FUZZ_CHECK(std::string(buf.data(), expect.size()) == expect);
}

void opCache(Model& m, const std::string& name) {
  auto it = m.table.find(normal(name));
  if (it == m.table.end()) {
    FUZZ_CHECK(gfCacheFile(name.c_str()) == nullptr);
    return;
  }
  Record& r = it->second;
  bool openable = r.groupHandle || m.disk.count(r.ino);
  t_gfFileInfo* got = gfCacheFile(name.c_str());
  if (!openable && !r.cached) {
    FUZZ_CHECK(got == nullptr);
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!got && r.size > 0) {
    FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    std::this_thread::yield();
    got = gfCacheFile(name.c_str());
  }
  if (!got) return;  // an empty file may have no block to keep
  FUZZ_CHECK(got->size == r.size);
  std::string bytes(static_cast<const char*>(got->cacheData), r.size);
  if (r.cached) {
    FUZZ_CHECK(bytes == *r.cached);
  } else {
    std::string expect = bytesAt(m, r.ino, r.base, r.size);
    // Bytes beyond a file cut short on disk are not defined.
    FUZZ_CHECK(bytes.compare(0, expect.size(), expect) == 0);
  }
  r.cached = bytes;
}

void opUncacheLargest(Model& m) {
  long largest = 0;
  for (auto& [name, r] : m.table)
    if (r.cached && r.size > largest) largest = r.size;
  gfUncacheFile();
  int dropped = 0;
  for (auto& [name, r] : m.table) {
    if (!r.cached || gfTableRecord(gfFetch(name.c_str()))->cacheData) continue;
    FUZZ_CHECK(r.size == largest);
    r.cached.reset();
    dropped++;
  }
  // A copy dropped by index leaves its list node, which this call may choose (and then
  // release nothing); without such nodes the largest finished copy goes.
  FUZZ_CHECK(dropped <= 1);
  if (!m.staleNodes) FUZZ_CHECK(dropped == (largest > 0 ? 1 : 0));
}

void findAll(const char* mask) {
  t_findfirst f{};
  std::strncpy(f.mask, mask, sizeof f.mask - 1);
  std::string m = mask;  // the manager takes '/' as '\\' in a mask
  for (auto& c : m)
    if (c == '/') c = '\\';
  // The brute-force filter: every record the wildcard rule accepts, in table order.
  std::vector<std::pair<long, std::string>> want;
  size_t slash = m.rfind('\\');
  size_t skip = slash == std::string::npos ? 0 : slash + 1;
  for (long i = 0; i < gfTableCount(); i++) {
    const char* name = gfTableRecord(i)->name;
    if (!ZSMaskCompare(m.c_str(), name)) continue;
    want.push_back({i, skip <= std::strlen(name) ? name + skip : ""});
  }
  std::vector<std::pair<long, std::string>> got;
  for (int ok = gfFindFirst(&f); ok && got.size() <= want.size(); ok = gfFindNext(&f))
    got.push_back({f.index, f.name});
  FUZZ_CHECK(got == want);
  if (!want.empty()) FUZZ_CHECK(f.index == gfTableCount() + 1);
  FUZZ_CHECK(gfFindNext(&f) == 0);
}

void opInsert(Model& m, const std::string& given) {
  std::string name = normal(given);
  int i = gfInsertFile(given.c_str());
  auto disk = m.disk.find(name);
  long size = disk == m.disk.end() ? 0 : (long)disk->second.bytes.size();
  auto it = m.table.find(name);
  if (it == m.table.end()) {
    Record r;
    r.ino = name;
    r.size = size;
    r.gen = m.nextGen++;
    m.table[name] = r;
  } else {
    Record& r = it->second;
    r.ino = name;
    r.base = 0;
    r.groupHandle = false;
    r.gen = m.nextGen++;
    dropSizeChanged(r, size);
  }
  FUZZ_CHECK(i == gfFetch(name.c_str()));
}

void opDelete(Model& m, const std::string& given) {
  gfDeleteFile(given.c_str());
  m.table.erase(normal(given));
  FUZZ_CHECK(gfFetch(given.c_str()) == -1);
}

void opCreate(Model& m, const std::string& given) {
  std::string name = normal(given);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".GRP") == 0) return;
  if ((int)m.handles.size() >= kMaxHandles) return;
  GFILE* f = gfCreate(given.c_str());
  auto dir = kDirs.find(parentOf(name));
  FUZZ_CHECK((f != nullptr) == (dir != kDirs.end()));
  if (!f) return;
  auto disk = m.disk.find(name);
  if (disk == m.disk.end()) disk = m.disk.insert({name, {dir->second + lastPart(given), "", 0}}).first;
  disk->second.bytes.clear();
  disk->second.mtime = std::time(nullptr);
  Record& r = m.table[name];
  std::optional<std::string> cached = r.cached;
  r = Record{};
  r.ino = name;
  r.gen = m.nextGen++;
  r.cached = cached;
  if (cached && !cached->empty()) r.cached.reset();
  m.handles.push_back({f, name, name, 0, 0, 0, r.gen, false, {}});
}

void opDiskWrite(Model& m, const std::string& given, int count, int seed) {
  std::string name = normal(given);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".GRP") == 0) return;
  auto dir = kDirs.find(parentOf(name));
  if (dir == kDirs.end()) return;
  auto disk = m.disk.find(name);
  if (disk == m.disk.end()) disk = m.disk.insert({name, {dir->second + lastPart(given), "", 0}}).first;
  disk->second.bytes = pattern(count, seed);
  disk->second.mtime = std::time(nullptr);
  writeHost(disk->second);
}

void closeAll(Model& m) {
  for (auto& h : m.handles) gfClose(h.f);
  m.handles.clear();
}

void stopAndCheck(Model& m, int descriptorsBefore) {
  closeAll(m);
  gfStop();
  FUZZ_CHECK(memLiveBlocks("gf manager") == 0);
  FUZZ_CHECK(openDescriptors() <= descriptorsBefore);
}

bool dirty = true;
long long operations = 0;  // reported at exit: the runs' figure counts inputs, not operations
void reportOperations() { std::fprintf(stderr, "fuzz_manager: %lld operations\n", operations); }

void start(Model& m) {
  gfStart(root().c_str());
  m.staleNodes = false;
  scan(m);
  checkTable(m);
}

void runOne(Model& m, Input& in, int descriptorsBefore) {
  int op = in.byte() % 17;
  operations++;
  auto name = [&] { return std::string(kNames[in.byte() % kNameCount]); };
  auto handle = [&]() -> Handle* {
    int k = in.byte();
    return m.handles.empty() ? nullptr : &m.handles[k % m.handles.size()];
  };
  switch (op) {
    case 0: opOpen(m, name()); break;
    case 1:
      if (Handle* h = handle()) {
        gfClose(h->f);
        m.handles.erase(m.handles.begin() + (h - m.handles.data()));
      }
      break;
    case 2:
      if (Handle* h = handle()) {
        long offset = (long)(std::int8_t)in.byte() * 3;
        int origin = in.byte() % 3;
        long target = origin == 0 ? offset : origin == 1 ? h->pos + offset : h->size + offset;
        h->pos = target > h->size ? h->size : target < 0 ? 0 : target;
        FUZZ_CHECK(gfSeek(h->f, offset, origin) == h->pos);
      }
      break;
    case 3:
      if (Handle* h = handle()) opRead(m, *h, in.byte() * 2);
      break;
    case 4:
      if (Handle* h = handle()) {
        int count = in.byte(), seed = in.byte();
        opWrite(m, *h, count, seed);
      }
      break;
    case 5:
      if (Handle* h = handle()) {
        const char* pw = kPasswords[in.byte() % 4];
        gfSetPassword(h->f, pw);
        h->key = pw ? std::optional<std::string>(pw) : std::nullopt;
      }
      break;
    case 6:
      if (Handle* h = handle()) {
        long pos = in.byte();
        opReadStart(m, *h, pos, in.byte() + 1);
      }
      break;
    case 7: opCache(m, name()); break;
    case 8: {
      std::string n = normal(name());
      auto it = m.table.find(n);
      gfUncacheFile((int)gfFetch(n.c_str()));
      if (it != m.table.end() && it->second.cached) m.staleNodes = true;
      if (it != m.table.end()) it->second.cached.reset();
      break;
    }
    case 9: opUncacheLargest(m); break;
    case 10:
      gfUncacheAllFiles();
      for (auto& [n, r] : m.table) r.cached.reset();
      m.staleNodes = false;
      break;
    case 11: findAll(kMasks[in.byte() % kMaskCount]); break;
    case 12: opInsert(m, name()); break;
    case 13: opDelete(m, name()); break;
    case 14: opCreate(m, name()); break;
    case 15: {
      std::string n = name();
      int count = in.byte(), seed = in.byte();
      opDiskWrite(m, n, count, seed);
      dirty = true;
      break;
    }
    default:
      stopAndCheck(m, descriptorsBefore);
      start(m);
      break;
  }
  if (op == 4 || op == 14) dirty = true;
  checkTable(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Model model;
  static bool made = [] {
    mkdir(root().c_str(), 0755);
    std::atexit(reportOperations);
    return true;
  }();
  (void)made;
  if (size > kMaxInput) return 0;
  if (dirty) {
    makeTree(model);
    dirty = false;
  }
  int descriptorsBefore = openDescriptors();
  start(model);
  Input in{data, data + size};
  while (in.more()) runOne(model, in, descriptorsBefore);
  stopAndCheck(model, descriptorsBefore);
  return 0;
}
