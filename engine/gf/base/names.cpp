// The manager's names, paths and messages: stored names in the table's form, paths joined
// within the manager's limit, the root's form, names made safe to show, the messages of the
// checked forms; and the small host services the library offers its programs.
#include "engine/gf/base/names.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "engine/platform/ascii.h"
#include "engine/kestin/crew.h"
#include "tarnpak/stdinputoutput.h"

char gfRoot[GF_PATH_MAX + 1] = "c:\\";

void gfUpperCase(char* name) {
  for (; *name; name++)
    *name = (char)asciiUpper((unsigned char)*name);
}

bool gfNormalName(char* out, const char* name) {
  size_t n = std::strlen(name);
  if (n > GF_PATH_MAX) return false;  // no stored name is that long
  for (size_t i = 0; i <= n; i++) out[i] = name[i] == '/' ? '\\' : name[i];
  return true;
}

// Plain copies rather than a formatter: the start-up scan joins one path per file found.
// Like snprintf, a result that does not fit is cut to the limit.
bool gfJoinPath(char* out, const char* dir, const char* name, const char* suffix) {
  size_t used = 0;
  bool fits = true;
  for (const char* part : {dir, name, suffix}) {
    size_t n = std::strlen(part);
    if (n > GF_PATH_MAX - used) {
      n = GF_PATH_MAX - used;
      fits = false;
    }
    std::memcpy(out + used, part, n);
    used += n;
  }
  out[used] = 0;
  return fits;
}

bool gfMakeRoot(char* out, const char* root) {
  size_t n = std::strlen(root);
  if (n >= GF_PATH_MAX) {  // no room for the backslash and a name: nothing can be found
    out[0] = 0;
    return false;
  }
  std::memcpy(out, root, n + 1);
  ZSAddPathSlash(out);
  return true;
}

void gfEscapeControls(const char* name, char* out, size_t size) {
  if (size == 0) return;
  size_t n = 0;
  for (const unsigned char* c = (const unsigned char*)name; *c; c++) {
    bool control = *c < 0x20 || *c == 0x7F;
    if (n + (control ? 4 : 1) >= size) break;
    if (control)
      n += (size_t)std::snprintf(out + n, size - n, "\\x%02X", *c);
    else
      out[n++] = (char)*c;
  }
  out[n] = 0;
}

const char* gfShownPath(const char* path, char* out, size_t size) {
  if (size == 0) return out;
  size_t n = std::strlen(path);
  if (n >= size) n = size - 1;
#ifdef _WIN32
  std::memcpy(out, path, n);  // the backslash is the host's own separator
#else
  for (size_t i = 0; i < n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
#endif
  out[n] = 0;
  return out;
}

bool gfOnPath(const PlatFind* find, const t_gfVisit* path) {
  for (; path; path = path->up)
    if (path->device == find->device && path->inode == find->inode) return true;
  return false;
}

// ---- messages of the checked forms ----------------------------------------------------------

// Every message passes through here whole: the names in it are escaped, and the formats
// themselves hold no control characters.
void gfReportV(t_gfReport sink, const char* format, va_list args) {
  if (!sink) return;
  char text[1024], shown[4 * sizeof text];
  std::vsnprintf(text, sizeof text, format, args);
  gfEscapeControls(text, shown, sizeof shown);
  sink(shown);
}

void gfReportf(t_gfReport sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  gfReportV(sink, format, args);
  va_end(args);
}

void gfTellDebris(const PlatNewFile* file, t_gfReport warn) {
  char shown[PLAT_PATH_MAX], target[PLAT_PATH_MAX];
  const char* debris = file->debris;
  if (debris[0] == '.' && (debris[1] == '/' || debris[1] == '\\')) debris += 2;
  gfShownPath(debris, shown, sizeof shown);
  if (file->debrisRemoved == 1)
    gfReportf(warn, "removed '%s', a temporary file that a killed process left", shown);
  else if (file->debrisRemoved > 1)
    gfReportf(warn, "removed %d temporary files that killed processes left beside '%s' "
              "('%s' among them)", file->debrisRemoved,
              gfShownPath(file->target, target, sizeof target), shown);
}

namespace {
std::atomic<t_gfProgress> progressHook{nullptr};
std::mutex progressLock;  // the unpacker's threads tell as they finish files: one at a time
}  // namespace

void gfSetProgress(t_gfProgress progress) { progressHook.store(progress); }

void gfTellProgress(long filesDone, long filesAll, long long bytesDone, long long bytesAll) {
  t_gfProgress hook = progressHook.load();
  if (!hook) return;
  std::lock_guard<std::mutex> one(progressLock);
  hook(filesDone, filesAll, bytesDone, bytesAll);
}

void gfFail(t_gfJob* job, const char* format, ...) {
  job->failed = 1;
  va_list args;
  va_start(args, format);
  gfReportV(job->sink, format, args);
  va_end(args);
}

// ---- host services for the library's programs -------------------------------------------------
// Offered through the library's interface, so that no program reaches into the host layer.

int gfMatchName(const char* pattern, const char* name) { return platMatchName(pattern, name); }

int gfDosToUnixTime(unsigned short date, unsigned short time, long long* seconds) {
  std::int64_t t = 0;
  int ok = platDosToTime(date, time, &t);
  if (seconds) *seconds = ok ? (long long)t : 0;
  return ok;
}

void gfInstallToolSignals() { platInstallToolSignals(); }

namespace {
// Per thread: each job is asked by the thread that started it, the only one that calls this.
thread_local t_gfCancelCheck tCancelCheck = nullptr;
thread_local void* tCancelContext = nullptr;
}  // namespace

void gfSetCancelCheck(t_gfCancelCheck check, void* context) {
  tCancelCheck = check;
  tCancelContext = context;
}

bool gfCancelRequested() { return tCancelCheck && tCancelCheck(tCancelContext) != 0; }

void gfSetThreads(int count) { crewSetThreads(count); }

int gfWarnOfThreadSetting(t_gfReport warn) {
  const char* text = crewRefusedSetting();
  if (!text) return 0;
  gfReportf(warn, "TARNPAK_THREADS '%s' is not a whole number from 1 to %d: using the default, %d",
            text, CREW_MAX, crewDefaultThreads());
  return 1;
}

#ifndef TARNPAK_VERSION
#define TARNPAK_VERSION "unknown"
#endif

const char* gfVersion() { return TARNPAK_VERSION; }
