// What the machine-folder transcripts cannot show: the first step's verdict over many auto-load
// values, platform calls that fail or end the program half-way, NT 4.0's restart, and the text
// rules behind the clean-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "app/rehearsal/machine_changes.h"
#include "support/scenario.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/runtime.h"

namespace dravlin::scenario {
namespace {

const std::string kNul(1, '\0');

TEST(FirstStep, AutoLoadOrServiceValueDecidesBetweenInfectedAndClean) {
  // NT: blank data is read with its terminating NUL and one more character: four or more hide a
  // DLL; a single other character makes the value an ordinary one. DOS: a service entry, written
  // after the boot as an installer would, that names no DLL in the system folder.
  const std::string found = " Stealth-String found",
                    clean = " Stealth-String not found -> Programm terminated";
  const struct {
    const char* os;
    std::optional<std::string> data;  // none: the value is missing and reads as "Error"
    Lines log;                        // after the first line
  } cases[] = {
      {"winxp", kNul, {clean}},
      {"winxp", "C:\\WINDOWS\\system32\\goodhook.dll" + kNul, {clean}},
      {"winxp", std::nullopt, {clean}},
      {"winxp", std::string(2, '\0'), {clean}},
      {"winxp", "   x" + kNul, {clean}},
      {"winxp", std::string(3, '\0'), {found}},
      {"winxp", "    " + kNul, {found}},
      {"winxp", std::string(40000, ' ') + kNul, {found}},
      {"win98", "C:\\WINDOWS\\upd.exe", {clean}},
      {"win98", "C:\\WINDOWS\\SYSTEM\\nodot", {" pos1 <0 ", clean}},
  };
  for (const auto& [os, data, log] : cases) {
    SCOPED_TRACE(data ? testing::PrintToString(data->substr(0, 40)) : "missing");
    Scenario s(os);
    auto& m = s.machine();
    const bool nt = m.IsNtBased();
    if (nt) m.SetString(HKEY_LOCAL_MACHINE, kLiveKey, "Spooler", "yes");
    if (nt && data)
      m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, *data);
    m.Boot();
    if (!nt) m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Entry", *data);
    const auto before = rehearsal::SnapshotRegistry(m);
    s.Start().Click(Control::CB_start);
    Lines shown = s.Log();
    ASSERT_GT(shown.size(), log.size());
    shown.resize(log.size() + 1);
    Lines expected{s.Line(" Dravlin started v1.07")};
    for (const auto& line : log) expected.push_back(s.Line(line));
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(m.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey), log[0] == found);
    if (log.back() == clean) {
      EXPECT_EQ(s.Log().size(), log.size() + 1);
      EXPECT_FALSE(m.FileExists(kKeyFile));
      const auto changes = rehearsal::DiffRegistry(before, m);
      EXPECT_TRUE(changes.empty()) << rehearsal::FormatRegistryChanges(changes);
    }
  }
}

TEST(Nt4, RunsTheDosProcedureButRestartsTheNtWayWithoutForce) {
  // NT 4.0's shell does not know the system folder id, so the DOS procedure finds no path.
  Scenario s("nt4");
  auto& m = s.machine();
  m.SetPrivileges({{"SeBackupPrivilege", true}, {"SeShutdownPrivilege", false}});
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", m.SystemDirectory() + "\\qzhook.dll");
  m.Boot();
  auto& run = s.Start();
  EXPECT_EQ(m.Control(Control::CB_start).text, "start disinfection");
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log().back(), s.Line(" Stealth-String not found -> Programm terminated"));
  run.form().RestartWindows();
  EXPECT_EQ(m.ExitWindowsCalls(), std::vector<std::uint32_t>{2});
  EXPECT_EQ(m.MessageBoxes().size(), 1u) << "a refused restart shows a second message";
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
}

// ---------------------------------------------------------------------------------------------
// Failing platform calls

