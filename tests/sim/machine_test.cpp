// What only the simulated machine can show: its drive's short names and locked files, the
// DOS-based registry, its regional settings and clock, and the recorded window-system calls.
#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

using SimMachine = SimTest;

TEST_F(SimMachine, ShortNamesAreNumberedPerBasis) {
  m.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
  m.CreateFolder("C:\\Programs Extra");
  m.WriteFile("C:\\my.long file+name.html", "");
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Program Files\\Dravlin\\dravlin.exe", "C:\\PROGRA~1\\Dravlin\\dravlin.exe"},
      // Numbered after the other PROGRA basis; the drive letter as given.
      {"c:\\programs extra", "c:\\PROGRA~2"},
      {"C:\\my.long file+name.html", "C:\\MYLONG~1.HTM"},
  };
  for (const auto& [longPath, shortPath] : cases) {
    char buf[64];
    EXPECT_EQ(std::strlen(shortPath), s.kernel.GetShortPathNameA(longPath, buf, sizeof buf));
    EXPECT_STREQ(shortPath, buf);
  }
  EXPECT_TRUE(s.shell.PathFileExistsA("C:\\progra~1\\DRAVLIN\\DRAVLIN.EXE"));
}

TEST_F(SimMachine, LockedAndOpenFilesCannotBeDeleted) {
  m.WriteFile("C:\\busy.dll", "");
  m.SetUndeletable("C:\\BUSY.dll");
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\busy.dll"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_EQ(RT_PERMISSION_DENIED, s.files.Kill("C:\\busy.dll"));
  EXPECT_EQ(RT_PERMISSION_DENIED, s.files.OpenForAppend(1, "C:\\busy.dll"));
  EXPECT_TRUE(m.FileExists("C:\\busy.dll"));

  // A log open for appending gets every line at once and is locked until closed.
  m.WriteFile("C:\\log.txt", "old\r\n");
  ASSERT_EQ(RT_OK, s.files.OpenForAppend(1, "C:\\LOG.txt"));
  ASSERT_EQ(RT_OK, s.files.PrintLine(1, "line"));
  EXPECT_EQ("old\r\nline\r\n", *m.ReadFile("C:\\log.txt"));
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\log.txt"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_EQ(RT_FILE_ALREADY_OPEN, s.files.Kill("C:\\log.txt"));
  ASSERT_EQ(RT_OK, s.files.Close(1));
  EXPECT_EQ(RT_OK, s.files.Kill("C:\\log.txt"));
  EXPECT_EQ(0u, m.OpenFiles());
}

TEST_F(SimMachine, KeptFolderListingsSeeEveryChangeOfTheMachine) {
  m.KeepDriveListings();
  const auto seen = [&](const char* path) { return m.FileExists(path) || m.FolderExists(path); };
  ASSERT_FALSE(seen("C:\\d\\a.txt"));  // read before each change below
  ASSERT_TRUE(s.kernel.CreateDirectoryA("C:\\d"));
  ASSERT_TRUE(m.WriteFile("C:\\d\\a.txt", "x"));
  EXPECT_TRUE(seen("C:\\D\\A.TXT"));
  ASSERT_TRUE(s.kernel.CopyFileA("C:\\d\\a.txt", "C:\\d\\b.txt", true));
  EXPECT_TRUE(seen("C:\\d\\b.txt"));
  ASSERT_TRUE(s.kernel.DeleteFileA("C:\\d\\a.txt"));
  EXPECT_FALSE(seen("C:\\d\\a.txt"));
  ASSERT_EQ(RT_OK, s.files.Kill("C:\\d\\b.txt"));
  EXPECT_FALSE(seen("C:\\d\\b.txt"));
  // A log removed behind the program's back comes back with its next line.
  ASSERT_EQ(RT_OK, s.files.OpenForAppend(1, "C:\\d\\log.txt"));
  EXPECT_TRUE(seen("C:\\d\\log.txt"));
  ASSERT_TRUE(m.RemoveFile("C:\\d\\log.txt"));
  EXPECT_FALSE(seen("C:\\d\\log.txt"));
  ASSERT_EQ(RT_OK, s.files.PrintLine(1, "line"));
  EXPECT_EQ("line\r\n", m.ReadFile("C:\\d\\log.txt").value_or(""));
  ASSERT_EQ(RT_OK, s.files.Close(1));
}

