// The debug console's printers, the shared pending line buffer and the log file.
#include "tarnpak/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/debug/debug_internal.h"
#include "engine/kestin/services.h"
#include "tarnpak/kestin.h"
#include "engine/platform/platform.h"

namespace {

constexpr int kFormatSize = 1024;
constexpr int kPendingSize = 512;
constexpr const char* kDebugPrefix = "DBG: ";

FILE* logFile = nullptr;
char pending[kPendingSize];  // text not yet ended by a newline

// Appends text to the pending buffer; what does not fit is cut off.
void appendPending(const char* text, size_t length) {
  size_t used = std::strlen(pending);
  size_t room = kPendingSize - 1 - used;
  if (length > room) length = room;
  std::memcpy(pending + used, text, length);
  pending[used + length] = 0;
}

// Formats, writes to the log file, and hands every completed line to the line output.
// After each line the pending buffer restarts with prefix (empty for ConPrintf).
void printLines(const char* prefix, const char* format, va_list args) {
  char text[kFormatSize];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) return;
  size_t length = (size_t)n < sizeof text ? (size_t)n : sizeof text - 1;
  if (logFile) {
    std::fwrite(text, 1, length, logFile);
    std::fflush(logFile);
  }
  const char* rest = text;
  while (const char* newline =
             static_cast<const char*>(std::memchr(rest, '\n', text + length - rest))) {
    appendPending(rest, (size_t)(newline - rest));
    kestinLineOutput(3, 43, pending, 0);
    std::snprintf(pending, sizeof pending, "%s", prefix);
    rest = newline + 1;
  }
  appendPending(rest, (size_t)(text + length - rest));
}

}  // namespace

void DebugStart() {
  logFile = nullptr;
  pending[0] = 0;
}

void DebugStop() {
  if (logFile) std::fclose(logFile);
  logFile = nullptr;
}

void DebugAttachFile(const char* name) {
  DebugStop();
  if (!name || !*name) return;
  char host[PLAT_PATH_MAX];
  if (!platHostPath(name, host, sizeof host, 1)) return;
  logFile = std::fopen(host, "w+");  // text mode: the host's line ends are '\n'
}

int DebugKeyPressed(int key) { return platKeyState(key) & 1; }

bool debugHeard() { return logFile || !kestinLineOutputDiscards(); }

void debugPassOverLine() { std::snprintf(pending, sizeof pending, "%s", kDebugPrefix); }

void DebugPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printLines(kDebugPrefix, format, args);
  va_end(args);
}

void ConPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printLines("", format, args);
  va_end(args);
}

void W32ConPrintf(const char* format, ...) {
  char text[kFormatSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  platWriteStderr(text, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1);
}
