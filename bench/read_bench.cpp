// Reading benchmark: the group file manager against PhysicsFS on generated trees (every file
// read whole, name lookups), and gfStart on a large tree against a bare stat walk of it.
// Contenders alternate within each round; medians are printed. bench/read_bench.sh makes
// the trees, the group files and the stored zips and runs this program on them.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tarnpak/gf.h"
#ifdef TARNPAK_HAVE_PHYSFS
#include <physfs.h>
#endif

extern char** environ;

namespace {

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "read_bench: %s\n", what.c_str());
  std::exit(1);
}

// CPU seconds of the process: the machine may be shared, and wall time then includes
// waiting for a core.
double cpuNow() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A buffer whose pages are touched once, so no contender pays page faults for it.
struct Buffer {
  std::vector<unsigned char> bytes;
  explicit Buffer(size_t n) : bytes(n ? n : 1, 1) {}
  unsigned char* data() { return bytes.data(); }
};

// Order-dependent sum of a file's bytes, to check that every contender read the same.
std::uint64_t mix(std::uint64_t sum, const unsigned char* p, long n) {
  for (long i = 0; i < n; i++) sum = (sum ^ p[i]) * 0x100000001b3ull;
  return sum;
}

// ---- the trees ----------------------------------------------------------------------------

struct Tree {
  std::string label;
  std::string loose;                    // the tree on disk
  std::string group;                    // a directory holding one group file of it
  std::string zip;                      // a stored (zip -0) archive of it
  std::vector<std::string> names;       // relative, '/', as on disk (PhysicsFS)
  std::vector<std::string> gfNames;     // relative, '\\', as on disk (the engine)
  std::vector<std::string> mixedNames;  // the same with letters in mixed case
  std::vector<std::string> bigNames;    // gfNames of the files of 1 MiB and more
  std::vector<std::string> bigPaths;    // their host paths
  long maxSize = 0;
  long long totalBytes = 0;
};

void listFiles(const std::string& dir, const std::string& prefix, Tree* t) {
  DIR* d = opendir(dir.c_str());
  if (!d) die("cannot list " + dir);
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    std::string path = dir + "/" + e->d_name, rel = prefix + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) die("cannot stat " + path);
    if (S_ISDIR(st.st_mode)) {
      listFiles(path, rel + "/", t);
      continue;
    }
    t->names.push_back(rel);
    t->maxSize = std::max(t->maxSize, (long)st.st_size);
    t->totalBytes += st.st_size;
  }
  closedir(d);
}

Tree loadTree(const std::string& label, const std::string& top) {
  Tree t;
  t.label = label;
  t.loose = top + "/tree";
  t.group = top + "/grp";
  t.zip = top + "/tree.zip";
  listFiles(t.loose, "", &t);
  std::sort(t.names.begin(), t.names.end());
  unsigned seed = 12345;
  for (const std::string& n : t.names) {
    std::string g = n, m;
    std::replace(g.begin(), g.end(), '/', '\\');
    for (char c : g) {
      seed = seed * 1103515245u + 12345u;
      bool flip = (seed >> 16) & 1;
      m += flip ? (char)(std::islower((unsigned char)c) ? std::toupper((unsigned char)c)
                                                        : std::tolower((unsigned char)c))
                : c;
    }
    struct stat st;
    std::string path = t.loose + "/" + n;
    if (stat(path.c_str(), &st) == 0 && st.st_size >= (1 << 20)) {
      t.bigNames.push_back(g);
      t.bigPaths.push_back(path);
    }
    t.gfNames.push_back(g);
    t.mixedNames.push_back(m);
  }
  return t;
}

long long bytesOf(const std::vector<std::string>& paths) {
  long long n = 0;
  for (const std::string& p : paths) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0) n += st.st_size;
  }
  return n;
}

// ---- contenders and rounds ----------------------------------------------------------------

struct Result {
  double start = 0;  // making the file table or mounting
  double work = 0;   // reading or looking up
  double stop = 0;
  double cpu = 0;  // CPU time of the part that is timed (start, work and stop together)
  long long bytes = 0;
  long long count = 0;
  long long redone = 0;  // cache: files dropped before they were first handed out
  std::uint64_t sum = 0;
  double total() const { return start + work + stop; }
};

struct Contender {
  std::string name;
  std::function<Result(bool verify)> run;
  std::vector<Result> results;
  bool sums;  // whether its warm-up round sums the bytes it read
  int set;    // contenders of one set read the same files and must agree
};

