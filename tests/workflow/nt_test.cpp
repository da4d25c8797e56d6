// NT-based Windows: the two-step road on XP in both languages, its variations, clean
// systems, missing rights, Windows 2000 and NT 4.0.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "scenario.h"

namespace dravlin::scenario {
namespace {

constexpr const char* kObjectDll = "C:\\Program Files\\QzBar\\qzhook.dll";

constexpr const char* kEnglishLabel2 =
    "With click on 'start disinfection' the first step will be executed.\r\n\r\n"
    "After that your computer will be be restarted.\r\n\r\n"
    "After the restart the program calls itself independently\r\n"
    "and the disinfection can be completed.";
constexpr const char* kGermanLabel2 =
    "Mit Klick auf 'Desinfektion starten' wird der erste Schritt ausgeführt.\r\n\r\n"
    "Danach muss Ihr Rechner neu gestartet werden.\r\n\r\n"
    "Nach dem Neustart ruft sich das Programm selbständig\r\n"
    "neu auf und die Desinfektion kann abgeschlossen werden.";
constexpr const char* kGermanCleaned =
    "Ihr Rechner wurde desinfiziert!!!\r\n\r\n"
    "Um einer erneuten Infizierung vorzubeugen, sollten Sie\r\n"
    "regelmässig Windows-Update ausführen.\r\n\r\n"
    "Desweiteren ist der Umstieg auf einen alternativen Browser\r\n"
    "zu empfehlen.";
std::string ShortPathOf(sim::Machine& m, const std::string& longPath) {
  std::string buffer(1024, '\0');
  const auto n = m.services().kernel.GetShortPathNameA(longPath, buffer.data(), 1024);
  return buffer.substr(0, n);
}

std::string WithNul(const std::string& s) {
  return s + std::string(1, '\0');
}

// The live key as it should be after the whole road: the same, with AppInit_DLLs emptied.
TreeMap Disinfected(TreeMap live) {
  live[""]["AppInit_DLLs"] = sim::RegValue{platform::REG_SZ, ""};
  return live;
}

// ---------------------------------------------------------------------------------------------
// The complete road on XP

struct RoadTexts {
  const char* version;
  Language language;
  const char* startCaption;
  const char* completeCaption;
  const char* close;
  const char* frame;
  const char* label3;
  const char* label2;
  const char* restart;
  const char* cleaned;
};

void PrintTo(const RoadTexts& t, std::ostream* os) {
  *os << t.version << (t.language.german ? " German" : " English");
}

class XpRoad : public ::testing::TestWithParam<RoadTexts> {};

TEST_P(XpRoad, TwoStepsRemoveTheHijackerAndRestoreTheKey) {
  const RoadTexts& t = GetParam();
  Scenario s(t.version, t.language);
  auto& m = s.machine();
  InfectXp(m);
  ArrangeBrowser(m, kXpDll);
  const TreeMap liveBefore = Tree(m, HKEY_LOCAL_MACHINE, kLiveKey);
  ASSERT_TRUE(m.HijackerLoaded());

  // First run: the window as the user sees it.
  auto& first = s.Start();
  ASSERT_TRUE(first.Running());
  EXPECT_EQ(m.Control(Control::Form).text, "QZ.html - Hijack Fixer");
  EXPECT_EQ(m.Control(Control::CB_start).text, t.startCaption);
  EXPECT_EQ(m.Control(Control::Command2).text, t.close);
  EXPECT_EQ(m.Control(Control::Frame1).text, t.frame);
  EXPECT_EQ(m.Control(Control::Label3).text, t.label3);
  EXPECT_EQ(m.Control(Control::label2).text, t.label2);
  EXPECT_EQ(m.Control(Control::Label5).text, "v1.07");
  EXPECT_FALSE(first.CanClick(Control::Command1));
  EXPECT_FALSE(first.CanClick(Control::Command3));

  ASSERT_TRUE(first.Click(Control::CB_start));
  EXPECT_EQ(s.Boxes(), (Boxes{{t.restart, kInfo}}));
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{6});
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege")) << "switched off again";
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_EQ(m.OpenFiles(), 0u) << "the log is closed";
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"), s.Line(" Stealth-String found"),
                            s.Line(" Restart")}));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
  EXPECT_EQ(Tree(m, HKEY_LOCAL_MACHINE, kParkedKey), liveBefore) << "parked byte for byte";
  const auto runOnce = m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin");
  ASSERT_TRUE(runOnce.has_value());
  EXPECT_EQ(runOnce->type, platform::REG_SZ);
  EXPECT_EQ(runOnce->data, WithNul(ShortPathOf(m, m.ExePath())));
  EXPECT_NE(runOnce->data, WithNul(m.ExePath())) << "the short form, not the long path";
  EXPECT_FALSE(m.FileExists("C:\\RegTemp.txt"));
  // The restart request is the last thing the program does, after the log is closed.
  const auto& calls = m.CallLog();
  ASSERT_FALSE(calls.empty());
  const auto exitAt = std::find(calls.begin(), calls.end(), "ExitWindowsEx");
  ASSERT_NE(exitAt, calls.end());
  EXPECT_EQ(std::count(exitAt, calls.end(), "PrintLine"), 0);

  // Windows restarts and starts the program by its RunOnce entry.
  m.ClearMessageBoxes();
  auto& second = s.RebootIntoProgram();
  EXPECT_FALSE(m.HijackerLoaded());
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin").has_value());
  EXPECT_EQ(m.Control(Control::CB_start).text, t.completeCaption);
  ASSERT_TRUE(second.Click(Control::CB_start));

  EXPECT_EQ(s.Boxes(), (Boxes{{t.cleaned, kInfo}}));
  EXPECT_FALSE(m.Control(Control::CB_start).enabled);
  EXPECT_EQ(m.Control(Control::Form).text, "QZ.html - Hijack Fixer");
  EXPECT_FALSE(m.FileExists(kXpDll));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
  EXPECT_EQ(Tree(m, HKEY_LOCAL_MACHINE, kLiveKey), Disinfected(liveBefore));
  // The hijacker's object is gone with its class and file; the ordinary one stays.
  const std::string bad = "{DEADBEEF-0000-4000-8000-000000000001}";
  const std::string good = "{11111111-2222-3333-4444-555555555555}";
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + bad));
  EXPECT_FALSE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + bad));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + good));
  EXPECT_TRUE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + good + "\\InprocServer32"));
  EXPECT_TRUE(m.FileExists("C:\\Program Files\\Good\\good.dll"));
  EXPECT_FALSE(m.FileExists(kObjectDll));
  // Bad pages are deleted under both roots; good ones stay.
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "Search Page").has_value());
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Search Bar").has_value());
  EXPECT_TRUE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "Start Page").has_value());

  const std::string nul(1, '\0');
  const Lines secondRun{
      s.Line(" 2nd Step "),
      s.Line(" Hijack-DLL: C:\\WINDOWS\\system32\\qzhook.dll (deleted)"),
      s.Line(" BHO: " + bad + " " + kObjectDll + nul + " "),
      s.Line(" BHO-deleted"),
      s.Line(" BHO-CLSID-Key deleted"),
      s.Line(" BHO-DLL: " + std::string(kObjectDll) + nul + "  (deleted)"),
      s.Line(" Bad IE-pages found:"),
      "deleted: HKCU\\Software\\Microsoft\\Internet Explorer\\Main, Start Page: res://" +
          std::string(kXpDll) + "/qz.html#start" + nul,
      "deleted: HKLM\\Software\\Microsoft\\Internet Explorer\\Main, Search Page: res://" +
          std::string(kXpDll) + "/qz.html" + nul,
      s.Line(" Cleaned"),
  };
  Lines expected{s.Line(" Dravlin started v1.07"), s.Line(" Stealth-String found"),
                 s.Line(" Restart")};
  expected.insert(expected.end(), secondRun.begin(), secondRun.end());
  EXPECT_EQ(s.Log(), expected);

  // The user closes the window: the log is closed and the program ends.
  EXPECT_TRUE(second.Click(Control::Command2));
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_EQ(m.OpenFiles(), 0u);
}

