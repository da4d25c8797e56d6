// How a rehearsal of a whole PC's registry export grows with the number of keys: load, run and
// diff, as dravlin-sim does it. "peak_MB" is the peak resident size of one rehearsal, run in a
// child process so that earlier sizes do not count.
//
//   build/<dir>/bench/dravlin_bench --benchmark_filter=Rehearse
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>

#include "app/rehearsal/rehearsal.h"
#include "export_gen.h"
#include "platform/sim/machine.h"

namespace {

using namespace dravlin;

// One generated machine folder per size, made once.
const std::filesystem::path& ExportMachine(std::size_t keys) {
  static sim::TempFolder root;
  static std::map<std::size_t, std::filesystem::path> made;
  auto it = made.find(keys);
  if (it == made.end()) {
    const auto folder = root.path() / std::to_string(keys);
    testing::ExportShape shape;
    shape.keys = keys;
    testing::WriteExportMachine(std::filesystem::path(DRAVLIN_SOURCE_DIR) / "machines" / "default",
                                folder, shape);
    it = made.emplace(keys, folder).first;
  }
  return it->second;
}

int RehearseOnce(const std::filesystem::path& folder) {
  rehearsal::Options options;
  options.machineDir = folder;
  std::ostringstream out;
  std::ostringstream err;
  return rehearsal::Run(options, out, err);
}

double PeakMegabytes(const std::filesystem::path& folder) {
  const pid_t child = fork();
  if (child == 0) _exit(RehearseOnce(folder));
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void RehearseExport(benchmark::State& state) {
  const auto keys = static_cast<std::size_t>(state.range(0));
  const auto& folder = ExportMachine(keys);
  state.counters["peak_MB"] = PeakMegabytes(folder);
  state.counters["file_MB"] =
      static_cast<double>(std::filesystem::file_size(folder / "registry.reg")) / 1e6;
  for (auto _ : state) {
    if (RehearseOnce(folder) != rehearsal::kExitOk) state.SkipWithError("rehearsal failed");
  }
  state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(RehearseExport)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(400000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
