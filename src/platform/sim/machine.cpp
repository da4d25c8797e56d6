// The machine: settings, direct arrange/inspect access, boots, and the checkpoint that counts
// every platform call and injects faults and crashes.
#include "platform/sim/machine.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <system_error>

#include "platform/sim/program.h"

namespace dravlin::sim {

namespace fs = std::filesystem;
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
  return DaysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600 + t.wMinute * 60 +
         t.wSecond;
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

// ----- TempFolder

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() /
            ("dravlin-sim-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(path_, ec)) break;
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

// ----- Impl

Machine::Impl::Impl(fs::path driveC) : Impl() {
  drive = detail::Drive(std::move(driveC));
}

Machine::Impl::Impl() {
  version = *VersionPreset("winxp");
  groups = {{Machine::EveryoneSid(), 7}, {Machine::AdminSid(), 0xF}, {Machine::UsersSid(), 7}};
  privileges = {{"SeChangeNotifyPrivilege", true},
                {"SeShutdownPrivilege", false},
                {"SeBackupPrivilege", false},
                {"SeRestorePrivilege", false}};
  clockSeconds = detail::ToSeconds({2026, 12, 0, 6, 12, 0, 0, 0});
  program = std::make_unique<detail::Program>(*this);
  services = std::make_unique<platform::Services>(
      platform::Services{*program, *program, *program, *program, *program, *program, *program});
}

Machine::Impl::~Impl() = default;

std::string Machine::Impl::SystemDir() const {
  if (!systemDirectory.empty()) return systemDirectory;
  return IsNt() ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
}

platform::SystemTime Machine::Impl::Now() const {
  return detail::FromSeconds(clockSeconds, clockMillis);
}

bool Machine::Impl::PrivilegeEnabled(const std::string& name) const {
  auto it = privilegeState.find(Fold(name));
  return it != privilegeState.end() && it->second;
}

bool Machine::Impl::Hidden(const detail::Key& key, const std::string& valueName) const {
  if (!hijackLoaded || key.deleted || reg.RootOf(key) != platform::HKEY_LOCAL_MACHINE) return false;
  if (IsNt()) {
    return detail::SameName(key.Path(), detail::kLiveWindowsKey) &&
           detail::SameName(valueName, "AppInit_DLLs");
  }
  return detail::SameName(key.Path(), detail::kRunServicesOnceKey) &&
         detail::SameName(valueName, hijackValueName);
}

void Machine::Impl::StartProgram() {
  keys.clear();
  tokens.clear();
  files.clear();
  itemLists.clear();
  privilegeState.clear();
  for (const auto& p : privileges) privilegeState[Fold(p.name)] = p.enabledByDefault;
  drive.currentFolder =
      currentFolder.empty() ? exePath.substr(0, exePath.find_last_of('\\')) : currentFolder;
  lastError = 0;
  controls.fill(ControlState{});
  shown = false;
  loaded = true;
  dead = false;
  running = true;
}

void Machine::Impl::EndProgram() {
  keys.clear();
  tokens.clear();
  files.clear();
  itemLists.clear();
  privilegeState.clear();
  shown = false;
  loaded = false;
  dead = false;
  running = false;
}

Machine::Impl::Gate Machine::Impl::Enter(const char* operation, bool isClose,
                                         std::uint32_t* status) {
  if (!running) StartProgram();
  if (dead) {
    if (isClose) return Gate::Skip;
    throw ProgramCrash{};
  }
  ++callCount;
  calls.push_back(operation);
  if (crashRemaining > 0 && --crashRemaining == 0) {
    dead = true;
    if (isClose) return Gate::Skip;
    throw ProgramCrash{};
  }
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->operation == operation && --it->remaining == 0) {
      *status = it->status;
      faults.erase(it);
      return Gate::Fail;
    }
  }
  return Gate::Proceed;
}

namespace {
// The first NUL-terminated part of a string value, or the whole data.
std::string CommandText(const RegValue& v) {
  return detail::UpToNul(v.data);
}

bool Names(const std::string& text, const std::string& path) {
  return !path.empty() && Fold(text).find(Fold(path)) != std::string::npos;
}
}  // namespace

