// Boots: the hijacker's behaviour on both Windows families, RunOnce, and what a reboot ends.
#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

constexpr const char* kLive = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr const char* kRso = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
constexpr const char* kRunOnce = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::string kDll = "C:\\WINDOWS\\system32\\qzhook.dll";
const std::string kNamed = "c:\\windows\\system32\\QZHOOK.DLL";  // the same file

using SimBoot = SimTest;

TEST_F(SimBoot, NtHijackerBlanksItsValueForEveryQueryButNotForHiveSaves) {
  // It loads only with its file present and named in the entry (in any case).
  m.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", kDll);
  m.SetHijacker(HijackerSettings{kDll, '\0'});
  m.Boot();
  EXPECT_FALSE(m.HijackerLoaded()) << "no DLL file";
  m.WriteFile(kDll, "MZ");
  m.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", "");
  m.Reboot();
  EXPECT_FALSE(m.HijackerLoaded()) << "not named";

  for (char blank : {'\0', ' '}) {
    m.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", kNamed);
    m.SetHijacker(HijackerSettings{kDll, blank});
    m.Reboot();
    ASSERT_TRUE(m.HijackerLoaded());
    const std::string blanked(kDll.size() + 1, blank);
    EXPECT_EQ(blanked, Read(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs"));
    EXPECT_EQ(blanked,
              Read(HKEY_LOCAL_MACHINE, "software\\microsoft\\windows nt\\currentversion\\WINDOWS",
                   "appinit_dlls"));
    // The store itself is unchanged, and a loaded DLL cannot be deleted.
    EXPECT_EQ(kNamed + '\0', m.GetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs")->data);
    EXPECT_FALSE(s.kernel.DeleteFileA(kDll));
    EXPECT_EQ(ERROR_ACCESS_DENIED, s.kernel.GetLastError());
  }
  // The parked copy, made through a hive file, reads the real path.
  Enable({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(0u, Save(kLive, "C:\\RegTemp.txt"));
  ASSERT_EQ(0u, Restore(std::string(kLive) + "_Hijacked", "C:\\RegTemp.txt"));
  EXPECT_EQ(kNamed + '\0',
            Read(HKEY_LOCAL_MACHINE, std::string(kLive) + "_Hijacked", "AppInit_DLLs"));
  // With the live key gone the next boot loads nothing; the DLL can then go.
  ASSERT_TRUE(m.DeleteKey(HKEY_LOCAL_MACHINE, kLive));
  m.Reboot();
  EXPECT_FALSE(m.HijackerLoaded());
  EXPECT_TRUE(s.kernel.DeleteFileA(kDll));
}

TEST_F(SimBoot, DosBasedHijackerRewritesItsRunServicesOnceEntryAndHidesIt) {
  m.SetVersionPreset("win98");
  const std::string dll = "C:\\WINDOWS\\SYSTEM\\qzhook.dll";
  m.WriteFile(dll, "MZ");
  m.SetHijacker(HijackerSettings{dll, ' '});
  m.SetString(HKEY_LOCAL_MACHINE, kRso, "other", "C:\\setup.exe /finish");
  m.SetString(HKEY_LOCAL_MACHINE, kRso, "qz", "rundll32 " + dll + ",Start");
  const auto ran = m.Reboot();
  EXPECT_EQ((std::vector<std::string>{"C:\\setup.exe /finish", "rundll32 " + dll + ",Start"}), ran);
  ASSERT_TRUE(m.HijackerLoaded());
  const auto values = m.ListValues(HKEY_LOCAL_MACHINE, kRso);
  ASSERT_EQ(1u, values.size()) << "Windows consumed the other entry";
  EXPECT_EQ("qz", values[0].name);
  EXPECT_EQ(std::string(values[0].value.data.size(), ' '), Read(HKEY_LOCAL_MACHINE, kRso, "qz"));
  // The key file holds the real bytes; DOS-based Windows needs no privilege to write it.
  ASSERT_EQ(0u, Save(kRso, "c:\\HjRuOn.txt"));
  EXPECT_NE(std::string::npos, m.ReadFile("C:\\hjruon.TXT")->find(dll));
  EXPECT_FALSE(s.kernel.DeleteFileA(dll));
  // Once the key is gone the DLL no longer starts and can be deleted after the next boot.
  ASSERT_EQ(0u, reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRso));
  EXPECT_TRUE(m.Reboot().empty());
  EXPECT_FALSE(m.HijackerLoaded());
  EXPECT_TRUE(s.kernel.DeleteFileA(dll));
}

TEST_F(SimBoot, RebootRunsAndConsumesRunOnceAndEndsTheProgram) {
  m.WriteFile(m.ExePath(), "MZ");
  m.SetString(HKEY_LOCAL_MACHINE, kRunOnce, "dravlin", "C:\\PROGRA~1\\Dravlin\\dravlin.exe");
  m.SetString(HKEY_CURRENT_USER, kRunOnce, "later", "notepad.exe");
  // The program holds things open and has a privilege enabled.
  Enable({"SeBackupPrivilege"});
  HKey open = 0;
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &open));
  ASSERT_EQ(RT_OK, s.files.OpenForAppend(1, "C:\\log.txt"));
  s.ui.MainWindow().Show();

  const auto ran = m.Reboot();
  EXPECT_EQ((std::vector<std::string>{"C:\\PROGRA~1\\Dravlin\\dravlin.exe", "notepad.exe"}), ran);
  EXPECT_TRUE(m.NamesProgram(ran[0]));
  EXPECT_TRUE(m.NamesProgram("\"C:\\Program Files\\Dravlin\\DRAVLIN.EXE\""));
  EXPECT_FALSE(m.NamesProgram(ran[1]));
  EXPECT_TRUE(m.ListValues(HKEY_LOCAL_MACHINE, kRunOnce).empty());
  EXPECT_TRUE(m.ListValues(HKEY_CURRENT_USER, kRunOnce).empty());
  EXPECT_TRUE(m.Reboot().empty()) << "entries run once";

  EXPECT_EQ(0u, m.OpenKeyHandles());
  EXPECT_EQ(0u, m.OpenFiles());
  EXPECT_FALSE(m.WindowShown());
  EXPECT_FALSE(m.PrivilegeEnabled("SeBackupPrivilege"));
  std::uint32_t cb = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE, reg.RegQueryValueExA(open, "x", nullptr, nullptr, &cb))
      << "handles do not survive a reboot";
  EXPECT_TRUE(m.WindowLoaded()) << "the next platform call started a new run";
  EXPECT_EQ(2u, m.BootCount());
}

}  // namespace
}  // namespace dravlin::sim::testing
