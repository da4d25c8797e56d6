// dravlin-sim on a registry export: what it infers, the user's hive it picks and why, and what
// it refuses before anything runs. The golden runs show whole transcripts of exports.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/rehearsal/rehearsal.h"
#include "sim/machine.h"
#include "sim/persist/export_machine.h"

namespace {

namespace fs = std::filesystem;
namespace rh = dravlin::rehearsal;
namespace platform = dravlin::platform;
using dravlin::sim::TempFolder;
using namespace dravlin::sim::persist;

const fs::path kExports = fs::path(DRAVLIN_SOURCE_DIR) / "tests" / "scenarios" / "exports";

constexpr const char* kXpVersion =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n\r\n";

fs::path Write(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

std::string Item(const Inference& inf, const std::string& what) {
  for (const auto& i : inf.items) {
    if (i.what == what) return i.value + " | " + i.source;
  }
  return "(none)";
}

// Two accounts' hives: the rule takes the one logged on, --user another by its profile's name,
// and without a way to tell the export is refused.
TEST(Export, TakesTheUsersHiveByTheRuleOrAsToldAndNeverGuesses) {
  const TempFolder tmp;
  const std::string a = "S-1-5-21-1-2-3-1003";
  const std::string b = "S-1-5-21-1-2-3-1004";
  const std::string hives =
      std::string("REGEDIT4\r\n") + kXpVersion +
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + b +
      "]\r\n\"ProfileImagePath\"=\"C:\\\\Documents and Settings\\\\Anna\"\r\n\r\n"
      "[HKEY_USERS\\S-1-5-18\\Software\\Service]\r\n\r\n"
      "[HKEY_USERS\\" +
      a + "\\Software\\A]\r\n\"Omega\"=\"\xCE\xA9\"\r\n\r\n[HKEY_USERS\\" + b +
      "\\Software\\B]\r\n\r\n" + "[HKEY_USERS\\" + b + "_Classes\\CLSID\\{1}]\r\n\r\n";
  const fs::path loggedOn = Write(tmp.path() / "on.reg", "\xEF\xBB\xBF" + hives + "[HKEY_USERS\\" +
                                                             a + "\\Volatile Environment]\r\n\r\n");
  Inference inf;
  auto loaded = LoadExport(loggedOn, {}, &inf);
  auto& m = loaded->machine();
  // Data the code page lacks moves with the hive as Windows keeps it.
  EXPECT_EQ(m.GetValue(platform::HKEY_CURRENT_USER, "Software\\A", "Omega"),
            (dravlin::sim::RegValue{platform::REG_SZ, std::string("?\0", 2),
                                    std::string("\xA9\x03\0\0", 4)}));
  EXPECT_FALSE(m.KeyExists(platform::HKEY_USERS, a));  // moved, not copied
  EXPECT_TRUE(m.KeyExists(platform::HKEY_USERS, b + "\\Software\\B"));
  EXPECT_NE(Item(inf, "User's keys").find("HKEY_USERS\\" + a + " as HKEY_CURRENT_USER"),
            std::string::npos)
      << Item(inf, "User's keys");

  ExportOptions anna;
  anna.user = "anna";
  loaded = LoadExport(loggedOn, anna, &inf);
  auto& n = loaded->machine();
  EXPECT_TRUE(n.KeyExists(platform::HKEY_CURRENT_USER, "Software\\B"));
  EXPECT_TRUE(n.KeyExists(platform::HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\{1}"));
  EXPECT_NE(Item(inf, "User's keys").find("chosen with --user"), std::string::npos);

  try {
    (void)LoadExport(Write(tmp.path() / "two.reg", hives), {}, &inf);
    ADD_FAILURE() << "two hives, neither logged on: accepted";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("holds 2 users' hives (" + a + ", " + b + " (Anna))"),
              std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("give --user"), std::string::npos) << e.what();
  }
}

// AppInit_DLLs that a reader can see is not the hidden value; --hijacker-dll makes it one.
TEST(Export, AVisibleAutoLoadValueIsNotTheHijackerUnlessNamed) {
  const TempFolder tmp;
  const fs::path file =
      Write(tmp.path() / "visible.reg",
            std::string("REGEDIT4\r\n") + kXpVersion +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\r\n"
                "\"AppInit_DLLs\"=\"C:\\\\WINDOWS\\\\system32\\\\vis.dll\"\r\n\r\n"
                "[HKEY_CURRENT_USER\\Control Panel\\International]\r\n\"Locale\"=\"0000040c\"\r\n"
                "\"sShortDate\"=\"dd/MM/yyyy\"\r\n\r\n[HKEY_CLASSES_ROOT\\.txt]\r\n\r\n");
  Inference inf;
  auto loaded = LoadExport(file, {}, &inf);
  EXPECT_FALSE(loaded->machine().Hijacker());
  EXPECT_NE(Item(inf, "Hijacker DLL").find("a visible value, not a hidden one"), std::string::npos);
  // The DLL is placed all the same: the procedures test it.
  EXPECT_TRUE(loaded->machine().FileExists("C:\\WINDOWS\\system32\\vis.dll"));
  EXPECT_EQ(loaded->machine().Locale().nativeLanguage,
            "fran\xE7"
            "ais");
  EXPECT_EQ(loaded->machine().Locale().shortDate, "dd/MM/yyyy");
  // Where an export's keys came from is not always known: the header says so.
  ASSERT_EQ(inf.notes.size(), 1u);
  EXPECT_EQ(inf.notes[0].rfind("1 key under HKEY_CLASSES_ROOT taken as the machine's classes", 0),
            0u)
      << inf.notes[0];

  ExportOptions named;
  named.hijackerDll = "C:\\WINDOWS\\system32\\vis.dll";
  loaded = LoadExport(file, named, &inf);
  ASSERT_TRUE(loaded->machine().Hijacker());
  EXPECT_EQ(loaded->machine().Hijacker()->dllPath, *named.hijackerDll);
}

// The system folder is below the SystemRoot the export holds (C:\WINNT on a Windows 2000 set up
// new); a value that is no folder path leaves the version's default.
TEST(Export, TheSystemFolderIsBelowTheExportsSystemRoot) {
  const TempFolder tmp;
  const std::string head =
      std::string("REGEDIT4\r\n") + kXpVersion +
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n";
  Inference inf;
  auto loaded = LoadExport(Write(tmp.path() / "a.reg", head + "\"SystemRoot\"=\"C:\\\\WINNT\"\r\n"),
                           {}, &inf);
  EXPECT_EQ(loaded->machine().SystemDirectory(), "C:\\WINNT\\system32");
  EXPECT_NE(Item(inf, "System folder").find("below SystemRoot"), std::string::npos);
  loaded = LoadExport(Write(tmp.path() / "b.reg", head + "\"SystemRoot\"=\"WINNT\"\r\n"), {}, &inf);
  EXPECT_EQ(loaded->machine().SystemDirectory(), "C:\\WINDOWS\\system32");
}

// Without --clock, the clock is the export file's time, in UTC.
TEST(Export, TheClockIsTheFilesTimeUnlessGiven) {
  const TempFolder tmp;
  const fs::path file = Write(tmp.path() / "e.reg", std::string("REGEDIT4\r\n") + kXpVersion);
  const auto when = std::chrono::sys_days{std::chrono::year{2025} / 3 / 4} + std::chrono::hours{5} +
                    std::chrono::minutes{6} + std::chrono::seconds{7};
  fs::last_write_time(file, std::chrono::file_clock::from_sys(when));
  Inference inf;
  const auto loaded = LoadExport(file, {}, &inf);
  EXPECT_EQ(Item(inf, "Clock"),
            "2025-03-04 05:06:07 | the export file's time (UTC); --clock to change");
  EXPECT_EQ(loaded->machine().Clock().wHour, 5);
}

// A refusal is status 2, a message saying what to give, and nothing run or written.
TEST(Export, RefusesWhatItCannotInferBeforeRunning) {
  const TempFolder tmp;
  const fs::path out = tmp.path() / "out";
  const auto refused = [&](std::vector<std::string> args, const std::string& message) {
    args.push_back("--out");
    args.push_back(out.string());
    const rh::ParsedArgs parsed = rh::ParseArgs(args);
    ASSERT_EQ(parsed.error, "");
    std::ostringstream o, e;
    EXPECT_EQ(rh::Run(parsed.options, o, e), rh::kExitBadInput) << args[0];
    EXPECT_EQ(o.str(), "");
    EXPECT_NE(e.str().find(message), std::string::npos) << e.str();
    EXPECT_FALSE(fs::exists(out));
  };
  refused({(kExports / "xp-user-only.reg").string()}, "give --os NAME (win95, win98");
  refused({(kExports / "xp-whole.reg").string(), "--user", "S-1-5-21-9"},
          "--user S-1-5-21-9: no such user's hive");
  refused({(kExports / "xp-whole.reg").string(), "--hijacker-dll", "C:\\\u4E2D.dll"},
          "--hijacker-dll: expected only characters that Windows-1252 has");
  refused({Write(tmp.path() / "cut.reg", "REGEDIT4\r\n[HKLM\\A]\r\n\"v\"=hex:01,").string()},
          "cut.reg:3: ");
  refused({(fs::path(DRAVLIN_SOURCE_DIR) / "machines" / "default").string(), "--admin", "no"},
          "apply to a registry export only");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--admin", "maybe"}, {"--clock", "2026-13-01T00:00:00"}}) {
    EXPECT_NE(rh::ParseArgs(bad).error, "") << bad[0];
  }
}

}  // namespace