constexpr RoadTexts kEnglishRoad{
    "winxp",         kEnglish,       "start disinfection",   "Complete disinfection",
    "close",         "Description",  "In cooperation with:", kEnglishLabel2,
    kEnglishRestart, kEnglishCleaned};
constexpr RoadTexts kGermanRoad{"winxp",
                                kGerman,
                                "Desinfektion starten",
                                "Desinfektion abschliessen",
                                "Schliessen",
                                "Erklärung",
                                "In Zusammenarbeit mit:",
                                kGermanLabel2,
                                "Ihr Computer wird jetzt neu gestartet.",
                                kGermanCleaned};
constexpr RoadTexts kWindows2000Road = [] {
  RoadTexts t = kEnglishRoad;
  t.version = "win2000";
  return t;
}();

INSTANTIATE_TEST_SUITE_P(Roads, XpRoad,
                         ::testing::Values(kEnglishRoad, kGermanRoad, kWindows2000Road),
                         [](const auto& p) {
                           return std::string(p.param.version) +
                                  (p.param.language.german ? "German" : "English");
                         });

// ---------------------------------------------------------------------------------------------
// Variations of the second step

TEST(XpSecondStep, DllUndeletableOrGone) {
  for (const bool gone : {false, true}) {
    SCOPED_TRACE(gone ? "gone" : "undeletable");
    Scenario s;
    auto& m = s.machine();
    InfectXp(m);
    ArrangeBrowser(m, kXpDll);
    const TreeMap liveBefore = Tree(m, HKEY_LOCAL_MACHINE, kLiveKey);
    s.Start().Click(Control::CB_start);
    auto& second = s.RebootIntoProgram();
    m.ClearMessageBoxes();
    if (gone) {
      m.RemoveFile(kXpDll);
    } else {
      m.SetUndeletable(kXpDll);
    }
    second.Click(Control::CB_start);
    const Lines log = s.LogFrom(3);
    EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
    EXPECT_EQ(Tree(m, HKEY_LOCAL_MACHINE, kLiveKey), Disinfected(liveBefore));
    if (gone) {
      EXPECT_EQ(log, (Lines{s.Line(" 2nd Step "),
                            s.Line(" Stealth-Dll not found -> Programm terminated")}));
      EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleanupError, kPlain}}));
      EXPECT_FALSE(m.Control(Control::CB_start).enabled);
      EXPECT_TRUE(m.WindowLoaded()) << "the window stays open after the cleanup error";
      // Nothing of the browser is touched without the DLL.
      EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
      EXPECT_TRUE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{DEADBEEF-0000-4000-8000-000000000001}"));
    } else {
      ASSERT_GE(log.size(), 3u);
      EXPECT_EQ(log[0], s.Line(" 2nd Step "));
      EXPECT_EQ(log[1], s.Line(" Error while deleting Hijack-DLL "));
      EXPECT_EQ(log.back(), s.Line(" Cleaned"));
      EXPECT_TRUE(m.FileExists(kXpDll));
      EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleaned, kInfo}}));
      EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
    }
  }
}

