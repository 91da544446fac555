// The error line, dates as ISO 8601 text, JSON strings and argument parsing of grp.
#include "grp/common.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "grp/commands.h"
#include "grp/help.h"
#include "tarnpak/gf.h"

void grpError(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "grp: %s\n", text);
}

void grpReport(const char* message) { grpError("%s", message); }

void grpWarn(const char* message) { grpError("warning: %s", message); }

std::string grpIsoTime(std::uint16_t date, std::uint16_t time) {
  long long seconds;
  if (!gfDosToUnixTime(date, time, &seconds)) return "no date             ";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", 1980u + (date >> 9),
                (date >> 5) & 15u, date & 31u, time >> 11, (time >> 5) & 63u, (time & 31u) * 2);
  return text;
}

std::string grpJsonTime(std::uint16_t date, std::uint16_t time) {
  long long seconds;
  if (!gfDosToUnixTime(date, time, &seconds)) return "null";
  return "\"" + grpIsoTime(date, time) + "\"";
}

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes at p (no overlong form,
// no surrogate, nothing above U+10FFFF), or 0. Stops at a NUL, which is no continuation.
size_t utf8Length(const unsigned char* p) {
  unsigned c = p[0];
  size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  for (size_t i = 1; i < n; i++)
    if ((p[i] & 0xC0) != 0x80) return 0;
  if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0) || (c == 0xF0 && p[1] < 0x90) ||
      (c == 0xF4 && p[1] >= 0x90))
    return 0;
  return n;
}

}  // namespace

std::string grpJsonString(const char* text) {
  std::string out = "\"";
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c;) {
    size_t n = *c >= 0x80 ? utf8Length(c) : 1;
    char escape[8];
    if (*c == '"' || *c == '\\') {
      out += '\\';
      out += (char)*c;
    } else if (*c < 0x20 || *c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", *c);
      out += escape;
    } else if (n == 0) {  // a byte of no UTF-8 character: the surrogate that stands for it
      std::snprintf(escape, sizeof escape, "\\udc%02x", *c);
      out += escape;
      n = 1;
    } else {
      out.append(reinterpret_cast<const char*>(c), n);
    }
    c += n;
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
  // A reader that closed the pipe (head, say) has all it wants: said nothing, as on POSIX,
  // where SIGPIPE ends the program quietly. Windows' run-time says EINVAL for it.
#ifdef _WIN32
  if (errno == EPIPE || errno == EINVAL) return GRP_FAILED;
#else
  if (errno == EPIPE) return GRP_FAILED;
#endif
  grpError("cannot write to standard output: %s", std::strerror(errno));
  return GRP_FAILED;
}

namespace {

bool isKnown(const std::vector<std::string>& known, const char* arg) {
  for (const std::string& k : known)
    if (k == arg) return true;
  return false;
}

// Parses argv[2..]; prints a one-line error and returns false on an unknown option.
bool parseArgs(const char* command, int argc, char** argv, const std::vector<std::string>& known,
               bool takesDir, t_grpArgs* out) {
  bool onlyOperands = false;
  for (int i = 2; i < argc; i++) {
    const char* arg = argv[i];
    if (onlyOperands || arg[0] != '-' || arg[1] == 0) {
      out->operands.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      onlyOperands = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      out->help = true;
    } else if (takesDir && (std::strcmp(arg, "-C") == 0 || std::strcmp(arg, "--directory") == 0)) {
      if (i + 1 >= argc) {
        grpError("%s: %s needs a directory", command, arg);
        return false;
      }
      out->directory = argv[++i];
    } else if (takesDir && std::strncmp(arg, "-C", 2) == 0) {
      out->directory = arg + 2;
    } else if (takesDir && std::strncmp(arg, "--directory=", 12) == 0) {
      out->directory = arg + 12;
    } else if (isKnown(known, arg)) {
      out->flags.push_back(arg);
    } else if (const char* eq = std::strchr(arg, '=');
               eq && isKnown(known, std::string(arg, (size_t)(eq - arg) + 1).c_str())) {
      out->values.emplace_back(std::string(arg, (size_t)(eq - arg)), eq + 1);
    } else if (isKnown(known, (std::string(arg) + "=").c_str())) {
      if (i + 1 >= argc) {
        grpError("%s: %s needs a value", command, arg);
        return false;
      }
      out->values.emplace_back(arg, argv[++i]);
    } else {
      grpError("%s: unknown option '%s' (see grp %s --help)", command, arg, command);
      return false;
    }
  }
  return true;
}

// Checks the operand count; prints "grp COMMAND: ..." and the usage line when it is off.
bool wantOperands(const char* command, const t_grpArgs& args, size_t least, size_t most) {
  if (args.operands.size() >= least && args.operands.size() <= most) return true;
  grpError("%s: %s (usage: %s)", command,
           args.operands.size() < least ? "missing operand" : "too many operands",
           grpUsageLine(command));
  return false;
}

}  // namespace

int grpCommandLine(const char* command, int argc, char** argv,
                   const std::vector<std::string>& known, bool takesDir, size_t least,
                   size_t most, t_grpArgs* out) {
  if (!parseArgs(command, argc, argv, known, takesDir, out)) return GRP_USAGE;
  if (out->help) {
    grpPrintHelp(command);
    return GRP_OK;
  }
  return wantOperands(command, *out, least, most) ? -1 : GRP_USAGE;
}

const char* grpOptionValue(const t_grpArgs& args, const char* option) {
  const char* value = nullptr;
  for (const auto& v : args.values)
    if (v.first == option) value = v.second.c_str();
  return value;
}

bool grpHasFlag(const t_grpArgs& args, const char* flag) {
  for (const std::string& f : args.flags)
    if (f == flag) return true;
  return false;
}

