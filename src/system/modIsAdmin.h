// Environment queries: administrator check, Windows version code, special folders.
#pragma once

#include <cstdint>
#include <string>

#include "platform/services.h"

namespace dravlin {

// Version codes of GetOsVersion.
inline constexpr std::int32_t kOsWin32s = -1;
inline constexpr std::int32_t kOsUnknown = 0;
inline constexpr std::int32_t kOsWin95 = 1;
inline constexpr std::int32_t kOsWin98Build1998 = 2;
inline constexpr std::int32_t kOsWin98 = 3;
inline constexpr std::int32_t kOsWinMe = 4;
inline constexpr std::int32_t kOsNt4 = 5;
inline constexpr std::int32_t kOsWin2000 = 6;
inline constexpr std::int32_t kOsWinXp = 7;
inline constexpr std::int32_t kOsWin2003 = 8;

class modIsAdmin {
 public:
  explicit modIsAdmin(platform::Services& services) : sv_(services) {}

  bool IsAdmin();
  std::int32_t GetOsVersion();
  std::string GetSpecialFolder(std::int32_t folderId);

 private:
  platform::Services& sv_;
};

}  // namespace dravlin
