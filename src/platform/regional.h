// Regional settings: the clock and the user's short date and long time formats.
#pragma once

#include <cstdint>

namespace dravlin::platform {

struct SystemTime {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

inline constexpr std::uint32_t DATE_SHORTDATE = 1;

class Regional {
 public:
  virtual ~Regional() = default;

  virtual void GetLocalTime(SystemTime* time) = 0;
  // format null: the user's format (short date with DATE_SHORTDATE; the long time format
  // with flags 0). Returns the characters written including the NUL, 0 on failure.
  virtual int GetDateFormatA(std::uint32_t locale, std::uint32_t flags, const SystemTime* time,
                             const char* format, char* buffer, int size) = 0;
  virtual int GetTimeFormatA(std::uint32_t locale, std::uint32_t flags, const SystemTime* time,
                             const char* format, char* buffer, int size) = 0;
};

}  // namespace dravlin::platform
