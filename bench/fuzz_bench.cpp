// One input of each machine-level fuzz target, run as the fuzzer runs it (the machine put back to
// its set-up state, the program, the checks), without the sanitizers: what an execution costs
// before instrumentation.
// The fuzz build (scripts/fuzz.sh) aims at 5,000 executions per second of each target.
//
//   build/<dir>/bench/dravlin_bench --benchmark_filter=Fuzz
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The targets' entry points, renamed when compiled into this program.
extern "C" int DravlinFuzzHive(const std::uint8_t* data, std::size_t size);
extern "C" int DravlinFuzzCensus(const std::uint8_t* data, std::size_t size);
extern "C" int DravlinFuzzKeyfile(const std::uint8_t* data, std::size_t size);
extern "C" int DravlinFuzzPages(const std::uint8_t* data, std::size_t size);

namespace {

std::string Seed(const char* target, const char* name) {
  const auto path =
      std::filesystem::path(DRAVLIN_SOURCE_DIR) / "tests" / "fuzz-corpus" / target / name;
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <int (*Target)(const std::uint8_t*, std::size_t)>
void RunSeed(benchmark::State& state, const char* target, const char* name) {
  const std::string input = Seed(target, name);
  if (input.empty()) {
    state.SkipWithError("seed input missing");
    return;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
  for (auto _ : state) benchmark::DoNotOptimize(Target(bytes, input.size()));
  state.SetItemsProcessed(state.iterations());
}

void BM_FuzzHive(benchmark::State& s) {
  RunSeed<DravlinFuzzHive>(s, "hive", "whole-image.bin");
}
void BM_FuzzCensus(benchmark::State& s) {
  RunSeed<DravlinFuzzCensus>(s, "census", "nul-blanks.bin");
}
void BM_FuzzKeyfile(benchmark::State& s) {
  RunSeed<DravlinFuzzKeyfile>(s, "keyfile", "entry.bin");
}
void BM_FuzzPages(benchmark::State& s) {
  RunSeed<DravlinFuzzPages>(s, "pages", "hijacked.txt");
}

BENCHMARK(BM_FuzzHive);
BENCHMARK(BM_FuzzCensus);
BENCHMARK(BM_FuzzKeyfile);
BENCHMARK(BM_FuzzPages);

}  // namespace