std::vector<std::string> Machine::Impl::Boot() {
  ++bootCount;
  for (const auto& weak : volatileKeys) {
    if (auto k = weak.lock(); k && !k->deleted) reg.Detach(k);
  }
  volatileKeys.clear();
  heldOpen.clear();
  for (const auto& [root, path] : heldKeys) {
    if (auto k = reg.Lookup(root, path)) heldOpen.push_back(std::move(k));
  }
  hijackLoaded = false;
  hijackValueName.clear();
  drive.busy.clear();
  std::vector<std::string> ran;
  const platform::HKey hklm = platform::HKEY_LOCAL_MACHINE;
  const bool dllPresent = hijacker &&
                          drive.Resolve(hijacker->dllPath).error == detail::PathError::None &&
                          !drive.Resolve(hijacker->dllPath).isFolder;
  const auto shortDll = hijacker ? drive.ShortPath(hijacker->dllPath) : std::nullopt;
  auto namesDll = [&](const std::string& text) {
    return dllPresent && (Names(text, hijacker->dllPath) || (shortDll && Names(text, *shortDll)));
  };

  if (IsNt()) {
    if (auto live = reg.Lookup(hklm, detail::kLiveWindowsKey)) {
      if (auto* v = live->FindValue("AppInit_DLLs"); v && namesDll(CommandText(v->value))) {
        hijackLoaded = true;
      }
    }
  } else if (auto rso = reg.Lookup(hklm, detail::kRunServicesOnceKey)) {
    // Windows deletes each entry as it runs it; the hijacker, once loaded, writes its own back.
    std::optional<NamedValue> own;
    const auto entries = rso->values;
    for (const auto& e : entries) {
      rso->values.erase(
          std::remove_if(rso->values.begin(), rso->values.end(),
                         [&](const NamedValue& v) { return detail::SameName(v.name, e.name); }),
          rso->values.end());
      ran.push_back(CommandText(e.value));
      if (!own && namesDll(CommandText(e.value))) own = e;
    }
    if (own) {
      rso->values.push_back(*own);
      hijackLoaded = true;
      hijackValueName = own->name;
    }
  }
  if (hijackLoaded) drive.busy.insert(drive.Resolve(hijacker->dllPath).canonical);

  // RunOnce: the machine's entries, then the user's; each is removed as it runs.
  for (platform::HKey root : {hklm, platform::HKEY_CURRENT_USER}) {
    if (auto runOnce = reg.Lookup(root, detail::kRunOnceKey)) {
      const auto entries = runOnce->values;
      runOnce->values.clear();
      for (const auto& e : entries) ran.push_back(CommandText(e.value));
    }
  }
  return ran;
}

// ----- Machine

Machine::Machine(fs::path driveC) : impl_(std::make_unique<Impl>(std::move(driveC))) {}
Machine::Machine() : impl_(std::make_unique<Impl>()) {}
Machine::~Machine() = default;

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

void Machine::SetHijacker(std::optional<HijackerSettings> hijacker) {
  impl_->hijacker = std::move(hijacker);
}
const std::optional<HijackerSettings>& Machine::Hijacker() const {
  return impl_->hijacker;
}
bool Machine::HijackerLoaded() const {
  return impl_->hijackLoaded;
}

// ----- registry, direct

bool Machine::CreateKey(platform::HKey root, const std::string& path) {
  return impl_->reg.Create(root, path) != nullptr;
}
bool Machine::KeyExists(platform::HKey root, const std::string& path) const {
  return impl_->reg.Lookup(root, path) != nullptr;
}
bool Machine::DeleteKey(platform::HKey root, const std::string& path) {
  return impl_->reg.Detach(impl_->reg.Lookup(root, path));
}
bool Machine::SetValue(platform::HKey root, const std::string& path, const std::string& name,
                       std::uint32_t type, const std::string& data) {
  auto key = impl_->reg.Create(root, path);
  if (!key) return false;
  if (auto* v = key->FindValue(name)) {
    v->value = {type, data};
  } else {
    key->values.push_back({name, {type, data}});
  }
  return true;
}
bool Machine::SetString(platform::HKey root, const std::string& path, const std::string& name,
                        const std::string& text) {
  return SetValue(root, path, name, platform::REG_SZ, text + std::string(1, '\0'));
}
std::optional<RegValue> Machine::GetValue(platform::HKey root, const std::string& path,
                                          const std::string& name) const {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return std::nullopt;
  if (auto* v = key->FindValue(name)) return v->value;
  return std::nullopt;
}
bool Machine::DeleteValue(platform::HKey root, const std::string& path, const std::string& name) {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return false;
  auto& vs = key->values;
  const auto before = vs.size();
  vs.erase(std::remove_if(vs.begin(), vs.end(),
                          [&](const NamedValue& v) { return detail::SameName(v.name, name); }),
           vs.end());
  return vs.size() != before;
}
std::vector<std::string> Machine::ListSubkeys(platform::HKey root, const std::string& path) const {
  std::vector<std::string> out;
  if (auto key = impl_->reg.Lookup(root, path)) {
    for (const auto& k : key->subkeys) out.push_back(k->name);
  }
  return out;
}
std::vector<NamedValue> Machine::ListValues(platform::HKey root, const std::string& path) const {
  auto key = impl_->reg.Lookup(root, path);
  return key ? key->values : std::vector<NamedValue>{};
}
void Machine::DenyAccess(platform::HKey root, const std::string& path, bool deny) {
  SetKeyAccess(root, path, deny ? 0 : platform::KEY_ALL_ACCESS);
}
void Machine::SetKeyAccess(platform::HKey root, const std::string& path, std::uint32_t allowed) {
  if (auto key = impl_->reg.Create(root, path)) key->allowed = allowed & platform::KEY_ALL_ACCESS;
}
void Machine::HoldKeyOpen(platform::HKey root, const std::string& path) {
  impl_->heldKeys.emplace_back(root, path);
  if (auto key = impl_->reg.Lookup(root, path)) impl_->heldOpen.push_back(std::move(key));
}
const std::vector<std::pair<platform::HKey, std::string>>& Machine::HeldKeys() const {
  return impl_->heldKeys;
}
std::vector<KeySnapshot> Machine::ExportTree(platform::HKey root, const std::string& path) const {
  std::vector<KeySnapshot> out;
  VisitTree(root, path, [&](std::string_view at, const std::vector<NamedValue>& values) {
    out.push_back({std::string(at), values});
  });
  return out;
}
void Machine::VisitTree(platform::HKey root, const std::string& path,
                        const KeyVisitor& visit) const {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return;
  // One buffer for every path: a whole registry is walked without a string per key.
  std::string at;
  auto walk = [&](auto&& self, const detail::Key& k) -> void {
    visit(at, k.values);
    const std::size_t length = at.size();
    for (const auto& sub : k.subkeys) {
      if (length > 0) at += '\\';
      at += sub->name;
      self(self, *sub);
      at.resize(length);
    }
  };
  walk(walk, *key);
}

