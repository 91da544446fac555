// Formats one message for a report sink (the checked forms of the builder and unpacker),
// with control characters escaped, and shows the engine's paths in the host's spelling.
#include <cstdio>
#include <cstring>

#include "engine/gf/gf_internal.h"

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