void add(std::vector<Contender>& cs, const std::string& name, std::function<Result(bool)> run,
         bool sums = true, int set = 0) {
  cs.push_back(Contender{name, std::move(run), {}, sums, set});
}

// One untimed round that also sums the bytes (warming the page cache and checking that all
// contenders agree), then rounds timed in a rotating order.
void runRounds(std::vector<Contender>& cs, int rounds) {
  std::vector<Result> warm;
  for (Contender& c : cs) warm.push_back(c.run(true));
  for (size_t i = 1; i < cs.size(); i++) {
    size_t f = 0;  // the first of its set
    while (cs[f].set != cs[i].set) f++;
    bool same = warm[i].bytes == warm[f].bytes && warm[i].count == warm[f].count &&
                (!cs[i].sums || !cs[f].sums || warm[i].sum == warm[f].sum);
    if (!same)
      die(cs[i].name + " disagrees with " + cs[f].name + " (" + std::to_string(warm[i].count) +
          " items, " + std::to_string(warm[i].bytes) + " bytes against " +
          std::to_string(warm[f].count) + ", " + std::to_string(warm[f].bytes) + ")");
  }
  for (int r = 0; r < rounds; r++)
    for (size_t k = 0; k < cs.size(); k++) {
      Contender& c = cs[(k + (size_t)r) % cs.size()];
      c.results.push_back(c.run(false));
    }
}

double medianOf(const Contender& c, double (*field)(const Result&)) {
  std::vector<double> v;
  for (const Result& r : c.results) v.push_back(field(r));
  return median(v);
}
double totalOf(const Result& r) { return r.total(); }
double startOf(const Result& r) { return r.start; }
double workOf(const Result& r) { return r.work; }
double cpuOf(const Result& r) { return r.cpu; }

const Contender& find(const std::vector<Contender>& cs, const std::string& name) {
  for (const Contender& c : cs)
    if (c.name == name) return c;
  die("no contender " + name);
}

void printRatio(const std::vector<Contender>& cs, const std::string& peer, const std::string& ours,
                const char* target, double (*field)(const Result&) = totalOf) {
  double p = medianOf(find(cs, peer), field), o = medianOf(find(cs, ours), field);
  std::printf("  ratio %-22s / %-22s = %6.2f%s%s\n", peer.c_str(), ours.c_str(), p / o,
              target ? "   target " : "", target ? target : "");
}

// ---- reading every file -------------------------------------------------------------------

Result gfReadAll(const std::string& root, const std::vector<std::string>& names, Buffer& buf,
                 bool verify) {
  Result r;
  double t0 = now();
  gfStart(root.c_str());
  double t1 = now();
  for (const std::string& n : names) {
    GFILE* f = gfOpen(n.c_str());
    if (!f) die("gfOpen failed on " + n + " under " + root);
    long size = gfSize(f);
    long got = gfRead(f, buf.data(), (int)size);
    gfClose(f);
    if (got != size) die("gfRead came short on " + n);
    r.bytes += got;
    r.count++;
    if (verify) r.sum = mix(r.sum, buf.data(), got);
  }
  double t2 = now();
  gfStop();
  r.start = t1 - t0;
  r.work = t2 - t1;
  r.stop = now() - t2;
  return r;
}

#ifdef TARNPAK_HAVE_PHYSFS
void physfsMount(const std::string& what) {
  if (!PHYSFS_mount(what.c_str(), nullptr, 0))
    die("PHYSFS_mount " + what + ": " + PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode()));
}

Result physfsReadAll(const std::string& what, const std::vector<std::string>& names, Buffer& buf,
                     bool verify) {
  Result r;
  double t0 = now();
  physfsMount(what);
  double t1 = now();
  for (const std::string& n : names) {
    PHYSFS_File* f = PHYSFS_openRead(n.c_str());
    if (!f) die("PHYSFS_openRead failed on " + n + " in " + what);
    PHYSFS_sint64 size = PHYSFS_fileLength(f);
    PHYSFS_sint64 got = PHYSFS_readBytes(f, buf.data(), (PHYSFS_uint64)size);
    PHYSFS_close(f);
    if (got != size) die("PHYSFS_readBytes came short on " + n);
    r.bytes += got;
    r.count++;
    if (verify) r.sum = mix(r.sum, buf.data(), (long)got);
  }
  double t2 = now();
  PHYSFS_unmount(what.c_str());
  r.start = t1 - t0;
  r.work = t2 - t1;
  r.stop = now() - t2;
  return r;
}
#endif

