// Sweeps over whole roads of the program. The fault sweep makes every platform call of a step
// fail in turn, with the status Windows gives there; the crash sweep ends the program abruptly
// at every call of the two-step road (power lost, process killed), then Windows restarts and
// the user goes on. Whatever happens, the program must not crash or hang, must log a failure
// that reaches a disinfection procedure as its two-line entry, must end in something the user
// can read, and must not lose a byte of the Windows key or of the hijacker's service entry,
// except at the points listed below, which lose it through the written behaviour. A new loss,
// or a listed one that no longer happens, fails the sweep.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <set>

#include "harness.h"

namespace dravlin::reliability {
namespace {

// The points where data goes, by kind and step, as "<operation> #<n within the step>".
const std::map<std::string, std::set<std::string>> kKnown = {
    // Faults in the second DOS step lose the DLL's path: the step deletes the key file, the only
    // record of the path, whether or not it found the path in it (or deleted the DLL). The DLL
    // is no longer started (the service key is empty again) but stays on disk.
    {"fault loss: 98 infected, step 2",
     {"GetSystemDirectoryA #1", "Files.FileLen #1", "Files.OpenForBinaryRead #1", "Files.Get #1",
      "PathFileExistsA #2", "DeleteFileA #2"}},
    // The first NT step deletes the live key's subtree after copying it, without looking at the
    // results. A fault (or a crash) there leaves a live key that lacks some subkeys but still
    // loads the hijacker, so the next first step copies it once more, and the forced restore
    // replaces the complete parked copy with the truncated key. Nothing is logged; the road
    // ends "disinfected" without those subkeys.
    {"fault later loss: XP infected, step 1",
     {"RegEnumKeyExA #1", "RegEnumKeyExA #2", "RegOpenKeyExA #8", "RegDeleteKeyA #1",
      "RegOpenKeyExA #9", "RegQueryInfoKeyA #3", "RegEnumKeyExA #3", "RegOpenKeyExA #11",
      "RegDeleteKeyA #2", "RegOpenKeyExA #12", "RegDeleteKeyA #3", "RegOpenKeyExA #13",
      "RegDeleteKeyA #4"}},
    {"crash loss: XP infected, step 1",
     {"RegCloseKey #7", "RegOpenKeyExA #9", "RegQueryInfoKeyA #3", "RegEnumKeyExA #3",
      "RegCloseKey #8", "RegOpenKeyExA #10", "RegQueryInfoKeyA #4", "RegCloseKey #9",
      "RegOpenKeyExA #11", "RegDeleteKeyA #2", "RegCloseKey #10", "RegOpenKeyExA #12",
      "RegDeleteKeyA #3", "RegCloseKey #11", "RegOpenKeyExA #13", "RegDeleteKeyA #4"}},
    // The second DOS step re-creates the service key before it reads the key file and deletes
    // the DLL. Cut off in between, the next run finds the service key and takes the first step:
    // it deletes the key file (the only record of the DLL's path), saves the empty key and
    // reports "not infected", while the DLL stays on disk (no longer started). The backups of
    // the key file and of the DLL lie in that stretch too.
    {"crash loss: 98 infected, step 2",
     {"RegFlushKey #1",         "RegCloseKey #1",         "PathFileExistsA #1",
      "Files.FileLen #1",       "Files.FreeFile #2",      "Files.OpenForBinaryRead #1",
      "Files.Get #1",           "Files.Close #1",         "Files.FileExists #1",
      "Files.FileLen #2",       "GetLocalTime #2",        "GetModuleFileNameA #2",
      "CreateDirectoryA #1",    "Files.FileExists #2",    "Files.FreeFile #3",
      "Files.OpenForAppend #2", "Files.PrintLine #2",     "Files.Close #2",
      "Files.FileLen #3",       "CopyFileA #1",           "SetFileAttributesA #1",
      "Files.FileLen #4",       "Files.FileExists #3",    "Files.FileLen #5",
      "Files.FreeFile #4",      "Files.OpenForAppend #3", "Files.PrintLine #3",
      "Files.Close #3",         "Files.FileLen #6",       "SetFileAttributesA #2",
      "DeleteFileA #1",         "PathFileExistsA #2",     "Files.FileExists #4",
      "Files.FileLen #7",       "CopyFileA #2",           "SetFileAttributesA #3",
      "Files.FileLen #8",       "Files.FileExists #5",    "Files.FileLen #9",
      "Files.FreeFile #5",      "Files.OpenForAppend #4", "Files.PrintLine #4",
      "Files.Close #4",         "Files.FileLen #10",      "DeleteFileA #2"}},
    // Reported disinfected while the Windows key's values stay in the parked copy for good: the
    // move back restores nothing into the live key it has just created (the restore fails, or
    // the program ends just there), and from then on every start finds a live key, reads it as
    // not infected and never looks at the parked copy.
    {"fault stranded: XP infected, step 2", {"RegRestoreKeyA #1"}},
    {"crash stranded: XP infected, step 2", {"RegRestoreKeyA #1"}},
};

// Each step of the undisturbed road (no second step on a clean machine).
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

// The run of a step; for the second step a fault-free first step and restart come first.
RunResult RunStep(Rig& rig, std::size_t step, const std::function<void()>& arm) {
  if (step == 1) return rig.RunByHand(arm);
  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart) << "the first step asks for the restart";
  return rig.RunAfterRestart(arm);
}

// The user goes on after a restart while the program asks for one, three runs at most.
RunResult GoOn(Rig& rig, int* runs) {
  RunResult last;
  do {
    last = rig.RunAfterRestart();
    ++*runs;
    EXPECT_FALSE(last.crashed);
    EXPECT_TRUE(last.errorEntriesWellFormed) << ::testing::PrintToString(last.log);
  } while (last.outcome == Outcome::Restart && *runs < 3);
  EXPECT_NE(last.outcome, Outcome::None) << ::testing::PrintToString(last.log);
  return last;
}

std::string Counts(const std::map<Outcome, std::size_t>& counts) {
  std::string out;
  for (const auto& [outcome, n] : counts)
    out += " " + std::string(OutcomeName(outcome)) + "=" + std::to_string(n);
  return out;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The known points of one kind ("fault loss", ...) on one road, as "<road>, step <s>, <point>".
std::set<std::string> Known(const std::string& kind, Road road) {
  std::set<std::string> out;
  for (const auto& [where, points] : kKnown) {
    if (where.rfind(kind + ": " + RoadName(road) + ", ", 0) != 0) continue;
    for (const auto& point : points) out.insert(where.substr(kind.size() + 2) + ", " + point);
  }
  return out;
}

std::string ParamName(const ::testing::TestParamInfo<Road>& param) {
  std::string name = RoadName(param.param);
  std::erase(name, ' ');
  return name;
}

class FaultSweep : public ::testing::TestWithParam<Road> {};

TEST_P(FaultSweep, EveryFailingCallEndsInAnOutcomeAndLosesNothing) {
  const Road road = GetParam();
  const auto steps = Steps(road);
  std::set<std::string> losses;
  std::set<std::string> laterLosses;  // lost on the runs that follow the faulted one
  std::set<std::string> stranded;     // nothing lost, but the values stay parked for good
  for (std::size_t step = 1; step <= steps.size(); ++step) {
    const auto started = std::chrono::steady_clock::now();
    const std::string segment = std::string(RoadName(road)) + ", step " + std::to_string(step);
    const auto& calls = steps[step - 1].calls;
    ASSERT_GT(calls.size(), 20u) << "a run makes more calls than that";
    std::size_t injected = 0, notFailing = 0, claimedClean = 0, lost = 0, lostLater = 0;
    std::size_t logged = 0;    // the failure shows as an error entry or " Error RK"
    std::size_t rerouted = 0;  // the failure changes the outcome the procedures give
    std::size_t absorbed = 0;  // same outcome, nothing logged: a result the program ignores
    std::map<Outcome, std::size_t> outcomes;

    for (std::size_t k = 1; k <= calls.size(); ++k) {
      const auto [op, occurrence] = NthCall(calls, k);
      const auto status = RealisticFailure(op);
      if (!status) {
        ++notFailing;
        continue;
      }
      ++injected;
      const std::string point = segment + ", " + op + " #" + std::to_string(occurrence);
      SCOPED_TRACE(point + " fails with " + std::to_string(*status));
      Rig rig(road);
      sim::Machine& m = rig.machine();
      const RunResult r = RunStep(rig, step, [&] { m.FailCall(op, occurrence, *status); });

      ASSERT_FALSE(r.crashed);
      EXPECT_TRUE(r.errorEntriesWellFormed) << ::testing::PrintToString(r.log);
      EXPECT_NE(r.outcome, Outcome::None) << ::testing::PrintToString(r.log);
      const auto missing = rig.Missing();
      if (!missing.empty()) {
        losses.insert(point);
        ++lost;
        std::cout << "[fault sweep] loss: " << point << " -> " << OutcomeName(r.outcome)
                  << ", lost " << Describe(missing) << "\n";
        // The user is at least told that the DLL was not dealt with.
        EXPECT_TRUE(r.TellsOfTrouble()) << ::testing::PrintToString(r.log);
      }
      if (r.outcome == Outcome::Disinfected && !rig.Disinfected()) {
        ++claimedClean;
        // Reported clean with something left: the log must say so, or what is left must be
        // harmless (the DLL gone and the Windows key live and complete; a leftover parked copy
        // or a stale AppInit_DLLs naming the deleted file loads nothing).
        const bool harmless =
            !m.FileExists(IsNt(road) ? kXpDll : k98Dll) && (!IsNt(road) || rig.LiveKeyComplete());
        EXPECT_TRUE(r.TellsOfTrouble() || harmless) << ::testing::PrintToString(r.log);
      }
      // Whatever the program opened it closed, unless the close itself was the failing call.
      EXPECT_TRUE(op == "RegCloseKey" || m.OpenKeyHandles() == 0);
      EXPECT_TRUE(op == "Files.Close" || m.OpenFiles() == 0);
      EXPECT_EQ(m.OpenTokenHandles(), 0u);
      EXPECT_EQ(m.OpenItemLists(), 0u);

      m.ClearFaults();
      // Told it is disinfected while the values sit only in the parked copy: does the next
      // start of the program bring them back?
      if (IsNt(road) && r.outcome == Outcome::Disinfected && missing.empty() &&
          !rig.LiveKeyComplete()) {
        const RunResult again = rig.RunByHand();
        const bool fixed = rig.LiveKeyComplete();
        if (!fixed) stranded.insert(point);
        std::cout
            << "[fault sweep] parked: " << point
            << " -> disinfected with the values only in the parked key; the next start ends in "
            << OutcomeName(again.outcome)
            << (fixed ? " and restores them" : " and leaves them there") << "\n";
        EXPECT_TRUE(rig.Missing().empty());
      }
      // A fault that left the road half done must not cost data later either.
      if (r.outcome == Outcome::Restart) {
        int runs = 0;
        const RunResult last = GoOn(rig, &runs);
        const auto later = rig.Missing();
        if (!later.empty()) {
          laterLosses.insert(point);
          ++lostLater;
          std::cout << "[fault sweep] later loss: " << point << " -> the road goes on to "
                    << OutcomeName(last.outcome) << ", lost " << Describe(later) << "\n";
        }
      }
      ++outcomes[r.outcome];
      if (r.errorEntries > 0 || r.errorRk) {
        ++logged;
      } else if (r.outcome != steps[step - 1].outcome) {
        ++rerouted;
      } else {
        ++absorbed;
      }
    }
    std::cout << "[fault sweep] " << segment << ": " << calls.size() << " calls, " << injected
              << " faults injected (" << notFailing << " calls Windows does not fail), " << logged
              << " logged, " << rerouted << " changed the outcome, " << absorbed << " absorbed; "
              << claimedClean << " reported disinfected with leftovers; " << lost << " lost data, "
              << lostLater << " more on the runs after; outcomes:" << Counts(outcomes) << "; "
              << SecondsSince(started) << " s\n";
    EXPECT_EQ(logged + rerouted + absorbed, injected);
  }
  EXPECT_EQ(losses, Known("fault loss", road));
  EXPECT_EQ(laterLosses, Known("fault later loss", road));
  EXPECT_EQ(stranded, Known("fault stranded", road));
}

class CrashSweep : public ::testing::TestWithParam<Road> {};

TEST_P(CrashSweep, EveryCrashPointRecoversOrEndsReadablyAndLosesOnlyTheKnownPoints) {
  const Road road = GetParam();
  const bool infected = road != Road::XpClean;
  const auto started = std::chrono::steady_clock::now();
  const auto steps = Steps(road);
  const std::size_t n1 = steps[0].calls.size();
  const std::size_t n2 = infected ? steps[1].calls.size() : 0;

  std::size_t points = 0, disinfected = 0, claimedClean = 0;
  std::map<Outcome, std::size_t> outcomes;
  std::map<Outcome, std::size_t> notDisinfected;  // by the last run's outcome
  std::set<std::string> losses;
  std::set<std::string> stranded;  // NT: nothing lost, but the values sit only in the parked key
  for (std::size_t k = 1; k <= n1 + n2; ++k) {
    const std::size_t step = k <= n1 ? 1 : 2;
    const std::size_t local = step == 1 ? k : k - n1;
    const auto [op, occurrence] = NthCall(steps[step - 1].calls, local);
    const std::string point =
        "step " + std::to_string(step) + ", " + op + " #" + std::to_string(occurrence);
    const std::string where =
        std::string(RoadName(road)) + ", crash at call " + std::to_string(k) + " (" + point + ")";
    SCOPED_TRACE(where);
    Rig rig(road);
    sim::Machine& m = rig.machine();
    ASSERT_TRUE(RunStep(rig, step, [&] { m.CrashAtCall(local); }).crashed);
    ++points;
    m.ClearFaults();
    int runs = 0;
    const RunResult last = GoOn(rig, &runs);
    ++outcomes[last.outcome];

    const std::string then =
        ", then " + std::to_string(runs) + " run(s) ending in " + OutcomeName(last.outcome) + ": ";
    const auto missing = rig.Missing();
    if (!missing.empty()) {
      losses.insert(std::string(RoadName(road)) + ", " + point);
      std::cout << "[crash sweep] loss: " << where << then << "lost " << Describe(missing) << "\n";
    }
    if (IsNt(road) && missing.empty() && !rig.LiveKeyComplete()) {
      stranded.insert(std::string(RoadName(road)) + ", " + point);
      std::cout << "[crash sweep] stranded: " << where << then
                << "the live key lacks values that only the parked key holds\n";
    }
    if (infected && rig.Disinfected()) {
      ++disinfected;
    } else if (infected) {
      ++notDisinfected[last.outcome];
      if (last.outcome == Outcome::Disinfected) ++claimedClean;
    } else {
      // A clean machine stays as it was.
      EXPECT_TRUE(rig.LiveKeyComplete());
      EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
    }
  }
  std::cout << "[crash sweep] " << RoadName(road) << ": " << points << " crash points (" << n1
            << " + " << n2 << " calls), " << disinfected << " end disinfected, " << claimedClean
            << " end reported disinfected with leftovers, " << losses.size() << " lose data, "
            << stranded.size()
            << " leave values only in the parked key; last outcomes:" << Counts(outcomes)
            << "; not disinfected, by last outcome:" << Counts(notDisinfected) << "; "
            << SecondsSince(started) << " s\n";
  EXPECT_EQ(points, n1 + n2);
  EXPECT_EQ(losses, Known("crash loss", road));
  EXPECT_EQ(stranded, Known("crash stranded", road));
}

const auto kRoads = ::testing::Values(Road::XpInfected, Road::Win98Infected, Road::XpClean);
INSTANTIATE_TEST_SUITE_P(Roads, FaultSweep, kRoads, ParamName);
INSTANTIATE_TEST_SUITE_P(Roads, CrashSweep, kRoads, ParamName);

}  // namespace
}  // namespace dravlin::reliability
