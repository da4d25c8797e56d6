// A machine built from a registry export alone: version, user's hive, language, hijacker and
// the files the procedures touch, each inferred from its key or stated as assumed.
#include "sim/persist/export_machine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "platform/ansi_names.h"
#include "platform/registry.h"

namespace dravlin::sim::persist {

namespace fs = std::filesystem;

namespace {

constexpr platform::HKey HKLM = platform::HKEY_LOCAL_MACHINE;
constexpr platform::HKey HKCU = platform::HKEY_CURRENT_USER;
constexpr platform::HKey HKU = platform::HKEY_USERS;

constexpr const char* kNtVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9xVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kWindowsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr const char* kParkedKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked";
constexpr const char* kServicesOnceKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
constexpr const char* kBhoKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr const char* kInternationalKey = "Control Panel\\International";
constexpr const char* kProfileListKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr const char* kDefaultExe = "C:\\Program Files\\Dravlin\\dravlin.exe";

std::string Full(platform::HKey root, const std::string& path) {
  return std::string(RootName(root)) + (path.empty() ? "" : "\\" + path);
}

// A string value's text: up to its first NUL; nullopt when missing or not a string.
std::optional<std::string> Text(const Machine& m, platform::HKey root, const std::string& key,
                                const std::string& name) {
  const auto v = m.GetValue(root, key, name);
  if (!v || (v->type != platform::REG_SZ && v->type != platform::REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  return v->data.substr(0, v->data.find('\0'));
}

std::optional<std::uint32_t> Number(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  std::uint32_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return v;
}

std::vector<std::string> Split(std::string_view s, char by) {
  std::vector<std::string> out;
  for (std::size_t start = 0; start <= s.size();) {
    const std::size_t end = std::min(s.find(by, start), s.size());
    out.emplace_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string Lower(std::string_view s) {
  return LowerAscii(s);
}

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && Lower(s.substr(s.size() - tail.size())) == tail;
}

std::string PresetOf(const VersionSettings& v) {
  for (const std::string& name : VersionPresetNames()) {
    const auto p = VersionPreset(name);
    if (p && p->platformId == v.platformId && p->major == v.major && p->minor == v.minor &&
        (v.platformId != platform::VER_PLATFORM_WIN32_NT || p->build == v.build) &&
        (v.platformId == platform::VER_PLATFORM_WIN32_NT ||
         (p->build & 0xFFFF) == (v.build & 0xFFFF))) {
      return name;
    }
  }
  return "an unnamed Windows";
}

std::string VersionText(const VersionSettings& v) {
  const std::uint32_t build =
      v.platformId == platform::VER_PLATFORM_WIN32_NT ? v.build : v.build & 0xFFFF;
  std::string csd = v.csd;
  csd.erase(0, csd.find_first_not_of(' '));
  csd.erase(csd.find_last_not_of(' ') + 1);
  return PresetOf(v) + ": " + std::to_string(v.major) + "." + std::to_string(v.minor) + " build " +
         std::to_string(build) + (csd.empty() ? "" : " " + csd) +
         (v.platformId == platform::VER_PLATFORM_WIN32_NT ? ", NT-based" : ", DOS-based");
}

// The NT-based version from its key; nullopt when the key does not say.
std::optional<VersionSettings> NtVersion(const Machine& m) {
  const auto current = Text(m, HKLM, kNtVersionKey, "CurrentVersion");
  if (!current) return std::nullopt;
  const auto parts = Split(*current, '.');
  if (parts.size() != 2 || !Number(parts[0]) || !Number(parts[1])) return std::nullopt;
  VersionSettings v;
  v.platformId = platform::VER_PLATFORM_WIN32_NT;
  v.major = *Number(parts[0]);
  v.minor = *Number(parts[1]);
  const auto build = Text(m, HKLM, kNtVersionKey, "CurrentBuildNumber");
  v.build = build && Number(*build) ? *Number(*build) : 0;
  v.csd = Text(m, HKLM, kNtVersionKey, "CSDVersion").value_or("");
  return v;
}

// The DOS-based version ("4.10.2222" and its sub-version " A "); nullopt when not there.
std::optional<VersionSettings> DosVersion(const Machine& m) {
  const auto number = Text(m, HKLM, k9xVersionKey, "VersionNumber");
  if (!number) return std::nullopt;
  const auto parts = Split(*number, '.');
  if (parts.size() != 3 || !Number(parts[0]) || !Number(parts[1]) || !Number(parts[2]) ||
      *Number(parts[0]) > 0xFF || *Number(parts[1]) > 0xFF || *Number(parts[2]) > 0xFFFF) {
    return std::nullopt;
  }
  VersionSettings v;
  v.platformId = platform::VER_PLATFORM_WIN32_WINDOWS;
  v.major = *Number(parts[0]);
  v.minor = *Number(parts[1]);
  v.build = (v.major << 24) | (v.minor << 16) | *Number(parts[2]);
  v.csd = Text(m, HKLM, k9xVersionKey, "SubVersionNumber").value_or("");
  return v;
}

std::string PresetList() {
  std::string known;
  for (const auto& n : VersionPresetNames()) {
    if (n != "win31") known += (known.empty() ? "" : ", ") + n;
  }
  return known;
}

// ----- the user's hive

struct UserHive {
  std::string name;     // the subkey of HKEY_USERS
  std::string profile;  // the profile folder's last part (NT), or the 9x profile name
};

std::vector<UserHive> UserHives(const Machine& m, bool ntBased) {
  std::vector<UserHive> out;
  for (const std::string& sub : m.ListSubkeys(HKU, "")) {
    const std::string lower = Lower(sub);
    if (EndsWithNoCase(sub, "_classes") || lower == ".default") continue;
    if (ntBased) {
      if (lower.rfind("s-1-5-21-", 0) != 0) continue;  // services and built-in accounts
      std::string profile =
          Text(m, HKLM, std::string(kProfileListKey) + "\\" + sub, "ProfileImagePath").value_or("");
      profile = profile.substr(profile.find_last_of('\\') + 1);
      out.push_back({sub, profile});
    } else {
      out.push_back({sub, sub});
    }
  }
  return out;
}

std::string HiveList(const std::vector<UserHive>& hives) {
  std::string list;
  for (const UserHive& h : hives) {
    list += (list.empty() ? "" : ", ") + platform::AnsiToUtf8(h.name);
    if (!h.profile.empty() && h.profile != h.name)
      list += " (" + platform::AnsiToUtf8(h.profile) + ")";
  }
  return list;
}

// Copies a subtree of HKEY_USERS to its place below HKEY_CURRENT_USER and removes it there:
// on Windows HKEY_CURRENT_USER is that hive, not a copy of it.
void MoveToCurrentUser(Machine& m, const std::string& from, const std::string& to) {
  m.VisitTree(HKU, from, [&](std::string_view path, const std::vector<NamedValue>& values) {
    std::string target = to;
    if (!path.empty()) target += (target.empty() ? "" : "\\") + std::string(path);
    m.CreateKey(HKCU, target);
    for (const NamedValue& v : values) m.SetValue(HKCU, target, v.name, v.value);
  });
  m.DeleteKey(HKU, from);
}

// ----- files the registry names

// Every "X:\..." path in a text, up to where a path cannot go on (a quote, a comma, a slash of
// a URL) and, where one follows, up to the end of a program's or library's extension.
std::vector<std::string> PathsIn(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t at = text.find(":\\"); at != std::string_view::npos;
       at = text.find(":\\", at + 2)) {
    if (at == 0) continue;
    const char drive = text[at - 1];
    if (!((drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z'))) continue;
    std::size_t end = at + 2;
    while (end < text.size() &&
           std::string_view("\",;/|<>*?\r\n\t").find(text[end]) == std::string_view::npos &&
           text[end] != '\0') {
      ++end;
    }
    std::string path(text.substr(at - 1, end - at + 1));
    const std::string lower = Lower(path);
    std::size_t cut = std::string::npos;
    for (const char* ext : {".dll", ".exe", ".ocx", ".cpl", ".sys"}) {
      for (std::size_t e = lower.find(ext); e != std::string::npos; e = lower.find(ext, e + 1)) {
        const std::size_t after = e + 4;
        if (after == lower.size() || lower[after] == ' ') {
          cut = std::min(cut, after);
          break;
        }
      }
    }
    if (cut != std::string::npos) path.resize(cut);
    while (!path.empty() && (path.back() == ' ' || path.back() == '\\')) path.pop_back();
    if (path.size() > 3) out.push_back(path);
  }
  return out;
}

bool IsBlank(std::string_view data) {
  return !data.empty() && data.find_first_not_of(std::string_view("\0 ", 2)) == std::string::npos;
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Quoted(const std::string& ansi) {
  return "\"" + platform::AnsiToUtf8(ansi) + "\"";
}

std::string ClockText(const platform::SystemTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return buf;
}

platform::SystemTime FileTime(const fs::path& file) {
  std::error_code ec;
  const auto written = fs::last_write_time(file, ec);
  const auto since = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      std::chrono::file_clock::to_sys(written));
  const std::time_t seconds = std::chrono::system_clock::to_time_t(since);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  platform::SystemTime t{};
  t.wYear = static_cast<std::uint16_t>(utc.tm_year + 1900);
  t.wMonth = static_cast<std::uint16_t>(utc.tm_mon + 1);
  t.wDay = static_cast<std::uint16_t>(utc.tm_mday);
  t.wHour = static_cast<std::uint16_t>(utc.tm_hour);
  t.wMinute = static_cast<std::uint16_t>(utc.tm_min);
  t.wSecond = static_cast<std::uint16_t>(utc.tm_sec);
  return t;
}

struct Language {
  unsigned primary;
  const char* name;
};
// Native names of the languages a helper meets most; the program itself only tells German
// from every other.
constexpr Language kLanguages[] = {
    {0x07, "Deutsch"},
    {0x09, "English"},
    {0x0C,
     "fran\xE7"
     "ais"},
    {0x0A, "espa\xF1ol"},
    {0x10, "italiano"},
    {0x13, "Nederlands"},
    {0x16, "portugu\xEAs"},
    {0x1D, "svenska"},
    {0x06, "dansk"},
    {0x14, "norsk"},
    {0x0B, "suomi"},
};

LocaleSettings LocaleFor(bool german) {
  LocaleSettings l;
  if (german) {
    l.nativeLanguage = "Deutsch";
    l.shortDate = "dd.MM.yyyy";
    l.longTime = "HH:mm:ss";
    l.am.clear();
    l.pm.clear();
  }
  return l;
}

class Builder {
 public:
  Builder(Machine& m, const ExportOptions& o, Inference& inf, const std::string& label)
      : m_(m), o_(o), inf_(inf), label_(label) {}

  void Item(std::string what, std::string value, std::string source) {
    inf_.items.push_back({std::move(what), std::move(value), std::move(source)});
  }
  void Note(std::string text) { inf_.notes.push_back(std::move(text)); }

  void Version() {
    const auto nt = NtVersion(m_);
    const auto dos = nt ? std::nullopt : DosVersion(m_);
    if (o_.os) {
      m_.SetVersionPreset(*o_.os);
      Item("Windows", VersionText(m_.Version()), "given with --os");
      return;
    }
    if (!nt && !dos) {
      throw FormatError(label_, 0,
                        "holds no Windows version (neither " + Full(HKLM, kNtVersionKey) +
                            " \"CurrentVersion\" nor " + Full(HKLM, k9xVersionKey) +
                            " \"VersionNumber\"): give --os NAME (" + PresetList() + ")");
    }
    m_.SetVersion(nt ? *nt : *dos);
    Item("Windows", VersionText(m_.Version()),
         nt ? "from " + Full(HKLM, kNtVersionKey) +
                  " \"CurrentVersion\", \"CurrentBuildNumber\", \"CSDVersion\""
            : "from " + Full(HKLM, k9xVersionKey) + " \"VersionNumber\", \"SubVersionNumber\"");
  }

  void User(bool hadCurrentUser) {
    if (hadCurrentUser) {
      Item("User's keys", "HKEY_CURRENT_USER", "as the export holds them");
      if (o_.user) Note("--user is not used: the export holds HKEY_CURRENT_USER itself");
      return;
    }
    const bool nt = m_.IsNtBased();
    const std::vector<UserHive> hives = UserHives(m_, nt);
    const std::string rule =
        nt ? "rule: the one user account's hive (S-1-5-21-...) in HKEY_USERS; of several, the "
             "one logged on (it holds \"Volatile Environment\"); --user SID-or-name chooses"
           : "rule: the one profile in HKEY_USERS, else .DEFAULT; --user NAME chooses";
    const UserHive* chosen = nullptr;
    std::string how;
    UserHive fallback;
    if (o_.user) {
      for (const UserHive& h : hives) {
        if (Lower(h.name) == Lower(*o_.user) ||
            (!h.profile.empty() && Lower(h.profile) == Lower(*o_.user))) {
          chosen = &h;
        }
      }
      if (chosen == nullptr && !nt && Lower(*o_.user) == ".default" &&
          m_.KeyExists(HKU, ".DEFAULT")) {
        fallback = {".DEFAULT", ".DEFAULT"};
        chosen = &fallback;
      }
      if (chosen == nullptr) {
        throw FormatError(label_, 0,
                          "--user " + *o_.user + ": no such user's hive in HKEY_USERS (" +
                              (hives.empty() ? std::string("none") : HiveList(hives)) + ")");
      }
      how = "chosen with --user";
    } else if (hives.size() == 1) {
      chosen = &hives.front();
      how = rule;
    } else if (hives.size() > 1) {
      std::vector<const UserHive*> loggedOn;
      if (nt) {
        for (const UserHive& h : hives) {
          if (m_.KeyExists(HKU, h.name + "\\Volatile Environment")) loggedOn.push_back(&h);
        }
      }
      if (loggedOn.size() != 1) {
        throw FormatError(label_, 0,
                          "holds " + std::to_string(hives.size()) + " users' hives (" +
                              HiveList(hives) + ") and the " + rule.substr(6) +
                              " cannot tell which: give --user with one of them");
      }
      chosen = loggedOn.front();
      how = rule;
    } else if (!nt && m_.KeyExists(HKU, ".DEFAULT")) {
      fallback = {".DEFAULT", ".DEFAULT"};
      chosen = &fallback;
      how = rule;
    }
    if (chosen == nullptr) {
      Item("User's keys", "none", "the export holds neither HKEY_CURRENT_USER nor a user's hive");
      Note(
          "HKEY_CURRENT_USER is empty: the user's start pages and per-user classes are not "
          "part of the run");
      return;
    }
    const std::string name = chosen->name;
    const std::string profile = chosen->profile;
    MoveToCurrentUser(m_, name, "");
    std::string value = Full(HKU, name);
    if (!profile.empty() && profile != name) value += " (" + profile + ")";
    value += " as HKEY_CURRENT_USER";
    if (nt && m_.KeyExists(HKU, name + "_Classes")) {
      MoveToCurrentUser(m_, name + "_Classes", "Software\\Classes");
      value += ", " + name + "_Classes as HKEY_CURRENT_USER\\Software\\Classes";
    }
    Item("User's keys", platform::AnsiToUtf8(value), how);
  }

  void Language() {
    if (o_.lang) {
      m_.SetLocale(LocaleFor(*o_.lang == "de"));
      Item("Language", m_.Locale().nativeLanguage, "given with --lang");
      return;
    }
    const auto locale = Text(m_, HKCU, kInternationalKey, "Locale");
    unsigned lcid = 0;
    bool read = false;
    if (locale && locale->size() == 8) {
      read = true;
      for (const char c : *locale) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) read = false;
        lcid = lcid * 16 + static_cast<unsigned>(d < 0 ? 0 : d);
      }
    }
    if (!read) {
      m_.SetLocale(LocaleFor(false));
      Item("Language", "English",
           "assumed: " + Full(HKCU, kInternationalKey) +
               " \"Locale\" is missing or unreadable; --lang de|en to change");
      return;
    }
    const unsigned primary = lcid & 0x3FF;
    LocaleSettings l = LocaleFor(primary == 0x07);
    std::string name;
    for (const auto& lang : kLanguages) {
      if (lang.primary == primary) name = lang.name;
    }
    char code[16];
    std::snprintf(code, sizeof code, "%08X", lcid);
    l.nativeLanguage = name.empty() ? std::string("LCID ") + code : name;
    // The user's own date and time pictures where the export has them.
    const auto picture = [&](const char* value, std::string* into) {
      if (auto t = Text(m_, HKCU, kInternationalKey, value)) *into = *t;
    };
    picture("sShortDate", &l.shortDate);
    picture("sTimeFormat", &l.longTime);
    picture("s1159", &l.am);
    picture("s2359", &l.pm);
    m_.SetLocale(l);
    Item("Language", platform::AnsiToUtf8(l.nativeLanguage),
         "from " + Full(HKCU, kInternationalKey) + " \"Locale\" " + *locale +
             (name.empty() ? " (a language without a name here; the program shows English)" : "") +
             ", with its date and time pictures");
  }

  void Clock(const std::optional<platform::SystemTime>& fileTime) {
    if (o_.clock) {
      m_.SetClock(*o_.clock);
      Item("Clock", ClockText(*o_.clock), "given with --clock");
    } else if (fileTime) {
      m_.SetClock(*fileTime);
      Item("Clock", ClockText(m_.Clock()), "the export file's time (UTC); --clock to change");
    } else {
      Item("Clock", ClockText(m_.Clock()), "assumed; --clock to change");
    }
  }

  void Account() {
    m_.SetAdmin(o_.admin.value_or(true));
    if (!m_.IsNtBased()) {
      Item("Administrator", "yes", "DOS-based Windows has no user accounts");
    } else {
      Item("Administrator", o_.admin.value_or(true) ? "yes" : "no",
           o_.admin ? "given with --admin" : "assumed; --admin no to change");
    }
    m_.SetExePath(o_.exePath.value_or(kDefaultExe));
    Item("Program", platform::AnsiToUtf8(m_.ExePath()),
         o_.exePath ? "given with --exe-path" : "assumed; --exe-path to change");
    // Windows keeps its folder as SystemRoot (C:\WINNT on a Windows 2000 set up new); the
    // system folder is below it.
    const std::string versionKey = m_.IsNtBased() ? kNtVersionKey : k9xVersionKey;
    const auto root = Text(m_, HKLM, versionKey, "SystemRoot");
    const bool rooted = root && root->size() >= 3 && root->size() < 200 && (*root)[1] == ':' &&
                        (*root)[2] == '\\' && root->find('?') == std::string::npos;
    if (o_.systemDirectory) {
      m_.SetSystemDirectory(*o_.systemDirectory);
    } else if (rooted) {
      std::string folder = *root;
      if (folder.back() != '\\') folder += '\\';
      m_.SetSystemDirectory(folder + (m_.IsNtBased() ? "system32" : "SYSTEM"));
    }
    Item("System folder", platform::AnsiToUtf8(m_.SystemDirectory()),
         o_.systemDirectory ? "given with --system-dir"
         : rooted ? "below SystemRoot of " + Full(HKLM, versionKey) + "; --system-dir to change"
                  : "the version's default; --system-dir to change");
  }

  void Hijacker() {
    if (m_.IsNtBased()) {
      NtHijacker();
    } else {
      DosHijacker();
    }
  }

  void Placeholders() {
    std::vector<std::string> paths;
    const auto from = [&](platform::HKey root, const std::string& key, const std::string& name) {
      if (const auto v = Text(m_, root, key, name)) {
        for (std::string& p : PathsIn(*v)) paths.push_back(std::move(p));
      }
    };
    from(HKLM, kWindowsKey, "AppInit_DLLs");
    from(HKLM, kParkedKey, "AppInit_DLLs");
    for (const NamedValue& v : m_.ListValues(HKLM, kServicesOnceKey))
      from(HKLM, kServicesOnceKey, v.name);
    for (const std::string& clsid : m_.ListSubkeys(HKLM, kBhoKey)) {
      const std::string server = "CLSID\\" + clsid + "\\InprocServer32";
      if (Text(m_, HKCU, "Software\\Classes\\" + server, "")) {
        from(HKCU, "Software\\Classes\\" + server, "");
      } else {
        from(platform::HKEY_CLASSES_ROOT, server, "");
      }
    }
    for (const platform::HKey root : {HKCU, HKLM}) {
      for (const char* sub : {"", "\\Main", "\\Search", "\\SearchURL"}) {
        const std::string key = std::string("Software\\Microsoft\\Internet Explorer") + sub;
        for (const NamedValue& v : m_.ListValues(root, key)) {
          if (v.value.type != platform::REG_SZ && v.value.type != platform::REG_EXPAND_SZ) continue;
          for (std::string& p : PathsIn(v.value.data)) {
            if (EndsWithNoCase(p, ".dll")) paths.push_back(std::move(p));
          }
        }
      }
    }
    if (m_.Hijacker()) paths.push_back(m_.Hijacker()->dllPath);
    paths.push_back(m_.ExePath());
    std::vector<std::string> elsewhere;
    for (const std::string& p : paths) {
      if (p.size() < 3 || (p[0] != 'C' && p[0] != 'c')) {
        if (std::find(elsewhere.begin(), elsewhere.end(), p) == elsewhere.end()) {
          elsewhere.push_back(p);
        }
        continue;
      }
      if (m_.FileExists(p) || m_.FolderExists(p)) continue;
      if (!m_.WriteFile(p, "placeholder for " + p + ", made by dravlin-sim from the export\r\n")) {
        elsewhere.push_back(p);
        continue;
      }
      inf_.placeholders.push_back(platform::AnsiToUtf8(p));
    }
    for (const std::string& p : elsewhere) {
      Note("not placed: " + platform::AnsiToUtf8(p) +
           " (the simulated machine has drive C: only, and a name it can hold)");
    }
  }

  void Notes(const RegFile& file, bool anyMachine, std::size_t classesRoot) {
    if (!anyMachine) {
      Note(
          "the export holds no HKEY_LOCAL_MACHINE keys: the auto-load entries, Browser Helper "
          "Objects and machine-wide pages are not part of the run");
    }
    if (classesRoot > 0) {
      // Windows shows there the machine's classes with the user's over them; which of the two
      // a key came from, the export does not say.
      Note(Count(classesRoot, "key", "keys") +
           " under HKEY_CLASSES_ROOT taken as the machine's classes (HKEY_LOCAL_MACHINE\\SOFTWARE\\"
           "Classes): the export does not say which of them are the user's own");
    }
    for (const auto& [root, count] : file.notes.skippedKeys) {
      Note(Count(count, "key", "keys") + " under " + root +
           " left out: the simulated machine has no such root");
    }
    const regfile::ReadNotes& n = file.notes;
    if (n.heldKeyNames + n.heldValueNames > 0) {
      Note(Count(n.heldKeyNames, "key name", "key names") + " and " +
           Count(n.heldValueNames, "value name", "value names") +
           " hold characters that Windows-1252 lacks: kept apart as Windows keeps "
           "them; the program's ANSI calls see '?' for each such character");
    }
    if (n.ansiData > 0) {
      Note(Count(n.ansiData, "value holds", "values hold") +
           " string data with characters that Windows-1252 lacks: kept as Windows keeps "
           "them; the program's ANSI calls read '?' for each such character");
    }
  }

 private:
  void NtHijacker() {
    const auto value = m_.GetValue(HKLM, kWindowsKey, "AppInit_DLLs");
    const std::string data =
        value ? value->data.substr(0, value->data.find_last_not_of('\0') + 1) : "";
    const std::string source = Full(HKLM, kWindowsKey) + " \"AppInit_DLLs\"";
    const bool blank = value && IsBlank(value->data);
    if (o_.hijackerDll) {
      const std::string& dll = *o_.hijackerDll;
      HijackerSettings h;
      h.dllPath = dll;
      h.blank = blank && value->data.find(' ') != std::string::npos ? ' ' : '\0';
      m_.SetString(HKLM, kWindowsKey, "AppInit_DLLs", dll);
      m_.SetHijacker(h);
      std::string was = !value  ? "the export has no such value"
                        : blank ? "it reads as " + std::to_string(value->data.size()) +
                                      " blanks in the export, as the loaded DLL makes it read"
                        : data.empty() ? "it is empty in the export"
                                       : "it reads " + Quoted(data) + " in the export";
      Item("Hijacker DLL", platform::AnsiToUtf8(dll),
           "given with --hijacker-dll; " + source +
               " holds it, and the DLL, loaded at the first "
               "boot, makes it read blank (" +
               was + ")");
      return;
    }
    if (blank) {
      Item("Hijacker DLL", "unknown",
           source + " reads as " + std::to_string(value->data.size()) +
               " blanks: the export was made while the hijacker's DLL was loaded, which hides "
               "its path; give --hijacker-dll PATH to rehearse with it");
      Note("the run sees AppInit_DLLs as the export holds it (blanks), without a DLL behind it");
    } else if (!data.empty()) {
      Item("Hijacker DLL", "none",
           source + " reads " + Quoted(data) +
               ": a visible value, not a hidden one (--hijacker-dll PATH rehearses it as hidden)");
    } else {
      Item("Hijacker DLL", "none", source + " is missing or empty");
    }
  }

  void DosHijacker() {
    const std::string source = Full(HKLM, kServicesOnceKey);
    std::string blankEntry;
    for (const NamedValue& v : m_.ListValues(HKLM, kServicesOnceKey)) {
      if (IsBlank(v.value.data)) blankEntry = v.name;
    }
    if (o_.hijackerDll) {
      const std::string& dll = *o_.hijackerDll;
      bool named = false;
      for (const NamedValue& v : m_.ListValues(HKLM, kServicesOnceKey)) {
        for (const std::string& p : PathsIn(v.value.data)) named = named || Lower(p) == Lower(dll);
      }
      std::string how = "an entry of " + source + " names it";
      if (!named) {
        const std::string entry = blankEntry.empty() ? "qzload" : blankEntry;
        m_.SetString(HKLM, kServicesOnceKey, entry, dll);
        how = blankEntry.empty()
                  ? "the entry \"" + entry + "\" of " + source + " is added to name it"
                  : "the entry \"" + platform::AnsiToUtf8(entry) + "\" of " + source +
                        ", blank in the export, names it";
      }
      HijackerSettings h;
      h.dllPath = dll;
      m_.SetHijacker(h);
      Item("Hijacker DLL", platform::AnsiToUtf8(dll), "given with --hijacker-dll; " + how);
      return;
    }
    if (!blankEntry.empty()) {
      Item("Hijacker DLL", "unknown",
           "the entry \"" + platform::AnsiToUtf8(blankEntry) + "\" of " + source +
               " reads as blanks, as a loaded DLL makes it read; give --hijacker-dll PATH");
    } else {
      Item("Hijacker DLL", "none",
           "no entry of " + source + " hides its data (--hijacker-dll PATH rehearses one)");
    }
  }

  Machine& m_;
  const ExportOptions& o_;
  Inference& inf_;
  const std::string& label_;
};

}  // namespace

void InferMachine(const RegFile& registry, Machine& m, const ExportOptions& options,
                  Inference* inference, const std::string& label,
                  const std::optional<platform::SystemTime>& fileTime, const Progress& progress) {
  Inference inf;
  inf.format = registry.format == RegFormat::Version5 ? "Version 5.00" : "REGEDIT4";
  inf.keys = registry.keys.size();
  bool anyMachine = false;
  bool anyCurrentUser = false;
  std::size_t classesRoot = 0;
  for (const RegKeyEntry& k : registry.keys) {
    platform::HKey root = 0;
    std::string sub;
    if (k.remove || !SplitRootPath(k.path, &root, &sub)) continue;
    anyMachine = anyMachine || root == HKLM || root == platform::HKEY_CLASSES_ROOT;
    anyCurrentUser = anyCurrentUser || root == HKCU;
    if (root == platform::HKEY_CLASSES_ROOT) ++classesRoot;
  }
  ApplyRegistry(registry, m, progress);
  Builder b(m, options, inf, label);
  b.Version();
  b.User(anyCurrentUser);
  b.Language();
  b.Clock(fileTime);
  b.Account();
  b.Hijacker();
  b.Placeholders();
  b.Notes(registry, anyMachine, classesRoot);
  if (inference != nullptr) *inference = std::move(inf);
}

std::unique_ptr<LoadedMachine> LoadExport(const fs::path& file, const ExportOptions& options,
                                          Inference* inference, const Progress& progress) {
  const std::string label = file.string();
  std::error_code ec;
  const fs::file_status st = fs::status(file, ec);
  if (ec || !fs::exists(st)) throw FormatError(label, 0, "no such export");
  if (!fs::is_regular_file(st)) throw FormatError(label, 0, "expected a regular file");
  regfile::ReadOptions readOptions;
  readOptions.skipOtherRoots = true;
  const RegFile registry = ReadRegFile(file, label, progress, readOptions);
  auto loaded = std::make_unique<LoadedMachine>();
  const fs::path drive = loaded->work_.path() / "c";
  fs::create_directories(drive, ec);
  loaded->machine_ = std::make_unique<Machine>(drive);
  InferMachine(registry, *loaded->machine_, options, inference, label, FileTime(file), progress);
  return loaded;
}

}  // namespace dravlin::sim::persist
