// Whole runs of the program on a simulated machine: every platform call of a run fails in turn
// with the status Windows gives there (fault sweep), or the program dies at it, Windows restarts
// and the user goes on (crash sweep); and runs over hostile contents. The program must not crash
// or hang, must log a failure as its two-line entry, must end in something the user can read,
// must not lose a byte of the Windows key or of the hijacker's service entry, and must never
// report the Windows key disinfected while it is not back in place.
// One file above 500 lines on purpose: the sweeps and the hostile runs share one rig and its
// bookkeeping of what must not be lost.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "platform/sim/persist/machine_folder.h"
#include "regfile/regfile.h"
#include "workflow/scenario.h"

namespace dravlin::reliability {
namespace {

using namespace scenario;  // NOLINT: the rig's names read best unqualified
using platform::HKEY_CLASSES_ROOT;
namespace persist = sim::persist;

// How a run ended, as the user can tell.
enum class Outcome { Restart, Disinfected, NotInfected, CleanupError, KeyNotFound, NoAdmin, None };
const char* const kOutcomeNames[] = {
    "restart", "disinfected", "not infected", "cleanup error", "key not found", "no admin", "none"};
const char* Name(Outcome o) {
  return kOutcomeNames[static_cast<int>(o)];
}

enum class Road { XpInfected, Win98Infected, XpClean };
const char* Name(Road road) {
  return road == Road::XpInfected ? "XP infected"
         : road == Road::XpClean  ? "XP clean"
                                  : "98 infected";
}
bool IsNt(Road road) {
  return road != Road::Win98Infected;
}

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct RunResult {
  Outcome outcome = Outcome::None;
  bool crashed = false;
  std::vector<std::string> log;    // lines this run added to the activity log
  std::vector<std::string> calls;  // platform calls this run made, in order
  bool wellFormed = true;          // every " Error go_..: n" line has its description line
  bool logged = false;             // an error entry or " Error RK"
  // The log tells the user something went wrong: an error entry, or the DLL not deleted, or
  // the program stopped.
  bool trouble = false;
};

// One value of a protected key: its place below the key, its name and its bytes.
struct KeptValue {
  std::string path, name;
  sim::RegValue value;
};

std::string Describe(const std::vector<KeptValue>& values) {
  std::string out;
  for (const auto& v : values) {
    out += (out.empty() ? "" : ", ") + (v.path.empty() ? "" : v.path + "\\") +
           (v.name.empty() ? "@" : v.name);
  }
  return out;
}

bool Holds(const std::vector<sim::KeySnapshot>& tree, const KeptValue& kept) {
  return std::any_of(tree.begin(), tree.end(), [&](const sim::KeySnapshot& key) {
    return Fold(key.path) == Fold(kept.path) &&
           std::any_of(key.values.begin(), key.values.end(), [&](const sim::NamedValue& v) {
             return Fold(v.name) == Fold(kept.name) && v.value == kept.value;
           });
  });
}

// A booted machine on a private drive C:, arranged for one road.
class Rig : public Scenario {
 public:
  // The registry of each road is roads/<road>.reg: the Windows key holds every common type,
  // NULs inside data and subkeys two deep, so that a lost subtree or byte shows; the hijacker's
  // pages point into its DLL, and one object loads a file of the DLL's name.
  explicit Rig(Road road) : Scenario(IsNt(road) ? "winxp" : "win98"), road_(road) {
    sim::Machine& m = machine_;
    const std::string dll = IsNt(road) ? kXpDll : k98Dll;
    const char* name = road == Road::XpInfected ? "xp-infected"
                       : IsNt(road)             ? "xp-clean"
                                                : "98-infected";
    persist::ApplyRegistry(
        regfile::ReadRegFile(std::string(DRAVLIN_ROADS_DIR "/") + name + ".reg", name), m);
    m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ");
    if (road != Road::XpClean) {
      m.WriteFile(dll, "MZ hijacker");
      m.WriteFile("C:\\Program Files\\QzBar\\" + dll.substr(dll.rfind('\\') + 1), "MZ object");
      m.SetHijacker(sim::HijackerSettings{dll, IsNt(road) ? '\0' : ' '});
    }
    m.Boot();
    if (IsNt(road)) {
      for (const auto& key : m.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey)) {
        for (const auto& v : key.values) {
          if (!key.path.empty() || Fold(v.name) != "appinit_dlls") {
            kept_.push_back({key.path, v.name, v.value});
          }
        }
      }
    } else {
      for (const auto& v : m.ListValues(HKEY_LOCAL_MACHINE, kServiceKey)) {
        kept_.push_back({"", v.name, v.value});
      }
    }
  }

