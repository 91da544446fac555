// Micro-benchmarks: directory scrambling and the text clean-up of build list lines,
// each against a plain peer measured in the same run (a byte copy, strlen-based trim).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/gf/base/group_format.h"
#include "tarnpak/stdinputoutput.h"

static void BM_Scramble(benchmark::State& state) {
  std::vector<unsigned char> dir((size_t)state.range(0), 0x41);
  for (auto _ : state) {
    gfScramble(dir.data(), (long)dir.size(), 123456);
    benchmark::DoNotOptimize(dir.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Scramble)->Arg(1 << 20);

static void BM_CopyPeer(benchmark::State& state) {
  std::vector<unsigned char> a((size_t)state.range(0), 0x41), b(a.size());
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyPeer)->Arg(1 << 20);

static void BM_CleanLine(benchmark::State& state) {
  const char* text = "   sounds\\*.*  \t  r   extra   words\t\t ";
  char line[512];
  for (auto _ : state) {
    std::strcpy(line, text);
    KillUnusedSpacesEtc(line);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_CleanLine);
