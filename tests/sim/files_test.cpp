// Drive C:: Windows path rules, attributes, locks, short names, and the runtime's numbered files.
#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

using SimDrive = SimTest;

TEST_F(SimDrive, NamesAreCaseInsensitiveAndPathsOutsideCFail) {
  ASSERT_TRUE(m.WriteFile("C:\\Dir\\File.TXT", "data"));
  EXPECT_TRUE(s.shell.PathFileExistsA("c:\\dir\\file.txt"));
  EXPECT_TRUE(s.shell.PathFileExistsA("C:/DIR/./x/../File.txt"));
  EXPECT_TRUE(s.shell.PathFileExistsA("C:\\DIR"));
  EXPECT_TRUE(s.files.FileExists("C:\\dir\\FILE.txt"));
  EXPECT_FALSE(s.files.FileExists("C:\\dir")) << "the runtime test is for files only";
  EXPECT_FALSE(s.shell.PathFileExistsA("D:\\Dir\\File.txt"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_FALSE(s.kernel.DeleteFileA("\\\\server\\share\\x"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_EQ("data", *m.ReadFile("C:\\DIR\\FILE.TXT"));
}

TEST_F(SimDrive, DeleteFileHonoursReadOnlyLocksAndMissingParts) {
  m.WriteFile("C:\\ro.txt", "");
  m.WriteFile("C:\\busy.dll", "");
  m.WriteFile("C:\\plain.txt", "");
  m.SetFileAttributes("C:\\ro.txt", FILE_ATTRIBUTE_READONLY);
  m.SetUndeletable("C:\\BUSY.dll");

  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\ro.txt"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, s.kernel.GetLastError());
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\busy.dll"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\missing.txt"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\nodir\\missing.txt"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_TRUE(m.FileExists("C:\\ro.txt"));
  EXPECT_TRUE(m.FileExists("C:\\busy.dll"));

  EXPECT_TRUE(s.kernel.SetFileAttributesA("C:\\RO.TXT", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, s.kernel.GetFileAttributesA("C:\\ro.txt"));
  EXPECT_TRUE(s.kernel.DeleteFileA("C:\\ro.txt"));
  EXPECT_TRUE(s.kernel.DeleteFileA("C:\\Plain.txt"));
  EXPECT_FALSE(m.FileExists("C:\\plain.txt"));
}

TEST_F(SimDrive, Attributes) {
  m.WriteFile("C:\\f.txt", "");
  m.CreateFolder("C:\\Folder");
  EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, s.kernel.GetFileAttributesA("C:\\f.txt"));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, s.kernel.GetFileAttributesA("C:\\folder"));
  EXPECT_TRUE(
      s.kernel.SetFileAttributesA("C:\\f.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, m.FileAttributes("C:\\F.TXT"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, s.kernel.GetFileAttributesA("C:\\nope"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, s.kernel.GetLastError());
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\folder"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, s.kernel.GetLastError());
}

TEST_F(SimDrive, ShortNames) {
  m.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
  m.CreateFolder("C:\\Programs Extra");
  char buf[64];
  std::memset(buf, 0xbd, sizeof buf);
  const std::string want = "C:\\PROGRA~1\\Dravlin\\dravlin.exe";
  EXPECT_EQ(want.size(),
            s.kernel.GetShortPathNameA("C:\\Program Files\\Dravlin\\dravlin.exe", buf, sizeof buf));
  EXPECT_EQ(want, std::string(buf));
  ASSERT_GT(s.kernel.GetShortPathNameA("c:\\programs extra", buf, sizeof buf), 0u);
  EXPECT_STREQ("c:\\PROGRA~2", buf)
      << "numbered after the other PROGRA basis, drive letter as given";
  // The short form resolves back to the same file.
  EXPECT_TRUE(s.shell.PathFileExistsA("C:\\progra~1\\DRAVLIN\\DRAVLIN.EXE"));
  // Too small: the size needed including NUL, buffer untouched.
  std::memset(buf, 0xbd, sizeof buf);
  EXPECT_EQ(want.size() + 1,
            s.kernel.GetShortPathNameA("C:\\Program Files\\Dravlin\\dravlin.exe", buf,
                                       static_cast<std::uint32_t>(want.size())));
  EXPECT_EQ(static_cast<char>(0xbd), buf[0]);
  EXPECT_EQ(0u, s.kernel.GetShortPathNameA("C:\\Program Files\\none.exe", buf, sizeof buf));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, s.kernel.GetLastError());
  // Long names with dots and odd characters.
  m.WriteFile("C:\\my.long file+name.html", "");
  EXPECT_GT(s.kernel.GetShortPathNameA("C:\\my.long file+name.html", buf, sizeof buf), 0u);
  EXPECT_EQ("C:\\MYLONG~1.HTM", std::string(buf));
}

using SimRuntimeFiles = SimTest;

TEST_F(SimRuntimeFiles, AppendCreatesAndAddsLinesAtTheEnd) {
  m.WriteFile("C:\\log.txt", "old\r\n");
  const int n = s.files.FreeFile();
  EXPECT_EQ(1, n);
  ASSERT_EQ(RT_OK, s.files.OpenForAppend(n, "C:\\LOG.txt"));
  EXPECT_EQ(2, s.files.FreeFile());
  EXPECT_EQ(RT_FILE_ALREADY_OPEN, s.files.OpenForAppend(n, "C:\\other.txt"));
  ASSERT_EQ(RT_OK, s.files.PrintLine(n, "line"));
  EXPECT_EQ("old\r\nline\r\n", *m.ReadFile("C:\\log.txt")) << "lines reach the disk at once";
  EXPECT_EQ(1u, m.OpenFiles());
  EXPECT_FALSE(s.kernel.DeleteFileA("C:\\log.txt"));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, s.kernel.GetLastError());
  EXPECT_EQ(RT_FILE_ALREADY_OPEN, s.files.Kill("C:\\log.txt"));
  ASSERT_EQ(RT_OK, s.files.Close(n));
  EXPECT_EQ(0u, m.OpenFiles());
  EXPECT_EQ(RT_BAD_FILE_NAME_OR_NUMBER, s.files.PrintLine(n, "late"));

  ASSERT_EQ(RT_OK, s.files.OpenForAppend(3, "C:\\new.txt"));
  EXPECT_TRUE(m.FileExists("C:\\new.txt"));
}

TEST_F(SimRuntimeFiles, ErrorNumbers) {
  m.CreateFolder("C:\\Folder");
  m.WriteFile("C:\\ro.txt", "x");
  m.SetFileAttributes("C:\\ro.txt", FILE_ATTRIBUTE_READONLY);
  m.WriteFile("C:\\locked.txt", "x");
  m.SetUndeletable("C:\\locked.txt");
  EXPECT_EQ(RT_BAD_FILE_NAME_OR_NUMBER, s.files.OpenForAppend(0, "C:\\a.txt"));
  EXPECT_EQ(RT_BAD_FILE_NAME_OR_NUMBER, s.files.OpenForAppend(512, "C:\\a.txt"));
  EXPECT_EQ(RT_PATH_NOT_FOUND, s.files.OpenForAppend(1, "C:\\nodir\\a.txt"));
  EXPECT_EQ(RT_PATH_FILE_ACCESS_ERROR, s.files.OpenForAppend(1, "C:\\Folder"));
  EXPECT_EQ(RT_PATH_FILE_ACCESS_ERROR, s.files.OpenForAppend(1, "C:\\ro.txt"));
  EXPECT_EQ(RT_PERMISSION_DENIED, s.files.OpenForAppend(1, "C:\\locked.txt"));
  EXPECT_EQ(RT_FILE_NOT_FOUND, s.files.OpenForBinaryRead(1, "C:\\missing.bin"));
  EXPECT_FALSE(m.FileExists("C:\\missing.bin")) << "a read must not create the file";
  std::int64_t len = -7;
  EXPECT_EQ(RT_FILE_NOT_FOUND, s.files.FileLen("C:\\missing.bin", &len));
  EXPECT_EQ(-7, len);
  EXPECT_EQ(RT_FILE_NOT_FOUND, s.files.Kill("C:\\missing.bin"));
  EXPECT_EQ(RT_PATH_FILE_ACCESS_ERROR, s.files.Kill("C:\\ro.txt"));
  EXPECT_EQ(RT_PATH_FILE_ACCESS_ERROR, s.files.Kill("C:\\locked.txt"));
  EXPECT_EQ(0u, m.OpenFiles());
}

TEST_F(SimRuntimeFiles, BinaryReadFillsTheBufferFromThePosition) {
  m.WriteFile("C:\\h.bin", std::string("AB\0CDE", 6));
  std::int64_t len = 0;
  ASSERT_EQ(RT_OK, s.files.FileLen("c:\\H.BIN", &len));
  EXPECT_EQ(6, len);
  ASSERT_EQ(RT_OK, s.files.OpenForBinaryRead(1, "C:\\h.bin"));
  std::string buf(4, '#');
  ASSERT_EQ(RT_OK, s.files.Get(1, &buf));
  EXPECT_EQ(std::string("AB\0C", 4), buf);
  ASSERT_EQ(RT_OK, s.files.Get(1, &buf));
  EXPECT_EQ(std::string("DE\0C", 4), buf) << "past the end the buffer keeps what it held";
  EXPECT_EQ(54, s.files.PrintLine(1, "x")) << "bad file mode";
  EXPECT_EQ(RT_OK, s.files.Close(1));
  EXPECT_EQ(RT_OK, s.files.Kill("C:\\h.bin"));
  EXPECT_FALSE(m.FileExists("C:\\h.bin"));
}

}  // namespace
}  // namespace dravlin::sim::testing
