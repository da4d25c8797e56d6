#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

namespace dravlin::fuzz {

namespace {

constexpr const char* kProgram = "C:\\Program Files\\Dravlin\\dravlin.exe";

sim::Machine& Prepared(const char* preset, void (*setup)(sim::Machine&)) {
  // One of each kind, made when first asked for and kept for the process.
  static std::map<std::pair<std::string, void (*)(sim::Machine&)>, std::unique_ptr<sim::Machine>>
      machines;
  auto& machine = machines[{preset, setup}];
  if (machine) return *machine;
  machine = std::make_unique<sim::Machine>();
  sim::Machine& m = *machine;
  m.SetVersionPreset(preset);
  m.SetClock({2004, 5, 0, 20, 14, 33, 12, 0});
  m.WriteFile(kProgram, "MZ");  // with its folders
  m.CreateFolder(m.SystemDirectory());
  m.CreateKey(platform::HKEY_LOCAL_MACHINE,
              "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  m.CreateKey(platform::HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main");
  if (setup != nullptr) setup(m);
  m.SaveSnapshot();
  return m;
}

}  // namespace

FuzzMachine::FuzzMachine(const char* preset, void (*setup)(sim::Machine&))
    : machine_(Prepared(preset, setup)) {}

// At the end of an input, so that libFuzzer counts as many frees as allocations in it.
FuzzMachine::~FuzzMachine() {
  machine_.RestoreSnapshot();
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  std::abort();
}

std::vector<std::string> Split(std::string_view input, char separator, std::size_t limit) {
  std::vector<std::string> parts;
  while (parts.size() + 1 < limit) {
    const auto at = input.find(separator);
    if (at == std::string_view::npos) break;
    parts.emplace_back(input.substr(0, at));
    input.remove_prefix(at + 1);
  }
  parts.emplace_back(input);
  return parts;
}

std::string ReadForm(std::uint32_t type, const std::string& data) {
  if (type == platform::REG_DWORD || type == platform::REG_DWORD_BIG_ENDIAN) {
    std::int32_t number = 0;
    std::memcpy(&number, data.data(), std::min<std::size_t>(data.size(), 4));
    return std::to_string(number);
  }
  if (type <= platform::REG_RESOURCE_LIST) return data + " ";
  return {};
}

}  // namespace dravlin::fuzz
