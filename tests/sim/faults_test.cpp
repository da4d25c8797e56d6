// Injected failures and crashes.
#include <type_traits>

#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

static_assert(!std::is_base_of_v<std::exception, ProgramCrash>,
              "a crash must not be catchable as a standard exception");

using SimFaults = SimTest;

TEST_F(SimFaults, TheNthCallOfAnOperationFailsInItsOwnForm) {
  m.CreateKey(HKEY_CURRENT_USER, "K");
  m.FailCall("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED);
  HKey h = 0;
  EXPECT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &h));
  reg.RegCloseKey(h);
  h = 0xdeadbeef;
  EXPECT_EQ(ERROR_ACCESS_DENIED, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &h));
  EXPECT_EQ(0xdeadbeefu, h);
  EXPECT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &h)) << "fires once";
  reg.RegCloseKey(h);

  // A Win32 failure sets the last error and changes nothing; a shell one returns its HRESULT;
  // a runtime one its error number.
  m.FailCall("DeleteFileA", 1, ERROR_SHARING_VIOLATION);
  m.WriteFile("C:\\x", "");
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\x"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_TRUE(m.FileExists("C:\\x"));
  m.FailCall("SHGetSpecialFolderLocation", 1, 0x80004005u);
  ItemIdList list = 0;
  EXPECT_EQ(static_cast<std::int32_t>(0x80004005u),
            s.shell.SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list));
  EXPECT_EQ(0u, m.OpenItemLists());
  m.FailCall("Files.OpenForAppend", 1, RT_PERMISSION_DENIED);
  EXPECT_EQ(RT_PERMISSION_DENIED, s.files.OpenForAppend(1, "C:\\log.txt"));
  EXPECT_FALSE(m.FileExists("C:\\log.txt"));

  // Disarmed faults and crash points do nothing.
  m.FailCall("DeleteFileA", 1, ERROR_ACCESS_DENIED);
  m.CrashAtCall(1);
  m.ClearFaults();
  EXPECT_NO_THROW(EXPECT_TRUE(s.kernel.DeleteFileA("C:\\x")));
}

TEST_F(SimFaults, CrashEndsTheProgramAtTheNthCallAndKeepsWhatWasWritten) {
  const auto before = m.CallCount();
  m.CrashAtCall(3);
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, k.put(), nullptr));
  ASSERT_EQ(0u, Set(k.get(), "first", "1"));
  EXPECT_THROW(Set(k.get(), "second", "2"), ProgramCrash);
  EXPECT_TRUE(m.ProgramDead());
  EXPECT_EQ(before + 3, m.CallCount());
  EXPECT_EQ("RegSetValueExA", m.CallLog().back());
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, "K", "first"));
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, "K", "second"));
  // After death: every call throws, closes quietly do nothing.
  EXPECT_THROW(s.kernel.GetLastError(), ProgramCrash);
  EXPECT_EQ(0u, k.Close());
  EXPECT_TRUE(s.kernel.CloseHandle(12345));
  EXPECT_EQ(RT_OK, s.files.Close(1));
  EXPECT_EQ(1u, m.OpenKeyHandles()) << "a dead program closes nothing";
  EXPECT_EQ(before + 3, m.CallCount());
  // A reboot clears the death; the program starts afresh.
  m.Reboot();
  EXPECT_FALSE(m.ProgramDead());
  EXPECT_EQ(0u, m.OpenKeyHandles());
  EXPECT_NO_THROW(s.kernel.GetLastError());
}

TEST_F(SimFaults, ACrashPointOnACloseNeverThrowsFromTheClose) {
  m.CreateKey(HKEY_CURRENT_USER, "K");
  m.CrashAtCall(2);
  {
    UniqueKey k(reg);
    ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, k.put()));
  }  // the destructor's close is call 2
  EXPECT_TRUE(m.ProgramDead());
  EXPECT_THROW(s.ui.MessageBox("x", MB_OK, std::nullopt), ProgramCrash);
  EXPECT_TRUE(m.MessageBoxes().empty());
}

}  // namespace
}  // namespace dravlin::sim::testing
