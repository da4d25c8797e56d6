// Where the program departs from the letter to stay sound, how its failure guards behave, and
// hostile registry and file contents.
#include <gtest/gtest.h>

#include <stdexcept>

#include "scenario.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/runtime.h"

namespace dravlin::scenario {
namespace {

// ---------------------------------------------------------------------------------------------
// The restart entry

TEST(RestartEntry, LongInstallPathStillGetsItsShortPath) {
  Scenario s;
  auto& m = s.machine();
  std::string folder = "C:";
  for (int i = 0; i < 20; ++i) folder += "\\Folder Number " + std::to_string(10 + i);
  const std::string exe = folder + "\\dravlin.exe";
  m.WriteFile(exe, "MZ");
  m.SetExePath(exe);
  InfectXp(m);
  s.Start().Click(Control::CB_start);
  const auto entry = m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin");
  ASSERT_TRUE(entry.has_value());
  const std::string command = entry->data.substr(0, entry->data.size() - 1);
  EXPECT_GT(command.size(), 164u);
  EXPECT_EQ(command.find('\0'), std::string::npos);
  EXPECT_EQ(command.find(' '), std::string::npos) << "the short form";
  EXPECT_TRUE(m.NamesProgram(command));
  // The log sits beside the program, wherever that is.
  EXPECT_TRUE(m.FileExists(folder + "\\dravlin.log"));
  auto restarted = simrun::Reboot(m);
  EXPECT_EQ(restarted.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Failure guards

TEST(Guards, RaisedRenameFailureIsLoggedAndTheFirstStepGoesOn) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  m.FailCall("RegSaveKeyA", 1, platform::ERROR_ACCESS_DENIED);
  s.Start().Click(Control::CB_start);
  const Lines log = s.Log();
  ASSERT_EQ(log.size(), 5u) << testing::PrintToString(log);
  EXPECT_EQ(log[1], s.Line(" Stealth-String found"));
  EXPECT_EQ(log[2], s.Line(" Error go_nt: 5"));
  EXPECT_EQ(log[3].rfind("Access is denied.", 0), 0u) << log[3];
  EXPECT_EQ(log[4], s.Line(" Restart"));
  // The key was not moved; the restart comes all the same and the next run starts over.
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{6});
}

TEST(Guards, RenameReportedAsFailedWritesErrorRkAndRestartsAllTheSame) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  // The fifth open of the click is the rename's open of the live key.
  auto& run = s.Start();
  m.FailCall("RegOpenKeyExA", 5, platform::ERROR_ACCESS_DENIED);
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"), s.Line(" Stealth-String found"),
                            s.Line(" Error RK"), s.Line(" Restart")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{"Zugriff verweigert", kPlain}, {kEnglishRestart, kInfo}}));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
}

TEST(Guards, FailedMoveBackInAnAbortSkipsTheRestOfTheAbort) {
  Scenario s;
  auto& m = s.machine();
  m.SetString(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", "C:\\gone\\qzhook.dll");
  m.Boot();
  m.FailCall("RegSaveKeyA", 1, platform::ERROR_ACCESS_DENIED);
  auto& run = s.Start();
  run.Click(Control::CB_start);
  const Lines log = s.Log();
  ASSERT_EQ(log.size(), 4u) << testing::PrintToString(log);
  EXPECT_EQ(log[1], s.Line(" Stealth-Dll not found -> Programm terminated"));
  EXPECT_EQ(log[2], s.Line(" Error go_nt: 5"));
  EXPECT_TRUE(s.Boxes().empty()) << "no cleanup-error message";
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
  EXPECT_TRUE(m.Control(Control::CB_start).enabled);
}

TEST(Guards, AbruptEndPassesThroughEveryGuard) {
  // The first step makes far more than 60 calls, so every armed crash fires inside it.
  for (const std::uint64_t n : {1u, 7u, 20u, 41u, 60u}) {
    Scenario s;
    auto& m = s.machine();
    InfectXp(m);
    auto& run = s.Start();
    m.CrashAtCall(n);
    EXPECT_THROW(run.Click(Control::CB_start), sim::ProgramCrash) << n;
    EXPECT_TRUE(m.ProgramDead());
    for (const std::string& line : s.Log()) {
      EXPECT_EQ(line.find("Error go_nt"), std::string::npos) << "a crash is not a logged failure";
    }
  }
}

TEST(Guards, AFailedTestCountsAsPassedAndOnlyRaisedErrorsAreCaught) {
  // No platform call raises, so the procedures' tests fail only this way.
  Scenario s;
  s.machine().Boot();
  ProcedureGuard guard(s.Start().form(), " Error go_nt: ");
  EXPECT_TRUE(guard.Test([]() -> bool { throw rt::Error(5); }));
  EXPECT_FALSE(guard.Test([] { return false; }));
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Error go_nt: 5"), "Invalid procedure call or argument"}));
  EXPECT_THROW(guard.Step([] { throw sim::ProgramCrash{}; }), sim::ProgramCrash);
  EXPECT_THROW(guard.Step([] { throw std::logic_error("bug"); }), std::logic_error);
}

TEST(Guards, FailedStampLeavesTheLineWithoutIt) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  auto& run = s.Start();
  m.FailCall("GetDateFormatA", 1, platform::ERROR_INVALID_PARAMETER);
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log(),
            (Lines{" Dravlin started v1.07", s.Line(" Stealth-String found"), s.Line(" Restart")}));
}

