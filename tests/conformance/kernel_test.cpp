// Version, short paths, files on disk and system texts from kernel32 and the shell.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>

#include "conformance/calls.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Kernel = Calls;

DRAVLIN_CALLS(Kernel, FilesOnDisk)
DRAVLIN_CALLS(Kernel, FolderAndCopy)

TEST_F(Kernel, GetVersionExA) {
  OsVersionInfo info;
  info.dwMajorVersion = info.dwMinorVersion = info.dwBuildNumber = info.dwPlatformId = kSentinel;
  ASSERT_TRUE(kernel().GetVersionExA(&info));
  const auto expected = target().Version().value_or(ExpectedVersion{2, 0, 0, 0});
  EXPECT_EQ(info.dwPlatformId, expected.platformId);
  if (target().Version()) {
    EXPECT_EQ(std::tie(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber),
              std::tie(expected.major, expected.minor, expected.build));
  }
}

TEST_F(Kernel, GetShortPathNameA) {
  char buffer[300];
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetShortPathNameA(File("Missing File.txt"), buffer, sizeof buffer), 0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  const std::string longPath = File("A Long File Name.text");
  WriteTextFile(longPath, "x");
  // Too small: the size needed, NUL included, and the buffer as it was.
  const std::uint32_t needed = kernel().GetShortPathNameA(longPath, buffer, 4);
  EXPECT_GT(needed, 4u);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
  EXPECT_EQ(kernel().GetShortPathNameA(longPath, nullptr, 0), needed);
  const std::uint32_t written = kernel().GetShortPathNameA(longPath, buffer, needed);
  ASSERT_EQ(written, needed - 1);
  EXPECT_EQ(buffer[written], '\0');
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[written + 1]), kFill);
  // What a RunOnce command line needs: no blanks, an 8.3 last component, the same file.
  const std::string shortPath(buffer, written);
  const std::string last = shortPath.substr(shortPath.rfind('\\') + 1);
  const auto dot = std::min(last.find('.'), last.size());
  EXPECT_EQ(shortPath.find(' '), std::string::npos) << shortPath;
  EXPECT_TRUE(dot <= 8 && last.size() - dot <= 4) << last;
  EXPECT_TRUE(files().FileExists(shortPath)) << shortPath;
  // A part already in short form is copied as written, whatever case the disk keeps:
  // https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getshortpathnamea
  WriteTextFile(File("mixed.txt"), "x");
  const std::uint32_t n = kernel().GetShortPathNameA(File("MiXeD.TxT"), buffer, sizeof buffer);
  const std::string mixed(buffer, n);
  if (wine()) Gap("GetShortPathNameA gives a part already in 8.3 form with the case on disk");
  EXPECT_EQ(mixed.substr(mixed.rfind('\\') + 1), wine() ? "mixed.txt" : "MiXeD.TxT") << mixed;
}

