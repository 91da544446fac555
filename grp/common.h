// What every grp command shares: its error line, the dates as text, JSON strings, and the
// argument handling of the commands.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tarnpak/engine_api.h"

// The exit statuses: done, failed (the messages say why), used wrongly.
constexpr int GRP_OK = 0;
constexpr int GRP_FAILED = 1;
constexpr int GRP_USAGE = 2;
constexpr int GRP_STALE = 3;  // grp verify --sums: the sums name another version of the group

// One line on stderr: "grp: " and the formatted message.
void grpError(const char* format, ...) ENGINE_PRINTF(1, 2);
// The engine's reports go out through this, as grpError lines.
void grpReport(const char* message);
// The engine's warnings go out through this: "grp: warning: " and the message.
void grpWarn(const char* message);

// An MS-DOS date and time as stored, in ISO 8601 UTC: "2003-01-01T12:00:00Z", as wide as
// that; "no date" (padded to the same width) for a pair that makes no valid date, such as
// the 0 a file dated outside 1980 to 2107 is stored with.
std::string grpIsoTime(std::uint16_t date, std::uint16_t time);
// The same for --json, with its quotes; null for a pair that is no valid date (a file
// dated outside 1980 to 2107 is stored with the date 0), which date parsers would reject.
std::string grpJsonTime(std::uint16_t date, std::uint16_t time);
// text as a JSON string with its quotes. Well-formed UTF-8 stands as it is; every other
// byte from 0x80 up becomes the lone surrogate \udcXX (XX: the byte), as Python's
// "surrogateescape" does, so the bytes stay recoverable; control bytes are \u00XX.
std::string grpJsonString(const char* text);

// A name for a line of text output: control bytes (which could fake lines or drive the
// terminal) shown as '?'. --json output keeps every byte.
std::string grpPrintable(const char* name);
// Flushes standard output; GRP_FAILED after a one-line error when anything failed to go out.
int grpFinishOutput(int status);

// A command's arguments after its name, with the options it knows taken out.
struct t_grpArgs {
  std::vector<std::string> operands;
  std::vector<std::string> flags;  // the options met, e.g. "-l", "--json"
  std::string directory;           // the value of -C DIR, -CDIR, --directory=DIR
  // Options with a value, known as "--name=": "--name VALUE" or "--name=VALUE", as
  // ("--name", VALUE).
  std::vector<std::pair<std::string, std::string>> values;
  bool help = false;
};

// The start of every command: parses argv[2..] for the given flags (and -C when takesDir),
// answers --help, and checks that there are least to most operands. Returns -1 when the
// command goes on with out; else the exit status to end with: GRP_OK after the help,
// GRP_USAGE after a one-line error (an unknown option, too few or too many operands).
int grpCommandLine(const char* command, int argc, char** argv,
                   const std::vector<std::string>& known, bool takesDir, size_t least,
                   size_t most, t_grpArgs* out);
bool grpHasFlag(const t_grpArgs& args, const char* flag);
// The value of an option known as "--name=" (the last given), or null.
const char* grpOptionValue(const t_grpArgs& args, const char* option);
