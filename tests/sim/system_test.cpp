// Token, kernel, shell, window system and regional settings.
#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

using SimToken = SimTest;

TEST_F(SimToken, ThreadHasNoTokenAndProcessTokenGivesGroupsWithSizeQuery) {
  Handle t = 0xdeadbeef;
  EXPECT_FALSE(s.security.OpenThreadToken(s.kernel.GetCurrentThread(), TOKEN_QUERY, true, &t));
  EXPECT_EQ(1008u, s.kernel.GetLastError());
  EXPECT_EQ(0xdeadbeefu, t);
  ASSERT_TRUE(s.security.OpenProcessToken(s.kernel.GetCurrentProcess(), TOKEN_QUERY, &t));
  EXPECT_EQ(1u, m.OpenTokenHandles());

  std::uint32_t needed = 0;
  EXPECT_FALSE(s.security.GetTokenInformation(t, TokenGroupsClass, nullptr, 0, &needed));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, s.kernel.GetLastError());
  EXPECT_EQ(TokenGroupsByteSize(TokenGroups{m.TokenGroups()}), needed);
  TokenGroups groups;
  EXPECT_FALSE(s.security.GetTokenInformation(t, TokenGroupsClass, &groups, needed - 1, &needed));
  EXPECT_TRUE(groups.Groups.empty());
  ASSERT_TRUE(s.security.GetTokenInformation(t, TokenGroupsClass, &groups, needed, &needed));
  ASSERT_EQ(3u, groups.Groups.size());
  EXPECT_EQ(Machine::AdminSid(), groups.Groups[1].Sid);

  EXPECT_TRUE(s.kernel.CloseHandle(t));
  EXPECT_EQ(0u, m.OpenTokenHandles());
  EXPECT_FALSE(s.kernel.CloseHandle(t));
  EXPECT_EQ(ERROR_INVALID_HANDLE, s.kernel.GetLastError());
}

TEST_F(SimToken, SidsInTheirBinaryForm) {
  SidBytes admin;
  ASSERT_TRUE(s.security.AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, 2, 32, 544, 0, 0, 0, 0, 0, 0,
                                                  &admin));
  EXPECT_EQ(Machine::AdminSid(), admin);
  EXPECT_TRUE(s.security.IsValidSid(admin));
  EXPECT_TRUE(s.security.EqualSid(admin, Machine::AdminSid()));
  EXPECT_FALSE(s.security.EqualSid(admin, Machine::UsersSid()));
  SidBytes broken = admin;
  broken[0] = 2;  // revision
  EXPECT_FALSE(s.security.IsValidSid(broken));
  broken = admin;
  broken.resize(12);  // shorter than its count says
  EXPECT_FALSE(s.security.IsValidSid(broken));
  EXPECT_FALSE(s.security.IsValidSid({}));
  s.security.FreeSid(admin);
  EXPECT_TRUE(admin.empty());
}

