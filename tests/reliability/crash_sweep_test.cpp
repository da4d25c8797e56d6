// The program ends abruptly at every platform call of the two-step road in turn (power lost,
// process killed); what it wrote stays. Windows restarts and the user goes on: the program
// that RunOnce starts, or the user's own start, a click on start, and so on while it asks for
// restarts, three runs at most. Nothing of the Windows key or of the hijacker's entry may be
// lost except at the crash points listed below, which lose it through the written behaviour.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <set>

#include "harness.h"

namespace dravlin::reliability {
namespace {

// Crash points ("step S, operation #n within the step") that lose data through the written
// behaviour, with the reason. A new loss, or a listed one that no longer loses, fails the sweep.
const std::map<Road, std::set<std::string>> kKnownLosses = {
    // The first NT step deletes the live key's subkeys one by one before the key itself.
    // Cut off in between, the live key survives without the subkeys deleted so far, its
    // AppInit_DLLs still loads the hijacker, and the next first step moves it once more: the
    // forced restore replaces the parked copy, the only complete one, with the truncated key.
    // The road then ends "disinfected" without those subkeys.
    {Road::XpInfected,
     {"step 1, RegCloseKey #7", "step 1, RegOpenKeyExA #9", "step 1, RegQueryInfoKeyA #3",
      "step 1, RegEnumKeyExA #3", "step 1, RegCloseKey #8", "step 1, RegOpenKeyExA #10",
      "step 1, RegQueryInfoKeyA #4", "step 1, RegCloseKey #9", "step 1, RegOpenKeyExA #11",
      "step 1, RegDeleteKeyA #2", "step 1, RegCloseKey #10", "step 1, RegOpenKeyExA #12",
      "step 1, RegDeleteKeyA #3", "step 1, RegCloseKey #11", "step 1, RegOpenKeyExA #13",
      "step 1, RegDeleteKeyA #4"}},
    // The second DOS step re-creates the service key before it reads the key file and deletes
    // the DLL. Cut off in between, the next run finds the service key and takes the first
    // step: it deletes the key file (the only record of the DLL's path), saves the empty key
    // and reports "not infected", while the DLL stays on disk (no longer started).
    {Road::Win98Infected,
     {"step 2, RegFlushKey #1", "step 2, RegCloseKey #1", "step 2, PathFileExistsA #1",
      "step 2, Files.FileLen #1", "step 2, Files.FreeFile #2", "step 2, Files.OpenForBinaryRead #1",
      "step 2, Files.Get #1", "step 2, Files.Close #1", "step 2, SetFileAttributesA #1",
      "step 2, DeleteFileA #1", "step 2, PathFileExistsA #2", "step 2, DeleteFileA #2"}},
    {Road::XpClean, {}},
};

// Crash points after which nothing is lost but the Windows key's values stay in the parked
// copy for good: the crash falls between the creation of the new live key and the restore into
// it, and every later start reads the empty live key as not infected.
const std::map<Road, std::set<std::string>> kKnownStranded = {
    {Road::XpInfected, {"step 2, RegRestoreKeyA #1"}},
    {Road::Win98Infected, {}},
    {Road::XpClean, {}},
};

struct Tally {
  std::size_t points = 0;
  std::size_t disinfected = 0;
  std::size_t claimedClean = 0;  // the last run reports disinfected, something is left over
  std::map<Outcome, std::size_t> outcomes;
  std::map<Outcome, std::size_t> notDisinfected;  // by the last run's outcome
  std::set<std::string> losses;
  std::set<std::string> stranded;  // NT: nothing lost, but the values sit only in the parked key
};

class CrashSweep : public ::testing::TestWithParam<Road> {};

TEST_P(CrashSweep, EveryCrashPointRecoversOrEndsReadablyAndLosesOnlyTheKnownPoints) {
  const Road road = GetParam();
  const bool infected = road != Road::XpClean;
  const auto started = std::chrono::steady_clock::now();

  // The calls of each step on the undisturbed road.
  std::vector<std::string> step1;
  std::vector<std::string> step2;
  {
    Rig rig(road);
    const RunResult first = rig.RunByHand();
    step1 = first.calls;
    if (infected) {
      ASSERT_EQ(first.outcome, Outcome::Restart);
      const RunResult second = rig.RunAfterRestart();
      ASSERT_EQ(second.outcome, Outcome::Disinfected);
      ASSERT_TRUE(rig.Disinfected());
      step2 = second.calls;
    } else {
      ASSERT_EQ(first.outcome, Outcome::NotInfected);
    }
  }
  const std::size_t n = step1.size() + step2.size();

  Tally tally;
  for (std::size_t k = 1; k <= n; ++k) {
    const bool inFirst = k <= step1.size();
    const std::size_t local = inFirst ? k : k - step1.size();
    const auto [op, occurrence] = NthCall(inFirst ? step1 : step2, local);
    const std::string point = std::string("step ") + (inFirst ? "1" : "2") + ", " + op + " #" +
                              std::to_string(occurrence);
    SCOPED_TRACE(std::string(RoadName(road)) + ": crash at call " + std::to_string(k) + " of " +
                 std::to_string(n) + " (" + point + ")");

    Rig rig(road);
    sim::Machine& m = rig.machine();
    const auto arm = [&] { m.CrashAtCall(local); };
    RunResult crashed;
    if (inFirst) {
      crashed = rig.RunByHand(arm);
    } else {
      ASSERT_EQ(rig.RunByHand().outcome, Outcome::Restart);
      crashed = rig.RunAfterRestart(arm);
    }
    ASSERT_TRUE(crashed.crashed);
    ++tally.points;
    m.ClearFaults();

    // The user goes on after the restart, as long as the program asks for one.
    RunResult last;
    int runs = 0;
    do {
      last = rig.RunAfterRestart();
      ++runs;
      ASSERT_FALSE(last.crashed);
      EXPECT_TRUE(last.errorEntriesWellFormed) << ::testing::PrintToString(last.log);
    } while (last.outcome == Outcome::Restart && runs < 3);
    ++tally.outcomes[last.outcome];

    const auto missing = rig.Missing();
    if (!missing.empty()) {
      tally.losses.insert(point);
      std::cout << "[crash sweep] loss: " << RoadName(road) << ", crash at call " << k << " ("
                << point << "), then " << runs << " run(s) ending in " << OutcomeName(last.outcome)
                << ": lost " << Describe(missing) << "\n";
    }
    if (IsNt(road) && missing.empty() && !rig.LiveKeyComplete()) {
      tally.stranded.insert(point);
      std::cout << "[crash sweep] stranded: " << RoadName(road) << ", crash at call " << k << " ("
                << point << "), then " << runs << " run(s) ending in " << OutcomeName(last.outcome)
                << ": the live key lacks values that only the parked key holds\n";
    }
    if (infected && rig.Disinfected()) {
      ++tally.disinfected;
    } else if (infected) {
      // Not disinfected: the user must at least have an outcome to read.
      EXPECT_NE(last.outcome, Outcome::None) << ::testing::PrintToString(last.log);
      ++tally.notDisinfected[last.outcome];
      if (last.outcome == Outcome::Disinfected) ++tally.claimedClean;
    } else {
      // A clean machine stays as it was.
      EXPECT_TRUE(rig.LiveKeyComplete());
      EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
      EXPECT_NE(last.outcome, Outcome::None) << ::testing::PrintToString(last.log);
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "[crash sweep] " << RoadName(road) << ": " << tally.points << " crash points ("
            << step1.size() << " + " << step2.size() << " calls), " << tally.disinfected
            << " end disinfected, " << tally.claimedClean
            << " end reported disinfected with leftovers, " << tally.losses.size() << " lose data, "
            << tally.stranded.size() << " leave values only in the parked key; last outcomes:";
  for (const auto& [outcome, count] : tally.outcomes) {
    std::cout << " " << OutcomeName(outcome) << "=" << count;
  }
  std::cout << "; not disinfected, by last outcome:";
  for (const auto& [outcome, count] : tally.notDisinfected) {
    std::cout << " " << OutcomeName(outcome) << "=" << count;
  }
  std::cout << "; " << seconds << " s\n";
  EXPECT_EQ(tally.points, n);
  EXPECT_EQ(tally.losses, kKnownLosses.at(road));
  EXPECT_EQ(tally.stranded, kKnownStranded.at(road));
}

INSTANTIATE_TEST_SUITE_P(Roads, CrashSweep,
                         ::testing::Values(Road::XpInfected, Road::Win98Infected, Road::XpClean),
                         [](const ::testing::TestParamInfo<Road>& param) {
                           return param.param == Road::XpInfected ? std::string("XpInfected")
                                  : param.param == Road::Win98Infected
                                      ? std::string("Win98Infected")
                                      : std::string("XpClean");
                         });

}  // namespace
}  // namespace dravlin::reliability