void printReadTable(const std::vector<Contender>& cs, const Tree& t) {
  std::printf("  %-22s %9s %9s %9s %10s\n", "contender", "total s", "start s", "reads s", "MiB/s");
  for (const Contender& c : cs) {
    double total = medianOf(c, totalOf);
    std::printf("  %-22s %9.4f %9.4f %9.4f %10.1f\n", c.name.c_str(), total, medianOf(c, startOf),
                medianOf(c, workOf), (double)t.totalBytes / (1 << 20) / total);
  }
}

void benchReadAll(const Tree& t, int rounds) {
  std::printf("\n== reading every file whole: %s tree, %zu files, %.1f MiB, %d rounds ==\n",
              t.label.c_str(), t.names.size(), (double)t.totalBytes / (1 << 20), rounds);
  std::printf(
      "  (total = start (gfStart / PHYSFS_mount) + open, size, read, close of every "
      "file + stop (gfStop / PHYSFS_unmount); medians)\n");
  Buffer buf((size_t)t.maxSize);
  std::vector<Contender> cs;
  add(cs, "tarnpak group", [&](bool v) { return gfReadAll(t.group, t.gfNames, buf, v); });
  add(cs, "tarnpak loose", [&](bool v) { return gfReadAll(t.loose, t.gfNames, buf, v); });
#ifdef TARNPAK_HAVE_PHYSFS
  add(cs, "physfs zip -0", [&](bool v) { return physfsReadAll(t.zip, t.names, buf, v); });
  add(cs, "physfs dir", [&](bool v) { return physfsReadAll(t.loose, t.names, buf, v); });
#endif
  runRounds(cs, rounds);
  printReadTable(cs, t);
#ifdef TARNPAK_HAVE_PHYSFS
  printRatio(cs, "physfs zip -0", "tarnpak group", ">= 3");
  printRatio(cs, "physfs dir", "tarnpak loose", nullptr);
  std::printf("  reads alone (no start or stop):\n");
  printRatio(cs, "physfs zip -0", "tarnpak group", nullptr, workOf);
  printRatio(cs, "physfs dir", "tarnpak loose", nullptr, workOf);
#endif
}

// ---- name lookups -------------------------------------------------------------------------

Result gfLookups(const Tree& t, int passes) {
  Result r;
  gfStart(t.group.c_str());
  double t0 = now();
  for (int p = 0; p < passes; p++)
    for (const std::string& n : t.mixedNames) r.count += gfFetch(n.c_str()) >= 0;
  r.work = now() - t0;
  gfStop();
  return r;
}

#ifdef TARNPAK_HAVE_PHYSFS
Result physfsLookups(const Tree& t, const std::string& what, int passes) {
  Result r;
  physfsMount(what);
  double t0 = now();
  for (int p = 0; p < passes; p++)
    for (const std::string& n : t.names) r.count += PHYSFS_exists(n.c_str()) != 0;
  r.work = now() - t0;
  PHYSFS_unmount(what.c_str());
  return r;
}
#endif

void benchLookups(const Tree& t, int rounds, int passes) {
  std::printf("\n== name lookups: %s tree, %d passes over its %zu names, %d rounds ==\n",
              t.label.c_str(), passes, t.names.size(), rounds);
  std::printf(
      "  (gfFetch of every name in mixed case against PHYSFS_exists of the name as "
      "stored, which PhysicsFS matches with case; table made or archive mounted "
      "before the clock starts)\n");
  std::vector<Contender> cs;
  add(cs, "tarnpak gfFetch", [&](bool) { return gfLookups(t, passes); });
#ifdef TARNPAK_HAVE_PHYSFS
  add(cs, "physfs exists zip", [&](bool) { return physfsLookups(t, t.zip, passes); });
  add(cs, "physfs exists dir", [&](bool) { return physfsLookups(t, t.loose, passes); });
#endif
  runRounds(cs, rounds);
  long long lookups = (long long)passes * (long long)t.names.size();
  std::printf("  %-22s %9s %14s\n", "contender", "median s", "lookups/s");
  for (const Contender& c : cs) {
    double w = medianOf(c, workOf);
    std::printf("  %-22s %9.4f %14.0f\n", c.name.c_str(), w, (double)lookups / w);
  }
#ifdef TARNPAK_HAVE_PHYSFS
  printRatio(cs, "physfs exists zip", "tarnpak gfFetch", ">= 5", workOf);
  printRatio(cs, "physfs exists dir", "tarnpak gfFetch", nullptr, workOf);
#endif
}

