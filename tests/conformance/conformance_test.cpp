// The platform calls the modules rely on: the sections of calls.txt, and the version and the
// system folder, which depend on each other.
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
DRAVLIN_CALLS(Kernel, GetShortPathNameA)
DRAVLIN_CALLS(Security, AdjustTokenPrivileges)
DRAVLIN_CALLS(Security, TokenGroups)

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

}  // namespace
}  // namespace dravlin::conformance
