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
  // One per preset and set-up, made when first asked for and kept for the process.
  static std::map<std::pair<std::string, void (*)(sim::Machine&)>, std::unique_ptr<sim::Machine>>
      machines;
  auto& slot = machines[{preset, setup}];
  if (slot) return *slot;
  slot = std::make_unique<sim::Machine>();
  sim::Machine& m = *slot;
  m.SetVersionPreset(preset);
  platform::SystemTime t;
  t.wYear = 2004;
  t.wMonth = 5;
  t.wDay = 20;
  t.wHour = 14;
  t.wMinute = 33;
  t.wSecond = 12;
  m.SetClock(t);
  // Folders top down: each is made at once, without the search for missing parents.
  const std::string system = m.SystemDirectory();
  for (const std::string& folder :
       {std::string("C:\\Program Files"), std::string("C:\\Program Files\\Dravlin"),
        system.substr(0, system.rfind('\\')), system}) {
    m.CreateFolder(folder);
  }
  m.WriteFile(kProgram, "MZ");
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

// At the end, not the start, of an input: what the input made is freed within it, so libFuzzer
// sees as many frees as allocations and its leak search stays quiet unless something leaks.
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