TEST_F(SimToken, PrivilegeLookupAndAdjustment) {
  Luid luid;
  ASSERT_TRUE(s.security.LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &luid));
  EXPECT_EQ((Luid{17, 0}), luid);
  ASSERT_TRUE(s.security.LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &luid));
  EXPECT_EQ(18u, luid.LowPart);
  ASSERT_TRUE(s.security.LookupPrivilegeValueA(nullptr, "seshutdownprivilege", &luid));
  EXPECT_EQ(19u, luid.LowPart);
  luid = {77, 0};
  EXPECT_FALSE(s.security.LookupPrivilegeValueA(nullptr, "SeMadeUpPrivilege", &luid));
  EXPECT_EQ(ERROR_NO_SUCH_PRIVILEGE, s.kernel.GetLastError());
  EXPECT_EQ(77u, luid.LowPart);

  m.SetPrivileges({{"SeChangeNotifyPrivilege", true}, {"SeBackupPrivilege", false}});
  Handle t = 0;
  ASSERT_TRUE(
      s.security.OpenProcessToken(s.kernel.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &t));
  TokenPrivileges both;
  both.Privileges = {{{17, 0}, SE_PRIVILEGE_ENABLED}, {{18, 0}, SE_PRIVILEGE_ENABLED}};
  // The account lacks the restore privilege: success, with the not-all-assigned indication.
  EXPECT_TRUE(s.security.AdjustTokenPrivileges(t, false, &both, 28));
  EXPECT_EQ(ERROR_NOT_ALL_ASSIGNED, s.kernel.GetLastError());
  EXPECT_TRUE(m.PrivilegeEnabled("SeBackupPrivilege"));
  EXPECT_FALSE(m.PrivilegeEnabled("SeRestorePrivilege"));
  TokenPrivileges one;
  one.Privileges = {{{17, 0}, SE_PRIVILEGE_ENABLED}};
  EXPECT_TRUE(s.security.AdjustTokenPrivileges(t, false, &one, 16));
  EXPECT_EQ(ERROR_SUCCESS, s.kernel.GetLastError());
  // Disable-all ignores the record and switches off everything, also what was on by default.
  EXPECT_TRUE(s.security.AdjustTokenPrivileges(t, true, &both, 28));
  EXPECT_FALSE(m.PrivilegeEnabled("SeBackupPrivilege"));
  EXPECT_FALSE(m.PrivilegeEnabled("SeChangeNotifyPrivilege"));
  s.kernel.CloseHandle(t);

  ASSERT_TRUE(s.security.OpenProcessToken(s.kernel.GetCurrentProcess(), TOKEN_QUERY, &t));
  EXPECT_FALSE(s.security.AdjustTokenPrivileges(t, false, &one, 16));
  EXPECT_EQ(ERROR_ACCESS_DENIED, s.kernel.GetLastError());
  s.kernel.CloseHandle(t);
}

TEST_F(SimToken, DosBasedWindowsHasNoTokens) {
  m.SetVersionPreset("win95");
  Handle t = 0;
  EXPECT_FALSE(s.security.OpenProcessToken(s.kernel.GetCurrentProcess(), TOKEN_QUERY, &t));
  EXPECT_EQ(120u, s.kernel.GetLastError());
}

TEST_F(SimToken, RebootRequiresTheEnabledShutdownPrivilegeOnNt) {
  EXPECT_FALSE(s.ui.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
  EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, s.kernel.GetLastError());
  EXPECT_TRUE(s.ui.ExitWindowsEx(EWX_LOGOFF, 0));
  Enable({"SeShutdownPrivilege"});
  EXPECT_TRUE(s.ui.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
  EXPECT_EQ((std::vector<std::uint32_t>{6, 0, 6}), m.ExitWindowsCalls());
  m.SetExitWindowsFails(true);
  EXPECT_FALSE(s.ui.ExitWindowsEx(EWX_REBOOT, 0));

  m.SetVersionPreset("win98");
  m.SetExitWindowsFails(false);
  m.StartProgram();
  EXPECT_TRUE(s.ui.ExitWindowsEx(EWX_REBOOT, 0));
}

using SimKernel = SimTest;

TEST_F(SimKernel, VersionPresets) {
  for (const auto& name : VersionPresetNames()) {
    ASSERT_TRUE(m.SetVersionPreset(name)) << name;
    OsVersionInfo v;
    ASSERT_TRUE(s.kernel.GetVersionExA(&v)) << name;
    EXPECT_EQ(m.Version().build, v.dwBuildNumber);
  }
  m.SetVersionPreset("win98");
  OsVersionInfo v;
  ASSERT_TRUE(s.kernel.GetVersionExA(&v));
  EXPECT_EQ(VER_PLATFORM_WIN32_WINDOWS, v.dwPlatformId);
  EXPECT_EQ(4u, v.dwMajorVersion);
  EXPECT_EQ(10u, v.dwMinorVersion);
  EXPECT_EQ(1998u, v.dwBuildNumber & 0xFFFF);
  m.SetVersionPreset("WIN98SE");
  ASSERT_TRUE(s.kernel.GetVersionExA(&v));
  EXPECT_EQ(2222u, v.dwBuildNumber & 0xFFFF);
  EXPECT_FALSE(m.SetVersionPreset("win7"));
  OsVersionInfo wrong;
  wrong.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(s.kernel.GetVersionExA(&wrong));
  EXPECT_EQ(0u, wrong.dwMajorVersion);
}

TEST_F(SimKernel, SystemDirectoryAndModuleName) {
  char buf[64];
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(19u, s.kernel.GetSystemDirectoryA(buf, sizeof buf));
  EXPECT_STREQ("C:\\WINDOWS\\system32", buf);
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(20u, s.kernel.GetSystemDirectoryA(buf, 19)) << "size needed with NUL";
  EXPECT_EQ(static_cast<char>(0xbd), buf[0]);
  m.SetVersionPreset("winme");
  EXPECT_EQ(17u, s.kernel.GetSystemDirectoryA(buf, sizeof buf));
  EXPECT_STREQ("C:\\WINDOWS\\SYSTEM", buf);

  EXPECT_EQ(m.ExePath().size(), s.kernel.GetModuleFileNameA(buf, sizeof buf));
  EXPECT_EQ(m.ExePath(), std::string(buf));
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(5u, s.kernel.GetModuleFileNameA(buf, 5));
  EXPECT_EQ("C:\\Pr", std::string(buf, 5)) << "truncated without NUL before Vista";
  EXPECT_EQ(static_cast<char>(0xbd), buf[5]);
}

TEST_F(SimKernel, LocaleNativeLanguageName) {
  LocaleSettings de;
  de.nativeLanguage = "Deutsch";
  m.SetLocale(de);
  char buf[16];
  EXPECT_EQ(8,
            s.kernel.GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buf, sizeof buf));
  EXPECT_STREQ("Deutsch", buf);
  EXPECT_EQ(8, s.kernel.GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, nullptr, 0));
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(0, s.kernel.GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buf, 7));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, s.kernel.GetLastError());
  EXPECT_EQ(static_cast<char>(0xbd), buf[0]);
}

