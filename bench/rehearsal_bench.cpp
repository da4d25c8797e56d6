// How a rehearsal of a whole PC's registry export grows with the number of keys: load, run and
// diff, as dravlin-sim does it. "peak_MB" is the peak resident size of dravlin-sim itself on
// the same folder.
//
//   build/<dir>/bench/dravlin_bench --benchmark_filter=Rehearse
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "app/rehearsal/rehearsal.h"
#include "export_gen.h"
#include "sim/machine.h"

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

// Runs dravlin-sim on a folder and reports its peak resident size. A process started by fork
// counts what it inherits as its own, so the runs are started by a helper that was forked at
// load time, while this process was still small, rather than after the exports were made.
class PeakMeter {
 public:
  PeakMeter() {
    if (pipe(request_) != 0 || pipe(reply_) != 0) return;
    helper_ = fork();
    if (helper_ == 0) {
      // Ends when this process does, and holds none of its output open.
      close(request_[1]);
      close(reply_[0]);
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
      Serve();
    }
    close(request_[0]);
    close(reply_[1]);
  }

  // In megabytes; -1 when the run failed.
  double Measure(const std::filesystem::path& folder) {
    const std::string path = folder.string() + "\n";
    double mb = -1;
    if (helper_ > 0 && write(request_[1], path.data(), path.size()) == ssize_t(path.size())) {
      if (read(reply_[0], &mb, sizeof mb) != ssize_t(sizeof mb)) mb = -1;
    }
    return mb;
  }

 private:
  [[noreturn]] void Serve() {
    std::string path;
    char c = 0;
    while (read(request_[0], &c, 1) == 1) {
      if (c != '\n') {
        path += c;
        continue;
      }
      double mb = -1;
      const pid_t child = fork();
      if (child == 0) {
        execl(DRAVLIN_SIM, DRAVLIN_SIM, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      int status = 0;
      rusage usage{};
      if (child > 0 && wait4(child, &status, 0, &usage) == child && status == 0) {
        mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
      }
      if (write(reply_[1], &mb, sizeof mb) != ssize_t(sizeof mb)) break;
      path.clear();
    }
    _exit(0);
  }

  int request_[2] = {-1, -1};
  int reply_[2] = {-1, -1};
  pid_t helper_ = -1;
};

PeakMeter& Meter() {
  static PeakMeter meter;
  return meter;
}
// Forked before main, while nothing large is allocated.
const bool kMeterStarted = (Meter(), true);

void RehearseExport(benchmark::State& state) {
  const auto keys = static_cast<std::size_t>(state.range(0));
  const auto& folder = ExportMachine(keys);
  state.counters["peak_MB"] = Meter().Measure(folder);
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
