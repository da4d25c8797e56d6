// How the program's time grows with hostile contents: a stealth value of n blanks, a readable
// value of n characters, page values of n percent signs, a key file of n bytes, n registered
// browser objects, and .reg files and hive images of n keys. Each should grow linearly (the
// fitted complexity is printed as the "BigO" row); a quadratic step shows as N^2.
//
//   build/<dir>/bench/dravlin_bench --benchmark_filter=KeyFile
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "export_gen.h"
#include "platform/key.h"
#include "regfile/regfile.h"
#include "sim/machine.h"
#include "sim/run/simrun.h"
#include "workflow/frmGetAll.h"

namespace {

using namespace dravlin;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

constexpr const char* kLive = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr const char* kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
constexpr const char* kBho =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr const char* kKeyFile = "C:\\HjRuOn.txt";
constexpr const char* k98Dll = "C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL";

// A machine on its own drive with the program installed; not yet booted.
struct Bench {
  explicit Bench(const char* preset) : machine(folder.path() / "c") {
    machine.SetVersionPreset(preset);
    machine.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
    machine.CreateFolder(machine.SystemDirectory());
    machine.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
    machine.CreateKey(HKEY_CURRENT_USER, kIeMain);
  }
  sim::TempFolder folder;
  sim::Machine machine;
};

// Runs one click of the start button on a machine that setup arranges; only the run is timed.
template <class Setup>
void TimeOneClick(benchmark::State& state, const char* preset, Setup setup) {
  for (auto _ : state) {
    state.PauseTiming();
    auto bench = std::make_unique<Bench>(preset);
    setup(bench->machine, static_cast<std::size_t>(state.range(0)));
    bench->machine.Boot();
    state.ResumeTiming();
    {
      // The program ends before its machine goes.
      simrun::Session session(bench->machine);
      session.Click(platform::Control::CB_start);
      session.Close();
    }
    state.PauseTiming();
    bench.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0));
}

void StealthValueOfBlanks(benchmark::State& state) {
  TimeOneClick(state, "winxp", [](sim::Machine& m, std::size_t n) {
    m.SetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", platform::REG_SZ, std::string(n, ' '));
  });
}

void ReadableValueOfText(benchmark::State& state) {
  TimeOneClick(state, "winxp", [](sim::Machine& m, std::size_t n) {
    m.SetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", platform::REG_SZ, std::string(n, 'x'));
  });
}

void KeyFileSearch(benchmark::State& state) {
  TimeOneClick(state, "win98", [](sim::Machine& m, std::size_t n) {
    m.WriteFile(k98Dll, "MZ");
    m.WriteFile(kKeyFile, std::string(n, 'k') + "rundll32.exe " + k98Dll + ",Start");
  });
}

// The second NT step, with n percent signs in each of three page values.
void PagesOfPercentRuns(benchmark::State& state) {
  TimeOneClick(state, "winxp", [](sim::Machine& m, std::size_t n) {
    m.SetString(HKEY_LOCAL_MACHINE,
                "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked", "AppInit_DLLs",
                "C:\\WINDOWS\\system32\\qzhook.dll");
    m.WriteFile("C:\\WINDOWS\\system32\\qzhook.dll", "MZ");
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Search Bar", std::string(n, '%'));
    std::string halves;
    while (halves.size() < n) halves += "%4%%%41%";
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", halves);
    m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "Start Page", std::string(n, '%') + "/qz.html");
  });
}

// The second NT step with n registered browser objects, one of which matches.
void RegisteredObjects(benchmark::State& state) {
  TimeOneClick(state, "winxp", [](sim::Machine& m, std::size_t n) {
    m.SetString(HKEY_LOCAL_MACHINE,
                "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked", "AppInit_DLLs",
                "C:\\WINDOWS\\system32\\qzhook.dll");
    m.WriteFile("C:\\WINDOWS\\system32\\qzhook.dll", "MZ");
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page",
                "res://C:\\WINDOWS\\system32\\qzhook.dll/qz.html");
    for (std::size_t i = 0; i < n; ++i) {
      std::string clsid = "{";
      clsid += std::to_string(100000 + i);
      clsid += '}';
      m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kBho) + "\\" + clsid);
      m.SetString(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", "",
                  i == n / 2 ? "C:\\Bar\\qzhook.dll" : "C:\\Vendor\\plugin.dll");
    }
  });
}

// A generated whole-PC export of n keys, Version 5.00 (UTF-16LE), read into its model.
void RegFileOfKeys(benchmark::State& state) {
  testing::ExportShape shape;
  shape.keys = static_cast<std::size_t>(state.range(0));
  const std::string text = testing::ExportText({}, shape);
  for (auto _ : state) {
    benchmark::DoNotOptimize(regfile::ParseRegFile(text, "bulk.reg"));
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Saving and restoring a key of n subkeys through a hive image (the key move's copy).
void HiveOfKeys(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Bench bench("win98");
  sim::Machine& m = bench.machine;
  for (std::size_t i = 0; i < n; ++i) {
    m.SetString(HKEY_LOCAL_MACHINE, "Source\\Key" + std::to_string(i), "Value", "text");
  }
  m.CreateKey(HKEY_LOCAL_MACHINE, "Target");
  platform::Registry& reg = m.services().registry;
  platform::UniqueKey source(reg);
  platform::UniqueKey target(reg);
  reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Source", 0, platform::KEY_ALL_ACCESS, source.put());
  reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Target", 0, platform::KEY_ALL_ACCESS, target.put());
  for (auto _ : state) {
    m.RemoveFile("C:\\hive.bin");
    reg.RegSaveKeyA(source.get(), "C:\\hive.bin");
    reg.RegRestoreKeyA(target.get(), "C:\\hive.bin", platform::REG_FORCE_RESTORE);
  }
  state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(StealthValueOfBlanks)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 22)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadableValueOfText)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 22)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(KeyFileSearch)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 24)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PagesOfPercentRuns)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 20)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RegisteredObjects)
    ->RangeMultiplier(4)
    ->Range(1 << 6, 1 << 14)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RegFileOfKeys)
    ->RangeMultiplier(4)
    ->Range(1 << 8, 1 << 18)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(HiveOfKeys)
    ->RangeMultiplier(4)
    ->Range(1 << 8, 1 << 16)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
