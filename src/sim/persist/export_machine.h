// A machine described by a registry export alone (`regedit /e`), as a helper receives one from
// a user: the Windows version, the user's language and the user's hive are read from the keys
// Windows keeps them in, the files the procedures test or delete are placed on drive C: as
// placeholders, and whatever is assumed instead is said, so that the rehearsal's header can
// show it. Options override each inference.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/persist/machine_folder.h"

namespace dravlin::sim::persist {

struct ExportOptions {
  std::optional<std::string> os;    // a version preset name
  std::optional<std::string> lang;  // "de" or "en"
  std::optional<platform::SystemTime> clock;
  std::optional<bool> admin;
  std::optional<std::string> hijackerDll;  // Windows path (ANSI)
  std::optional<std::string> user;         // a SID, a profile's name or a 9x profile
  std::optional<std::string> exePath;
  std::optional<std::string> systemDirectory;
};

// One thing the machine was given and where it came from. Texts are UTF-8.
struct InferredItem {
  std::string what;    // "Windows", "Language", ...
  std::string value;   // "winxp: 5.1 build 2600 Service Pack 2"
  std::string source;  // "from HKEY_LOCAL_MACHINE\...", "given with --os", "assumed; ..."
};

struct Inference {
  std::string format;    // "REGEDIT4" or "Version 5.00"
  std::size_t keys = 0;  // key lines read
  std::vector<InferredItem> items;
  std::vector<std::string> placeholders;  // Windows paths, UTF-8
  std::vector<std::string> notes;         // what the export leaves out or the run cannot show
};

// Reads the export and builds the machine it describes. Refuses (FormatError naming the file)
// a malformed export, one without version keys when no --os is given, and a choice of user
// hives that the rule cannot make alone.
std::unique_ptr<LoadedMachine> LoadExport(const std::filesystem::path& file,
                                          const ExportOptions& options, Inference* inference,
                                          const Progress& progress = {});

// The same for an export already read, on a machine that has nothing else yet: its registry is
// applied, then each setting inferred. fileTime is the clock when no --clock is given.
void InferMachine(const RegFile& registry, Machine& machine, const ExportOptions& options,
                  Inference* inference, const std::string& label,
                  const std::optional<platform::SystemTime>& fileTime = std::nullopt,
                  const Progress& progress = {});

// "YYYY-MM-DDTHH:MM:SS" (or a blank for the T); false for anything else.
bool ParseClockText(std::string_view s, platform::SystemTime* t);

}  // namespace dravlin::sim::persist
