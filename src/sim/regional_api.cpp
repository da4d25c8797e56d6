// The clock and the date and time formats of the user's locale as the program sees them.
#include <string_view>

#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::Status;
using Gate = Machine::Impl::Gate;

void Program::GetLocalTime(platform::SystemTime* time) {
  std::uint32_t injected = 0;
  m_.Enter("GetLocalTime", false, &injected);
  if (time) *time = m_.Now();
}

namespace {
int FormatOut(const std::string& text, char* buffer, int size, Status* error) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (size < 0 || buffer == nullptr) {
    *error = platform::ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (!CopyOut(text, buffer, static_cast<std::size_t>(size))) {
    *error = platform::ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  return needed;
}
}  // namespace

int Program::GetDateFormatA(std::uint32_t locale, std::uint32_t flags,
                            const platform::SystemTime* time, const char* format, char* buffer,
                            int size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetDateFormatA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t DATE_LONGDATE = 2;
  if (locale != platform::LOCALE_USER_DEFAULT && locale != 0x800 && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  if (format != nullptr && flags != 0) return Fail(ERROR_INVALID_FLAGS), 0;
  if (flags & ~(platform::DATE_SHORTDATE | DATE_LONGDATE)) return Fail(ERROR_INVALID_FLAGS), 0;
  platform::SystemTime t = time ? *time : m_.Now();
  if (time) {
    if (!ValidTime(t)) return Fail(platform::ERROR_INVALID_PARAMETER), 0;
    t = FromSeconds(ToSeconds(t), t.wMilliseconds);  // the day of week as Windows derives it
  }
  std::string picture = format                    ? std::string(format)
                        : (flags & DATE_LONGDATE) ? std::string("dddd, MMMM d, yyyy")
                                                  : m_.locale.shortDate;
  // A date picture takes no time fields: their letters stand as they are.
  t.wHour = t.wMinute = t.wSecond = 0;
  std::string escaped;
  for (char c : picture) {
    if (std::string_view("hHmst").find(c) != std::string_view::npos) {
      escaped += '\'';
      escaped += c;
      escaped += '\'';
    } else {
      escaped += c;
    }
  }
  Status error = 0;
  const int n =
      FormatOut(FormatPicture(escaped, t, m_.locale.am, m_.locale.pm), buffer, size, &error);
  if (n == 0) Fail(error);
  return n;
}

int Program::GetTimeFormatA(std::uint32_t locale, std::uint32_t flags,
                            const platform::SystemTime* time, const char* format, char* buffer,
                            int size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetTimeFormatA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t TIME_NOMINUTESORSECONDS = 1, TIME_NOSECONDS = 2, TIME_NOTIMEMARKER = 4,
                          TIME_FORCE24HOURFORMAT = 8;
  if (locale != platform::LOCALE_USER_DEFAULT && locale != 0x800 && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  if (flags & ~0xFu) return Fail(ERROR_INVALID_FLAGS), 0;
  const platform::SystemTime t = time ? *time : m_.Now();
  if (time && (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999))
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  std::string picture = format ? std::string(format) : m_.locale.longTime;
  std::string edited;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const char c = picture[i];
    if (c == '\'') {  // copy a literal whole
      const auto end = picture.find('\'', i + 1);
      const auto stop = end == std::string::npos ? picture.size() : end + 1;
      edited += picture.substr(i, stop - i);
      i = stop - 1;
      continue;
    }
    if ((c == 's' && (flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS))) ||
        (c == 'm' && (flags & TIME_NOMINUTESORSECONDS)) ||
        (c == 't' && (flags & TIME_NOTIMEMARKER))) {
      // Drop the field and the separator before it.
      while (!edited.empty() &&
             std::string_view("hHmst'").find(edited.back()) == std::string_view::npos)
        edited.pop_back();
      while (i + 1 < picture.size() && picture[i + 1] == c) ++i;
      continue;
    }
    if (c == 'h' && (flags & TIME_FORCE24HOURFORMAT)) {
      edited += 'H';
      continue;
    }
    if (std::string_view("dMy").find(c) != std::string_view::npos) {
      edited += '\'';
      edited += c;
      edited += '\'';
      continue;
    }
    edited += c;
  }
  Status error = 0;
  const int n =
      FormatOut(FormatPicture(edited, t, m_.locale.am, m_.locale.pm), buffer, size, &error);
  if (n == 0) Fail(error);
  return n;
}

}  // namespace dravlin::sim::detail
