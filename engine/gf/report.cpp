// Formats one message for a report sink (the checked forms of the builder and unpacker),
// with control characters escaped; and the hook that hears how far a long job is.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<t_gfProgress> progressHook{nullptr};
std::mutex progressLock;  // the unpacker's threads tell as they finish files: one at a time
}

void gfSetProgress(t_gfProgress progress) { progressHook.store(progress); }

void gfTellProgress(long filesDone, long filesAll, long long bytesDone, long long bytesAll) {
  t_gfProgress hook = progressHook.load();
  if (!hook) return;
  std::lock_guard<std::mutex> one(progressLock);
  hook(filesDone, filesAll, bytesDone, bytesAll);
}

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


void gfFail(t_gfJob* job, const char* format, ...) {
  job->failed = 1;
  va_list args;
  va_start(args, format);
  gfReportV(job->sink, format, args);
  va_end(args);
}
