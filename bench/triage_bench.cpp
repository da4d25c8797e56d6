// Triage of many exports: each a whole PC's registry as regedit writes it (the machine's keys,
// the user's hive under HKEY_USERS\S-1-..., version keys, the hijacker's hidden value), read,
// inferred, rehearsed and reported as --json does it. A few generated exports are reused, as a
// helpdesk's folder holds many of about the same size. With two threads the figure is the
// throughput of two cores: exports per second of wall-clock time.
//
//   build/<dir>/bench/dravlin_bench --benchmark_filter=TriageExports
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "app/rehearsal/rehearsal.h"
#include "export_gen.h"
#include "regfile/regfile.h"
#include "sim/machine.h"

namespace {

using namespace dravlin;
namespace fs = std::filesystem;

constexpr int kExportsPerSize = 3;
constexpr const char* kUser = "HKEY_USERS\\S-1-5-21-1085031214-1563985344-725345543-1003";

// The default machine's registry as an export of a whole PC shows it.
regfile::RegFile WholePcBase() {
  const fs::path source = fs::path(DRAVLIN_SOURCE_DIR) / "machines" / "default" / "registry.reg";
  regfile::RegFile base = regfile::ReadRegFile(source, source.string());
  for (regfile::RegKeyEntry& k : base.keys) {
    if (k.path.rfind("HKEY_CURRENT_USER", 0) == 0) k.path = kUser + k.path.substr(17);
  }
  regfile::RegKeyEntry version;
  version.path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  for (const auto& [name, text] : {std::pair<const char*, const char*>{"CurrentVersion", "5.1"},
                                   {"CurrentBuildNumber", "2600"},
                                   {"CSDVersion", "Service Pack 2"}}) {
    version.values.push_back({name, platform::REG_SZ, std::string(text) + '\0'});
  }
  base.keys.push_back(version);
  regfile::RegKeyEntry locale;
  locale.path = std::string(kUser) + "\\Control Panel\\International";
  locale.values.push_back({"Locale", platform::REG_SZ, std::string("00000409") + '\0'});
  base.keys.push_back(locale);
  base.keys.push_back({std::string(kUser) + "\\Volatile Environment", false, {}, 0});
  return base;
}

// kExportsPerSize exports of about `keys` keys each, made once per size.
const std::vector<fs::path>& Exports(std::size_t keys) {
  static std::mutex lock;
  static sim::TempFolder root;
  static std::map<std::size_t, std::vector<fs::path>> made;
  const std::lock_guard<std::mutex> hold(lock);
  auto& files = made[keys];
  if (files.empty()) {
    const regfile::RegFile base = WholePcBase();
    for (int i = 0; i < kExportsPerSize; ++i) {
      testing::ExportShape shape;
      shape.keys = keys;
      shape.seed = static_cast<std::uint64_t>(i + 1);
      const fs::path file = root.path() / (std::to_string(keys) + "-" + std::to_string(i) + ".reg");
      std::ofstream(file, std::ios::binary) << testing::ExportText(base, shape);
      files.push_back(file);
    }
  }
  return files;
}

void TriageExports(benchmark::State& state) {
  const auto& files = Exports(static_cast<std::size_t>(state.range(0)));
  std::uint64_t bytes = 0;
  std::size_t next = static_cast<std::size_t>(state.thread_index());
  for (auto _ : state) {
    const fs::path& file = files[next++ % files.size()];
    rehearsal::Options options;
    options.machineDir = file;
    options.json = true;
    options.clock = "2026-12-06T10:15:00";
    options.hijackerDll = "C:\\WINDOWS\\system32\\msqz32.dll";
    std::ostringstream out;
    std::ostringstream err;
    if (rehearsal::Run(options, out, err) != rehearsal::kExitOk) {
      state.SkipWithError(err.str().c_str());
      break;
    }
    bytes += fs::file_size(file);
  }
  state.SetItemsProcessed(state.iterations());  // exports
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["file_MB"] = benchmark::Counter(
      static_cast<double>(fs::file_size(files.front())) / 1e6, benchmark::Counter::kAvgThreads);
  state.SetComplexityN(state.range(0));
}

}  // namespace

// A whole XP of a small office (about 10,000 keys, 4 MB as Version 5.00) and larger ones: the
// time per export grows with its size alone.
BENCHMARK(TriageExports)
    ->Arg(2500)
    ->Arg(10000)
    ->Arg(40000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(TriageExports)
    ->Name("TriageExportsGrowth")
    ->RangeMultiplier(4)
    ->Range(2500, 160000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
