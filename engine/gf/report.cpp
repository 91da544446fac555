// Formats one message for a report sink (the checked forms of the builder and unpacker).
#include <cstdio>

#include "engine/gf/gf_internal.h"

void gfReportV(t_gfReport sink, const char* format, va_list args) {
  if (!sink) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  sink(text);
}

void gfReportf(t_gfReport sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  gfReportV(sink, format, args);
  va_end(args);
}
