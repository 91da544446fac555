// The engine's small services besides the allocator (memory.cpp): the byte-buffer readers,
// the clock, and the engine's line output, one complete line at a time handed to a settable
// sink.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "engine/kestin/services.h"
#include "engine/platform/platform.h"
#include "tarnpak/kestin.h"

// ---- byte-buffer readers -----------------------------------------------------------------

unsigned char* get_w(unsigned char* p, unsigned short& value) {
  value = (unsigned short)(p[0] | (p[1] << 8));
  return p + 2;
}

unsigned char* get_i(unsigned char* p, int& value) {
  unsigned int v = (unsigned int)p[0] | ((unsigned int)p[1] << 8) | ((unsigned int)p[2] << 16) |
                   ((unsigned int)p[3] << 24);
  value = (int)v;
  return p + 4;
}

unsigned char* get_a(unsigned char* p, void* dst, long count) {
  if (count > 0) std::memcpy(dst, p, (size_t)count);
  return p + (count > 0 ? count : 0);
}

// ---- clock -------------------------------------------------------------------------------

double GetCurTime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- the engine's line output ------------------------------------------------------------

namespace {

void stderrSink(int, int, const char* text, int) {
  platWriteStderr(text, std::strlen(text));
  platWriteStderr("\n", 1);
}

void discardSink(int, int, const char*, int) {}

t_lineSink defaultSink() {
  const char* debug = std::getenv("TARNPAK_DEBUG");
  return debug && std::strcmp(debug, "1") == 0 ? stderrSink : discardSink;
}

std::atomic<t_lineSink> installed{nullptr};

}  // namespace

void kestinLineOutput(int channel, int colour, const char* text, int flags) {
  t_lineSink sink = installed.load();
  if (!sink) sink = defaultSink();
  sink(channel, colour, text ? text : "", flags);
}

t_lineSink kestinSetLineSink(t_lineSink sink) { return installed.exchange(sink); }

bool kestinLineOutputDiscards() { return !installed.load() && defaultSink() == discardSink; }
