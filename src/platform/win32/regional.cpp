// Clock and regional formats: pass-throughs to kernel32.
#include "platform/win32/win32.h"

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

SYSTEMTIME ToSystemTime(const platform::SystemTime& time) {
  SYSTEMTIME out;
  out.wYear = time.wYear;
  out.wMonth = time.wMonth;
  out.wDayOfWeek = time.wDayOfWeek;
  out.wDay = time.wDay;
  out.wHour = time.wHour;
  out.wMinute = time.wMinute;
  out.wSecond = time.wSecond;
  out.wMilliseconds = time.wMilliseconds;
  return out;
}

}  // namespace

void Regional::GetLocalTime(platform::SystemTime* time) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  time->wYear = now.wYear;
  time->wMonth = now.wMonth;
  time->wDayOfWeek = now.wDayOfWeek;
  time->wDay = now.wDay;
  time->wHour = now.wHour;
  time->wMinute = now.wMinute;
  time->wSecond = now.wSecond;
  time->wMilliseconds = now.wMilliseconds;
}

int Regional::GetDateFormatA(std::uint32_t locale, std::uint32_t flags,
                             const platform::SystemTime* time, const char* format, char* buffer,
                             int size) {
  SYSTEMTIME when{};
  if (time != nullptr) when = ToSystemTime(*time);
  return ::GetDateFormatA(locale, flags, time != nullptr ? &when : nullptr, format, buffer, size);
}

int Regional::GetTimeFormatA(std::uint32_t locale, std::uint32_t flags,
                             const platform::SystemTime* time, const char* format, char* buffer,
                             int size) {
  SYSTEMTIME when{};
  if (time != nullptr) when = ToSystemTime(*time);
  return ::GetTimeFormatA(locale, flags, time != nullptr ? &when : nullptr, format, buffer, size);
}

}  // namespace dravlin::win32