  static constexpr const char* kHijackedObject = "{DEADBEEF-0000-4000-8000-000000000001}";
  static constexpr const char* kGoodObject = "{11111111-2222-3333-4444-555555555555}";

  // The user starts the program, clicks start if the window offers it, and closes the window.
  // arm runs after the process started, before its first call.
  RunResult RunByHand(const std::function<void()>& arm = {}) {
    machine_.StartProgram();
    return Run(arm);
  }
  // Windows restarts and the program starts again (from RunOnce or by the user alike).
  RunResult RunAfterRestart(const std::function<void()>& arm = {}) {
    (void)machine_.Reboot();
    return Run(arm);
  }

  // What the user must never lose. NT: each value of the Windows key and its subkeys (but the
  // key's own AppInit_DLLs), in the live or the parked key. DOS: the service key's entries, in
  // the key or the key file, for as long as the DLL they name is on disk.
  std::vector<KeptValue> Missing() const {
    std::vector<KeptValue> missing;
    if (IsNt(road_)) {
      const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
      const auto parked = machine_.ExportTree(HKEY_LOCAL_MACHINE, kParkedKey);
      for (const auto& kept : kept_) {
        if (!Holds(live, kept) && !Holds(parked, kept)) missing.push_back(kept);
      }
      return missing;
    }
    if (!machine_.FileExists(k98Dll)) return missing;
    const std::string keyFile = machine_.ReadFile(kKeyFile).value_or("");
    for (const auto& kept : kept_) {
      if (machine_.GetValue(HKEY_LOCAL_MACHINE, kServiceKey, kept.name) != kept.value &&
          (keyFile.find(kept.name) == std::string::npos ||
           keyFile.find(kept.value.data) == std::string::npos)) {
        missing.push_back(kept);
      }
    }
    return missing;
  }
  // NT: every kept value is in the live key itself.
  bool LiveKeyComplete() const {
    const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
    return std::all_of(kept_.begin(), kept_.end(),
                       [&](const auto& kept) { return Holds(live, kept); });
  }
  // NT: the key live and whole with AppInit_DLLs empty, nothing parked, the DLL gone. DOS: the
  // DLL gone and no service entry naming it.
  bool Disinfected() const {
    if (!IsNt(road_)) {
      const auto values = machine_.ListValues(HKEY_LOCAL_MACHINE, kServiceKey);
      return !machine_.FileExists(k98Dll) &&
             std::none_of(values.begin(), values.end(), [](const sim::NamedValue& v) {
               return Fold(v.value.data).find(Fold(k98Dll)) != std::string::npos;
             });
    }
    return !machine_.FileExists(kXpDll) && !machine_.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey) &&
           machine_.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs") ==
               sim::RegValue{platform::REG_SZ, ""} &&
           LiveKeyComplete();
  }