TEST_F(SimKernel, SystemMessageTexts) {
  const std::pair<std::uint32_t, const char*> expected[] = {
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {32, "The process cannot access the file because it is being used by another process.\r\n"},
      {183, "Cannot create a file when that file already exists.\r\n"},
      {234, "More data is available.\r\n"},
      {259, "No more data is available.\r\n"},
      {1009, "The configuration registry database is corrupt.\r\n"},
      {1300, "Not all privileges referenced are assigned to the caller.\r\n"},
      {1313, "A specified privilege does not exist.\r\n"},
      {1314, "A required privilege is not held by the client.\r\n"},
  };
  char buf[256];
  for (const auto& [id, text] : expected) {
    EXPECT_EQ(std::strlen(text),
              s.kernel.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, id, 0, buf, 256))
        << id;
    EXPECT_STREQ(text, buf);
  }
  EXPECT_GT(s.kernel.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 1015, 0, buf, 256), 200u);
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(0u, s.kernel.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 13808, 0, buf, 256));
  EXPECT_EQ(ERROR_MR_MID_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_EQ(0u, s.kernel.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 5, 0, buf, 19))
      << "19 characters need 20";
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, s.kernel.GetLastError());
  EXPECT_EQ(static_cast<char>(0xbd), buf[0]);
}

using SimShell = SimTest;

TEST_F(SimShell, SystemFolderWhereTheShellKnowsIt) {
  ItemIdList list = 0;
  ASSERT_EQ(0, s.shell.SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list));
  ASSERT_NE(0u, list);
  EXPECT_EQ(1u, m.OpenItemLists());
  char path[MAX_PATH];
  ASSERT_TRUE(s.shell.SHGetPathFromIDListA(list, path));
  EXPECT_STREQ("C:\\WINDOWS\\system32", path);
  s.shell.CoTaskMemFree(list);
  EXPECT_EQ(0u, m.OpenItemLists());
  EXPECT_FALSE(s.shell.SHGetPathFromIDListA(list, path));

  for (const char* old : {"win95", "win98", "nt4"}) {
    m.SetVersionPreset(old);
    list = 0;
    EXPECT_NE(0, s.shell.SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list)) << old;
    EXPECT_EQ(0u, list);
  }
  m.SetVersionPreset("winme");
  ASSERT_EQ(0, s.shell.SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list));
  ASSERT_TRUE(s.shell.SHGetPathFromIDListA(list, path));
  EXPECT_STREQ("C:\\WINDOWS\\SYSTEM", path);
  s.shell.CoTaskMemFree(list);
}