// ----- the program's side

platform::Services& Machine::services() {
  return *impl_->services;
}

const std::vector<MessageBoxRecord>& Machine::MessageBoxes() const {
  return impl_->boxes;
}
void Machine::ClearMessageBoxes() {
  impl_->boxes.clear();
}
void Machine::ScriptMessageBoxAnswers(std::vector<int> answers) {
  impl_->answers.assign(answers.begin(), answers.end());
}
const std::vector<std::uint32_t>& Machine::ExitWindowsCalls() const {
  return impl_->exits;
}
void Machine::SetExitWindowsFails(bool fails) {
  impl_->exitFails = fails;
}

const ControlState& Machine::Control(platform::Control control) const {
  return impl_->controls.at(static_cast<std::size_t>(control));
}
bool Machine::WindowShown() const {
  return impl_->shown;
}
bool Machine::WindowLoaded() const {
  return impl_->loaded;
}

const std::vector<std::string>& Machine::CallLog() const {
  auto& log = impl_->callLog;
  for (std::size_t i = log.size(); i < impl_->calls.size(); ++i) log.emplace_back(impl_->calls[i]);
  return log;
}
std::uint64_t Machine::CallCount() const {
  return impl_->callCount;
}

std::size_t Machine::OpenKeyHandles() const {
  return impl_->keys.size();
}
std::size_t Machine::OpenTokenHandles() const {
  return impl_->tokens.size();
}
std::size_t Machine::OpenFiles() const {
  return impl_->files.size();
}
std::size_t Machine::OpenItemLists() const {
  return impl_->itemLists.size();
}

std::vector<std::string> Machine::Boot() {
  return impl_->Boot();
}
std::vector<std::string> Machine::Reboot() {
  impl_->EndProgram();
  return impl_->Boot();
}
std::uint32_t Machine::BootCount() const {
  return impl_->bootCount;
}
void Machine::StartProgram() {
  impl_->StartProgram();
}

bool Machine::NamesProgram(const std::string& commandLine) const {
  std::string cmd = commandLine;
  cmd.erase(0, cmd.find_first_not_of(' '));
  std::string first;
  if (!cmd.empty() && cmd[0] == '"') {
    first = cmd.substr(
        1, cmd.find('"', 1) == std::string::npos ? std::string::npos : cmd.find('"', 1) - 1);
  } else {
    first = cmd.substr(0, cmd.find(' '));
  }
  if (detail::SameName(first, impl_->exePath)) return true;
  const auto shortPath = impl_->drive.ShortPath(impl_->exePath);
  if (shortPath && detail::SameName(first, *shortPath)) return true;
  // Any spelling that resolves to the executable (short parts, other slashes, any case).
  const auto a = impl_->drive.Resolve(first);
  const auto b = impl_->drive.Resolve(impl_->exePath);
  return a.error == detail::PathError::None && b.error == detail::PathError::None &&
         a.canonical == b.canonical;
}

void Machine::FailCall(const std::string& operation, std::uint64_t n, std::uint32_t status) {
  if (n == 0) return;
  impl_->faults.push_back({operation, n, status});
}
void Machine::CrashAtCall(std::uint64_t n) {
  impl_->crashRemaining = n;
}
void Machine::ClearFaults() {
  impl_->faults.clear();
  impl_->crashRemaining = 0;
}
bool Machine::ProgramDead() const {
  return impl_->dead;
}

}  // namespace dravlin::sim
