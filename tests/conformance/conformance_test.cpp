// The platform calls the modules rely on: the sections of calls.txt, and what needs more than a
// call table (short paths, the version and the system folder, token groups).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>

#include "conformance/fixture.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Registry = Conformance;
using Hive = Conformance;
using Kernel = Conformance;
using Files = Conformance;
using Security = Conformance;

DRAVLIN_CALLS(Registry, OpenCreateDelete)
DRAVLIN_CALLS(Registry, ValuesKeepTheirBytes)
DRAVLIN_CALLS(Registry, RegQueryValueExA)
DRAVLIN_CALLS(Registry, RegEnumKeyExA)
DRAVLIN_CALLS(Registry, RegEnumValueAndQueryInfo)
DRAVLIN_CALLS(Registry, DeadHandles)
DRAVLIN_CALLS(Registry, AccessRights)
DRAVLIN_CALLS(Registry, ClassesRoot)
DRAVLIN_CALLS(Hive, RegSaveKeyA)
DRAVLIN_CALLS(Hive, RegRestoreKeyA)
DRAVLIN_CALLS(Hive, RestoreWithoutForce)
DRAVLIN_CALLS(Kernel, FilesOnDisk)
DRAVLIN_CALLS(Kernel, FolderAndCopy)
DRAVLIN_CALLS(Kernel, FilesInUse)
DRAVLIN_CALLS(Kernel, ExitWindowsExWithoutThePrivilege)
DRAVLIN_CALLS(Kernel, FormatMessageA)
DRAVLIN_CALLS(Files, AppendThenReadBack)
DRAVLIN_CALLS(Security, AdjustTokenPrivileges)

TEST_F(Kernel, GetShortPathNameA) {
  char buffer[300];
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetShortPathNameA(File("Missing File.txt"), buffer, sizeof buffer), 0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  const std::string longPath = File("A Long File Name.text");
  WriteTextFile(longPath, "x");
  // Too small: the size needed, NUL included.
  const std::uint32_t needed = kernel().GetShortPathNameA(longPath, buffer, 4);
  EXPECT_GT(needed, 4u);
  const std::uint32_t written = kernel().GetShortPathNameA(longPath, buffer, needed);
  ASSERT_EQ(written, needed - 1);
  EXPECT_EQ(buffer[written], '\0');
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

// The version the platform was set up to report, and the system folder by both roads: a short
// buffer gets the size needed (NUL included) and is left alone; the shell's item list names the
// same folder (the shells before 2000 and ME know no such id).
TEST_F(Kernel, VersionAndSystemFolder) {
  OsVersionInfo info;
  info.dwMajorVersion = info.dwMinorVersion = info.dwBuildNumber = info.dwPlatformId = kSentinel;
  ASSERT_TRUE(kernel().GetVersionExA(&info));
  const auto version = target().version;
  EXPECT_EQ(info.dwPlatformId, version.value_or(ExpectedVersion{2}).platformId);
  if (version) {
    EXPECT_EQ(std::tie(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber),
              std::tie(version->major, version->minor, version->build));
  }
  char buffer[300];
  const std::uint32_t length = kernel().GetSystemDirectoryA(buffer, sizeof buffer);
  ASSERT_GT(length, 3u);
  const std::string system(buffer, length);
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetSystemDirectoryA(buffer, 4), length + 1);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
  ItemIdList list = 0;
  const std::int32_t located = shell().SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list);
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

TEST_F(Security, TokenGroups) {
  // A thread that impersonates no one has no token of its own (1008): callers fall back to the
  // process token.
  Handle token = kSentinel;
  EXPECT_FALSE(sec().OpenThreadToken(kernel().GetCurrentThread(), TOKEN_QUERY, true, &token));
  EXPECT_EQ(kernel().GetLastError(), 1008u);
  EXPECT_EQ(token, kSentinel);
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(), TOKEN_QUERY, &token));
  // The size query fails with 122 and reports the size needed.
  std::uint32_t needed = kSentinel, length = kSentinel;
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, nullptr, 0, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  TokenGroups groups;
  ASSERT_TRUE(sec().GetTokenInformation(token, TokenGroupsClass, &groups, needed, &length));
  // The 32-bit layout: the count, a SID pointer and attributes per group, then the SIDs.
  std::uint32_t size = 4;
  for (const auto& group : groups.Groups) {
    EXPECT_TRUE(sec().IsValidSid(group.Sid));
    size += 8 + static_cast<std::uint32_t>(group.Sid.size());
  }
  EXPECT_EQ(length, size);
  // The administrators group S-1-5-32-544, as the administrator check builds it.
  SidBytes admins, users;
  ASSERT_TRUE(
      sec().AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins));
  ASSERT_TRUE(
      sec().AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
  EXPECT_FALSE(sec().EqualSid(admins, users));
  const auto admin =
      std::find_if(groups.Groups.begin(), groups.Groups.end(),
                   [&](const SidAndAttributes& g) { return sec().EqualSid(g.Sid, admins); });
  // The suite runs as an administrator: it writes below HKLM.
  ASSERT_NE(admin, groups.Groups.end());
  if (wine()) {
    Gap("the process token always holds S-1-5-32-544 (attributes 0xF): no run as a "
        "non-administrator can be had");
    EXPECT_EQ(admin->Attributes, 0xFu);
  }
  EXPECT_TRUE(kernel().CloseHandle(token));
}

}  // namespace
}  // namespace dravlin::conformance