TEST(Faults, FailedCallsAreLoggedAndTheStepGoesOn) {
  struct Case {
    const char* call;
    std::uint64_t n;
    bool parkedBefore;  // a second step whose DLL is gone
    Lines log;  // after the first line (the start or " 2nd Step "); "~" matches any stamp-less line
  };
  const Case cases[] = {
      {"RegSaveKeyA", 1, false, {" Stealth-String found", " Error go_nt: 5", "~", " Restart"}},
      // The sixth open of the click is the rename's open of the live key.
      {"RegOpenKeyExA", 6, false, {" Stealth-String found", " Error RK", " Restart"}},
      // The objects and pages still go; a failed move back keeps the copy and says so.
      {"RegSaveKeyA",
       1,
       true,
       {" Stealth-Dll not found -> Programm terminated", " BHO-DLL: (not found)",
        " Bad IE-pages found:", "~", " Error go_nt: 5", "~",
        " Error while restoring Windows-Key -> Copy kept in Windows_Hijacked, Programm "
        "terminated"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    Scenario s;
    auto& m = s.machine();
    if (c.parkedBefore) {
      m.SetString(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", "C:\\gone\\qzhook.dll");
      m.Boot();
    } else {
      InfectXp(m);
    }
    auto& run = s.Start();
    m.FailCall(c.call, c.n, platform::ERROR_ACCESS_DENIED);
    run.Click(Control::CB_start);
    const Lines log = s.Log();
    ASSERT_EQ(log.size(), c.log.size() + 1) << testing::PrintToString(log);
    for (std::size_t i = 0; i < c.log.size(); ++i) {
      if (c.log[i] != "~") {
        EXPECT_EQ(log[i + 1], s.Line(c.log[i]));
      }
    }
    EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey) != c.parkedBefore);
    EXPECT_FALSE(m.MessageBoxes().empty());
  }
  Scenario s;
  InfectXp(s.machine());
  auto& run = s.Start();
  s.machine().FailCall("GetDateFormatA", 1, platform::ERROR_INVALID_PARAMETER);
  run.Click(Control::CB_start);
  EXPECT_EQ(s.Log().front(), " Dravlin started v1.07") << "a failed stamp leaves the line bare";
}

// The key file naming a DLL that could not be deleted stays while the test for the DLL fails for
// any reason other than its absence.
TEST(Faults, NoFailureLosesTheOnlyRecordOfAnUndeletedDll) {
  for (std::uint64_t n = 1; n <= 6; ++n) {
    Scenario s("win98");
    auto& m = s.machine();
    m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook",
                std::string("rundll32.exe ") + k98Dll + ",Start");
    m.WriteFile(k98Dll, "MZ hijacker");
    m.SetHijacker(sim::HijackerSettings{k98Dll, ' '});
    m.Boot();
    s.Start().Click(Control::CB_start);
    auto& again = s.RebootIntoProgram();
    m.SetUndeletable(k98Dll);
    m.FailCall("GetFileAttributesA", n, platform::ERROR_ACCESS_DENIED);
    again.Click(Control::CB_start);
    EXPECT_TRUE(m.FileExists(kKeyFile)) << n;
  }
}

// A parked copy from an earlier infection by the same DLL (the same path, so the same length of
// the hidden value), with the user's older settings and one more subkey: the live key holds
// values the copy lacks, so it is moved as written, and the old copy is kept with what the run
// changed, not with what it removed.
TEST(Recovery, AStaleParkedCopyOfTheSameDllNeverTakesThePlaceOfTheLiveKey) {
  Scenario s;
  auto& m = s.machine();
  m.SetString(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs", kXpDll);
  m.SetString(HKEY_LOCAL_MACHINE, kParkedKey, "Spooler", "no");
  m.SetString(HKEY_LOCAL_MACHINE, std::string(kParkedKey) + "\\Pending\\Deep", "Keep", "me");
  m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kParkedKey) + "\\Stale");
  InfectXp(m);
  s.Start().Click(Control::CB_start);
  s.RebootIntoProgram().Click(Control::CB_start);
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "Spooler"),
            (sim::RegValue{platform::REG_SZ, std::string("yes") + '\0'}));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kLiveKey) + "\\Stale"));
  EXPECT_FALSE(m.FileExists(kXpDll));
  std::string kept;
  for (const auto& file : m.ListFiles()) {
    if (file.ends_with("\\changed-reg.txt")) kept += m.ReadFile(file).value_or("");
  }
  EXPECT_NE(kept.find("Windows_Hijacked\\Stale]"), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"Spooler\"=\"no\""), std::string::npos) << kept;
}

// String data that the ANSI code page cannot spell (a program of another locale wrote it) is
// carried by the hive calls that park and return the auto-load key, as NT keeps it in UTF-16.
TEST(Recovery, DataTheCodePageLacksSurvivesTheParkedKey) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  std::string wide;
  for (const char16_t c : std::u16string(u"\u03A9mega \u6771\u4EAC")) {
    wide.push_back(static_cast<char>(c & 0xFF));
    wide.push_back(static_cast<char>(c >> 8));
  }
  wide.append(2, '\0');
  const sim::RegValue held{platform::REG_SZ, std::string("?mega ??") + '\0', wide};
  m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "Greeting", held);
  s.Start().Click(Control::CB_start);
  s.RebootIntoProgram().Click(Control::CB_start);
  EXPECT_FALSE(m.FileExists(kXpDll));
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "Greeting"), held);
}

