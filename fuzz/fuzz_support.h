// Helpers the fuzz targets share: a hard check that survives NDEBUG, a private scratch
// directory per process, a reusable input file, and the switch that lets an input carry a
// plain directory.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// A directory made once per process, in memory (/dev/shm) where the host has it, so that
// writing and removing files costs no disk I/O; otherwise under the temporary area.
const std::string& fuzzScratch();

// A file in the scratch directory that is created once and rewritten for every input:
// rewriting costs two system calls instead of a create, a truncate and a close.
struct FuzzFile {
  std::string path;
  int fd;
};
FuzzFile& fuzzInputFile(const char* name);
void fuzzSetContents(const FuzzFile& file, const void* bytes, std::size_t size);

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> fuzzListing(const std::string& dir);
// Removes everything inside dir, keeping dir itself.
void fuzzEmptyDirectory(const std::string& dir);

// Random bytes almost never unscramble into a sound directory, so the fuzzer would only
// ever meet the header checks. An input whose build flag has its top bit set (readers
// ignore that field) is taken as plain: its directory is scrambled here for the input's
// length, and the reader's unscrambling gives the fuzzer's bytes back.
std::vector<std::uint8_t> fuzzGroupImage(const std::uint8_t* data, std::size_t size);