// ---- gfStart against a stat walk ----------------------------------------------------------

// Every entry below dir statted once; returns the number of files.
long long statWalk(int dirFd) {
  DIR* d = fdopendir(dirFd);
  if (!d) die("fdopendir failed");
  long long files = 0;
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) files += statWalk(sub);
    } else {
      files++;
    }
  }
  closedir(d);
  return files;
}

void benchStart(const std::string& root, int rounds) {
  std::printf("\n== gfStart on a large tree against a bare stat walk: %s, %d rounds ==\n",
              root.c_str(), rounds);
  std::printf(
      "  (stat walk: opendir, readdir and fstatat of every entry, recursively; gfStart "
      "timed alone, gfStop apart)\n");
  std::vector<Contender> cs;
  add(cs, "tarnpak gfStart", [&](bool) {
    Result r;
    double c0 = cpuNow(), t0 = now();
    gfStart(root.c_str());
    double t1 = now();
    r.cpu = cpuNow() - c0;
    r.count = gfFetch("zz-no-such-file") == -1;
    gfStop();
    r.work = t1 - t0;
    r.stop = now() - t1;
    return r;
  });
  add(cs, "stat walk", [&](bool) {
    Result r;
    double c0 = cpuNow(), t0 = now();
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + root);
    long long files = statWalk(fd);
    r.work = now() - t0;
    r.cpu = cpuNow() - c0;
    r.count = files > 0;
    return r;
  });
  runRounds(cs, rounds);
  std::printf("  %-22s %9s %9s %9s\n", "contender", "median s", "CPU s", "stop s");
  for (const Contender& c : cs)
    std::printf("  %-22s %9.4f %9.4f %9.4f\n", c.name.c_str(), medianOf(c, workOf),
                medianOf(c, cpuOf), medianOf(c, [](const Result& r) { return r.stop; }));
  const char* target = ">= 1.3 (gfStart 1.3 x as fast as the walk)";
  printRatio(cs, "stat walk", "tarnpak gfStart", target, workOf);
  std::printf("  on CPU time, which waiting for a shared core does not count:\n");
  printRatio(cs, "stat walk", "tarnpak gfStart", target, cpuOf);
}

// ---- the whole-file cache and the read worker -------------------------------------------

// How a loader uses the cache: it keeps every copy it was handed, or drops each with
// gfUncacheFile(index) once used (as a loading screen within the budget does), polling the
// oldest file without pause or napping 1 ms whenever it is not ready yet.
enum class Loader { keep, dropBusy, dropNapping };

// Caches the first count files of the tree through gfCacheFile, keeping up to window files
// requested and polling the oldest until its record comes back, as an engine streaming a
// level does.
Result cacheAll(const Tree& t, size_t count, int window, Loader loader, bool verify) {
  Result r;
  gfStart(t.group.c_str());
  double c0 = cpuNow(), t0 = now();
  std::vector<const std::string*> pending;
  size_t oldest = 0;
  auto finishOldest = [&] {
    const std::string& n = *pending[oldest++];
    // Counted in the untimed round only: a lookup more per file would be timed too.
    if (verify && !gfGetFileInfo(n.c_str())->cacheData) r.redone++;
    t_gfFileInfo* info;
    while (!(info = gfCacheFile(n.c_str()))) {
      if (loader == Loader::dropNapping)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      else
        std::this_thread::yield();
    }
    r.bytes += info->size;
    r.count++;
    if (verify) r.sum = mix(r.sum, static_cast<unsigned char*>(info->cacheData), info->size);
    if (loader != Loader::keep) gfUncacheFile((int)gfFetch(n.c_str()));
  };
  for (size_t k = 0; k < count; k++) {
    const std::string& n = t.gfNames[k];
    if (gfCacheFile(n.c_str()) == nullptr && gfFetch(n.c_str()) < 0) die("no record " + n);
    pending.push_back(&n);
    if (pending.size() - oldest >= (size_t)window) finishOldest();
  }
  while (oldest < pending.size()) finishOldest();
  r.work = now() - t0;
  r.cpu = cpuNow() - c0;
  gfStop();
  return r;
}

