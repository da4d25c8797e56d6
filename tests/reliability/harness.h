// The reliability rig: infected and clean machines, runs of the program as a user makes them,
// the outcome each run leaves the user with, and the invariants that no fault or crash may
// break (the Windows key and the service key entries survive, byte for byte).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/simrun/simrun.h"
#include "platform/sim/machine.h"

namespace dravlin::reliability {

using platform::Control;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

inline constexpr const char* kLiveKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kParkedKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked";
inline constexpr const char* kServiceKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
inline constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr const char* kBhoKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline constexpr const char* kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
inline constexpr const char* kLogPath = "C:\\Program Files\\Dravlin\\dravlin.log";
inline constexpr const char* kKeyFile = "C:\\HjRuOn.txt";
inline constexpr const char* kXpDll = "C:\\WINDOWS\\system32\\qzhook.dll";
inline constexpr const char* k98Dll = "C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL";

// How a run of the program ended, as the user can tell.
enum class Outcome {
  Restart,       // the program asked for a restart (or started one)
  Disinfected,   // the disinfected message / " Cleaned"
  NotInfected,   // the not-infected line and title
  CleanupError,  // the cleanup-error message
  KeyNotFound,   // neither NT key
  NoAdmin,       // refused to run without administrator rights
  None,          // nothing the user could read
};
const char* OutcomeName(Outcome outcome);

// The machine states the sweeps start from.
enum class Road { XpInfected, Win98Infected, XpClean };
const char* RoadName(Road road);
bool IsNt(Road road);

struct RunResult {
  Outcome outcome = Outcome::None;
  bool crashed = false;                // the program ended abruptly
  std::vector<std::string> log;        // lines this run added to the activity log
  std::vector<std::string> calls;      // platform calls this run made, in order
  bool errorEntriesWellFormed = true;  // every " Error go_..: n" line has its description line
  std::size_t errorEntries = 0;        // " Error go_nt: " / " Error go_9x: " entries
  bool errorRk = false;                // " Error RK" was logged
  // The log tells the user that something went wrong: an error entry, " Error RK", or a line
  // saying the DLL was not deleted.
  bool TellsOfTrouble() const;
};

// One value of a protected key: where it sits below the key, its name and its bytes.
struct KeptValue {
  std::string path;  // below the key; "" for the key itself
  std::string name;
  sim::RegValue value;
};

// A machine on a private drive C:, arranged for one road and booted.
class Rig {
 public:
  explicit Rig(Road road);
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;
  ~Rig();

  sim::Machine& machine() { return machine_; }
  Road road() const { return road_; }

  // The user starts the program by hand and clicks start if the window offers it, then closes
  // the window if it is still there. arm runs after the program's process has started and
  // before its first platform call.
  RunResult RunByHand(const std::function<void()>& arm = {});
  // Windows restarts; the run is the program that RunOnce starts (or, if none does, the user's
  // own start). arm runs after the restart, before the program's first platform call.
  RunResult RunAfterRestart(const std::function<void()>& arm = {});

  // The activity log split into lines.
  std::vector<std::string> Log() const;

  // What the user must never lose: NT, the values of the Windows key and its subkeys (all but
  // AppInit_DLLs of the key itself) as arranged; DOS, the service key's entries after the
  // first boot (the hijacker's own, which alone names the DLL).
  const std::vector<KeptValue>& Kept() const { return kept_; }
  // NT: the values missing from both the live and the parked key. DOS: the entries found
  // neither in the service key nor in the key file's bytes.
  std::vector<KeptValue> Missing() const;
  // NT: the key is live again, complete, with AppInit_DLLs empty, nothing parked, and the DLL
  // gone. DOS: the DLL gone and the hijacker's entry neither in the service key nor loaded.
  bool Disinfected() const;
  // NT: every kept value is in the live key itself.
  bool LiveKeyComplete() const;

 private:
  void RecordServiceKey();
  RunResult Run(const std::function<void()>& arm);

  Road road_;
  sim::TempFolder folder_;
  sim::Machine machine_;
  std::vector<KeptValue> kept_;
  std::vector<std::unique_ptr<simrun::Session>> ended_;
};

// The status Windows returns when this call fails in the way it most plausibly does here;
// nullopt for calls that do not fail on Windows (window texts, pseudo-handles, the clock).
std::optional<std::uint32_t> RealisticFailure(const std::string& operation);

// The k-th entry of a call list (1-based) as the operation and its occurrence among calls of
// the same name, the form fault injection takes.
std::pair<std::string, std::uint64_t> NthCall(const std::vector<std::string>& calls, std::size_t k);

std::string Describe(const std::vector<KeptValue>& values);

}  // namespace dravlin::reliability