TEST(Faults, AbruptEndPassesThroughEveryGuard) {
  for (const std::uint64_t n : {1u, 7u, 20u, 41u, 60u}) {
    Scenario s;
    InfectXp(s.machine());
    auto& run = s.Start();
    s.machine().CrashAtCall(n);
    EXPECT_THROW(run.Click(Control::CB_start), sim::ProgramCrash) << n;
    for (const std::string& line : s.Log()) EXPECT_EQ(line.find("Error go_nt"), line.npos) << n;
  }
  Scenario s;
  s.machine().Boot();
  ProcedureGuard guard(s.Start().form(), " Error go_nt: ");
  EXPECT_TRUE(guard.Test([]() -> bool { throw rt::Error(5); })) << "a failed test counts as passed";
  EXPECT_EQ(s.Log(), (Lines{s.Line(" Error go_nt: 5"), "Invalid procedure call or argument"}));
  EXPECT_THROW(guard.Step([] { throw std::logic_error("bug"); }), std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// Text rules

TEST(TextRules, DllNameComesFromTheFirstQualifyingSlot) {
  const std::array<const char*, 3> cases[] = {
      // HKCU Start Page (slot 4), HKLM Search Page (slot 15), the name taken
      {"res://C:\\a\\first.dll/qz.html", "res://C:\\b\\second.dll/qz.html", "first.dll"},
      {"http://www.example.com/", "res://C:\\b\\second.dll/qz.html", "second.dll"},
      {"res://C:\\a\\one.dll/qz.html#C:\\b\\two.dll/QZ.html", "", "two.dll"},  // the last one
      {"res://nofolder.dll/qz.html", "res://C:\\b\\second.dll/qz.html", "second.dll"},
      {"/qz.html\\x", "res://C:\\b\\second.dll/qz.html", "second.dll"},  // begins with it
      {"res://C:\\a\\/qz.html", "res://C:\\b\\second.dll/qz.html", ""},  // empty name, stop
  };
  for (const auto& [hkcuStart, hklmSearch, expected] : cases) {
    Scenario s;
    s.machine().Boot();
    if (*hkcuStart) s.machine().SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", hkcuStart);
    if (*hklmSearch) s.machine().SetString(HKEY_LOCAL_MACHINE, kIeMain, "Search Page", hklmSearch);
    frmGetAll& program = s.Start().form();
    program.RepairIePages(false);
    program.GetPageDllName();
    EXPECT_EQ(program.PageDllName(), expected) << hkcuStart;
  }
}

TEST(TextRules, UrlDecodeTurnsEscapesIntoBytesOnceAndLeavesStrayPercentSigns) {
  const std::pair<std::string, std::string> cases[] = {
      {"%41", "A"},
      {"%2541", "%41"},  // one pass only
      {"  a%20b  ", "a b"},
      {"%20x%20", " x "},  // blanks made by decoding stay
      {"x%2f%2Fy", "x//y"},
      {"%00", kNul},
      {std::string("a\0 ", 3), std::string("a\0", 2)},  // only blanks are trimmed
      {std::string("\0 x", 3), std::string("\0 x", 3)},
      {"end%4", "end\x04"},  // a single trailing digit decodes
      {"%4G", "\x04G"},      // only hexadecimal digits are consumed
      {"100%", "100%"},
      {"%%41", "%A"},
      {"%zz%41%", "%zzA%"},  // a stray percent does not stop the later escapes
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(frmGetAll::UrlDecode(in), out) << in;
}

TEST(TextRules, FindTextIgnoresCaseAndFindsFirstOrLast) {
  EXPECT_EQ(frmGetAll::FindText("a/QZ.html b/qz.HTML", "/qz.html", false), 2);
  EXPECT_EQ(frmGetAll::FindText("a/QZ.html b/qz.HTML", "/qz.html", true), 12);
  EXPECT_EQ(frmGetAll::FindText("", "/qz.html", true), 0);
  // Registry text is ANSI: accented capitals of Windows-1252 match their small letters; the
  // multiplication sign is no capital of the division sign.
  EXPECT_EQ(frmGetAll::FindText("x\xC4\xD6\xDC/Qz", "\xE4\xF6\xFC/qZ", false), 2);
  EXPECT_EQ(frmGetAll::FindText("\xD7", "\xF7", false), 0);
  // Naive search would compare about 10^12 characters here.
  const std::string haystack = std::string(2 << 20, 'a') + "b";
  const std::string needle = std::string(1 << 20, 'a') + "b";
  EXPECT_EQ(frmGetAll::FindText(haystack, needle, true), (1 << 20) + 1);
  EXPECT_EQ(frmGetAll::FindText(haystack, needle + "c", false), 0);
}

}  // namespace
}  // namespace dravlin::scenario
