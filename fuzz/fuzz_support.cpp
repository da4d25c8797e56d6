#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

namespace dravlin::fuzz {

namespace {

constexpr const char* kProgram = "Program Files\\Dravlin\\dravlin.exe";

// What the drive holds before the program runs: the program and the system folder.
std::set<std::string> Baseline(const char* preset) {
  const std::string system =
      std::string_view(preset) == "win98" ? "WINDOWS/SYSTEM" : "WINDOWS/system32";
  return {"Program Files", "Program Files/Dravlin", "Program Files/Dravlin/dravlin.exe", "WINDOWS",
          system};
}

}  // namespace

const std::filesystem::path& FuzzMachine::CleanDrive(const char* preset) {
  namespace fs = std::filesystem;
  static sim::TempFolder folder;
  static const fs::path drive = folder.path() / "c";
  const std::set<std::string> keep = Baseline(preset);
  std::vector<fs::path> extra;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(drive, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (keep.count(it->path().lexically_relative(drive).generic_string()) == 0) {
      extra.push_back(it->path());
      if (it->is_directory(ec)) it.disable_recursion_pending();
    }
  }
  for (const auto& path : extra) fs::remove_all(path, ec);
  return drive;
}

FuzzMachine::FuzzMachine(const char* preset) : machine_(CleanDrive(preset)) {
  machine_.KeepDriveListings();
  machine_.SetVersionPreset(preset);
  platform::SystemTime t;
  t.wYear = 2004;
  t.wMonth = 5;
  t.wDay = 20;
  t.wHour = 14;
  t.wMinute = 33;
  t.wSecond = 12;
  machine_.SetClock(t);
  // Rewritten every time: an input may have changed its bytes.
  machine_.WriteFile(std::string("C:\\") + kProgram, "MZ");
  machine_.CreateFolder(machine_.SystemDirectory());
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
