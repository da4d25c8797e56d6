// The rehearsal: runs the program on a simulated machine as a user would and writes a readable
// transcript of what the user saw and what changed on the machine.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dravlin::rehearsal {

struct Options {
  // A machine folder or a registry export; none: the built-in default machine.
  std::optional<std::filesystem::path> machineDir;
  std::vector<std::string> clicks = {"start", "start", "close"};
  std::optional<std::string> lang;  // "de" or "en"
  std::optional<std::string> os;    // a version preset name
  std::optional<std::filesystem::path> outDir;
  bool json = false;  // the run as one JSON document instead of the transcript
  // For an export only: what the export cannot say, or overrides what it says.
  std::optional<std::string> clock;  // "YYYY-MM-DDTHH:MM:SS"
  std::optional<bool> admin;
  std::optional<std::string> hijackerDll;  // UTF-8
  std::optional<std::string> user;
  std::optional<std::string> exePath;
  std::optional<std::string> systemDirectory;
  // Show on err how far reading the machine's registry has come, once it takes this long.
  bool progress = false;
  std::chrono::milliseconds progressAfter{1000};
};

struct ParsedArgs {
  Options options;
  bool help = false;
  std::string error;  // non-empty: the command line was not understood
};

// args without the program name.
ParsedArgs ParseArgs(const std::vector<std::string>& args);
std::string Usage();

// Exit statuses.
inline constexpr int kExitOk = 0;             // the run ended in an outcome the transcript shows
inline constexpr int kExitProgramFailed = 1;  // the program ended abnormally
inline constexpr int kExitBadInput = 2;       // bad command line or machine; nothing was run

// Runs the rehearsal: the transcript goes to out, complaints to err.
int Run(const Options& options, std::ostream& out, std::ostream& err);

// Writes the built-in default machine as a machine folder (machine.json, registry.reg, c/).
void WriteDefaultMachine(const std::filesystem::path& folder);

}  // namespace dravlin::rehearsal
