// What only the simulated machine does: the hijacker on both Windows families, boots and
// RunOnce, injected failures and crashes, hive images, short names and regional formats.
#include <gtest/gtest.h>

#include <type_traits>

#include "platform/key.h"
#include "sim/internal.h"
#include "sim/machine.h"

namespace dravlin::sim {
namespace {

using namespace dravlin::platform;

static_assert(!std::is_base_of_v<std::exception, ProgramCrash>,
              "a crash must not be catchable as a standard exception");

constexpr const char* kLive = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr const char* kRunOnce = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class Sim : public ::testing::Test {
 protected:
  TempFolder dir;
  Machine m{dir.path()};
  Services& s = m.services();
  Registry& reg = s.registry;

  // Enables privileges in the program's token through the platform, as a program would.
  void Enable(std::initializer_list<const char*> names) {
    Handle token = 0;
    ASSERT_TRUE(s.security.OpenProcessToken(s.kernel.GetCurrentProcess(),
                                            TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TokenPrivileges tp;
    for (const char* n : names) {
      Luid luid;
      ASSERT_TRUE(s.security.LookupPrivilegeValueA(nullptr, n, &luid));
      tp.Privileges.push_back({luid, SE_PRIVILEGE_ENABLED});
    }
    ASSERT_TRUE(s.security.AdjustTokenPrivileges(token, false, &tp, 0));
    ASSERT_TRUE(s.kernel.CloseHandle(token));
  }
  // Restores a hive file into an HKLM key, created if missing.
  Status Restore(const std::string& path, const std::string& file) {
    UniqueKey k(reg);
    const Status st =
        reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, k.put(), nullptr);
    return st ? st : reg.RegRestoreKeyA(k.get(), file, REG_FORCE_RESTORE);
  }
};

TEST_F(Sim, NtHijackerBlanksItsValueForEveryQuery) {
  const std::string dll = "C:\\WINDOWS\\system32\\qzhook.dll";
  const std::string named = "c:\\windows\\system32\\QZHOOK.DLL";  // the same file
  m.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", named);
  m.WriteFile(dll, "MZ");
  for (char blank : {'\0', ' '}) {
    m.SetHijacker(HijackerSettings{dll, blank});
    m.Reboot();
    ASSERT_TRUE(m.HijackerLoaded());
    const std::string blanked(dll.size() + 1, blank);
    UniqueKey k(reg);
    ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                    "software\\microsoft\\windows nt\\currentversion\\WINDOWS", 0,
                                    KEY_READ, k.put()));
    std::string data(64, '#');
    std::uint32_t cb = 64;
    ASSERT_EQ(0u, reg.RegQueryValueExA(k.get(), "appinit_dlls", nullptr,
                                       reinterpret_cast<std::uint8_t*>(data.data()), &cb));
    EXPECT_EQ(blanked, data.substr(0, cb));
    EXPECT_EQ(named + '\0', m.GetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs")->data);
    EXPECT_FALSE(s.kernel.DeleteFileA(dll)) << "a loaded DLL stays";
    EXPECT_EQ(ERROR_ACCESS_DENIED, s.kernel.GetLastError());
  }
  // Once the entry no longer names it, the next boot loads nothing and the DLL can go.
  m.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", "");
  m.Reboot();
  EXPECT_FALSE(m.HijackerLoaded());
  EXPECT_TRUE(s.kernel.DeleteFileA(dll));
}

TEST_F(Sim, RebootRunsAndConsumesRunOnceAndEndsTheProgram) {
  m.WriteFile(m.ExePath(), "MZ");
  m.SetString(HKEY_LOCAL_MACHINE, kRunOnce, "dravlin", "C:\\PROGRA~1\\Dravlin\\dravlin.exe");
  m.SetString(HKEY_CURRENT_USER, kRunOnce, "later", "notepad.exe");
  Enable({"SeBackupPrivilege"});
  HKey open = 0;
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &open));
  ASSERT_EQ(RT_OK, s.files.OpenForAppend(1, "C:\\log.txt"));
  s.ui.MainWindow().Show();

  const auto ran = m.Reboot();
  EXPECT_EQ((std::vector<std::string>{"C:\\PROGRA~1\\Dravlin\\dravlin.exe", "notepad.exe"}), ran);
  EXPECT_TRUE(m.NamesProgram(ran[0]));
  EXPECT_FALSE(m.NamesProgram(ran[1]));
  EXPECT_TRUE(m.Reboot().empty()) << "entries run once";
  EXPECT_EQ(0u, m.OpenKeyHandles() + m.OpenFiles());
  EXPECT_FALSE(m.WindowShown() || m.PrivilegeEnabled("SeBackupPrivilege"));
  std::uint32_t cb = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE, reg.RegQueryValueExA(open, "x", nullptr, nullptr, &cb))
      << "handles do not survive a reboot";
}