 private:
  RunResult Run(const std::function<void()>& arm) {
    RunResult r;
    const std::size_t logBefore = Log().size(), boxesBefore = machine_.MessageBoxes().size();
    const std::size_t exitsBefore = machine_.ExitWindowsCalls().size();
    const std::size_t callsBefore = machine_.CallLog().size();
    std::unique_ptr<simrun::Session> session;
    std::string title;
    try {
      if (arm) arm();
      session = std::make_unique<simrun::Session>(machine_);
      if (session->CanClick(platform::Control::CB_start))
        session->Click(platform::Control::CB_start);
      title = machine_.Control(platform::Control::Form).text;
      session->Close();
      session.reset();  // the process ends: whatever the program still holds is released now
    } catch (const sim::ProgramCrash&) {
      r.crashed = true;
    }
    r.crashed = r.crashed || machine_.ProgramDead();
    // A session that ended abruptly is released with the rig, not while the machine runs on.
    if (session) sessions_.push_back(std::move(session));
    if (title.empty()) title = machine_.Control(platform::Control::Form).text;
    const std::vector<std::string> all = Log();
    r.log.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, all.size())),
                 all.end());
    const auto& calls = machine_.CallLog();
    r.calls.assign(calls.begin() + static_cast<std::ptrdiff_t>(callsBefore), calls.end());

    for (std::size_t i = 0; i < r.log.size(); ++i) {
      const std::string& line = r.log[i];
      r.logged = r.logged || line.ends_with(" Error RK");
      r.trouble = r.trouble || line.ends_with(" Error while deleting Hijack-DLL ") ||
                  line.find(" Hijack-DLL Path not found") != std::string::npos ||
                  line.find(" -> Programm terminated") != std::string::npos;
      for (const std::string_view label : {" Error go_nt: ", " Error go_9x: "}) {
        const auto at = line.find(label);
        if (at == std::string::npos) continue;
        r.logged = true;
        const std::string number = line.substr(at + label.size());
        // The description follows on a line of its own, without a stamp.
        if (number.empty() || number.find_first_not_of("-0123456789") != std::string::npos ||
            i + 1 >= r.log.size() || r.log[i + 1].empty() ||
            r.log[i + 1].rfind(line.substr(0, at), 0) == 0) {
          r.wellFormed = false;
        }
      }
    }
    r.trouble = r.trouble || r.logged;

    const auto logged = [&](std::string_view suffix) {
      return std::any_of(r.log.begin(), r.log.end(),
                         [&](const auto& l) { return l.ends_with(suffix); });
    };
    const auto& boxes = machine_.MessageBoxes();
    const auto shown = [&](std::string_view prefix) {
      return std::any_of(boxes.begin() + static_cast<std::ptrdiff_t>(boxesBefore), boxes.end(),
                         [&](const auto& b) { return b.text.rfind(prefix, 0) == 0; });
    };
    if (machine_.ExitWindowsCalls().size() > exitsBefore || logged(" Restart") ||
        shown("Your computer will be restarted") || shown("Please close the program")) {
      r.outcome = Outcome::Restart;
    } else if (shown("Your computer now is disinfected") || logged(" Cleaned")) {
      r.outcome = Outcome::Disinfected;
    } else if (shown("Error on Cleaning")) {
      r.outcome = Outcome::CleanupError;
    } else if (logged(" Stealth-String not found -> Programm terminated") ||
               title.find("not infected") != std::string::npos) {
      r.outcome = Outcome::NotInfected;
    } else if (shown("Key not found") || logged(" Key not found -> Programm terminated")) {
      r.outcome = Outcome::KeyNotFound;
    } else if (shown("Disinfection needs administrator") || logged(" No admin rights->terminate")) {
      r.outcome = Outcome::NoAdmin;
    }
    return r;
  }

  Road road_;
  std::vector<KeptValue> kept_;
};

