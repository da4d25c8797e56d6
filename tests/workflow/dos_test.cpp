// DOS-based Windows (and every version the program does not recognise): the road through the
// saved service key, clean systems, a missing service key, Vista.
#include <gtest/gtest.h>

#include "scenario.h"

namespace dravlin::scenario {
namespace {

using Boxes = std::vector<std::pair<std::string, std::uint32_t>>;
using Lines = std::vector<std::string>;

constexpr const char* kCleanupError =
    "Error on Cleaning. Read the Log for further infos.\r\n\r\nProgram will be terminated.";
constexpr const char* kCleaned =
    "Your computer now is disinfected!!!\r\n\r\n"
    "In order to prevent a renewed infection, you should \r\n"
    "execute regularly Windows-Update.\r\n\r\n"
    "It is recommended to use an alternative browser.";

TEST(Win98Road, TwoStepsThroughTheKeyFile) {
  Scenario s("win98");
  auto& m = s.machine();
  // The search ignores letter case: the directory in small letters, the entry in capitals.
  m.SetSystemDirectory("C:\\Windows\\System");
  Infect98(m);
  ArrangeBrowser(m, k98Dll);
  ASSERT_TRUE(m.HijackerLoaded());
  // A key file left behind read-only and hidden does not stand in the way.
  m.WriteFile(kKeyFile, "stale");
  m.SetFileAttributes(kKeyFile,
                      platform::FILE_ATTRIBUTE_READONLY | platform::FILE_ATTRIBUTE_HIDDEN);

  auto& first = s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "start disinfection");
  ASSERT_TRUE(first.Click(Control::CB_start));
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String found: C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL"),
                            s.Line(" Restart")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{"Your computer will be restarted now.", kInfo}}));
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{2});
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_EQ(m.OpenFiles(), 0u);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(m.FileExists(kKeyFile));
  EXPECT_NE(m.ReadFile(kKeyFile), std::optional<std::string>("stale"));
  EXPECT_TRUE(m.NamesProgram(m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin")->data));

  m.ClearMessageBoxes();
  auto& second = s.RebootIntoProgram();
  EXPECT_FALSE(m.HijackerLoaded());
  EXPECT_EQ(m.Control(Control::CB_start).text, "Complete disinfection");
  ASSERT_TRUE(second.Click(Control::CB_start));
  const std::string nul(1, '\0');
  const std::string objectDll = "C:\\Program Files\\QzBar\\QZHOOK.DLL";
  const Lines log = s.Log();
  ASSERT_EQ(log.size(), 13u);
  EXPECT_EQ(
      Lines(log.begin() + 3, log.end()),
      (Lines{s.Line(" 2nd Step "), s.Line(" Hijack-DLL: C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL (deleted)"),
             s.Line(" BHO: {DEADBEEF-0000-4000-8000-000000000001} " + objectDll + nul + " "),
             s.Line(" BHO-deleted"), s.Line(" BHO-CLSID-Key deleted"),
             s.Line(" BHO-DLL: " + objectDll + nul + "  (deleted)"), s.Line(" Bad IE-pages found:"),
             "deleted: HKCU\\Software\\Microsoft\\Internet Explorer\\Main, Start Page: "
             "res://C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL/qz.html#start" +
                 nul,
             "deleted: HKLM\\Software\\Microsoft\\Internet Explorer\\Main, Search Page: "
             "res://C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL/qz.html" +
                 nul,
             s.Line(" Cleaned")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{kCleaned, kInfo}}));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_TRUE(m.ListValues(HKEY_LOCAL_MACHINE, kServiceKey).empty());
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_FALSE(m.FileExists(k98Dll));
  EXPECT_FALSE(m.FileExists(objectDll));
  EXPECT_FALSE(m.Control(Control::CB_start).enabled);

  // The next boot finds nothing to load.
  s.session().Close();
  m.Reboot();
  EXPECT_FALSE(m.HijackerLoaded());
}

TEST(Win98Road, UndeletableDllIsLoggedAndTheOutcomeIsStillDisinfected) {
  Scenario s("win98");
  auto& m = s.machine();
  Infect98(m);
  s.Start().Click(Control::CB_start);
  auto& second = s.RebootIntoProgram();
  m.SetUndeletable(k98Dll);
  m.ClearMessageBoxes();
  second.Click(Control::CB_start);
  const Lines log = s.Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[3], s.Line(" 2nd Step "));
  EXPECT_EQ(log[4], s.Line(" Error while deleting Hijack-DLL "));
  EXPECT_EQ(log.back(), s.Line(" Cleaned"));
  EXPECT_EQ(s.Boxes(), (Boxes{{kCleaned, kInfo}}));
  EXPECT_FALSE(m.FileExists(kKeyFile));
}