// The same files read with gfRead on the caller's thread, each into a block of its own as
// the cache keeps it.
Result readIntoBlocks(const Tree& t, size_t count, bool verify) {
  Result r;
  gfStart(t.group.c_str());
  double c0 = cpuNow(), t0 = now();
  for (size_t k = 0; k < count; k++) {
    const std::string& n = t.gfNames[k];
    GFILE* f = gfOpen(n.c_str());
    if (!f) die("gfOpen failed on " + n);
    long size = gfSize(f);
    auto* block = static_cast<unsigned char*>(std::malloc(size ? (size_t)size : 1));
    long got = gfRead(f, block, (int)size);
    gfClose(f);
    if (got != size) die("gfRead came short on " + n);
    r.bytes += got;
    r.count++;
    if (verify) r.sum = mix(r.sum, block, got);
    std::free(block);
  }
  r.work = now() - t0;
  r.cpu = cpuNow() - c0;
  gfStop();
  return r;
}

// The loaders of the cache against plain reads of the same files. With every loader (the
// small tree), the loader that drops its copies is also timed on the first half of the
// files: its time should grow with the files, not with their square.
void benchCache(const Tree& t, int rounds, int window, bool everyLoader, const char* target) {
  std::printf("\n== filling the cache: %s tree from its group, %zu files, %d rounds ==\n",
              t.label.c_str(), t.names.size(), rounds);
  std::printf(
      "  (gfCacheFile of every file with up to %d requested at a time, polling the oldest "
      "until it is ready, without pause unless said; against gfOpen, gfRead into a new "
      "block, gfClose on the caller's thread; gfStart before the clock)\n",
      window);
  size_t all = t.gfNames.size(), half = all / 2;
  std::vector<Contender> cs;
  long long redone = 0;
  add(cs, "gfRead", [&](bool v) { return readIntoBlocks(t, all, v); });
  add(cs, "cache, keep", [&](bool v) {
    Result r = cacheAll(t, all, window, Loader::keep, v);
    if (v) redone = r.redone;
    return r;
  });
  if (everyLoader) {
    add(cs, "cache, drop", [&](bool v) { return cacheAll(t, all, window, Loader::dropBusy, v); });
    add(cs, "cache, drop, 1 ms naps",
        [&](bool v) { return cacheAll(t, all, window, Loader::dropNapping, v); });
    add(cs, "gfRead, half", [&](bool v) { return readIntoBlocks(t, half, v); }, true, 1);
    add(
        cs, "cache, drop, half",
        [&](bool v) { return cacheAll(t, half, window, Loader::dropBusy, v); }, true, 1);
  }
  runRounds(cs, rounds);
  std::printf(
      "  files the budget dropped after their read finished and before they were first "
      "handed out (read again; keeping loader, untimed round): %lld of %zu\n",
      redone, all);
  std::printf("  %-22s %9s %9s %10s\n", "contender", "median s", "CPU s", "files/s");
  for (const Contender& c : cs) {
    double w = medianOf(c, workOf);
    size_t files = c.name.find("half") != std::string::npos ? half : all;
    std::printf("  %-22s %9.4f %9.4f %10.0f\n", c.name.c_str(), w, medianOf(c, cpuOf),
                (double)files / w);
  }
  printRatio(cs, "gfRead", "cache, keep", target, workOf);
  if (!everyLoader) return;
  printRatio(cs, "gfRead", "cache, drop", ">= 0.5", workOf);
  std::printf("  cache, drop, 1 ms naps: %.3f s   target <= 0.5 s\n",
              medianOf(find(cs, "cache, drop, 1 ms naps"), workOf));
  printRatio(cs, "gfRead, half", "cache, drop, half", nullptr, workOf);
  std::printf("  growth, all / half of the files (dropping loader): %.2f   target <= 2.2\n",
              medianOf(find(cs, "cache, drop"), workOf) /
                  medianOf(find(cs, "cache, drop, half"), workOf));
}

// Buffers for the large files, touched before any timing so that no contender pays for
// first-touch page faults.
std::vector<Buffer> bigBuffers(const Tree& t) {
  std::vector<Buffer> out;
  for (const std::string& path : t.bigPaths) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) die("cannot stat " + path);
    out.emplace_back((size_t)st.st_size);
  }
  return out;
}