// The status Windows returns when this call fails in the way it most plausibly does here;
// nullopt for calls that do not fail on Windows (window texts, pseudo-handles, the clock).
std::optional<std::uint32_t> RealisticFailure(const std::string& op) {
  using namespace platform;
  // Registry: a key the account may not touch; the hive calls without the privilege. Files: a
  // file in use cannot be deleted, attributes fail for lack of rights. The runtime's file
  // numbers: a locked or missing file, a full or failing disk.
  static const std::pair<std::uint32_t, std::vector<std::string>> kGroups[] = {
      {ERROR_PRIVILEGE_NOT_HELD, {"RegSaveKeyA", "RegRestoreKeyA", "ExitWindowsEx"}},
      {ERROR_INVALID_HANDLE, {"RegCloseKey"}},
      {ERROR_SHARING_VIOLATION, {"DeleteFileA"}},
      {ERROR_ACCESS_DENIED,
       {"SetFileAttributesA", "GetFileAttributesA", "PathFileExistsA", "CreateDirectoryA",
        "CopyFileA", "OpenProcessToken", "OpenThreadToken", "GetTokenInformation",
        "AdjustTokenPrivileges"}},
      {ERROR_FILE_NOT_FOUND, {"GetShortPathNameA"}},
      {ERROR_NO_SUCH_PRIVILEGE, {"LookupPrivilegeValueA"}},
      {ERROR_NOT_ENOUGH_MEMORY,
       {"AllocateAndInitializeSid", "IsValidSid", "EqualSid", "GetSystemDirectoryA",
        "GetModuleFileNameA", "MessageBox"}},
      {ERROR_INSUFFICIENT_BUFFER, {"GetVersionExA"}},
      {ERROR_INVALID_PARAMETER,
       {"GetLocaleInfoA", "GetDateFormatA", "GetTimeFormatA", "SHGetPathFromIDListA"}},
      {ERROR_MR_MID_NOT_FOUND, {"FormatMessageA"}},
      {0x80004005u, {"SHGetSpecialFolderLocation"}},  // E_FAIL
      {RT_PERMISSION_DENIED, {"Files.OpenForAppend", "Files.Kill"}},
      {RT_PATH_FILE_ACCESS_ERROR, {"Files.OpenForBinaryRead"}},
      {61, {"Files.PrintLine"}},  // disk full
      {RT_DEVICE_IO_ERROR, {"Files.Get", "Files.Close"}},
      {RT_FILE_NOT_FOUND, {"Files.FileLen", "Files.FileExists"}},
  };
  for (const auto& [status, ops] : kGroups) {
    if (std::find(ops.begin(), ops.end(), op) != ops.end()) return status;
  }
  if (op.rfind("Reg", 0) == 0) return ERROR_ACCESS_DENIED;
  return std::nullopt;
}

// The k-th call (1-based) as the operation and its occurrence among calls of that name, the
// form fault injection takes.
std::pair<std::string, std::uint64_t> NthCall(const std::vector<std::string>& calls,
                                              std::size_t k) {
  const std::string& op = calls.at(k - 1);
  return {op, static_cast<std::uint64_t>(
                  std::count(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(k), op))};
}

// ---------------------------------------------------------------------------------------------
// Sweeps

// Points where data goes, as "<kind>: <road>, step <s>, <operation> #<n within the step>"
// (kinds "fault loss", "crash loss", and "stranded": NT values left only in the parked key).
// None are known; any point found fails the sweep until it is fixed or listed here with the
// reason.
const std::set<std::string> kKnownLosses = {};

// Each step of the undisturbed road (a clean machine has no second step).
std::vector<RunResult> Steps(Road road) {
  Rig rig(road);
  std::vector<RunResult> steps = {rig.RunByHand()};
  EXPECT_EQ(steps[0].outcome, road == Road::XpClean ? Outcome::NotInfected : Outcome::Restart);
  EXPECT_TRUE(rig.Missing().empty()) << Describe(rig.Missing());
  if (road == Road::XpClean) return steps;
  steps.push_back(rig.RunAfterRestart());
  EXPECT_EQ(steps[1].outcome, Outcome::Disinfected);
  EXPECT_TRUE(rig.Disinfected());
  return steps;
}

// The user goes on after a restart while the program asks for one, three runs at most.
RunResult GoOn(Rig& rig) {
  RunResult last;
  for (int runs = 0; runs == 0 || (last.outcome == Outcome::Restart && runs < 3); ++runs) {
    last = rig.RunAfterRestart();
    EXPECT_FALSE(last.crashed);
    EXPECT_TRUE(last.wellFormed) << ::testing::PrintToString(last.log);
  }
  EXPECT_NE(last.outcome, Outcome::None) << ::testing::PrintToString(last.log);
  return last;
}

std::string Counts(const std::map<Outcome, std::size_t>& counts) {
  std::string out;
  for (const auto& [outcome, n] : counts)
    out += " " + std::string(Name(outcome)) + "=" + std::to_string(n);
  return out;
}

