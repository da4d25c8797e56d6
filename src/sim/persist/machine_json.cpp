// machine.json: reading a machine's settings, writing them back, applying them; SIDs as text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/ansi_names.h"
#include "sim/persist/export_machine.h"
#include "sim/persist/json_lines.h"
#include "sim/persist/machine_folder.h"

namespace dravlin::sim::persist {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

namespace {

std::string Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

int LineOfOffset(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 +
         static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
}

class JsonReader {
 public:
  JsonReader(std::string_view text, const std::string& file) : text_(text), file_(file) {}

  [[noreturn]] void Fail(const std::vector<std::string>& where, const std::string& what) const {
    std::string label;
    for (const auto& w : where) label += (label.empty() ? "" : ".") + w;
    throw FormatError(file_, LineOfMember(text_, where), "\"" + label + "\": " + what);
  }

  // Texts are UTF-8 in the file and ANSI bytes on the machine, as Windows holds them.
  std::string String(const Json& j, const std::vector<std::string>& where) const {
    if (!j.is_string()) Fail(where, "expected a string");
    std::string text = platform::Utf8ToAnsi(j.get<std::string>());
    if (platform::HasWideChars(text)) {
      Fail(where,
           "expected only characters that Windows-1252 has, found '" + j.get<std::string>() + "'");
    }
    return text;
  }
  bool Bool(const Json& j, const std::vector<std::string>& where) const {
    if (!j.is_boolean()) Fail(where, "expected true or false");
    return j.get<bool>();
  }
  std::uint32_t Uint(const Json& j, const std::vector<std::string>& where) const {
    if (!j.is_number_unsigned() || j.get<std::uint64_t>() > 0xFFFFFFFFu) {
      Fail(where, "expected a whole number from 0 to 4294967295");
    }
    return static_cast<std::uint32_t>(j.get<std::uint64_t>());
  }
  void Object(const Json& j, const std::vector<std::string>& where,
              std::initializer_list<const char*> known) const {
    if (!j.is_object()) Fail(where, "expected an object");
    for (const auto& [key, unused] : j.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || key == k;
      if (!ok) {
        std::vector<std::string> at = where;
        at.push_back(key);
        std::string list;
        for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
        Fail(at, "unknown field (expected one of: " + list + ")");
      }
    }
  }

 private:
  std::string_view text_;
  const std::string& file_;
};

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

bool ParseClockText(std::string_view s, platform::SystemTime* t) {
  // YYYY-MM-DDTHH:MM:SS
  if (s.size() != 19 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != ' ') ||
      s[13] != ':' || s[16] != ':') {
    return false;
  }
  const auto num = [&](std::size_t pos, std::size_t len, int* out) {
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
  if (!num(0, 4, &y) || !num(5, 2, &mo) || !num(8, 2, &d) || !num(11, 2, &h) || !num(14, 2, &mi) ||
      !num(17, 2, &se)) {
    return false;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1601 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || se > 59) return false;
  if (d > kDays[mo - 1] + (mo == 2 && IsLeap(y) ? 1 : 0)) return false;
  t->wYear = static_cast<std::uint16_t>(y);
  t->wMonth = static_cast<std::uint16_t>(mo);
  t->wDay = static_cast<std::uint16_t>(d);
  t->wHour = static_cast<std::uint16_t>(h);
  t->wMinute = static_cast<std::uint16_t>(mi);
  t->wSecond = static_cast<std::uint16_t>(se);
  t->wMilliseconds = 0;
  return true;
}

namespace {

struct AttributeName {
  const char* name;
  std::uint32_t bit;
};
constexpr AttributeName kAttributeNames[] = {
    {"readonly", platform::FILE_ATTRIBUTE_READONLY},
    {"hidden", platform::FILE_ATTRIBUTE_HIDDEN},
    {"system", platform::FILE_ATTRIBUTE_SYSTEM},
    {"archive", platform::FILE_ATTRIBUTE_ARCHIVE},
};

}  // namespace

// The line where the member `"a"` (then `"b"` after it, ...) is written; 0 when not found.
// Good enough to point a reader at the field that a message names.
int LineOfMember(std::string_view text, const std::vector<std::string>& names) {
  std::size_t from = 0;
  std::size_t at = std::string_view::npos;
  for (const std::string& name : names) {
    const std::string quoted = Json(name).dump();  // as the file spells it, escapes included
    at = std::string_view::npos;
    for (std::size_t p = text.find(quoted, from); p != std::string_view::npos;
         p = text.find(quoted, p + 1)) {
      std::size_t q = p + quoted.size();
      while (q < text.size() &&
             (text[q] == ' ' || text[q] == '\t' || text[q] == '\r' || text[q] == '\n')) {
        ++q;
      }
      if (q < text.size() && text[q] == ':') {
        at = p;
        break;
      }
    }
    if (at == std::string_view::npos) return 0;
    from = at + quoted.size();
  }
  return LineOfOffset(text, at);
}

std::string AttributeText(std::uint32_t bits) {
  std::string out;
  for (const auto& a : kAttributeNames) {
    if ((bits & a.bit) != 0) out += std::string(out.empty() ? "" : ",") + a.name;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// SIDs

bool ParseSid(std::string_view text, platform::SidBytes* sid) {
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  std::vector<std::uint64_t> parts;
  std::size_t p = 2;
  while (p <= text.size()) {
    std::uint64_t v = 0;
    std::size_t digits = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
      v = v * 10 + static_cast<std::uint64_t>(text[p] - '0');
      if (++digits > 15) return false;
      ++p;
    }
    if (digits == 0) return false;
    parts.push_back(v);
    if (p == text.size()) break;
    if (text[p] != '-') return false;
    ++p;
  }
  // revision, authority, then 1 to 15 sub-authorities
  if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1 || parts[1] >= (1ull << 48)) {
    return false;
  }
  platform::SidBytes out;
  out.push_back(1);
  out.push_back(static_cast<std::uint8_t>(parts.size() - 2));
  for (int i = 5; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(parts[1] >> (8 * i)));
  for (std::size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] > 0xFFFFFFFFu) return false;
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(parts[i] >> (8 * b)));
  }
  *sid = std::move(out);
  return true;
}

