// Building blocks for the workflow tests: machines in typical states, the activity log read
// back line by line, and the time stamp the machine's regional settings give.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/simrun/simrun.h"
#include "platform/sim/machine.h"
#include "support/windows_names.h"

namespace dravlin::scenario {

using platform::Control;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

using namespace testnames;  // NOLINT: the rig's names read best unqualified
inline constexpr const char* kLogPath = "C:\\Program Files\\Dravlin\\dravlin.log";

using Lines = std::vector<std::string>;

// A machine on a private drive C:, with a fixed clock (20 May 2004, 14:33:12).
class Scenario {
 public:
  explicit Scenario(std::string_view version = "winxp");

  sim::Machine& machine() { return machine_; }

  // The time stamp of a log line written now.
  std::string Stamp() const;
  // A standard log line: stamp and text.
  std::string Line(const std::string& text) const { return Stamp() + text; }
  // The activity log split at CR LF (no trailing empty line).
  std::vector<std::string> Log() const;

  // Starts the program as the user does.
  simrun::Session& Start();
  // Restarts Windows; expects exactly one start of the program by its RunOnce entry.
  simrun::Session& RebootIntoProgram();

 private:
  sim::TempFolder folder_;
  sim::Machine machine_;
  std::unique_ptr<simrun::Session> session_;
  std::vector<std::unique_ptr<simrun::Session>> earlier_;
};

// The NT auto-load key naming the DLL, with another value and a subkey.
void ArrangeLiveKey(sim::Machine& m, const std::string& appInitDlls);
// XP infected: live key naming the DLL, the DLL on disk, the hijacker loaded at boot.
void InfectXp(sim::Machine& m, const std::string& dll = kXpDll);
// 98 infected: the service key names the DLL (next to an ordinary entry), the DLL on disk.
void Infect98(sim::Machine& m, const std::string& dll = k98Dll);
// Key, its values (name -> value) and its subkeys, for comparing trees regardless of order.
using TreeMap = std::map<std::string, std::map<std::string, sim::RegValue>>;
TreeMap Tree(const sim::Machine& m, platform::HKey root, const std::string& path);
// Every key of the machine's registry.
TreeMap WholeRegistry(const sim::Machine& m);

}  // namespace dravlin::scenario
