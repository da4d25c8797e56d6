// Version, paths, file attributes and system texts from kernel32 and the shell.
#include <cstring>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Kernel = Conformance;

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

TEST_F(Kernel, GetVersionExA) {
  OsVersionInfo info;
  info.dwMajorVersion = info.dwMinorVersion = info.dwBuildNumber = info.dwPlatformId = kSentinel;
  ASSERT_TRUE(kernel().GetVersionExA(&info));
  EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    // DOS-based Windows keeps major.minor in the build number's high word.
    EXPECT_EQ(info.dwBuildNumber >> 16, (info.dwMajorVersion << 8) | info.dwMinorVersion)
        << std::hex << info.dwBuildNumber;
  } else {
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_LT(info.dwBuildNumber, 0x10000u);
  }
  EXPECT_LT(info.szCSDVersion.size(), 128u);
  EXPECT_EQ(info.szCSDVersion.find('\0'), std::string::npos);

  if (const auto expected = target().Version()) {
    EXPECT_EQ(info.dwPlatformId, expected->platformId);
    EXPECT_EQ(info.dwMajorVersion, expected->major);
    EXPECT_EQ(info.dwMinorVersion, expected->minor);
    EXPECT_EQ(info.dwBuildNumber, expected->build);
  } else {
    std::cout << "version " << info.dwPlatformId << " " << info.dwMajorVersion << "."
              << info.dwMinorVersion << "." << info.dwBuildNumber << " (not known in advance)"
              << std::endl;
  }

  // A record of a size Windows does not know is refused and left alone.
  OsVersionInfo wrong;
  wrong.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(kernel().GetVersionExA(&wrong));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wrong.dwPlatformId, 0u);
}

TEST_F(Kernel, GetShortPathNameA) {
  char buffer[300];
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetShortPathNameA(File("Missing File.txt"), buffer, sizeof buffer), 0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);

  const std::string longPath = File("A Long File Name.text");
  WriteTextFile(longPath, "x");
  // Too small: the size needed, NUL included, and the buffer as it was.
  const std::uint32_t needed = kernel().GetShortPathNameA(longPath, buffer, 4);
  EXPECT_GT(needed, 4u);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(static_cast<std::uint8_t>(buffer[i]), kFill);
  EXPECT_EQ(kernel().GetShortPathNameA(longPath, nullptr, 0), needed);

  const std::uint32_t written = kernel().GetShortPathNameA(longPath, buffer, needed);
  ASSERT_EQ(written, needed - 1);
  EXPECT_EQ(buffer[written], '\0');
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[written + 1]), kFill);
  const std::string shortPath(buffer, written);
  // What a RunOnce command line needs: no blanks, an 8.3 last component, the same file.
  EXPECT_EQ(shortPath.find(' '), std::string::npos) << shortPath;
  const std::string last = shortPath.substr(shortPath.rfind('\\') + 1);
  const auto dot = last.find('.');
  EXPECT_LE(dot == std::string::npos ? last.size() : dot, 8u) << last;
  EXPECT_LE(dot == std::string::npos ? 0 : last.size() - dot - 1, 3u) << last;
  EXPECT_TRUE(shell().PathFileExistsA(shortPath)) << shortPath;
  EXPECT_TRUE(files().FileExists(shortPath)) << shortPath;
}

TEST_F(Kernel, DeleteFileA_ReadOnly) {
  const std::string path = File("readonly.dll");
  WriteTextFile(path, "x");
  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(kernel().DeleteFileA(path));
  EXPECT_EQ(kernel().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(shell().PathFileExistsA(path));

  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(kernel().DeleteFileA(path));
  EXPECT_FALSE(shell().PathFileExistsA(path));
  EXPECT_FALSE(kernel().DeleteFileA(path));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Kernel, SetFileAttributesA) {
  const std::string path = File("attributes.txt");
  WriteTextFile(path, "x");
  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  const std::uint32_t got = kernel().GetFileAttributesA(path);
  ASSERT_NE(got, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(got & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY),
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)
      << std::hex << got;

  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(kernel().GetFileAttributesA(path) &
                (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            0u);
  EXPECT_NE(kernel().GetFileAttributesA(target().ScratchFolder()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

  EXPECT_FALSE(kernel().SetFileAttributesA(File("missing.txt"), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel().GetFileAttributesA(File("missing.txt")), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Kernel, PathFileExistsA) {
  const std::string path = File("present.dll");
  WriteTextFile(path, "x");
  EXPECT_TRUE(shell().PathFileExistsA(path));
  EXPECT_TRUE(shell().PathFileExistsA(File("PRESENT.DLL"))) << "names ignore case";
  EXPECT_TRUE(shell().PathFileExistsA(target().ScratchFolder())) << "folders exist too";
  EXPECT_FALSE(shell().PathFileExistsA(File("absent.dll")));
  EXPECT_FALSE(shell().PathFileExistsA(File("no folder\\absent.dll")));
}

TEST_F(Kernel, FormatMessageA) {
  char buffer[256];
  std::memset(buffer, kFill, sizeof buffer);
  const std::uint32_t count =
      kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0, buffer, 256);
  ASSERT_GT(count, 2u);
  ASSERT_LT(count, 256u);
  const std::string text(buffer, count + 1);
  // What the key renaming shows, less its last character.
  const std::string expected = wine() ? "Access denied.\r\n" : "Access is denied.\r\n";
  if (wine()) Gap("FormatMessageA(5) reads \"Access denied.\" (Windows: \"Access is denied.\")");
  EXPECT_EQ(text, expected + '\0') << Printable(text);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[count + 1]), kFill);

  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 0x7fff1234u, 0, buffer, 256), 0u);
  EXPECT_EQ(kernel().GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
}

TEST_F(Kernel, GetLocaleInfoA) {
  char buffer[64];
  std::memset(buffer, kFill, sizeof buffer);
  const int needed =
      kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, nullptr, 0);
  ASSERT_GT(needed, 1);
  const int count =
      kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buffer, sizeof buffer);
  ASSERT_EQ(count, needed);
  // The count includes the NUL.
  EXPECT_EQ(std::strlen(buffer) + 1, static_cast<std::size_t>(count)) << buffer;
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[count]), kFill);

  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buffer, 1), 0);
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Kernel, SystemFolder) {
  char system[MAX_PATH];
  std::memset(system, kFill, sizeof system);
  const std::uint32_t length = kernel().GetSystemDirectoryA(system, 255);
  ASSERT_GT(length, 3u);
  ASSERT_LT(length, 255u);
  EXPECT_EQ(system[length], '\0');
  EXPECT_TRUE(shell().PathFileExistsA(std::string(system, length)));

  ItemIdList list = kSentinel;
  ASSERT_EQ(shell().SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list), 0);
  ASSERT_NE(list, 0u);
  ASSERT_NE(list, kSentinel);
  char path[MAX_PATH];
  std::memset(path, kFill, sizeof path);
  EXPECT_TRUE(shell().SHGetPathFromIDListA(list, path));
  shell().CoTaskMemFree(list);
  const std::string special(path, strnlen(path, sizeof path));
  EXPECT_TRUE(EqualNoCase(special, std::string(system, length)))
      << special << " vs " << std::string(system, length);

  // The program's own path is a file that exists.
  char self[MAX_PATH];
  const std::uint32_t selfLength = kernel().GetModuleFileNameA(self, sizeof self);
  ASSERT_GT(selfLength, 0u);
  ASSERT_LT(selfLength, sizeof self);
  EXPECT_EQ(self[selfLength], '\0');
}

}  // namespace
}  // namespace dravlin::conformance