// ---------------------------------------------------------------------------------------------
// Hostile contents

TEST(Hostile, HugeRandomAutoLoadValuesDeleteNothingTheRulesDoNotSelect) {
  const std::string good = "{11111111-2222-3333-4444-555555555555}";
  for (const bool parked : {false, true}) {
    SCOPED_TRACE(parked ? "parked, NULs included" : "live, without any NUL");
    Scenario s;
    auto& m = s.machine();
    if (parked) {
      m.SetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", platform::REG_SZ,
                 RandomBytes(3 << 20, 2));
    } else {
      ArrangeLiveKey(m, "");
      // Megabytes without any NUL, not even a terminating one.
      std::string noNul = RandomBytes(4 << 20, 1);
      for (auto& c : noNul) c = c == '\0' ? ' ' : c;
      m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, noNul);
    }
    AddBho(m, good, "C:\\Program Files\\Good\\good.dll");
    m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ");
    m.Boot();
    const TreeMap before = WholeRegistry(m);
    const auto filesBefore = m.ListFiles();
    s.Start().Click(Control::CB_start);
    if (parked) {
      EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
      EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + good));
    } else {
      EXPECT_EQ(s.Log().back(), s.Line(" Stealth-String not found -> Programm terminated"));
      EXPECT_EQ(WholeRegistry(m), before);
    }
    for (const auto& f : filesBefore) EXPECT_TRUE(m.FileExists(f)) << f;
  }
}

TEST(Hostile, HugeRandomPagesAndObjectPathsSelectOnlyWhatTheRulesSelect) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  ArrangeBrowser(m, kXpDll);
  // Megabytes of random bytes with stray percent signs, without the marker.
  std::string noise = RandomBytes(2 << 20, 3);
  for (std::size_t i = 0; i < noise.size(); i += 997) noise[i] = '%';
  for (auto& c : noise) {
    if (c == '\0') c = '\\';  // no NUL, and backslashes everywhere
  }
  for (std::size_t at = noise.find("qz.html"); at != std::string::npos; at = noise.find("qz.html"))
    noise[at] = 'x';
  m.SetValue(HKEY_CURRENT_USER, kIeMain, "Search Page", platform::REG_SZ, noise);
  m.SetValue(HKEY_LOCAL_MACHINE, kIeMain, "Default_Page_URL", platform::REG_BINARY, noise);
  const std::string random = "{22222222-0000-0000-0000-000000000000}";
  AddBho(m, random, "");
  m.SetValue(HKEY_CLASSES_ROOT, "CLSID\\" + random + "\\InprocServer32", "", platform::REG_SZ,
             RandomBytes(2 << 20, 4));
  // A huge page that is bad must go.
  m.SetValue(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ", platform::REG_SZ,
             RandomBytes(1 << 20, 5) + "/qz.html");
  s.Start().Click(Control::CB_start);
  s.RebootIntoProgram().Click(Control::CB_start);
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Search Page").has_value());
  EXPECT_TRUE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "Default_Page_URL").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ").has_value());
  EXPECT_TRUE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + random));
  EXPECT_FALSE(m.FileExists(kXpDll));
  EXPECT_EQ(s.Log().back(), s.Line(" Cleaned"));
  for (const std::string& line : s.Log()) EXPECT_EQ(line.find("Error go_nt"), std::string::npos);
}

TEST(Hostile, HugeRandomKeyFilesDoNotCrashEitherStep) {
  for (std::uint32_t seed = 10; seed < 13; ++seed) {
    // First step: a service key of megabytes of random data.
    Scenario s("win98");
    auto& m = s.machine();
    m.Boot();
    std::string data = RandomBytes(3 << 20, seed);
    if (seed == 11) data.replace(1 << 20, 17, "C:\\WINDOWS\\SYSTEM");  // found, dot somewhere
    m.SetValue(HKEY_LOCAL_MACHINE, kServiceKey, "junk", platform::REG_BINARY, data);
    const auto filesBefore = m.ListFiles();
    s.Start().Click(Control::CB_start);
    for (const auto& f : filesBefore) EXPECT_TRUE(m.FileExists(f)) << f;

    // Second step: a key file of random bytes with the directory near its end and no dot after.
    Scenario t("win98");
    auto& tm = t.machine();
    tm.Boot();
    std::string image = RandomBytes(3 << 20, seed + 100);
    for (auto& c : image) {
      if (c == '.') c = ',';
    }
    image.replace(image.size() - 40, 17, "C:\\WINDOWS\\SYSTEM");
    tm.WriteFile(kKeyFile, image);
    t.Start().Click(Control::CB_start);
    EXPECT_EQ(t.Log().back(), t.Line(" Bad IE-pages found:"));
    EXPECT_FALSE(tm.FileExists(kKeyFile));
    EXPECT_FALSE(tm.Control(Control::CB_start).enabled);
  }
}

}  // namespace
}  // namespace dravlin::scenario