// A backup that cannot be written stops nothing: one log line says so, and the rest is kept.
TEST(XpSecondStep, FailedBackupIsOneLogLineAndTheDllGoesAllTheSame) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  ArrangeBrowser(m, kXpDll);
  s.Start().Click(Control::CB_start);
  auto& second = s.RebootIntoProgram();
  m.FailCall("CopyFileA", 1, platform::ERROR_ACCESS_DENIED);
  second.Click(Control::CB_start);
  const Lines log = s.LogFrom(3);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], s.Line(std::string(" Error while backing up: ") + kXpDll));
  EXPECT_EQ(log[2], s.Line(std::string(" Hijack-DLL: ") + kXpDll + " (deleted)"));
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.find("backing up") != l.npos; }),
            1);
  EXPECT_EQ(log.back(), s.Line(" Cleaned"));
  EXPECT_FALSE(m.FileExists(kXpDll));
  // The object's DLL of the same name is kept under the name the hijacker's DLL did not get.
  const std::string folder = second.form().BackupFolder();
  EXPECT_EQ(m.ReadFile(folder + "\\qzhook.dll.removed"), "MZ object");
  const std::string notes = m.ReadFile(folder + "\\restore.txt").value_or("");
  EXPECT_NE(notes.find(std::string("qzhook.dll.removed  ->  ") + kObjectDll), notes.npos);
  EXPECT_EQ(notes.find(kXpDll), notes.npos);
}

