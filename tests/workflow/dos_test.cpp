// DOS-based Windows (and every version the program does not recognise): the road through the
// saved service key, clean systems, a missing service key, Vista.
#include <gtest/gtest.h>

#include "scenario.h"

namespace dravlin::scenario {
namespace {

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
  // The hijacker's entry moves behind 40,000 characters of another one in the key file.
  const auto entry = m.GetValue(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook");
  ASSERT_TRUE(entry.has_value());
  m.DeleteValue(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook");
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Padding", std::string(40000, 'x'));
  m.SetValue(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", entry->type, entry->data);
  m.SetFileAttributes(kKeyFile,
                      platform::FILE_ATTRIBUTE_READONLY | platform::FILE_ATTRIBUTE_HIDDEN);

  auto& first = s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "start disinfection");
  ASSERT_TRUE(first.Click(Control::CB_start));
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String found: C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL"),
                            s.Line(" Restart")}));
  EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishRestart, kInfo}}));
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{2});
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_EQ(m.OpenFiles(), 0u);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(m.FileExists(kKeyFile));
  EXPECT_GT(m.ReadFile(kKeyFile)->find(k98Dll), 40000u);
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
  EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleaned, kInfo}}));
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

TEST(Win98Road, SecondStepWithTheDllUndeletableOrGone) {
  for (const bool gone : {false, true}) {
    SCOPED_TRACE(gone ? "gone" : "undeletable");
    Scenario s("win98");
    auto& m = s.machine();
    Infect98(m);
    s.Start().Click(Control::CB_start);
    auto& second = s.RebootIntoProgram();
    if (gone) {
      m.RemoveFile(k98Dll);
    } else {
      m.SetUndeletable(k98Dll);
    }
    m.ClearMessageBoxes();
    second.Click(Control::CB_start);
    const Lines log = s.LogFrom(3);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], s.Line(" 2nd Step "));
    if (gone) {
      EXPECT_EQ(log,
                (Lines{s.Line(" 2nd Step "), s.Line(" Hijack-DLL Path not found  (not deleted)"),
                       s.Line(" BHO-DLL: (not found)"), s.Line(" Bad IE-pages found:")}));
      EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleanupError, kPlain}}));
    } else {
      EXPECT_EQ(log[1], s.Line(" Error while deleting Hijack-DLL "));
      EXPECT_EQ(log.back(), s.Line(" Cleaned"));
      EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleaned, kInfo}}));
    }
    // While the DLL is on disk the key file keeps its path, and without the service key the
    // next start offers the second step again.
    EXPECT_EQ(m.FileExists(kKeyFile), !gone);
    EXPECT_EQ(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey), gone);
  }
}

TEST(Win98Branches, ServiceKeyWithoutTheDllIsNotInfectedAndStaysAsItWas) {
  struct Case {
    const char* name;
    const char* data;
    std::vector<std::string> extraLog;
  };
  for (const Case& c : {Case{"Update", "C:\\WINDOWS\\update.exe /q", {}},
                        // The system directory found with no dot after it.
                        Case{"odd", "C:\\WINDOWS\\SYSTEM\\nodot", {" pos1 <0 "}}}) {
    Scenario s("win98");
    auto& m = s.machine();
    m.Boot();
    // Entries written after the boot, as a program installing a service would.
    m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Scanner", "C:\\Program Files\\Scan\\scan.exe");
    m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, c.name, c.data);
    const TreeMap before = WholeRegistry(m);
    s.Start().Click(Control::CB_start);
    Lines expected{s.Line(" Dravlin started v1.07")};
    for (const auto& line : c.extraLog) expected.push_back(s.Line(line));
    expected.push_back(s.Line(" Stealth-String not found -> Programm terminated"));
    EXPECT_EQ(s.Log(), expected);
    EXPECT_EQ(m.Control(Control::Form).text, "QZ.html - Hijack Fixer -> not infected !");
    EXPECT_FALSE(m.Control(Control::CB_start).enabled);
    EXPECT_FALSE(m.FileExists(kKeyFile));
    EXPECT_EQ(WholeRegistry(m), before);
    EXPECT_TRUE(s.Boxes().empty());
  }
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
  EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleanupError, kPlain}}));
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
  EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleanupError, kPlain}}));
}

TEST(Vista, TheKeyFileHoldsThePathInUtf16SoTheDosRoadFindsNothing) {
  Scenario s("vista");
  auto& m = s.machine();
  m.SetPrivileges({{"SeBackupPrivilege", true}});
  m.Boot();
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", m.SystemDirectory() + "\\qzhook.dll");
  m.WriteFile(m.SystemDirectory() + "\\qzhook.dll", "MZ");
  s.Start().Click(Control::CB_start);
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String not found -> Programm terminated")}));
}

TEST(UnrecognisedVersion, UsesTheDosRoadAndAsksTheUserToRestart) {
  Scenario s("win98", kGerman);
  auto& m = s.machine();
  m.SetVersion({platform::VER_PLATFORM_WIN32_WINDOWS, 4, 50, 0x04320000, ""});  // unknown to us
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
