// Machine folders: a simulated machine kept on disk as `machine.json` (settings),
// `registry.reg` (a regedit export) and `c/` (drive C:). Loading works on a private copy of
// the drive, so the folder itself is never changed by a run; saving writes a folder that loads
// back to the same machine.
//
// machine.json (every field optional unless noted; unknown fields are refused, so that a typo
// is not silently ignored):
//   "version":  a preset name ("winxp", "win98", ...) or an object {"preset": NAME, "platformId",
//               "major", "minor", "build", "csd"} whose fields override the preset's
//   "language": the native language name ("English", "Deutsch")
//   "shortDate", "longTime", "am", "pm": date and time pictures (defaults follow the language)
//   "clock":    "YYYY-MM-DDTHH:MM:SS"
//   "administrator": true/false, or "groups": [{"sid": "S-1-5-32-544", "attributes": 7}, ...]
//   "privileges": [{"name": "SeBackupPrivilege", "enabled": false}, ...]
//   "exePath", "systemDirectory", "currentFolder": Windows paths
//   "undeletable": ["C:\\...", ...]   files that are in use
//   "attributes": {"C:\\...": "hidden,system,readonly,archive", ...}
//   "hijacker": {"dll": "C:\\...", "blank": "nul" | "space"}
//   "heldKeys": ["HKEY_LOCAL_MACHINE\\...", ...]   keys the system's processes hold open
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/regfile.h"
#include "sim/machine.h"

namespace dravlin::sim::persist {

// The .reg model with its reader and writer, which the program's backup shares.
using regfile::FormatError;
using regfile::FromCp1252;
using regfile::ParseRegFile;
using regfile::Progress;
using regfile::ReadRegFile;
using regfile::RegFile;
using regfile::RegFormat;
using regfile::RegKeyEntry;
using regfile::RegValueEntry;
using regfile::RootName;
using regfile::SplitRootPath;
using regfile::ToCp1252;
using regfile::WriteRegedit4;

struct MachineDescription {
  std::string versionName;  // the preset named, empty for explicit fields only
  VersionSettings version;
  LocaleSettings locale;
  std::optional<platform::SystemTime> clock;
  std::optional<bool> administrator;
  std::optional<std::vector<platform::SidAndAttributes>> groups;
  std::optional<std::vector<PrivilegeSetting>> privileges;
  std::string exePath;
  std::string systemDirectory;
  std::vector<std::string> undeletable;
  std::vector<std::pair<std::string, std::uint32_t>> attributes;
  std::optional<HijackerSettings> hijacker;
  std::vector<std::pair<platform::HKey, std::string>> heldKeys;
  std::string currentFolder;
};

// Parses machine.json; fileName labels errors ("machine.json:7: ...").
MachineDescription ParseMachineJson(std::string_view text, const std::string& fileName);
// The settings of a machine as machine.json text (explicit version fields and token).
std::string WriteMachineJson(const Machine& machine);

// Applies the settings of a description to a machine (not the registry or the drive).
void ApplyDescription(const MachineDescription& description, Machine& machine);
// Applies parsed registry data: key deletions, keys, value deletions and values in file order.
void ApplyRegistry(const RegFile& file, Machine& machine, const Progress& progress = {});
// The whole registry (HKLM, HKCU, HKEY_USERS; HKCR is a view of HKLM) as a REGEDIT4 model.
RegFile ExportRegistry(const Machine& machine);

// "S-1-5-32-544" <-> binary SID. ParseSid returns false for malformed text.
bool ParseSid(std::string_view text, platform::SidBytes* sid);
std::string SidToString(const platform::SidBytes& sid);

// A machine loaded from a folder, with the private copy of its drive.
class LoadedMachine {
 public:
  LoadedMachine();
  ~LoadedMachine();
  LoadedMachine(const LoadedMachine&) = delete;
  LoadedMachine& operator=(const LoadedMachine&) = delete;

  Machine& machine() { return *machine_; }
  const MachineDescription& description() const { return description_; }

 private:
  friend std::unique_ptr<LoadedMachine> LoadMachineFolder(const std::filesystem::path& folder,
                                                          const Progress& progress);
  friend std::unique_ptr<LoadedMachine> LoadExport(const std::filesystem::path& file,
                                                   const struct ExportOptions& options,
                                                   struct Inference* inference,
                                                   const Progress& progress);
  TempFolder work_;  // declared first: the machine goes before its drive does
  MachineDescription description_;
  std::unique_ptr<Machine> machine_;
};

// Reads machine.json and registry.reg, then copies c/ (when present) into a private folder.
// Any malformed or unreadable input throws FormatError naming the file (and line) and leaves
// nothing behind.
// progress hears how far reading registry.reg has come.
std::unique_ptr<LoadedMachine> LoadMachineFolder(const std::filesystem::path& folder,
                                                 const Progress& progress = {});

// Writes machine.json, registry.reg (REGEDIT4; Version 5.00 when a name holds a character
// that Windows-1252 lacks) and c/ into folder (created when missing).
// Refuses (FormatError) a folder that holds anything other than those three, so that a wrong
// --out cannot wipe unrelated files. All text is prepared before the first byte is written.
void SaveMachineFolder(const Machine& machine, const std::filesystem::path& folder);

// The file attributes a machine folder keeps, and their names in machine.json ("readonly,hidden").
inline constexpr std::uint32_t kShownAttributes = platform::FILE_ATTRIBUTE_READONLY |
                                                  platform::FILE_ATTRIBUTE_HIDDEN |
                                                  platform::FILE_ATTRIBUTE_SYSTEM;
std::string AttributeText(std::uint32_t bits);

// ASCII letters to lower case, as machine.json and the transcript write names and options.
std::string LowerAscii(std::string_view s);

}  // namespace dravlin::sim::persist