// A file in use: DeleteFileA's answer and the runtime's number for Kill, which reports a file
// it holds open itself as 55 and a sharing violation as 70:
// https://learn.microsoft.com/en-us/previous-versions/ey1w10ch(v=vs.85)
// https://learn.microsoft.com/lb-lu/office/vba/language/reference/user-interface-help/file-already-open-error-55
TEST_F(Kernel, FilesInUse) {
  enum class Use { Runtime, Elsewhere, Mapped };
  struct Row {
    const char* name;
    Use use;
    Status deleteError;
    RtError kill;
  };
  const Row rows[] = {
      {"runtime.dat", Use::Runtime, ERROR_SHARING_VIOLATION, RT_FILE_ALREADY_OPEN},
      {"elsewhere.dat", Use::Elsewhere, ERROR_SHARING_VIOLATION, RT_PERMISSION_DENIED},
      // NT refuses a mapped image, as a loaded DLL is, as access denied (75 for the runtime).
      {"loaded.dll", Use::Mapped, nt() ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION,
       nt() ? RT_PATH_FILE_ACCESS_ERROR : RT_PERMISSION_DENIED},
  };
  for (const Row& row : rows) {
    const std::string path = File(row.name);
    WriteTextFile(path, "MZ");
    if (row.use == Use::Runtime) {
      ASSERT_EQ(files().OpenForBinaryRead(1, path), RT_OK);
    } else {
      ASSERT_TRUE(target().HoldFile(path, row.use == Use::Mapped)) << row.name;
    }
    if (wine() && row.use == Use::Mapped) {
      Gap("DeleteFileA and Kill of a file mapped into memory succeed, again and again");
      EXPECT_TRUE(kernel().DeleteFileA(path));
      EXPECT_EQ(files().Kill(path), RT_OK);
      continue;
    }
    EXPECT_FALSE(kernel().DeleteFileA(path)) << row.name;
    EXPECT_EQ(kernel().GetLastError(), row.deleteError) << row.name;
    EXPECT_EQ(files().Kill(path), row.kill) << row.name;
    EXPECT_TRUE(shell().PathFileExistsA(path)) << row.name;
    if (row.use == Use::Runtime) {
      EXPECT_EQ(files().Close(1), RT_OK);
    }
  }
}

// The system folder by both roads: a short buffer gets the size needed (NUL included) and is
// left alone; the shell's item list names the same folder (the shells before 2000 and ME know
// no such id).
TEST_F(Kernel, SystemFolder) {
  char buffer[300];
  const std::uint32_t length = kernel().GetSystemDirectoryA(buffer, sizeof buffer);
  ASSERT_GT(length, 3u);
  const std::string system(buffer, length);
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetSystemDirectoryA(buffer, 4), length + 1);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
  ItemIdList list = 0;
  const std::int32_t located = shell().SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list);
  const auto version = target().Version();
  if (version && version->major == 4 &&
      (version->platformId == VER_PLATFORM_WIN32_NT || version->minor < 90)) {
    EXPECT_NE(located, 0);
    return;
  }
  ASSERT_EQ(located, 0);
  ASSERT_TRUE(shell().SHGetPathFromIDListA(list, buffer));
  shell().CoTaskMemFree(list);
  const std::string viaShell(buffer);
  EXPECT_TRUE(std::equal(viaShell.begin(), viaShell.end(), system.begin(), system.end(),
                         [](char a, char b) { return std::toupper(a) == std::toupper(b); }))
      << viaShell << " / " << system;
}

// Without the enabled shutdown privilege NT refuses a restart (1314):
// https://learn.microsoft.com/en-us/windows/win32/api/winuser/nf-winuser-exitwindowsex
TEST_F(Kernel, ExitWindowsExWithoutThePrivilege) {
  if (wine()) {
    // Measured apart: it answers nonzero without the privilege and ends the calling process.
    Gap("ExitWindowsEx does not check the shutdown privilege and ends the process; not called");
    return;
  }
  if (!nt()) return;  // DOS-based Windows would restart
  EXPECT_FALSE(ui().ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
  EXPECT_EQ(kernel().GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
}

TEST_F(Kernel, FormatMessageA) {
  char buffer[256];
  std::memset(buffer, kFill, sizeof buffer);
  const std::uint32_t count =
      kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0, buffer, 256);
  ASSERT_GT(count, 2u);
  ASSERT_LT(count, 256u);
  // What the key renaming shows, less its last character.
  const std::string expected = wine() ? "Access denied.\r\n" : "Access is denied.\r\n";
  if (wine()) Gap("FormatMessageA(5) reads \"Access denied.\" (Windows: \"Access is denied.\")");
  EXPECT_EQ(std::string(buffer, count + 2), expected + '\0' + '\xbd');
  // Too small a buffer: nothing stored, 122; an unknown id: 317.
  EXPECT_EQ(kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0, buffer, 5),
            0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 0x7fff1234u, 0, buffer, 256), 0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
}

}  // namespace
}  // namespace dravlin::conformance
