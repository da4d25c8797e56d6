#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace dravlin::fuzz {

namespace {
constexpr const char* kProgram = "C:\\Program Files\\Dravlin\\dravlin.exe";
}  // namespace

FuzzMachine::FuzzMachine(const char* preset) {
  machine_.SetVersionPreset(preset);
  platform::SystemTime t;
  t.wYear = 2004;
  t.wMonth = 5;
  t.wDay = 20;
  t.wHour = 14;
  t.wMinute = 33;
  t.wSecond = 12;
  machine_.SetClock(t);
  // Folders top down: each is made at once, without the search for missing parents.
  const std::string system = machine_.SystemDirectory();
  for (const std::string& folder :
       {std::string("C:\\Program Files"), std::string("C:\\Program Files\\Dravlin"),
        system.substr(0, system.rfind('\\')), system}) {
    machine_.CreateFolder(folder);
  }
  machine_.WriteFile(kProgram, "MZ");
  machine_.CreateKey(platform::HKEY_LOCAL_MACHINE,
                     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  machine_.CreateKey(platform::HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main");
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