// Every call of each step of the road in turn fails with the status Windows gives there (calls
// Windows does not fail are left alone), or ends the program abruptly. Then the user goes on:
// Windows restarts after a crash or a restart request; after a stop short of the end the user
// starts the program again, and that must finish the work.
void SweepRoad(Road road, bool crash) {
  const char* kind = crash ? "crash" : "fault";
  const auto steps = Steps(road);
  std::set<std::string> losses;
  for (std::size_t step = 1; step <= steps.size(); ++step) {
    const std::string segment = std::string(Name(road)) + ", step " + std::to_string(step);
    const auto& calls = steps[step - 1].calls;
    ASSERT_GT(calls.size(), 20u);
    std::size_t points = 0, logged = 0, rerouted = 0, claimedClean = 0, disinfected = 0;
    std::map<Outcome, std::size_t> outcomes, notDisinfected;
    for (std::size_t k = 1; k <= calls.size(); ++k) {
      const auto [op, occurrence] = NthCall(calls, k);
      const auto status = RealisticFailure(op);
      if (!crash && !status) continue;
      ++points;
      const std::string point = segment + ", " + op + " #" + std::to_string(occurrence);
      SCOPED_TRACE(std::string(kind) + " at " + point);
      Rig rig(road);
      sim::Machine& m = rig.machine();
      if (step == 2) {
        ASSERT_EQ(rig.RunByHand().outcome, Outcome::Restart);
      }
      const auto arm = [&] {
        if (crash) {
          m.CrashAtCall(k);
        } else {
          m.FailCall(op, occurrence, *status);
        }
      };
      const RunResult r = step == 1 ? rig.RunByHand(arm) : rig.RunAfterRestart(arm);
      ASSERT_EQ(r.crashed, crash);
      m.ClearFaults();
      if (!crash) {
        EXPECT_TRUE(r.wellFormed) << ::testing::PrintToString(r.log);
        EXPECT_NE(r.outcome, Outcome::None) << ::testing::PrintToString(r.log);
        // Whatever the program opened it closed, unless the close itself failed.
        EXPECT_TRUE(op == "RegCloseKey" || m.OpenKeyHandles() == 0);
        EXPECT_TRUE(op == "Files.Close" || m.OpenFiles() == 0);
        EXPECT_EQ(m.OpenTokenHandles() + m.OpenItemLists(), 0u);
        if (!rig.Missing().empty()) {
          losses.insert("fault loss: " + point);
          EXPECT_TRUE(r.trouble) << "the user is told the DLL was not dealt with";
        }
        if (r.outcome == Outcome::Disinfected && !rig.Disinfected()) {
          ++claimedClean;
          // Reported clean with something left: the Windows key must be back whole with
          // AppInit_DLLs emptied (a leftover parked copy or a DLL the log tells of is no false
          // success).
          const bool emptied = m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs") ==
                               sim::RegValue{platform::REG_SZ, ""};
          EXPECT_TRUE(IsNt(road) ? rig.LiveKeyComplete() && emptied
                                 : r.trouble || !m.FileExists(k98Dll))
              << ::testing::PrintToString(r.log);
        }
        ++outcomes[r.outcome];
        logged += r.logged ? 1 : 0;
        rerouted += !r.logged && r.outcome != steps[step - 1].outcome ? 1 : 0;
      }
      RunResult last = r;
      const bool stoppedShort =
          !crash && road != Road::XpClean && r.outcome != Outcome::Restart && !rig.Disinfected();
      if (stoppedShort) last = rig.RunByHand();
      if (crash || last.outcome == Outcome::Restart) last = GoOn(rig);
      if (stoppedShort) {
        EXPECT_TRUE(IsNt(road) ? rig.LiveKeyComplete() : !m.FileExists(k98Dll))
            << "not finished by the next runs";
      }
      if (const auto missing = rig.Missing(); !missing.empty()) {
        losses.insert(std::string(kind) + " loss: " + point);
        std::cout << "[" << kind << " sweep] loss: " << point << ", lost " << Describe(missing)
                  << "\n";
      }
      if (crash && IsNt(road) && !rig.LiveKeyComplete()) losses.insert("stranded: " + point);
      if (!crash) continue;
      ++outcomes[last.outcome];
      if (road == Road::XpClean) {
        EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey))
            << "a clean machine stays as it was";
      } else if (rig.Disinfected()) {
        ++disinfected;
      } else {
        ++notDisinfected[last.outcome];
        claimedClean += last.outcome == Outcome::Disinfected ? 1 : 0;
      }
    }
    std::cout << "[" << kind << " sweep] " << segment << ": " << calls.size() << " calls, "
              << points << (crash ? " crash points, " : " faults injected, ");
    if (crash) {
      std::cout << disinfected << " end disinfected";
    } else {
      std::cout << logged << " logged, " << rerouted << " changed the outcome, "
                << points - logged - rerouted << " absorbed";
    }
    std::cout << "; " << claimedClean << " reported disinfected with leftovers; " << losses.size()
              << " losses so far; " << (crash ? "last " : "") << "outcomes:" << Counts(outcomes)
              << (crash ? "; not disinfected, by last outcome:" : "") << Counts(notDisinfected)
              << "\n";
  }
  std::set<std::string> known;
  for (const auto& loss : kKnownLosses) {
    if (loss.find(std::string(": ") + Name(road) + ",") != std::string::npos) known.insert(loss);
  }
  EXPECT_EQ(losses, known);
}