TEST(XpParkedValue, UnreadableOrOneToThreeValidCharactersHaveNoPath) {
  const std::vector<const char*> bystanders{"C:\\Error", "C:\\Program Files\\Dravlin\\Error",
                                            "C:\\WINDOWS\\system32\\Error"};
  // None: the value is missing and reads as "Error", which is never taken for a file.
  for (const std::optional<std::string>& parked :
       {std::optional<std::string>(), std::optional<std::string>(std::string("\0\0a\0", 4)),
        std::optional<std::string>(std::string("  ab \0", 6)),
        std::optional<std::string>(std::string("x:y\0", 4)), std::optional<std::string>("ab")}) {
    SCOPED_TRACE(testing::PrintToString(parked));
    Scenario s;
    auto& m = s.machine();
    m.CreateKey(HKEY_LOCAL_MACHINE, kParkedKey);
    m.SetString(HKEY_LOCAL_MACHINE, kParkedKey, "Spooler", "yes");
    if (parked)
      m.SetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", platform::REG_SZ, *parked);
    for (const char* path : bystanders) m.WriteFile(path, "bystander");
    m.Boot();
    auto& run = s.Start();
    EXPECT_EQ(m.Control(Control::CB_start).text, "Complete disinfection");
    run.Click(Control::CB_start);
    EXPECT_EQ(s.Log(),
              (Lines{s.Line(" 2nd Step "),
                     s.Line(parked ? " Stealth-Dll Path-Info not found -> Programm terminated"
                                   : " Stealth-Dll not found -> Programm terminated")}));
    for (const char* path : bystanders) EXPECT_TRUE(m.FileExists(path)) << path;
    // Not even looked for: the machine's drive has no current folder to find "Error" in.
    for (const char* call : {"PathFileExistsA", "DeleteFileA"}) {
      EXPECT_EQ(std::count(m.CallLog().begin(), m.CallLog().end(), call), 0) << call;
    }
    EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs"),
              (sim::RegValue{platform::REG_SZ, ""}));
    EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "Spooler"),
              (sim::RegValue{platform::REG_SZ, std::string("yes\0", 4)}));
    EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishCleanupError, kPlain}}));
  }
}

TEST(XpParkedValue, PathBehindFortyThousandBlanksIsTrimmedAndEndsAtItsFirstNul) {
  Scenario s;
  auto& m = s.machine();
  m.SetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", platform::REG_SZ,
             std::string(40000, ' ') + kXpDll + std::string("\0C:\\other.dll\0", 14));
  m.WriteFile(kXpDll, "MZ");
  m.WriteFile("C:\\other.dll", "MZ");
  m.Boot();
  s.Start().Click(Control::CB_start);
  EXPECT_FALSE(m.FileExists(kXpDll));
  EXPECT_TRUE(m.FileExists("C:\\other.dll"));
  EXPECT_EQ(s.Log().at(1), s.Line(" Hijack-DLL: C:\\WINDOWS\\system32\\qzhook.dll (deleted)"));
}

// ---------------------------------------------------------------------------------------------
// Which branch runs

