// The engine's line output: one complete line at a time, handed to a settable sink.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "tarnpak/kestin.h"
#include "engine/kestin/lineout.h"
#include "engine/platform/platform.h"

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