class Sweep : public ::testing::TestWithParam<Road> {};
TEST_P(Sweep, EveryFailingCallEndsInAnOutcomeAndLosesNothing) {
  SweepRoad(GetParam(), false);
}
TEST_P(Sweep, EveryCrashPointRecoversOrEndsReadablyAndLosesNothing) {
  SweepRoad(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Roads, Sweep,
                         ::testing::Values(Road::XpInfected, Road::Win98Infected, Road::XpClean),
                         [](const auto& road) {
                           std::string name = Name(road.param);
                           std::erase(name, ' ');
                           return name;
                         });

// ---------------------------------------------------------------------------------------------
// Hostile contents: megabyte values, ten thousand objects, over-long names, a huge key file.
// No crash, no ballooning, and the rules still pick exactly what they should. How time grows with
// these sizes is measured in bench/.

// A ceiling for the whole process, sanitizers included (these tests peak at 130 to 420 MB under
// ASan): a text copied once per character, or a list that never ends, goes far beyond it.
long PeakMemoryMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}
constexpr long kPeakMemoryCeilingMb = 1024;

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(gen() & 0xFFu);
  return bytes;
}

// Runs one step per expected outcome; between(i) runs after a restart, before the program.
std::vector<RunResult> Drive(Rig& rig, const std::vector<Outcome>& outcomes,
                             const std::function<void()>& between = {}) {
  std::vector<RunResult> runs;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    runs.push_back(i == 0 ? rig.RunByHand() : rig.RunAfterRestart(between));
    EXPECT_FALSE(runs.back().crashed);
    EXPECT_TRUE(runs.back().wellFormed);
    EXPECT_EQ(runs.back().outcome, outcomes[i]) << ::testing::PrintToString(runs.back().log);
  }
  EXPECT_TRUE(rig.Missing().empty()) << Describe(rig.Missing());
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
  return runs;
}
const std::vector<Outcome> kTwoSteps = {Outcome::Restart, Outcome::Disinfected};

TEST(HostileContents, FiveMegabytesOfBlanksInTheAutoLoadValue) {
  // Blanks name no DLL: the key is parked intact, and put back with the value emptied.
  Rig blank(Road::XpClean);
  const sim::RegValue blanks{platform::REG_SZ, std::string(5u << 20, ' ') + '\0'};
  blank.machine().SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", blanks.type, blanks.data);
  Drive(blank, {Outcome::Restart, Outcome::CleanupError}, [&] {
    EXPECT_FALSE(blank.machine().KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
    EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs"), blanks);
  });
  EXPECT_TRUE(blank.LiveKeyComplete());
  EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs"),
            (sim::RegValue{platform::REG_SZ, ""}));
}