TEST(Win98Road, DllGoneBeforeTheSecondStepIsACleanupError) {
  Scenario s("win98");
  auto& m = s.machine();
  Infect98(m);
  s.Start().Click(Control::CB_start);
  auto& second = s.RebootIntoProgram();
  m.RemoveFile(k98Dll);
  m.ClearMessageBoxes();
  second.Click(Control::CB_start);
  const Lines log = s.Log();
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(Lines(log.begin() + 3, log.end()),
            (Lines{s.Line(" 2nd Step "), s.Line(" Hijack-DLL Path not found  (not deleted)"),
                   s.Line(" BHO-DLL: (not found)"), s.Line(" Bad IE-pages found:")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{kCleanupError, kPlain}}));
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

TEST(Win98Branches, CleanServiceKeyIsNotInfectedAndStaysAsItWas) {
  Scenario s("win98");
  auto& m = s.machine();
  m.Boot();
  // Entries written after the boot, as a program installing a service would.
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Scanner", "C:\\Program Files\\Scan\\scan.exe");
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Update", "C:\\WINDOWS\\update.exe /q");
  const TreeMap before = WholeRegistry(m);
  auto& run = s.Start();
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String not found -> Programm terminated")}));
  EXPECT_EQ(m.Control(Control::Form).text, "QZ.html - Hijack Fixer -> not infected !");
  EXPECT_FALSE(m.Control(Control::CB_start).enabled);
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_EQ(WholeRegistry(m), before);
  EXPECT_TRUE(s.Boxes().empty());
}

TEST(Win98Branches, SystemDirectoryWithoutADotAfterItLogsPos1) {
  Scenario s("win98");
  auto& m = s.machine();
  m.Boot();
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "odd", "C:\\WINDOWS\\SYSTEM\\nodot");
  const TreeMap before = WholeRegistry(m);
  s.Start().Click(Control::CB_start);
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"), s.Line(" pos1 <0 "),
                            s.Line(" Stealth-String not found -> Programm terminated")}));
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_EQ(WholeRegistry(m), before);
}

TEST(Win98Branches, NoServiceKeyStartsWithTheSecondStep) {
  Scenario s("win98");
  auto& m = s.machine();
  m.Boot();
  auto& run = s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "Complete disinfection");
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log(),
            (Lines{s.Line(" 2nd Step "), s.Line(" Hijack-DLL Path not found (not deleted)"),
                   s.Line(" BHO-DLL: (not found)"), s.Line(" Bad IE-pages found:")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{kCleanupError, kPlain}}));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_FALSE(m.Control(Control::CB_start).enabled);
}

TEST(Win98Branches, KeyFileWithoutTheSystemDirectoryFailsTwoStepsAndEndsInACleanupError) {
  Scenario s("win98");
  auto& m = s.machine();
  m.Boot();
  m.WriteFile(kKeyFile, "REGEDIT image without any path in it");
  s.Start().Click(Control::CB_start);
  const std::string error = s.Line(" Error go_9x: 5");
  EXPECT_EQ(s.Log(), (Lines{s.Line(" 2nd Step "), error, "Invalid procedure call or argument",
                            error, "Invalid procedure call or argument",
                            s.Line(" Hijack-DLL Path not found  (not deleted)"),
                            s.Line(" BHO-DLL: (not found)"), s.Line(" Bad IE-pages found:")}));
  EXPECT_EQ(s.session().form().HijackDllPath(), "");
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_EQ(s.Boxes(), (Boxes{{kCleanupError, kPlain}}));
}

TEST(Win98Branches, HiddenRunonceButtonBringsTheFirstStepBack) {
  Scenario s("win98");
  auto& m = s.machine();
  m.Boot();
  auto& run = s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "Complete disinfection");
  EXPECT_FALSE(run.Click(Control::Command1)) << "hidden from the user";
  run.form().Command1_Click();
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_TRUE(run.Close());
  s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "start disinfection");
}

TEST(Win98Branches, WindowsMeAnd95RestartThroughTheDosMethod) {
  for (const char* version : {"win95", "winme"}) {
    Scenario s(version);
    auto& m = s.machine();
    Infect98(m, m.SystemDirectory() + "\\qzhook.dll");
    s.Start().Click(Control::CB_start);
    EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{2}) << version;
    EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  }
}

TEST(Vista, UnrecognisedVersionUsesTheDosRoadAndAsksTheUserToRestart) {
  Scenario s("vista", kGerman);
  auto& m = s.machine();
  m.SetAdmin(false);  // no administrator check on this road
  m.SetPrivileges(
      {{"SeBackupPrivilege", true}, {"SeRestorePrivilege", false}, {"SeShutdownPrivilege", false}});
  const std::string dll = m.SystemDirectory() + "\\qzhook.dll";
  m.Boot();
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", dll);
  m.WriteFile(dll, "MZ");
  auto& run = s.Start();
  EXPECT_EQ(run.form().OsCode(), 0);
  EXPECT_EQ(run.form().SystemPath(), m.SystemDirectory());
  EXPECT_EQ(m.Control(Control::CB_start).text, "Desinfektion starten");
  run.Click(Control::CB_start);
  EXPECT_EQ(
      s.Boxes(),
      (Boxes{{"Bitte schliessen sie jetzt das Programm und starten Ihren Rechner neu", kPlain}}));
  EXPECT_TRUE(m.ExitWindowsCalls().empty());
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String found: " + dll), s.Line(" Restart")}));
  EXPECT_TRUE(m.NamesProgram(m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin")->data));

  // The user restarts by hand; the program comes back for the second step.
  m.ClearMessageBoxes();
  auto& second = s.RebootIntoProgram();
  EXPECT_EQ(m.Control(Control::CB_start).text, "Desinfektion abschliessen");
  second.Click(Control::CB_start);
  EXPECT_FALSE(m.FileExists(dll));
  EXPECT_EQ(s.Log().back(), s.Line(" Cleaned"));
}

}  // namespace
}  // namespace dravlin::scenario