TEST_F(Sim, TheNthCallFailsInItsOwnFormAndACrashKeepsWhatWasWritten) {
  m.CreateKey(HKEY_CURRENT_USER, "K");
  m.FailCall("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED);
  for (const Status expected : {0u, ERROR_ACCESS_DENIED, 0u}) {  // fires once
    UniqueKey k(reg);
    EXPECT_EQ(expected, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, k.put()));
  }
  // A Win32 failure sets the last error and changes nothing; a runtime one its error number.
  m.FailCall("DeleteFileA", 1, ERROR_SHARING_VIOLATION);
  m.WriteFile("C:\\x", "");
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\x"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_TRUE(m.FileExists("C:\\x"));
  m.FailCall("Files.OpenForAppend", 1, RT_PERMISSION_DENIED);
  EXPECT_EQ(RT_PERMISSION_DENIED, s.files.OpenForAppend(1, "C:\\log.txt"));
  EXPECT_FALSE(m.FileExists("C:\\log.txt"));

  m.CrashAtCall(3);
  UniqueKey k(reg);
  const auto set = [&](const char* name) {
    return reg.RegSetValueExA(k.get(), name, REG_SZ, reinterpret_cast<const std::uint8_t*>("1"), 2);
  };
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, k.put(), nullptr));
  ASSERT_EQ(0u, set("first"));
  EXPECT_THROW(set("second"), ProgramCrash);
  EXPECT_TRUE(m.ProgramDead());
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, "K", "first"));
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, "K", "second"));
  EXPECT_THROW(s.kernel.GetLastError(), ProgramCrash) << "a dead program makes no calls";
  m.Reboot();
  EXPECT_FALSE(m.ProgramDead());
  EXPECT_NO_THROW(s.kernel.GetLastError());
}

std::string U32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

// An image with a correct header and checksum around any payload, so the reader's inner checks
// are what gets exercised.
std::string Framed(const std::string& payload) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : payload) {
    crc ^= ch;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return detail::WriteHive(detail::Key{}).substr(0, 8) + U32(1) +
         U32(static_cast<std::uint32_t>(payload.size())) + U32(crc ^ 0xFFFFFFFFu) + payload;
}

TEST_F(Sim, HiveRestoreRefusesDamagedImagesAndKeepsTheKey) {
  Enable({"SeBackupPrivilege", "SeRestorePrivilege"});
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src\\Sub", "", REG_BINARY, std::string("\0\xff", 2));
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "keep", REG_SZ, "x");
  UniqueKey src(reg);
  ASSERT_EQ(0u,
            reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", 0, KEY_ALL_ACCESS, src.put()));
  ASSERT_EQ(0u, reg.RegSaveKeyA(src.get(), "C:\\h.hiv"));
  const std::string image = *m.ReadFile("C:\\h.hiv");
  // One bit of the data, which the image holds verbatim: only the checksum can tell.
  const auto data = image.find(std::string("\0\xff", 2));
  ASSERT_NE(std::string::npos, data);
  std::string flipped = image;
  flipped[data + 1] ^= 0x40;
  // A key is: name length, name, value count, values, subkey count, subkeys.
  const std::string none = U32(0) + U32(0) + U32(0);
  std::string nested = U32(0) + U32(0) + U32(1);
  for (int i = 0; i < 2000; ++i) nested += U32(1) + "k" + U32(0) + U32(1);
  nested += U32(1) + "k" + U32(0) + U32(0);
  const auto child = [](const std::string& name) { return U32(1) + name + U32(0) + U32(0); };
  const std::string damaged[] = {
      flipped,
      Framed(nested),  // deeper than any real key
      Framed(U32(0) + U32(0) + U32(1) + U32(3) + "a\\b" + U32(0) + U32(0)),
      Framed(U32(0) + U32(0) + U32(2) + child("a") + child("A")),
      Framed(none + "x"),  // trailing bytes
  };
  for (const auto& bytes : damaged) {
    m.WriteFile("C:\\bad.hiv", bytes);
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, Restore("SOFTWARE\\Dst", "C:\\bad.hiv")) << bytes.size();
  }
  EXPECT_EQ(1u, m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst").size());
  ASSERT_EQ(0u, Restore("SOFTWARE\\Dst", "C:\\h.hiv"));
  EXPECT_EQ(std::string("\0\xff", 2),
            m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Sub", "")->data);
  m.WriteFile("C:\\none.hiv", Framed(none));
  EXPECT_EQ(0u, Restore("SOFTWARE\\Dst", "C:\\none.hiv"));
}

// One machine set up once serves many runs: each restore puts back its own copy of the state.
TEST_F(Sim, SnapshotRestorePutsBackRegistryDriveAndFaults) {
  Machine machine;  // a drive in memory of its own, not the fixture's folder
  machine.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", "a.dll");
  machine.SetString(HKEY_LOCAL_MACHINE, kRunOnce, "x", "y");
  machine.WriteFile("C:\\keep.txt", "kept");
  machine.SaveSnapshot();
  for (int round = 0; round < 2; ++round) {
    machine.SetString(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", "changed");
    machine.SetString(HKEY_LOCAL_MACHINE, std::string(kLive) + "\\Sub", "n", "v");
    machine.DeleteKey(HKEY_LOCAL_MACHINE, kRunOnce);
    machine.WriteFile("C:\\keep.txt", "changed");
    machine.WriteFile("C:\\new.txt", "new");
    machine.FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(machine.RestoreSnapshot());
    EXPECT_EQ(machine.GetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs")->data.substr(0, 5),
              "a.dll");
    EXPECT_TRUE(machine.ListSubkeys(HKEY_LOCAL_MACHINE, kLive).empty());
    EXPECT_TRUE(machine.GetValue(HKEY_LOCAL_MACHINE, kRunOnce, "x").has_value());
    EXPECT_EQ(machine.ReadFile("C:\\keep.txt"), "kept");
    EXPECT_FALSE(machine.FileExists("C:\\new.txt"));
    UniqueKey k(machine.services().registry);
    EXPECT_EQ(0u, machine.services().registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLive, 0, KEY_READ,
                                                            k.put()));
  }
}

TEST_F(Sim, FormatsTimeOnATwelveHourClock) {
  EXPECT_EQ("3/7/2026 2:05:09 PM",
            FormatPicture("M/d/yyyy h:mm:ss tt", SystemTime{2026, 3, 0, 7, 14, 5, 9, 0}));
  EXPECT_EQ("12 AM", FormatPicture("h tt", SystemTime{2026, 1, 0, 1, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace dravlin::sim