// Ten thousand objects, names longer than Windows allows, and megabyte pages of percent runs:
// exactly the matching objects and the hijacked pages go.
TEST(HostileContents, HugeObjectListsLongNamesAndMegabytePages) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  const auto clsid = [](std::size_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "{00000000-0000-4000-8000-%012zu}", n);
    return std::string(text);
  };
  const auto registered = [&](const std::string& id) {
    return m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + id);
  };
  // The road registers one matching object (listed last) and one ordinary one. Two more match:
  // the first in the list and one in the middle.
  const std::map<std::size_t, std::string> matching = {
      {0, "C:\\Program Files\\Other\\QZHOOK.DLL"},
      {5000, "C:\\WINDOWS\\Downloaded Program Files\\qzhook.dll"}};
  for (std::size_t i = 0; i < 9998; ++i) {
    const auto match = matching.find(i);
    AddBho(m, clsid(i),
           match != matching.end() ? match->second
                                   : "C:\\Program Files\\Vendor " + std::to_string(i) + "\\p.dll");
    if (match != matching.end()) m.WriteFile(match->second, "MZ");
  }
  // Windows keeps key names to 255 characters; an offline-edited registry may hold longer ones.
  // They cannot be read back in full, so they are neither matched nor deleted.
  std::vector<std::string> longNames;
  for (char c = 'A'; c < 'A' + 20; ++c) {
    longNames.push_back("{" + std::string(298, c) + "}");
    AddBho(m, longNames.back(), kXpDll);
  }
  const auto repeat = [](const std::string& unit) {
    std::string out;
    while (out.size() < (1u << 20)) out += unit;
    return out;
  };
  const std::tuple<platform::HKey, const char*, std::string> kept[] = {
      {HKEY_CURRENT_USER, "Search Bar", repeat("%")},
      {HKEY_CURRENT_USER, "Default_Page_URL", repeat("%4%%%41%g%")},
      {HKEY_LOCAL_MACHINE, "Default_Search_URL", repeat("%25%2")}};
  for (const auto& [root, name, page] : kept) m.SetString(root, kIeMain, name, page);
  // Hijacked, behind a megabyte of escapes that decode to more percent signs.
  m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ", repeat("%25%2") + "%2Fqz.html");

  Drive(rig, kTwoSteps);
  EXPECT_TRUE(rig.Disinfected());
  EXPECT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 10000u + 20u - 3u);
  for (const auto& [i, dll] : matching) {
    EXPECT_FALSE(registered(clsid(i))) << i;
    EXPECT_FALSE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + clsid(i))) << i;
    EXPECT_FALSE(m.FileExists(dll)) << dll;
  }
  // Listed after nearly ten thousand others: a list cut short leaves it in place.
  EXPECT_FALSE(registered(Rig::kHijackedObject));
  EXPECT_TRUE(registered(Rig::kGoodObject) && registered(clsid(9997)));
  for (const std::string& name : longNames) EXPECT_TRUE(registered(name));
  for (const auto& [root, name, page] : kept) {
    EXPECT_EQ(m.GetValue(root, kIeMain, name), (sim::RegValue{platform::REG_SZ, page + '\0'}));
  }
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
}

TEST(HostileContents, TwentyMegabyteKeyFileWithThePathNearTheEnd) {
  Rig rig(Road::Win98Infected);
  // Replaced before the second step: megabytes without the system folder, then the entry.
  std::string image = RandomBytes(20u << 20, 42);
  std::replace(image.begin(), image.end(), ':', ';');
  image += std::string("rundll32.exe ") + k98Dll + ",Start";
  Drive(rig, kTwoSteps, [&] { ASSERT_TRUE(rig.machine().WriteFile(kKeyFile, image)); });
  EXPECT_FALSE(rig.machine().FileExists(k98Dll));
  EXPECT_FALSE(rig.machine().FileExists(kKeyFile));
  EXPECT_TRUE(rig.machine().KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

}  // namespace
}  // namespace dravlin::reliability
