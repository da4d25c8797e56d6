#include "system/modIsAdmin.h"

#include <array>

namespace dravlin {

namespace {

using platform::Handle;

// Closes a token handle when the check ends, whichever way it ends.
class TokenCloser {
 public:
  TokenCloser(platform::Kernel& kernel, Handle token) : kernel_(kernel), token_(token) {}
  TokenCloser(const TokenCloser&) = delete;
  TokenCloser& operator=(const TokenCloser&) = delete;
  ~TokenCloser() { (void)kernel_.CloseHandle(token_); }

 private:
  platform::Kernel& kernel_;
  Handle token_;
};

// Releases the SID that AllocateAndInitializeSid gave us.
class SidFreer {
 public:
  SidFreer(platform::Security& security, platform::SidBytes& sid)
      : security_(security), sid_(sid) {}
  SidFreer(const SidFreer&) = delete;
  SidFreer& operator=(const SidFreer&) = delete;
  ~SidFreer() { security_.FreeSid(sid_); }

 private:
  platform::Security& security_;
  platform::SidBytes& sid_;
};

constexpr std::array<std::uint8_t, 6> kNtAuthority = {0, 0, 0, 0, 0, 5};
constexpr std::uint32_t kBuiltinDomain = 32;
constexpr std::uint32_t kAdministratorsAlias = 544;
constexpr std::uint32_t kBuild1998 = 1998;
constexpr std::uint32_t kFolderPathChars = 260;

}  // namespace

bool modIsAdmin::IsAdmin() {
  platform::Security& security = sv_.security;
  platform::Kernel& kernel = sv_.kernel;

  Handle token = 0;
  bool opened =
      security.OpenThreadToken(kernel.GetCurrentThread(), platform::TOKEN_QUERY, true, &token);
  if (!opened) {
    token = 0;
    opened = security.OpenProcessToken(kernel.GetCurrentProcess(), platform::TOKEN_QUERY, &token);
  }
  if (!opened || token == 0) return false;
  const TokenCloser closer(kernel, token);

  std::uint32_t size = 0;
  (void)security.GetTokenInformation(token, platform::TokenGroupsClass, nullptr, 0, &size);
  if (size == 0) return false;
  platform::TokenGroups groups;
  if (!security.GetTokenInformation(token, platform::TokenGroupsClass, &groups, size, &size)) {
    return false;
  }

  platform::SidBytes administrators;
  if (!security.AllocateAndInitializeSid(kNtAuthority, 2, kBuiltinDomain, kAdministratorsAlias, 0,
                                         0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  const SidFreer freer(security, administrators);
  if (!security.IsValidSid(administrators)) return false;

  // Every group counts, however many the token has and whatever its attributes say: a
  // disabled or deny-only administrators entry still makes the user an administrator.
  for (const platform::SidAndAttributes& group : groups.Groups) {
    if (security.IsValidSid(group.Sid) && security.EqualSid(group.Sid, administrators)) {
      return true;
    }
  }
  return false;
}

std::int32_t modIsAdmin::GetOsVersion() {
  platform::OsVersionInfo info;
  info.dwOSVersionInfoSize = 148;
  (void)sv_.kernel.GetVersionExA(&info);  // a failed call leaves zeros: Win32s
  const std::uint32_t build = info.dwBuildNumber & 0xFFFFu;
  const std::uint32_t major = info.dwMajorVersion;
  const std::uint32_t minor = info.dwMinorVersion;

  switch (info.dwPlatformId) {
    case platform::VER_PLATFORM_WIN32_NT:
      if (major == 4) return kOsNt4;
      if (major == 5) {
        if (minor == 0) return kOsWin2000;
        if (minor == 1) return kOsWinXp;
        if (minor == 2) return kOsWin2003;
      }
      return kOsUnknown;
    case platform::VER_PLATFORM_WIN32_WINDOWS:
      if (major > 4) return build == kBuild1998 ? kOsWin98Build1998 : kOsWin98;
      if (major == 4) {
        if (minor == 10) return build == kBuild1998 ? kOsWin98Build1998 : kOsWin98;
        if (minor == 0) return kOsWin95;
        if (minor == 90) return kOsWinMe;
      }
      return kOsUnknown;
    case platform::VER_PLATFORM_WIN32s:
      return kOsWin32s;
    default:
      return kOsUnknown;
  }
}

std::string modIsAdmin::GetSpecialFolder(std::int32_t folderId) {
  platform::Shell& shell = sv_.shell;
  platform::ItemIdList list = 0;
  const std::int32_t located = shell.SHGetSpecialFolderLocation(0, folderId, &list);
  std::string result;
  // A failed call hands out no list (Windows sets it to null), so there is nothing to release.
  if (located != 0 || list == 0) return result;
  std::string buffer(kFolderPathChars, ' ');
  if (shell.SHGetPathFromIDListA(list, buffer.data())) {
    // The path ends at its NUL; a buffer without one holds no path we could trust.
    const std::size_t end = buffer.find('\0');
    if (end != std::string::npos) result = buffer.substr(0, end);
  }
  shell.CoTaskMemFree(list);
  return result;
}

}  // namespace dravlin