using SimUi = SimTest;

TEST_F(SimUi, MessageBoxesAreRecordedAndAnsweredByScript) {
  m.ScriptMessageBoxAnswers({7});
  EXPECT_EQ(7, s.ui.MessageBox("first", MB_ICONINFORMATION, std::nullopt));
  EXPECT_EQ(IDOK, s.ui.MessageBox("zweite", MB_ICONEXCLAMATION, std::string("Titel")));
  ASSERT_EQ(2u, m.MessageBoxes().size());
  EXPECT_EQ("first", m.MessageBoxes()[0].text);
  EXPECT_EQ("Dravlin", m.MessageBoxes()[0].title);
  EXPECT_EQ(MB_ICONEXCLAMATION, m.MessageBoxes()[1].style);
  EXPECT_EQ("Titel", m.MessageBoxes()[1].title);
}

TEST_F(SimUi, WindowState) {
  Window& w = s.ui.MainWindow();
  EXPECT_TRUE(w.IsLoaded());
  w.SetText(Control::CB_start, "Start");
  w.SetEnabled(Control::CB_start, false);
  w.SetVisible(Control::Command1, false);
  w.Show();
  EXPECT_EQ("Start", m.Control(Control::CB_start).text);
  EXPECT_FALSE(m.Control(Control::CB_start).enabled);
  EXPECT_FALSE(w.IsVisible(Control::Command1));
  EXPECT_TRUE(w.IsVisible(Control::Command2));
  EXPECT_TRUE(m.WindowShown());
  w.Unload();
  EXPECT_FALSE(m.WindowLoaded());
  EXPECT_FALSE(m.WindowShown());
}

using SimRegional = SimTest;

TEST_F(SimRegional, PicturesFormatLikeWindows) {
  const SystemTime t{2026, 3, 0, 7, 14, 5, 9, 0};
  EXPECT_EQ("07.03.2026 14:05:09", FormatPicture("dd.MM.yyyy HH:mm:ss", t));
  EXPECT_EQ("3/7/2026 2:05:09 PM", FormatPicture("M/d/yyyy h:mm:ss tt", t));
  EXPECT_EQ("7-3-26 02h P", FormatPicture("d-M-yy hh'h' t", t));
  EXPECT_EQ("it's 14", FormatPicture("'it''s' H", t));
  const SystemTime midnight{2026, 1, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ("12 AM", FormatPicture("h tt", midnight));
}

TEST_F(SimRegional, DateAndTimeFormatsUseTheMachineSettingsAndClock) {
  LocaleSettings de;
  de.nativeLanguage = "Deutsch";
  de.shortDate = "dd.MM.yyyy";
  de.longTime = "HH:mm:ss";
  m.SetLocale(de);
  m.SetClock({2026, 12, 0, 31, 23, 59, 58, 0});
  m.AdvanceClock(3);
  SystemTime now;
  s.regional.GetLocalTime(&now);
  EXPECT_EQ(2027, now.wYear);
  EXPECT_EQ(1, now.wMonth);
  EXPECT_EQ(1, now.wDay);
  EXPECT_EQ(5, now.wDayOfWeek);  // a Friday
  EXPECT_EQ(1, now.wSecond);

  char buf[32];
  EXPECT_EQ(11, s.regional.GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, buf,
                                          sizeof buf));
  EXPECT_STREQ("01.01.2027", buf);
  EXPECT_EQ(9, s.regional.GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, buf, sizeof buf));
  EXPECT_STREQ("00:00:01", buf);
  EXPECT_EQ(9, s.regional.GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, nullptr, 0));
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(0, s.regional.GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, buf, 8));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, s.kernel.GetLastError());
  const SystemTime bad{2026, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_EQ(0, s.regional.GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, buf,
                                         sizeof buf));
}

}  // namespace
}  // namespace dravlin::sim::testing
