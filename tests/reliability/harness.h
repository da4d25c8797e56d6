// The reliability rig: infected and clean machines, runs of the program as a user makes them,
// the outcome each run leaves the user with, and the invariants that no fault or crash may
// break (the Windows key and the service key entries survive, byte for byte).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/simrun/simrun.h"
#include "platform/sim/machine.h"
#include "support/windows_names.h"

namespace dravlin::reliability {

using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

using namespace testnames;  // NOLINT: the rig's names read best unqualified

// How a run of the program ended, as the user can tell.
enum class Outcome { Restart, Disinfected, NotInfected, CleanupError, KeyNotFound, NoAdmin, None };
const char* OutcomeName(Outcome outcome);

// The machine states the sweeps start from.
enum class Road { XpInfected, Win98Infected, XpClean };
const char* RoadName(Road road);
inline bool IsNt(Road road) {
  return road != Road::Win98Infected;
}

struct RunResult {
  Outcome outcome = Outcome::None;
  bool crashed = false;                // the program ended abruptly
  std::vector<std::string> log;        // lines this run added to the activity log
  std::vector<std::string> calls;      // platform calls this run made, in order
  bool errorEntriesWellFormed = true;  // every " Error go_..: n" line has its description line
  std::size_t errorEntries = 0;        // " Error go_nt: " / " Error go_9x: " entries
  bool errorRk = false;                // " Error RK" was logged
  // The log tells the user that something went wrong: an error entry, " Error RK", or a line
  // saying the DLL was not deleted or the program stopped.
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

  // The user starts the program by hand, clicks start if the window offers it, then closes the
  // window if it is still there. arm runs after the process has started, before its first call.
  RunResult RunByHand(const std::function<void()>& arm = {});
  // Windows restarts and the program starts again (from RunOnce or by the user: the same run).
  RunResult RunAfterRestart(const std::function<void()>& arm = {});

  // What the user must never lose: NT, the values of the Windows key and its subkeys (all but
  // AppInit_DLLs of the key itself) as arranged; DOS, the service key's entries after the
  // first boot (the hijacker's own, which alone names the DLL). Missing() lists those found
  // neither in the live nor in the parked key (DOS: neither in the service key nor the key
  // file, as long as the DLL they name is on disk).
  std::vector<KeptValue> Missing() const;
  // NT: the key is live again, complete, with AppInit_DLLs empty, nothing parked, and the DLL
  // gone. DOS: the DLL gone and no service entry naming it.
  bool Disinfected() const;
  // NT: every kept value is in the live key itself.
  bool LiveKeyComplete() const;

 private:
  RunResult Run(const std::function<void()>& arm);
  std::vector<std::string> Log() const;

  Road road_;
  sim::TempFolder folder_;
  sim::Machine machine_;
  std::vector<KeptValue> kept_;
  // Sessions of runs that ended abruptly: released with the rig, not while the machine runs on.
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
