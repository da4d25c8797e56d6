// The machine's settings as tests arrange them (version, locale, clock, paths, token), the
// version presets, the date and time pictures, and the clock's calendar arithmetic.
#include <string>

#include "sim/program.h"

namespace dravlin::sim {

using detail::Fold;

// ----- presets and formats

namespace {

struct Preset {
  const char* name;
  VersionSettings version;
};

const Preset kPresets[] = {
    {"win31", {platform::VER_PLATFORM_WIN32s, 3, 10, 0, ""}},
    {"win95", {platform::VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6u, ""}},
    {"win98", {platform::VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CEu, " "}},
    {"win98se", {platform::VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AEu, " A "}},
    {"winme", {platform::VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8u, " "}},
    {"nt4", {platform::VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"}},
    {"win2000", {platform::VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4"}},
    {"winxp", {platform::VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 2"}},
    {"win2003", {platform::VER_PLATFORM_WIN32_NT, 5, 2, 3790, "Service Pack 1"}},
    {"vista", {platform::VER_PLATFORM_WIN32_NT, 6, 0, 6002, "Service Pack 2"}},
};

const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

std::string Pad2(unsigned v) {
  return (v < 10 ? "0" : "") + std::to_string(v);
}

}  // namespace

std::optional<VersionSettings> VersionPreset(std::string_view name) {
  for (const auto& p : kPresets) {
    if (detail::SameName(p.name, name)) return p.version;
  }
  return std::nullopt;
}

std::vector<std::string> VersionPresetNames() {
  std::vector<std::string> names;
  for (const auto& p : kPresets) names.emplace_back(p.name);
  return names;
}

std::string FormatPicture(const std::string& picture, const platform::SystemTime& t,
                          const std::string& am, const std::string& pm) {
  std::string out;
  std::size_t i = 0;
  while (i < picture.size()) {
    const char c = picture[i];
    if (c == '\'') {
      // A quoted literal; '' stands for one quote.
      ++i;
      if (i < picture.size() && picture[i] == '\'') {
        out.push_back('\'');
        ++i;
        continue;
      }
      while (i < picture.size()) {
        if (picture[i] == '\'') {
          if (i + 1 < picture.size() && picture[i + 1] == '\'') {
            out.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out.push_back(picture[i++]);
      }
      continue;
    }
    std::size_t n = 1;
    while (i + n < picture.size() && picture[i + n] == c) ++n;
    const unsigned hour12 = t.wHour % 12 == 0 ? 12u : t.wHour % 12u;
    switch (c) {
      case 'd':
        if (n == 1)
          out += std::to_string(t.wDay);
        else if (n == 2)
          out += Pad2(t.wDay);
        else {
          const std::string day = kDayNames[t.wDayOfWeek % 7];
          out += n == 3 ? day.substr(0, 3) : day;
        }
        break;
      case 'M':
        if (n == 1)
          out += std::to_string(t.wMonth);
        else if (n == 2)
          out += Pad2(t.wMonth);
        else {
          const std::string month =
              t.wMonth >= 1 && t.wMonth <= 12 ? kMonthNames[t.wMonth - 1] : "";
          out += n == 3 ? month.substr(0, 3) : month;
        }
        break;
      case 'y':
        if (n <= 2)
          out += Pad2(t.wYear % 100u);
        else
          out += std::to_string(t.wYear);
        break;
      case 'h':
        out += n == 1 ? std::to_string(hour12) : Pad2(hour12);
        break;
      case 'H':
        out += n == 1 ? std::to_string(t.wHour) : Pad2(t.wHour);
        break;
      case 'm':
        out += n == 1 ? std::to_string(t.wMinute) : Pad2(t.wMinute);
        break;
      case 's':
        out += n == 1 ? std::to_string(t.wSecond) : Pad2(t.wSecond);
        break;
      case 't': {
        const std::string& marker = t.wHour < 12 ? am : pm;
        out += n == 1 ? marker.substr(0, 1) : marker;
        break;
      }
      default:
        out.append(n, c);
        break;
    }
    i += n;
  }
  return out;
}

// ----- time

namespace detail {

namespace {
// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t daysSince1970 = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 is 134774 days before 1970-01-01
}
}  // namespace

bool ValidTime(const platform::SystemTime& t) {
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1)
    return false;
  const bool leap = (t.wYear % 4 == 0 && t.wYear % 100 != 0) || t.wYear % 400 == 0;
  if (t.wDay > kDays[t.wMonth - 1] || (t.wMonth == 2 && !leap && t.wDay > 28)) return false;
  return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

std::int64_t ToSeconds(const platform::SystemTime& t) {
  return DaysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400 + std::int64_t{t.wHour} * 3600 +
         std::int64_t{t.wMinute} * 60 + t.wSecond;
}

platform::SystemTime FromSeconds(std::int64_t seconds, std::uint16_t millis) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  platform::SystemTime t;
  // 1601-01-01 was a Monday.
  t.wDayOfWeek = static_cast<std::uint16_t>(((days % 7) + 7 + 1) % 7);
  const std::int64_t z = days - 134774 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  t.wYear = static_cast<std::uint16_t>(y + (m <= 2));
  t.wMonth = static_cast<std::uint16_t>(m);
  t.wDay = static_cast<std::uint16_t>(d);
  t.wHour = static_cast<std::uint16_t>(rest / 3600);
  t.wMinute = static_cast<std::uint16_t>(rest / 60 % 60);
  t.wSecond = static_cast<std::uint16_t>(rest % 60);
  t.wMilliseconds = millis;
  return t;
}

}  // namespace detail

// ----- settings

void Machine::SetVersion(const VersionSettings& version) {
  impl_->version = version;
}
bool Machine::SetVersionPreset(std::string_view name) {
  auto v = VersionPreset(name);
  if (!v) return false;
  impl_->version = *v;
  return true;
}
const VersionSettings& Machine::Version() const {
  return impl_->version;
}
bool Machine::IsNtBased() const {
  return impl_->IsNt();
}

void Machine::SetLocale(const LocaleSettings& locale) {
  impl_->locale = locale;
}
const LocaleSettings& Machine::Locale() const {
  return impl_->locale;
}

void Machine::SetClock(const platform::SystemTime& time) {
  impl_->clockSeconds = detail::ToSeconds(time);
  impl_->clockMillis = time.wMilliseconds;
}
void Machine::AdvanceClock(std::int64_t seconds) {
  impl_->clockSeconds += seconds;
}
platform::SystemTime Machine::Clock() const {
  return impl_->Now();
}

void Machine::SetSystemDirectory(std::string path) {
  impl_->systemDirectory = std::move(path);
}
std::string Machine::SystemDirectory() const {
  return impl_->SystemDir();
}
void Machine::SetExePath(std::string path) {
  impl_->exePath = std::move(path);
}
void Machine::SetCurrentFolder(std::string path) {
  impl_->currentFolder = std::move(path);
  if (!impl_->currentFolder.empty()) impl_->drive.currentFolder = impl_->currentFolder;
}
const std::string& Machine::CurrentFolder() const {
  return impl_->currentFolder;
}
const std::string& Machine::ExePath() const {
  return impl_->exePath;
}

platform::SidBytes Machine::AdminSid() {
  return {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
}
platform::SidBytes Machine::UsersSid() {
  return {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
}
platform::SidBytes Machine::EveryoneSid() {
  return {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
}

void Machine::SetTokenGroups(std::vector<platform::SidAndAttributes> groups) {
  impl_->groups = std::move(groups);
}
const std::vector<platform::SidAndAttributes>& Machine::TokenGroups() const {
  return impl_->groups;
}
void Machine::SetAdmin(bool admin) {
  impl_->groups = {{EveryoneSid(), 7}, {UsersSid(), 7}};
  if (admin) impl_->groups.push_back({AdminSid(), 0xF});
}
void Machine::SetPrivileges(std::vector<PrivilegeSetting> privileges) {
  impl_->privileges = std::move(privileges);
  if (impl_->running) {
    // Takes effect for the running program too, as if it had just started with them.
    impl_->privilegeState.clear();
    for (const auto& p : impl_->privileges)
      impl_->privilegeState[Fold(p.name)] = p.enabledByDefault;
  }
}
const std::vector<PrivilegeSetting>& Machine::Privileges() const {
  return impl_->privileges;
}
bool Machine::PrivilegeEnabled(const std::string& name) const {
  if (!impl_->running) {
    for (const auto& p : impl_->privileges) {
      if (detail::SameName(p.name, name)) return p.enabledByDefault;
    }
    return false;
  }
  return impl_->PrivilegeEnabled(name);
}

}  // namespace dravlin::sim