TEST_F(SimMachine, DosBasedWindowsDeletesAKeyWithItsSubtree) {
  m.CreateKey(HKEY_CURRENT_USER, "T\\Child\\Grandchild");
  EXPECT_EQ(ERROR_ACCESS_DENIED, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T"));
  EXPECT_TRUE(m.KeyExists(HKEY_CURRENT_USER, "T\\Child\\Grandchild"));
  for (const char* preset : {"win95", "win98", "winme"}) {
    ASSERT_TRUE(m.SetVersionPreset(preset));
    m.CreateKey(HKEY_CURRENT_USER, "T\\Child\\Grandchild");
    EXPECT_EQ(0u, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T")) << preset;
    EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "T")) << preset;
  }
}

TEST_F(SimMachine, RegionalFormatsFollowThePicturesAndTheClock) {
  const SystemTime t{2026, 3, 0, 7, 14, 5, 9, 0};
  EXPECT_EQ("07.03.2026 14:05:09", FormatPicture("dd.MM.yyyy HH:mm:ss", t));
  EXPECT_EQ("3/7/2026 2:05:09 PM", FormatPicture("M/d/yyyy h:mm:ss tt", t));
  EXPECT_EQ("7-3-26 02h P", FormatPicture("d-M-yy hh'h' t", t));
  EXPECT_EQ("it's 14", FormatPicture("'it''s' H", t));
  EXPECT_EQ("12 AM", FormatPicture("h tt", SystemTime{2026, 1, 0, 1, 0, 0, 0, 0}));

  // The machine's own formats, and a clock that rolls over the year.
  LocaleSettings de;
  de.nativeLanguage = "Deutsch";
  de.shortDate = "dd.MM.yyyy";
  de.longTime = "HH:mm:ss";
  m.SetLocale(de);
  m.SetClock({2026, 12, 0, 31, 23, 59, 58, 0});
  m.AdvanceClock(3);
  SystemTime now;
  s.regional.GetLocalTime(&now);
  EXPECT_EQ(5, now.wDayOfWeek);  // a Friday
  char buf[32];
  EXPECT_EQ(8, s.kernel.GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buf, 32));
  EXPECT_STREQ("Deutsch", buf);
  EXPECT_EQ(11, s.regional.GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, buf,
                                          sizeof buf));
  EXPECT_STREQ("01.01.2027", buf);
  EXPECT_EQ(9, s.regional.GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, buf, sizeof buf));
  EXPECT_STREQ("00:00:01", buf);
  const SystemTime bad{2026, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_EQ(0, s.regional.GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, buf,
                                         sizeof buf));
}

TEST_F(SimMachine, MessageBoxesAndExitWindowsAreRecorded) {
  m.ScriptMessageBoxAnswers({7});
  EXPECT_EQ(7, s.ui.MessageBox("first", MB_ICONINFORMATION, std::nullopt));
  EXPECT_EQ(IDOK, s.ui.MessageBox("zweite", MB_ICONEXCLAMATION, std::string("Titel")));
  ASSERT_EQ(2u, m.MessageBoxes().size());
  EXPECT_EQ("first", m.MessageBoxes()[0].text);
  EXPECT_EQ("Dravlin", m.MessageBoxes()[0].title);
  EXPECT_EQ(MB_ICONEXCLAMATION, m.MessageBoxes()[1].style);
  EXPECT_EQ("Titel", m.MessageBoxes()[1].title);

  // NT reboots only with the shutdown privilege enabled; DOS-based Windows always.
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

}  // namespace
}  // namespace dravlin::sim::testing
