// The error line, dates as ISO 8601 text, JSON strings and argument parsing of grp.
#include "grp/common.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "grp/commands.h"

void grpError(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "grp: %s\n", text);
}

void grpReport(const char* message) { grpError("%s", message); }

std::string grpIsoTime(std::uint16_t date, std::uint16_t time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", 1980u + (date >> 9),
                (date >> 5) & 15u, date & 31u, time >> 11, (time >> 5) & 63u, (time & 31u) * 2);
  return text;
}

std::string grpJsonString(const char* text) {
  std::string out = "\"";
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; c++) {
    if (*c == '"' || *c == '\\') {
      out += '\\';
      out += (char)*c;
    } else if (*c < 0x20 || *c >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", *c);
      out += escape;
    } else {
      out += (char)*c;
    }
  }
  return out + "\"";
}

std::string grpPrintable(const char* name) {
  std::string out = name;
  for (char& c : out)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
  return out;
}

int grpFinishOutput(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  grpError("cannot write to standard output: %s", std::strerror(errno));
  return GRP_FAILED;
}

namespace {

bool isKnown(const std::vector<std::string>& known, const char* arg) {
  for (const std::string& k : known)
    if (k == arg) return true;
  return false;
}

}  // namespace

bool grpParseArgs(const char* command, int argc, char** argv, int first,
                  const std::vector<std::string>& known, bool takesDir, t_grpArgs* out) {
  bool onlyOperands = false;
  for (int i = first; i < argc; i++) {
    const char* arg = argv[i];
    if (onlyOperands || arg[0] != '-' || arg[1] == 0) {
      out->operands.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      onlyOperands = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      out->help = true;
    } else if (takesDir && std::strcmp(arg, "-C") == 0) {
      if (i + 1 >= argc) {
        grpError("%s: -C needs a directory", command);
        return false;
      }
      out->directory = argv[++i];
    } else if (isKnown(known, arg)) {
      out->flags.push_back(arg);
    } else {
      grpError("%s: unknown option '%s' (see grp %s --help)", command, arg, command);
      return false;
    }
  }
  return true;
}

bool grpHasFlag(const t_grpArgs& args, const char* flag) {
  for (const std::string& f : args.flags)
    if (f == flag) return true;
  return false;
}

bool grpWantOperands(const char* command, const t_grpArgs& args, size_t least, size_t most) {
  if (args.operands.size() >= least && args.operands.size() <= most) return true;
  grpError("%s: %s (usage: %s)", command,
           args.operands.size() < least ? "missing operand" : "too many operands",
           grpUsageLine(command));
  return false;
}