std::string SidToString(const platform::SidBytes& sid) {
  if (sid.size() < 8 || sid.size() != 8 + 4 * static_cast<std::size_t>(sid[1])) {
    std::string hex = "raw:";
    char buf[4];
    for (const auto b : sid) {
      std::snprintf(buf, sizeof buf, "%02x", b);
      hex += buf;
    }
    return hex;
  }
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string out = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (std::size_t i = 8; i + 4 <= sid.size(); i += 4) {
    const std::uint32_t v = sid[i] | (sid[i + 1] << 8) | (sid[i + 2] << 16) |
                            (static_cast<std::uint32_t>(sid[i + 3]) << 24);
    out += "-" + std::to_string(v);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// machine.json

MachineDescription ParseMachineJson(std::string_view text, const std::string& fileName) {
  Json root;
  try {
    root = Json::parse(text.begin(), text.end());
  } catch (const Json::parse_error& e) {
    // Keep nlohmann's own wording after its "parse error at line L, column C: " prefix.
    std::string what = e.what();
    const std::size_t colon = what.find(": ", what.find("parse error"));
    if (colon != std::string::npos) what = what.substr(colon + 2);
    throw FormatError(fileName, LineOfOffset(text, e.byte == 0 ? 0 : e.byte - 1), what);
  }
  const JsonReader r(text, fileName);
  if (!root.is_object()) throw FormatError(fileName, 1, "expected a JSON object");
  r.Object(root, {},
           {"version", "language", "shortDate", "longTime", "am", "pm", "clock", "administrator",
            "groups", "privileges", "exePath", "systemDirectory", "undeletable", "attributes",
            "hijacker", "heldKeys", "currentFolder", "comment"});

  MachineDescription d;
  // Version: a preset name or an object that refines one.
  if (root.contains("version")) {
    const Json& v = root["version"];
    std::string preset;
    if (v.is_string()) {
      preset = v.get<std::string>();
    } else {
      r.Object(v, {"version"}, {"preset", "platformId", "major", "minor", "build", "csd"});
      if (v.contains("preset")) preset = r.String(v["preset"], {"version", "preset"});
    }
    if (!preset.empty()) {
      const auto settings = VersionPreset(preset);
      if (!settings) {
        std::string known;
        for (const auto& n : VersionPresetNames()) known += (known.empty() ? "" : ", ") + n;
        r.Fail({"version"}, "unknown Windows version '" + preset + "' (known: " + known + ")");
      }
      d.version = *settings;
      d.versionName = LowerAscii(preset);
    } else if (v.is_object() && !(v.contains("platformId") && v.contains("major") &&
                                  v.contains("minor") && v.contains("build"))) {
      r.Fail({"version"}, "expected a preset name or platformId, major, minor and build");
    }
    if (v.is_object()) {
      if (v.contains("platformId")) {
        d.version.platformId = r.Uint(v["platformId"], {"version", "platformId"});
      }
      if (v.contains("major")) d.version.major = r.Uint(v["major"], {"version", "major"});
      if (v.contains("minor")) d.version.minor = r.Uint(v["minor"], {"version", "minor"});
      if (v.contains("build")) d.version.build = r.Uint(v["build"], {"version", "build"});
      if (v.contains("csd")) d.version.csd = r.String(v["csd"], {"version", "csd"});
    }
  }

  if (root.contains("language")) {
    d.locale.nativeLanguage = r.String(root["language"], {"language"});
  }
  if (LowerAscii(Trim(d.locale.nativeLanguage)) == "deutsch") {
    d.locale.shortDate = "dd.MM.yyyy";
    d.locale.longTime = "HH:mm:ss";
    d.locale.am.clear();
    d.locale.pm.clear();
  }
  if (root.contains("shortDate")) d.locale.shortDate = r.String(root["shortDate"], {"shortDate"});
  if (root.contains("longTime")) d.locale.longTime = r.String(root["longTime"], {"longTime"});
  if (root.contains("am")) d.locale.am = r.String(root["am"], {"am"});
  if (root.contains("pm")) d.locale.pm = r.String(root["pm"], {"pm"});

  if (root.contains("clock")) {
    platform::SystemTime t;
    const std::string s = r.String(root["clock"], {"clock"});
    if (!ParseClockText(s, &t)) {
      r.Fail({"clock"}, "expected a date and time as YYYY-MM-DDTHH:MM:SS, found '" + s + "'");
    }
    d.clock = t;
  }

  if (root.contains("administrator") && root.contains("groups")) {
    r.Fail({"groups"}, "expected either \"administrator\" or \"groups\", not both");
  }
  if (root.contains("administrator")) {
    d.administrator = r.Bool(root["administrator"], {"administrator"});
  }
  if (root.contains("groups")) {
    const Json& g = root["groups"];
    if (!g.is_array()) r.Fail({"groups"}, "expected an array of {\"sid\", \"attributes\"}");
    std::vector<platform::SidAndAttributes> groups;
    for (const Json& e : g) {
      r.Object(e, {"groups"}, {"sid", "attributes"});
      platform::SidAndAttributes sa;
      const std::string sid = e.contains("sid") ? r.String(e["sid"], {"groups", "sid"}) : "";
      if (!ParseSid(sid, &sa.Sid)) {
        r.Fail({"groups"}, "expected a SID such as \"S-1-5-32-544\", found '" + sid + "'");
      }
      sa.Attributes = e.contains("attributes")
                          ? r.Uint(e["attributes"], {"groups", "attributes"})
                          : platform::SE_GROUP_ENABLED | 3u;  // mandatory, enabled by default
      groups.push_back(std::move(sa));
    }
    d.groups = std::move(groups);
  }
  if (root.contains("privileges")) {
    const Json& p = root["privileges"];
    if (!p.is_array()) r.Fail({"privileges"}, "expected an array of {\"name\", \"enabled\"}");
    std::vector<PrivilegeSetting> privileges;
    for (const Json& e : p) {
      r.Object(e, {"privileges"}, {"name", "enabled"});
      PrivilegeSetting ps;
      if (!e.contains("name")) r.Fail({"privileges"}, "expected a \"name\" in each entry");
      ps.name = r.String(e["name"], {"privileges", "name"});
      if (e.contains("enabled"))
        ps.enabledByDefault = r.Bool(e["enabled"], {"privileges", "enabled"});
      privileges.push_back(std::move(ps));
    }
    d.privileges = std::move(privileges);
  }

  if (root.contains("exePath")) d.exePath = r.String(root["exePath"], {"exePath"});
  if (root.contains("currentFolder")) {
    d.currentFolder = r.String(root["currentFolder"], {"currentFolder"});
  }
  if (root.contains("systemDirectory")) {
    d.systemDirectory = r.String(root["systemDirectory"], {"systemDirectory"});
  }
  if (root.contains("undeletable")) {
    const Json& u = root["undeletable"];
    if (!u.is_array()) r.Fail({"undeletable"}, "expected an array of Windows paths");
    for (const Json& e : u) d.undeletable.push_back(r.String(e, {"undeletable"}));
  }
  if (root.contains("heldKeys")) {
    const Json& h = root["heldKeys"];
    if (!h.is_array()) r.Fail({"heldKeys"}, "expected an array of key paths");
    for (const Json& e : h) {
      const std::string held = r.String(e, {"heldKeys"});
      platform::HKey key = 0;
      std::string path;
      if (!SplitRootPath(held, &key, &path)) {
        r.Fail({"heldKeys"}, "expected a key path beginning with a root, found '" + held + "'");
      }
      d.heldKeys.emplace_back(key, path);
    }
  }
  if (root.contains("attributes")) {
    const Json& a = root["attributes"];
    if (!a.is_object()) r.Fail({"attributes"}, "expected an object of path: \"hidden,system\"");
    for (const auto& [utf8Path, value] : a.items()) {
      const std::string path = r.String(Json(utf8Path), {"attributes", utf8Path});
      const std::string list = r.String(value, {"attributes", utf8Path});
      std::uint32_t bits = 0;
      std::size_t start = 0;
      while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string word =
            LowerAscii(Trim(std::string_view(list).substr(start, comma - start)));
        bool found = word.empty();
        for (const auto& n : kAttributeNames) {
          if (word == n.name) {
            bits |= n.bit;
            found = true;
          }
        }
        if (!found) {
          r.Fail({"attributes", utf8Path},
                 "unknown attribute '" + word + "' (expected readonly, hidden, system, archive)");
        }
        start = comma + 1;
      }
      d.attributes.emplace_back(path, bits);
    }
  }
  if (root.contains("hijacker")) {
    const Json& h = root["hijacker"];
    r.Object(h, {"hijacker"}, {"dll", "blank"});
    if (!h.contains("dll")) r.Fail({"hijacker"}, "expected the DLL's Windows path in \"dll\"");
    HijackerSettings hs;
    hs.dllPath = r.String(h["dll"], {"hijacker", "dll"});
    if (h.contains("blank")) {
      const std::string b = LowerAscii(r.String(h["blank"], {"hijacker", "blank"}));
      if (b == "nul") {
        hs.blank = '\0';
      } else if (b == "space") {
        hs.blank = ' ';
      } else {
        r.Fail({"hijacker", "blank"}, "expected \"nul\" or \"space\", found '" + b + "'");
      }
    }
    d.hijacker = hs;
  }
  return d;
}

std::string WriteMachineJson(const Machine& machine) {
  const auto text = [](const std::string& ansi) { return platform::AnsiToUtf8(ansi); };
  OrderedJson j;
  const VersionSettings& v = machine.Version();
  j["version"] = {{"platformId", v.platformId},
                  {"major", v.major},
                  {"minor", v.minor},
                  {"build", v.build},
                  {"csd", text(v.csd)}};
  const LocaleSettings& l = machine.Locale();
  j["language"] = text(l.nativeLanguage);
  j["shortDate"] = text(l.shortDate);
  j["longTime"] = text(l.longTime);
  j["am"] = text(l.am);
  j["pm"] = text(l.pm);
  const platform::SystemTime t = machine.Clock();
  char clock[64];
  std::snprintf(clock, sizeof clock, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  j["clock"] = clock;
  OrderedJson groups = OrderedJson::array();
  for (const auto& g : machine.TokenGroups()) {
    groups.push_back({{"sid", SidToString(g.Sid)}, {"attributes", g.Attributes}});
  }
  j["groups"] = groups;
  OrderedJson privileges = OrderedJson::array();
  for (const auto& p : machine.Privileges()) {
    privileges.push_back({{"name", text(p.name)}, {"enabled", p.enabledByDefault}});
  }
  j["privileges"] = privileges;
  j["exePath"] = text(machine.ExePath());
  j["systemDirectory"] = text(machine.SystemDirectory());
  OrderedJson undeletable = OrderedJson::array();
  OrderedJson attributes = OrderedJson::object();
  for (const std::string& file : machine.ListFiles()) {
    if (machine.IsUndeletable(file)) undeletable.push_back(text(file));
    const std::uint32_t bits = machine.FileAttributes(file);
    if (bits != platform::INVALID_FILE_ATTRIBUTES && (bits & kShownAttributes) != 0) {
      attributes[text(file)] = AttributeText(bits & kShownAttributes);
    }
  }
  j["undeletable"] = undeletable;
  j["attributes"] = attributes;
  if (!machine.CurrentFolder().empty()) j["currentFolder"] = text(machine.CurrentFolder());
  if (!machine.HeldKeys().empty()) {
    OrderedJson held = OrderedJson::array();
    for (const auto& [root, path] : machine.HeldKeys()) {
      std::string name(RootName(root));
      if (!path.empty()) name.append("\\").append(path);
      held.push_back(text(name));
    }
    j["heldKeys"] = held;
  }
  if (const auto& h = machine.Hijacker()) {
    j["hijacker"] = {{"dll", text(h->dllPath)}, {"blank", h->blank == ' ' ? "space" : "nul"}};
  }
  return j.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

void ApplyDescription(const MachineDescription& d, Machine& machine) {
  machine.SetVersion(d.version);
  machine.SetLocale(d.locale);
  if (d.clock) machine.SetClock(*d.clock);
  if (d.administrator) machine.SetAdmin(*d.administrator);
  if (d.groups) machine.SetTokenGroups(*d.groups);
  if (d.privileges) machine.SetPrivileges(*d.privileges);
  if (!d.exePath.empty()) machine.SetExePath(d.exePath);
  if (!d.systemDirectory.empty()) machine.SetSystemDirectory(d.systemDirectory);
  machine.SetHijacker(d.hijacker);
  for (const auto& [root, path] : d.heldKeys) machine.HoldKeyOpen(root, path);
  if (!d.currentFolder.empty()) machine.SetCurrentFolder(d.currentFolder);
}

}  // namespace dravlin::sim::persist