// Queues a read of every large file at once through the worker and waits for the last.
Result workerReads(const Tree& t, const std::string& root, std::vector<Buffer>& bufs, bool verify) {
  Result r;
  gfStart(root.c_str());
  std::vector<GFILE*> files;
  for (const std::string& n : t.bigNames) {
    GFILE* f = gfOpen(n.c_str());
    if (!f) die("gfOpen failed on " + n);
    files.push_back(f);
  }
  double c0 = cpuNow(), t0 = now();
  std::vector<long> ids;
  for (size_t i = 0; i < files.size(); i++)
    ids.push_back(gfReadStart(files[i], 0, bufs[i].data(), (int)gfSize(files[i])));
  for (long id : ids)
    while (!gfReadCompleted(id)) std::this_thread::yield();
  r.work = now() - t0;
  r.cpu = cpuNow() - c0;
  for (size_t i = 0; i < files.size(); i++) {
    r.bytes += gfSize(files[i]);
    r.count++;
    if (verify) r.sum = mix(r.sum, bufs[i].data(), gfSize(files[i]));
    gfClose(files[i]);
  }
  gfStop();
  return r;
}

// The same bytes read on the caller's thread with plain pread, into the same buffers.
Result plainReads(const Tree& t, std::vector<Buffer>& bufs, bool verify) {
  Result r;
  double c0 = cpuNow(), t0 = now();
  for (size_t i = 0; i < t.bigPaths.size(); i++) {
    int fd = open(t.bigPaths[i].c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + t.bigPaths[i]);
    size_t size = bufs[i].bytes.size(), done = 0;
    while (done < size) {
      ssize_t got = pread(fd, bufs[i].data() + done, size - done, (off_t)done);
      if (got <= 0) die("cannot read " + t.bigPaths[i]);
      done += (size_t)got;
    }
    close(fd);
    r.bytes += (long long)size;
    r.count++;
  }
  r.work = now() - t0;
  r.cpu = cpuNow() - c0;
  if (verify)
    for (size_t i = 0; i < bufs.size(); i++)
      r.sum = mix(r.sum, bufs[i].data(), (long)bufs[i].bytes.size());
  return r;
}

// The same files read with plain read into one buffer of 128 KiB, as cat reads them: the
// bytes never leave the processor's caches.
Result smallBufferReads(const Tree& t) {
  Result r;
  static Buffer buf(128 << 10);
  double c0 = cpuNow(), t0 = now();
  for (const std::string& path : t.bigPaths) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path);
    ssize_t got;
    while ((got = read(fd, buf.data(), buf.bytes.size())) > 0) r.bytes += got;
    close(fd);
    r.count++;
  }
  r.work = now() - t0;
  r.cpu = cpuNow() - c0;
  return r;
}

