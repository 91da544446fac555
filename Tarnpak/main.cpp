// The Tarnpak tool: unpacks a group file, or packs a directory by its build list; prints its
// usage text or version when asked.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "tarnpak/gf.h"

#ifndef TARNPAK_VERSION
#define TARNPAK_VERSION "unknown"
#endif

namespace {

const char* const kUsage[] = {
    "Usage: Tarnpak <path>\n", "In Tarnpak directory qzgroup.cfg file must exist\n",
    "Sample data:\n",          "       levdemo9.lev\n",
    "       pics*.*\n",        "       rof*.*\n",
    "       sounds*.*\n",      "       soundsmaterial*.*\n",
};

void printUsage() {
  for (const char* line : kUsage) std::fputs(line, stdout);
}

void finishProgress();
// The progress line is drawn from the unpacker's helper threads as well: it and the
// messages take turns.
std::mutex stderrTurn;

// A message during a job starts on a line of its own, not behind the progress line.
void printError(const char* message) {
  std::lock_guard<std::mutex> turn(stderrTurn);
  finishProgress();
  std::fprintf(stderr, "Tarnpak: %s\n", message);
}
void printWarning(const char* message) {
  std::lock_guard<std::mutex> turn(stderrTurn);
  finishProgress();
  std::fprintf(stderr, "Tarnpak: warning: %s\n", message);
}

// An argument as it may be shown on a terminal: control characters as \xHH.
std::string shown(const char* arg) {
  std::string out;
  for (const unsigned char* c = (const unsigned char*)arg; *c; c++) {
    char hex[8];
    bool control = *c < 0x20 || *c == 0x7F;
    if (control) std::snprintf(hex, sizeof hex, "\\x%02X", *c);
    out += control ? std::string(hex) : std::string(1, (char)*c);
  }
  return out;
}

// The tool takes one path; a second one (an output name, say) would otherwise be dropped
// without a word. first: where the path is.
void warnOfExtraArguments(int argc, char** argv, int first) {
  if (argc <= first + 1) return;
  std::string list;
  for (int i = first + 1; i < argc; i++)
    list += (i > first + 1 ? " '" : "'") + shown(argv[i]) + "'";
  printWarning(("only the first argument is used; ignored: " + list).c_str());
}

// The progress line on a terminal: nothing in a job's first second, then at most four
// updates a second, overwritten in place; the last one is ended by finishProgress.
typedef std::chrono::steady_clock t_clock;
const char* progressVerb = "";
t_clock::time_point progressStart, progressShown;
bool progressOn = false;

void showProgress(long filesDone, long filesAll, long long bytesDone, long long bytesAll) {
  std::lock_guard<std::mutex> turn(stderrTurn);
  t_clock::time_point now = t_clock::now();
  if (now - progressStart < std::chrono::seconds(1)) return;
  if (progressOn && now - progressShown < std::chrono::milliseconds(250) && filesDone < filesAll)
    return;
  std::fprintf(stderr, "\rTarnpak: %s: %ld of %ld files, %lld of %lld MB ", progressVerb,
               filesDone, filesAll, bytesDone >> 20, bytesAll >> 20);
  std::fflush(stderr);
  progressOn = true;
  progressShown = now;
}

void startProgress(const char* verb, bool quiet) {
  if (quiet || !isatty(2)) return;
  progressVerb = verb;
  progressStart = t_clock::now();
  gfSetProgress(showProgress);
}

// Ends the progress line, if one was shown, so that later lines start on their own.
void finishProgress() {
  if (progressOn) std::fputc('\n', stderr);
  progressOn = false;
}

// The options before the path, in any order.
struct t_options {
  bool quiet = false;   // -q: no progress line
  bool noSync = false;  // --no-sync: a scratch group, not flushed before it takes its name
  bool help = false;    // --help, -h
  bool version = false;
  const char* sums = nullptr;  // --sums FILE, --sums=FILE: the sums file to write
};

const char* const kOptionHelp =
    "Options, before the path, in any order:\n"
    "  -q              no progress line\n"
    "  --no-sync       pack without flushing the group to the disk (scratch outputs)\n"
    "  --sums FILE     also write the SHA-256 of every stored file to FILE (packing)\n"
    "  --help, -h      this text\n"
    "  --version       the version\n"
    "  --              the end of the options: a path that begins with '-' follows\n";

// Reads the options; returns where the path is (argc when there is none), or -1 after a
// message: an option the tool does not know, or --sums without its file.
int readOptions(int argc, char** argv, t_options* o) {
  int i = 1;
  for (; i < argc; i++) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--")) return i + 1;
    if (a[0] != '-' || a[1] == 0) break;  // the path
    if (!std::strcmp(a, "-q")) {
      o->quiet = true;
    } else if (!std::strcmp(a, "--no-sync")) {
      o->noSync = true;
    } else if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      o->help = true;
    } else if (!std::strcmp(a, "--version")) {
      o->version = true;
    } else if (!std::strncmp(a, "--sums=", 7) || !std::strcmp(a, "--sums")) {
      o->sums = a[6] == '=' ? a + 7 : i + 1 < argc ? argv[++i] : "";
      if (!*o->sums) {
        printError("--sums needs the name of the sums file to write");
        return -1;
      }
    } else {
      printError(("unknown option '" + shown(a) + "' (a path that begins with '-' is named as './" +
                  shown(a) + "' or after '--')").c_str());
      return -1;
    }
  }
  return i;
}

}  // namespace

int main(int argc, char** argv) {
  t_options options;
  int first = readOptions(argc, argv, &options);
  if (first < 0) {
    printUsage();
    return 2;
  }
  if (options.help) {
    printUsage();
    std::fputs(kOptionHelp, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("Tarnpak %s\n", TARNPAK_VERSION);
    return 0;
  }
  if (first >= argc) {
    printUsage();
    return 2;
  }
  const char* path = argv[first];
  const char* sums = options.sums;
  bool quiet = options.quiet;
  if (options.noSync) gfSetDurable(0);
  warnOfExtraArguments(argc, argv, first);
  // A full disk or a file size limit is reported as an error, and an interrupted build
  // leaves no temporary file behind.
  gfInstallToolSignals();
  gfWarnOfThreadSetting(printWarning);
  bool unpacking = std::strstr(path, ".grp") != nullptr;
  if (unpacking && sums) {
    printError(("--sums is for packing; '" + shown(path) + "' names a group file to unpack")
                   .c_str());
    return 2;
  }
  startProgress(unpacking ? "unpacking" : "packing", quiet);
  // The builder searches the tree itself: the manager's start-up scan (which also opens
  // every sound file for its header) would build a table that nothing here reads.
  int status;
  if (unpacking) {
    t_gfUnpackOptions options{};
    options.size = sizeof options;
    options.path = path;
    options.report = printError;
    status = gfUnpackJob(&options);
  } else {
    t_gfPackOptions options{};
    options.size = sizeof options;
    options.root = path;
    options.name = "newgrp.grp";
    options.flag = 1;
    options.sums = sums;
    options.report = printError;
    options.warn = printWarning;
    status = gfPackJob(&options);
  }
  finishProgress();
  return status;
}
