// Helpers the fuzz targets share: a hard check that survives NDEBUG, a private scratch
// directory per process, and the switch that lets an input carry a plain directory.
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

// A directory made once per process under the system's temporary area.
const std::string& fuzzScratch();
void fuzzWriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Random bytes almost never unscramble into a sound directory, so the fuzzer would only
// ever meet the header checks. An input whose build flag has its top bit set (readers
// ignore that field) is taken as plain: its directory is scrambled here for the input's
// length, and the reader's unscrambling gives the fuzzer's bytes back.
std::vector<std::uint8_t> fuzzGroupImage(const std::uint8_t* data, std::size_t size);