// cat of the same files into /dev/null, as a separate process.
Result catReads(const Tree& t) {
  Result r;
  std::vector<char*> args{const_cast<char*>("cat")};
  for (const std::string& p : t.bigPaths) args.push_back(const_cast<char*>(p.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  double t0 = now();
  pid_t pid;
  if (posix_spawnp(&pid, "cat", &actions, nullptr, args.data(), environ) != 0)
    die("cannot run cat");
  int status = 0;
  waitpid(pid, &status, 0);
  r.work = now() - t0;
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("cat failed");
  for (const std::string& p : t.bigPaths) {
    struct stat st;
    stat(p.c_str(), &st);
    r.bytes += st.st_size;
    r.count++;
  }
  return r;
}

void benchWorker(const Tree& t, int rounds) {
  if (t.bigPaths.empty()) return;
  std::printf(
      "\n== the read worker on large files: %zu files of the %s tree, %.1f MiB, %d "
      "rounds ==\n",
      t.bigPaths.size(), t.label.c_str(), (double)bytesOf(t.bigPaths) / (1 << 20), rounds);
  std::printf(
      "  (gfReadStart of every large file at once, waiting for the last, into buffers touched "
      "beforehand; against cat of the same files > /dev/null (a process of its own, start "
      "included), plain pread into the same buffers on the caller's thread, and read into "
      "one 128 KiB buffer as cat does)\n");
  std::vector<Buffer> bufs = bigBuffers(t);
  std::vector<Contender> cs;
  add(cs, "worker from group", [&](bool v) { return workerReads(t, t.group, bufs, v); });
  add(cs, "worker from loose", [&](bool v) { return workerReads(t, t.loose, bufs, v); });
  add(
      cs, "cat > /dev/null", [&](bool) { return catReads(t); }, false);
  add(cs, "plain pread", [&](bool v) { return plainReads(t, bufs, v); });
  add(
      cs, "read, 128 KiB buffer", [&](bool) { return smallBufferReads(t); }, false);
  runRounds(cs, rounds);
  std::printf("  %-22s %9s %10s\n", "contender", "median s", "MiB/s");
  for (const Contender& c : cs) {
    double w = medianOf(c, workOf);
    std::printf("  %-22s %9.4f %10.1f\n", c.name.c_str(), w,
                (double)bytesOf(t.bigPaths) / (1 << 20) / w);
  }
  const char* target = ">= 0.91 (the worker within 10% of a plain sequential read)";
  printRatio(cs, "cat > /dev/null", "worker from group", target, workOf);
  printRatio(cs, "cat > /dev/null", "worker from loose", target, workOf);
  std::printf("  against a read into the same buffers (the bytes have to reach memory):\n");
  printRatio(cs, "plain pread", "worker from group", nullptr, workOf);
  printRatio(cs, "plain pread", "worker from loose", nullptr, workOf);
}

// ---- the command line ---------------------------------------------------------------------

void usage() {
  std::fprintf(
      stderr,
      "usage: read_bench [--rounds N] [--passes N] [--window N] [--only LIST] [--small DIR]\n"
      "                  [--mixed DIR] [--medium DIR] [--many DIR]\n"
      "  --small/--mixed DIR: DIR/tree (the files), DIR/grp (one group file of them),\n"
      "                       DIR/tree.zip (a stored zip of them)\n"
      "  --medium DIR: like --small, files of 64 KiB to 1 MiB, for the cache alone\n"
      "  --many DIR: a large tree for gfStart against a stat walk\n"
      "  --passes N: lookups of every name N times; --window N: files requested\n"
      "              from the cache at a time\n"
      "  --only LIST: some of read,lookup,cache,worker,start (comma-separated)\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5, passes = 10, window = 64;
  std::string only;
  std::string small, mixed, medium, many;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 >= argc) usage();
    std::string v = argv[++i];
    if (a == "--rounds")
      rounds = std::atoi(v.c_str());
    else if (a == "--passes")
      passes = std::atoi(v.c_str());
    else if (a == "--window")
      window = std::atoi(v.c_str());
    else if (a == "--only")
      only = "," + v + ",";
    else if (a == "--small")
      small = v;
    else if (a == "--mixed")
      mixed = v;
    else if (a == "--medium")
      medium = v;
    else if (a == "--many")
      many = v;
    else
      usage();
  }
  if (rounds < 1 || passes < 1 || window < 1) usage();
#ifdef TARNPAK_HAVE_PHYSFS
  if (!PHYSFS_init(argv[0])) die("PHYSFS_init failed");
  std::printf("peer: PhysicsFS %d.%d.%d\n", PHYSFS_VER_MAJOR, PHYSFS_VER_MINOR, PHYSFS_VER_PATCH);
#else
  std::printf("peer: PhysicsFS not found at build time; only the engine is timed\n");
#endif
  std::printf("ratios are peer time / our time: above 1 means Tarnpak is faster\n");
  std::printf(
      "warm page cache: every section first runs one untimed round of every contender "
      "(which also checks that all read the same bytes)\n");
  auto wanted = [&](const char* section) {
    return only.empty() || only.find("," + std::string(section) + ",") != std::string::npos;
  };
  if (!small.empty()) {
    Tree t = loadTree("small", small);
    if (wanted("read")) benchReadAll(t, rounds);
    if (wanted("lookup")) benchLookups(t, rounds, passes);
    if (wanted("cache")) benchCache(t, rounds, window, true, ">= 0.9");
  }
  if (!mixed.empty()) {
    Tree t = loadTree("mixed", mixed);
    if (wanted("read")) benchReadAll(t, rounds);
    if (wanted("worker")) benchWorker(t, rounds);
  }
  if (!medium.empty() && wanted("cache")) benchCache(loadTree("medium", medium), rounds, window, false, ">= 0.8");
  if (!many.empty() && wanted("start")) benchStart(many + "/tree", rounds);
#ifdef TARNPAK_HAVE_PHYSFS
  PHYSFS_deinit();
#endif
  return 0;
}