TEST(XpBranches, NeitherKeyEndsTheProgramWithKeyNotFound) {
  for (Language language : {kEnglish, kGerman}) {
    Scenario s("winxp", language);
    auto& m = s.machine();
    m.Boot();
    const TreeMap before = WholeRegistry(m);
    s.Start().Click(Control::CB_start);
    EXPECT_EQ(s.Boxes(),
              (Boxes{{language.german ? "Schlüssel nicht gefunden\r\n\r\nProgramm wird beendet."
                                      : "Key not found\r\n\r\nProgram will be terminated.",
                      kPlain}}));
    EXPECT_EQ(s.Log(), (Lines{s.Line(" Key not found -> Programm terminated")}));
    EXPECT_FALSE(m.WindowLoaded());
    EXPECT_EQ(m.OpenFiles(), 0u);
    EXPECT_EQ(WholeRegistry(m), before);
  }
}

TEST(XpBranches, BothKeysPresentRunsTheFirstStep) {
  Scenario s;
  auto& m = s.machine();
  m.SetString(HKEY_LOCAL_MACHINE, std::string(kParkedKey) + "\\Stale", "old", "left over");
  InfectXp(m);
  const TreeMap liveBefore = Tree(m, HKEY_LOCAL_MACHINE, kLiveKey);
  s.Start().Click(Control::CB_start);
  EXPECT_EQ(s.Log().at(1), s.Line(" Stealth-String found"));
  EXPECT_EQ(Tree(m, HKEY_LOCAL_MACHINE, kParkedKey), liveBefore) << "the stale copy is replaced";
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
}

TEST(XpBranches, AutoLoadValueDecidesBetweenInfectedAndClean) {
  struct Case {
    Language language;
    std::optional<std::string> data;  // REG_SZ bytes as stored; none: the value is missing
    bool infected;
  };
  const std::string nul(1, '\0');
  // Blank data is read with its terminating NUL and one more character: four or more hide a
  // DLL, however long the data is.
  const std::vector<Case> cases{
      {kEnglish, nul, false},
      {kGerman, nul, false},
      {kEnglish, "C:\\WINDOWS\\system32\\goodhook.dll" + nul, false},
      {kEnglish, std::nullopt, false},  // reads as "Error"
      {kEnglish, std::string(2, '\0'), false},
      {kEnglish, std::string(3, '\0'), true},
      {kEnglish, "    " + nul, true},
      {kEnglish, std::string(40000, ' ') + nul, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data ? testing::PrintToString(c.data->substr(0, 40)) : "missing");
    Scenario s("winxp", c.language);
    auto& m = s.machine();
    ArrangeLiveKey(m, "");
    if (c.data) {
      m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, *c.data);
    } else {
      m.DeleteValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs");
    }
    m.WriteFile("C:\\WINDOWS\\system32\\goodhook.dll", "MZ");
    m.Boot();
    const TreeMap before = WholeRegistry(m);
    auto& run = s.Start();
    run.Click(Control::CB_start);
    if (c.infected) {
      EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"), s.Line(" Stealth-String found"),
                                s.Line(" Restart")}));
      EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey));
      EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
      continue;
    }
    EXPECT_EQ(m.Control(Control::Form).text, c.language.german
                                                 ? "QZ.html - Hijack Fixer -> Nicht Infiziert !"
                                                 : "QZ.html - Hijack Fixer -> not infected !");
    EXPECT_FALSE(m.Control(Control::CB_start).enabled);
    EXPECT_FALSE(run.Click(Control::CB_start)) << "a disabled button cannot be clicked";
    EXPECT_TRUE(s.Boxes().empty());
    EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                              s.Line(" Stealth-String not found -> Programm terminated")}));
    EXPECT_EQ(WholeRegistry(m), before);
    EXPECT_TRUE(m.ExitWindowsCalls().empty());
    EXPECT_TRUE(run.Click(Control::Command2));
    EXPECT_FALSE(m.WindowLoaded());
  }
}

// ---------------------------------------------------------------------------------------------
// Start-up on NT-based Windows

TEST(NtStartup, WithoutAdministratorRightsTheProgramEndsAtOnce) {
  struct Case {
    Language language;
    const char* box;
    const char* line;
  };
  for (const Case& c :
       {Case{kEnglish,
             "Disinfection needs administrator rights\r\nto disinfect your Computer.\r\n\r\n"
             "Program will be terminated.",
             " No admin rights->terminate"},
        Case{kGerman,
             "Das Programm benötigt Administrator-Rechte\r\num die Desinfizierung durchführen "
             "zu können.\r\n\r\nProgramm wird beendet.",
             " Keine Admin-Rechte->beenden"}}) {
    for (const char* version : {"winxp", "win2000", "win2003", "nt4"}) {
      SCOPED_TRACE(version);
      Scenario s(version, c.language);
      auto& m = s.machine();
      InfectXp(m);
      m.CreateKey(HKEY_LOCAL_MACHINE, kParkedKey);  // even with the first step's trace
      m.SetAdmin(false);
      const TreeMap before = WholeRegistry(m);
      auto& run = s.Start();
      EXPECT_FALSE(run.Running());
      EXPECT_FALSE(m.WindowLoaded());
      EXPECT_EQ(s.Boxes(), (Boxes{{c.box, kInfo}}));
      EXPECT_EQ(s.Log(), (Lines{s.Line(c.line)}));
      EXPECT_NE(m.Control(Control::CB_start).text,
                c.language.german ? "Desinfektion abschliessen" : "Complete disinfection");
      EXPECT_EQ(m.OpenFiles(), 0u);
      EXPECT_EQ(WholeRegistry(m), before);
    }
  }
}

TEST(NtStartup, Nt4RunsTheDosProcedureAndRestartsThroughTheNtMethodWithoutForce) {
  // NT 4.0's shell does not know the system folder id, so the system directory stays empty;
  // the DOS procedure then finds no DLL path in the saved key and changes nothing.
  Scenario s("nt4");
  auto& m = s.machine();
  m.SetPrivileges(
      {{"SeBackupPrivilege", true}, {"SeRestorePrivilege", false}, {"SeShutdownPrivilege", false}});
  const std::string dll = m.SystemDirectory() + "\\qzhook.dll";
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", dll);
  m.WriteFile(dll, "MZ");
  m.Boot();
  const TreeMap before = WholeRegistry(m);
  auto& run = s.Start();
  EXPECT_EQ(run.form().OsCode(), 5);
  EXPECT_EQ(run.form().SystemPath(), "");
  EXPECT_EQ(m.Control(Control::CB_start).text, "start disinfection");
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Dravlin started v1.07"),
                            s.Line(" Stealth-String not found -> Programm terminated")}));
  EXPECT_FALSE(m.FileExists(kKeyFile)) << "the key file was written and deleted again";
  EXPECT_EQ(WholeRegistry(m), before);
  EXPECT_TRUE(m.ExitWindowsCalls().empty());

  // The restart: mode 2 with the shutdown privilege enabled for the call only.
  run.form().RestartWindows();
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{2});
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
  EXPECT_EQ(s.Boxes(), (Boxes{{kEnglishRestart, kInfo}}));
  EXPECT_EQ(s.Log().back(), s.Line(" Restart"));
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_TRUE(m.NamesProgram(m.GetValue(HKEY_LOCAL_MACHINE, kRunOnceKey, "dravlin")->data));

  // NT 4.0 recognises the second step by the parked NT key, not by the service key.
  Scenario p("nt4");
  p.machine().CreateKey(HKEY_LOCAL_MACHINE, kParkedKey);
  p.machine().CreateKey(HKEY_LOCAL_MACHINE, kServiceKey);
  p.machine().Boot();
  p.Start();
  EXPECT_EQ(p.machine().Control(Control::CB_start).text, "Complete disinfection");
}

}  // namespace
}  // namespace dravlin::scenario
