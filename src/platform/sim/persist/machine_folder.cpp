#include "platform/sim/persist/machine_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/registry.h"

namespace dravlin::sim::persist {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

namespace {

constexpr const char* kJsonName = "machine.json";
constexpr const char* kRegName = "registry.reg";
constexpr const char* kDriveName = "c";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

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

class JsonReader {
 public:
  JsonReader(std::string_view text, const std::string& file) : text_(text), file_(file) {}

  [[noreturn]] void Fail(const std::vector<std::string>& where, const std::string& what) const {
    std::string label;
    for (const auto& w : where) label += (label.empty() ? "" : ".") + w;
    throw FormatError(file_, LineOfMember(text_, where), "\"" + label + "\": " + what);
  }

  std::string String(const Json& j, const std::vector<std::string>& where) const {
    if (!j.is_string()) Fail(where, "expected a string");
    return j.get<std::string>();
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

bool ParseClock(std::string_view s, platform::SystemTime* t) {
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
constexpr std::uint32_t kShownAttributes = platform::FILE_ATTRIBUTE_READONLY |
                                           platform::FILE_ATTRIBUTE_HIDDEN |
                                           platform::FILE_ATTRIBUTE_SYSTEM;

std::string AttributeText(std::uint32_t bits) {
  std::string out;
  for (const auto& a : kAttributeNames) {
    if ((bits & a.bit) != 0) out += std::string(out.empty() ? "" : ",") + a.name;
  }
  return out;
}

// Reads a whole regular file; anything else (missing, a folder, a pipe) is refused before
// it is opened, so that a pipe cannot hang the load.
void ExpectRegularFile(const fs::path& path, const std::string& label) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) throw FormatError(label, 0, "missing (expected a file)");
  if (!fs::is_regular_file(st)) throw FormatError(label, 0, "expected a regular file");
}

std::string ReadWholeFile(const fs::path& path, const std::string& label) {
  ExpectRegularFile(path, label);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError(label, 0, "cannot open the file for reading");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FormatError(label, 0, "cannot read the file");
  return bytes;
}

// Copies a folder tree of regular files and folders; links are followed to what they name.
void CopyTree(const fs::path& from, const fs::path& to, const std::string& label) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) throw FormatError(to.string(), 0, "cannot create the folder: " + ec.message());
  fs::recursive_directory_iterator it(from, fs::directory_options::none, ec);
  if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::path rel = fs::relative(it->path(), from, ec);
    const std::string name = label + "/" + rel.generic_string();
    const fs::file_status st = fs::status(it->path(), ec);
    if (ec) throw FormatError(name, 0, "cannot read: " + ec.message());
    if (fs::is_directory(st)) {
      fs::create_directories(to / rel, ec);
      if (ec) throw FormatError(name, 0, "cannot copy the folder: " + ec.message());
    } else if (fs::is_regular_file(st)) {
      std::ifstream probe(it->path(), std::ios::binary);
      if (!probe) throw FormatError(name, 0, "cannot open the file for reading");
      probe.close();
      fs::copy_file(it->path(), to / rel, fs::copy_options::overwrite_existing, ec);
      if (ec) throw FormatError(name, 0, "cannot copy the file: " + ec.message());
    } else {
      throw FormatError(name, 0, "expected a regular file or folder");
    }
  }
  if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
}

void WriteWholeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw FormatError(path.string(), 0, "cannot write the file");
}

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
  return buf;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string ShowName(const std::string& name) {
  return name.empty() ? "@" : "\"" + name + "\"";
}

}  // namespace

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
      d.versionName = Lower(preset);
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
  if (Lower(Trim(d.locale.nativeLanguage)) == "deutsch") {
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
    if (!ParseClock(s, &t)) {
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
    for (const auto& [path, value] : a.items()) {
      const std::string list = r.String(value, {"attributes", path});
      std::uint32_t bits = 0;
      std::size_t start = 0;
      while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string word = Lower(Trim(std::string_view(list).substr(start, comma - start)));
        bool found = word.empty();
        for (const auto& n : kAttributeNames) {
          if (word == n.name) {
            bits |= n.bit;
            found = true;
          }
        }
        if (!found) {
          r.Fail({"attributes", path},
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
      const std::string b = Lower(r.String(h["blank"], {"hijacker", "blank"}));
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
  OrderedJson j;
  const VersionSettings& v = machine.Version();
  j["version"] = {{"platformId", v.platformId},
                  {"major", v.major},
                  {"minor", v.minor},
                  {"build", v.build},
                  {"csd", v.csd}};
  const LocaleSettings& l = machine.Locale();
  j["language"] = l.nativeLanguage;
  j["shortDate"] = l.shortDate;
  j["longTime"] = l.longTime;
  j["am"] = l.am;
  j["pm"] = l.pm;
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
    privileges.push_back({{"name", p.name}, {"enabled", p.enabledByDefault}});
  }
  j["privileges"] = privileges;
  j["exePath"] = machine.ExePath();
  j["systemDirectory"] = machine.SystemDirectory();
  OrderedJson undeletable = OrderedJson::array();
  OrderedJson attributes = OrderedJson::object();
  for (const std::string& file : machine.ListFiles()) {
    if (machine.IsUndeletable(file)) undeletable.push_back(file);
    const std::uint32_t bits = machine.FileAttributes(file);
    if (bits != platform::INVALID_FILE_ATTRIBUTES && (bits & kShownAttributes) != 0) {
      attributes[file] = AttributeText(bits & kShownAttributes);
    }
  }
  j["undeletable"] = undeletable;
  j["attributes"] = attributes;
  if (!machine.CurrentFolder().empty()) j["currentFolder"] = machine.CurrentFolder();
  if (!machine.HeldKeys().empty()) {
    OrderedJson held = OrderedJson::array();
    for (const auto& [root, path] : machine.HeldKeys()) {
      held.push_back(path.empty() ? RootName(root) : RootName(root) + "\\" + path);
    }
    j["heldKeys"] = held;
  }
  if (const auto& h = machine.Hijacker()) {
    j["hijacker"] = {{"dll", h->dllPath}, {"blank", h->blank == ' ' ? "space" : "nul"}};
  }
  // Windows paths and registry text are ANSI; keep JSON valid whatever bytes they hold.
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

// ---------------------------------------------------------------------------------------------
// registry

void ApplyRegistry(const RegFile& file, Machine& machine, const Progress& progress) {
  std::uint64_t done = 0;
  for (const RegKeyEntry& key : file.keys) {
    if (progress && (++done & 0x3FFF) == 0) progress("loading", done, file.keys.size());
    platform::HKey root = 0;
    std::string sub;
    if (!SplitRootPath(key.path, &root, &sub)) continue;  // the reader admits known roots only
    if (key.remove) {
      if (!sub.empty()) machine.DeleteKey(root, sub);
      continue;
    }
    machine.CreateKey(root, sub);
    for (const RegValueEntry& v : key.values) {
      if (v.remove) {
        machine.DeleteValue(root, sub, v.name);
      } else {
        machine.SetValue(root, sub, v.name, v.type, v.data);
      }
    }
  }
}

namespace {
constexpr platform::HKey kSavedRoots[] = {platform::HKEY_LOCAL_MACHINE, platform::HKEY_CURRENT_USER,
                                          platform::HKEY_USERS};
}

RegFile ExportRegistry(const Machine& machine) {
  RegFile f;
  for (const platform::HKey root : kSavedRoots) {
    machine.VisitTree(root, "", [&](std::string_view path, const std::vector<NamedValue>& values) {
      if (path.empty() && values.empty()) return;
      RegKeyEntry e;
      e.path = RootName(root);
      if (!path.empty()) e.path.append("\\").append(path);
      for (const NamedValue& nv : values) {
        e.values.push_back(RegValueEntry{nv.name, nv.value.type, nv.value.data});
      }
      f.keys.push_back(std::move(e));
    });
  }
  return f;
}

// ---------------------------------------------------------------------------------------------
// folders

LoadedMachine::LoadedMachine() = default;
LoadedMachine::~LoadedMachine() = default;

std::unique_ptr<LoadedMachine> LoadMachineFolder(const fs::path& folder, const Progress& progress) {
  const std::string base = folder.string();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    throw FormatError(
        base, 0, fs::exists(folder, ec) ? "expected a machine folder" : "no such machine folder");
  }
  const std::string jsonLabel = (folder / kJsonName).string();
  const std::string regLabel = (folder / kRegName).string();
  // Everything is read and checked before the machine is built.
  const std::string jsonText = ReadWholeFile(folder / kJsonName, jsonLabel);
  MachineDescription description = ParseMachineJson(jsonText, jsonLabel);
  ExpectRegularFile(folder / kRegName, regLabel);
  RegFile registry = ReadRegFile(folder / kRegName, regLabel, progress);

  auto loaded = std::make_unique<LoadedMachine>();
  const fs::path drive = loaded->work_.path() / kDriveName;
  const fs::path sourceDrive = folder / kDriveName;
  if (fs::exists(sourceDrive, ec)) {
    if (!fs::is_directory(sourceDrive, ec)) {
      throw FormatError(sourceDrive.string(), 0, "expected the folder of drive C:");
    }
    CopyTree(sourceDrive, drive, sourceDrive.string());
  } else {
    fs::create_directories(drive, ec);
  }
  loaded->machine_ = std::make_unique<Machine>(drive);
  Machine& m = *loaded->machine_;
  ApplyDescription(description, m);
  ApplyRegistry(registry, m, progress);
  registry = RegFile();  // a whole PC's model is not kept beside the machine built from it
  for (const std::string& path : description.undeletable) {
    if (!m.FileExists(path)) {
      throw FormatError(jsonLabel, LineOfMember(jsonText, {"undeletable"}),
                        "\"undeletable\": expected an existing file of c/, found '" + path + "'");
    }
    m.SetUndeletable(path);
  }
  for (const auto& [path, bits] : description.attributes) {
    if (!m.SetFileAttributes(path, bits)) {
      throw FormatError(jsonLabel, LineOfMember(jsonText, {"attributes", path}),
                        "\"attributes\": expected an existing file of c/, found '" + path + "'");
    }
  }
  loaded->description_ = std::move(description);
  return loaded;
}

void SaveMachineFolder(const Machine& machine, const fs::path& folder) {
  const std::string label = folder.string();
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    if (!fs::is_directory(folder, ec)) throw FormatError(label, 0, "expected a folder");
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (name != kJsonName && name != kRegName && name != kDriveName) {
        throw FormatError(label, 0,
                          "expected an empty folder or a machine folder, found '" + name + "'");
      }
    }
    if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
  }
  const std::string reg = WriteRegedit4(ExportRegistry(machine));
  const std::string json = WriteMachineJson(machine);

  fs::create_directories(folder, ec);
  if (ec) throw FormatError(label, 0, "cannot create the folder: " + ec.message());
  WriteWholeFile(folder / kRegName, reg);
  WriteWholeFile(folder / kJsonName, json);
  fs::remove_all(folder / kDriveName, ec);
  if (ec) throw FormatError((folder / kDriveName).string(), 0, "cannot replace: " + ec.message());
  CopyTree(machine.DriveRoot(), folder / kDriveName, (folder / kDriveName).string());
}

// ---------------------------------------------------------------------------------------------
// differences

namespace {

// The roots in registry order (see ComparePaths), so that a snapshot needs no sorting.
constexpr platform::HKey kRootsInOrder[] = {platform::HKEY_CURRENT_USER,
                                            platform::HKEY_LOCAL_MACHINE, platform::HKEY_USERS};

int FoldedByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return u - 32;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return u - 32;
  return u;
}

// Registry order: names compare as the registry folds them, and paths part by part, so that a
// key's subtree comes right after the key and before its next sibling; the order in which the
// machine walks its keys.
int ComparePaths(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  // Neighbouring paths share long beginnings, and equal bytes fold equal: skip those word by
  // word.
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    const int x = a[i] == '\\' ? 0 : FoldedByte(a[i]) + 1;
    const int y = b[i] == '\\' ? 0 : FoldedByte(b[i]) + 1;
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Positions of a snapshot's keys in registry order; taken as they are when already sorted, as
// snapshots of a machine are.
std::vector<std::size_t> RegistryOrder(const RegistrySnapshot& s) {
  std::vector<std::size_t> order(s.keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (ComparePaths(s.keys[i - 1].first, s.keys[i].first) > 0) {
      std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return ComparePaths(s.keys[x].first, s.keys[y].first) < 0;
      });
      break;
    }
  }
  return order;
}

// Walks the keys of `before` and of the later state together in registry order, one pass with
// no index of either side, so that a whole PC's registry costs little more than reading it.
class RegistryDiffer {
 public:
  explicit RegistryDiffer(const RegistrySnapshot& before)
      : before_(before), order_(RegistryOrder(before)) {}

  // The next key of the later state; false when it is out of registry order.
  bool After(std::string_view path, const std::vector<NamedValue>& values) {
    if (!last_.empty() && ComparePaths(last_, path) >= 0) return false;
    last_.assign(path);
    while (next_ < order_.size()) {
      const auto& [was, old] = before_.keys[order_[next_]];
      const int c = ComparePaths(was, path);
      if (c > 0) break;
      ++next_;
      if (c < 0) {
        Removed(was);
        continue;
      }
      CompareValues(was, old, values);
      return true;
    }
    out_.push_back({Kind::KeyAdded, std::string(path), "", std::nullopt, std::nullopt});
    for (const NamedValue& n : values) {
      out_.push_back({Kind::ValueAdded, std::string(path), n.name, std::nullopt, n.value});
    }
    return true;
  }

  std::vector<RegChange> Finish() {
    for (; next_ < order_.size(); ++next_) Removed(before_.keys[order_[next_]].first);
    // By key, so that what happened to one key reads together; key lines first.
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(out_.size());
    for (std::size_t i = 0; i < out_.size(); ++i) keys.emplace_back(Lower(out_[i].key), i);
    const auto isKeyLine = [&](std::size_t i) {
      return out_[i].kind == Kind::KeyAdded || out_[i].kind == Kind::KeyRemoved;
    };
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return isKeyLine(a.second) && !isKeyLine(b.second);
    });
    std::vector<RegChange> sorted;
    sorted.reserve(out_.size());
    for (const auto& k : keys) sorted.push_back(std::move(out_[k.second]));
    return sorted;
  }

 private:
  using Kind = RegChange::Kind;

  // A removed key reports only itself, not each key that went with it.
  void Removed(const std::string& path) {
    std::string lower = Lower(path);
    const std::size_t slash = lower.rfind('\\');
    if (slash == std::string::npos || removed_.count(lower.substr(0, slash)) == 0) {
      out_.push_back({Kind::KeyRemoved, path, "", std::nullopt, std::nullopt});
    }
    removed_.insert(std::move(lower));
  }

  void CompareValues(const std::string& path, const std::vector<NamedValue>& values,
                     const std::vector<NamedValue>& now) {
    // Nearly every key is unchanged: the same values in the same order.
    if (values.size() == now.size() && std::equal(values.begin(), values.end(), now.begin(),
                                                  [](const NamedValue& a, const NamedValue& b) {
                                                    return a.name == b.name && a.value == b.value;
                                                  })) {
      return;
    }
    // By name, so that a key with very many values is not compared pairwise.
    std::unordered_map<std::string, const NamedValue*> nowByName;
    for (const NamedValue& n : now) nowByName.emplace(Lower(n.name), &n);
    std::unordered_map<std::string, bool> beforeNames;
    for (const NamedValue& v : values) {
      beforeNames.emplace(Lower(v.name), true);
      const auto match = nowByName.find(Lower(v.name));
      if (match == nowByName.end()) {
        out_.push_back({Kind::ValueRemoved, path, v.name, v.value, std::nullopt});
      } else if (!(match->second->value == v.value)) {
        out_.push_back({Kind::ValueChanged, path, v.name, v.value, match->second->value});
      }
    }
    for (const NamedValue& n : now) {
      if (beforeNames.count(Lower(n.name)) == 0) {
        out_.push_back({Kind::ValueAdded, path, n.name, std::nullopt, n.value});
      }
    }
  }

  const RegistrySnapshot& before_;
  std::vector<std::size_t> order_;
  std::size_t next_ = 0;
  std::string last_;
  std::set<std::string> removed_;
  std::vector<RegChange> out_;
};

// Calls visit(full path, values) for every key of the machine, in registry order.
template <class Visit>
void VisitRegistry(const Machine& machine, Visit&& visit) {
  std::string full;
  for (const platform::HKey root : kRootsInOrder) {
    const std::string name = RootName(root);
    machine.VisitTree(root, "", [&](std::string_view path, const std::vector<NamedValue>& values) {
      full.assign(name);
      if (!path.empty()) full.append("\\").append(path);
      visit(full, values);
    });
  }
}

}  // namespace

RegistrySnapshot SnapshotRegistry(const Machine& machine) {
  RegistrySnapshot s;
  VisitRegistry(machine, [&](const std::string& path, const std::vector<NamedValue>& values) {
    s.keys.emplace_back(path, values);
  });
  return s;
}

std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  RegistryDiffer differ(before);
  for (const std::size_t i : RegistryOrder(after)) {
    differ.After(after.keys[i].first, after.keys[i].second);
  }
  return differ.Finish();
}

std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const Machine& after) {
  RegistryDiffer differ(before);
  bool inOrder = true;
  VisitRegistry(after, [&](const std::string& path, const std::vector<NamedValue>& values) {
    if (inOrder) inOrder = differ.After(path, values);
  });
  // Names the registry cannot order (a backslash inside one) take the slower road.
  if (!inOrder) return DiffRegistry(before, SnapshotRegistry(after));
  return differ.Finish();
}

FileSnapshot SnapshotFiles(const Machine& machine) {
  FileSnapshot s;
  for (const std::string& path : machine.ListFiles()) {
    FileState f;
    f.bytes = machine.ReadFile(path).value_or("");
    f.attributes = machine.FileAttributes(path);
    s.emplace(path, std::move(f));
  }
  return s;
}

std::vector<FileChange> DiffFiles(const FileSnapshot& before, const FileSnapshot& after) {
  // Windows paths compare without regard to case.
  std::map<std::string, const std::pair<const std::string, FileState>*> b;
  std::map<std::string, const std::pair<const std::string, FileState>*> a;
  for (const auto& e : before) b.emplace(Lower(e.first), &e);
  for (const auto& e : after) a.emplace(Lower(e.first), &e);
  std::vector<FileChange> out;
  for (const auto& [key, entry] : b) {
    const auto it = a.find(key);
    if (it == a.end()) {
      out.push_back({FileChange::Kind::Deleted, entry->first, ""});
      continue;
    }
    const FileState& x = entry->second;
    const FileState& y = it->second->second;
    std::string detail;
    if (x.bytes != y.bytes) detail = "content";
    if ((x.attributes & kShownAttributes) != (y.attributes & kShownAttributes)) {
      if (!detail.empty()) detail += ", ";
      const std::string from = AttributeText(x.attributes & kShownAttributes);
      const std::string to = AttributeText(y.attributes & kShownAttributes);
      detail +=
          "attributes " + (from.empty() ? "none" : from) + " -> " + (to.empty() ? "none" : to);
    }
    if (!detail.empty()) out.push_back({FileChange::Kind::Changed, it->second->first, detail});
  }
  for (const auto& [key, entry] : a) {
    if (b.count(key) == 0) {
      out.push_back({FileChange::Kind::Added, entry->first,
                     std::to_string(entry->second.bytes.size()) + " bytes"});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const FileChange& x, const FileChange& y) {
    return Lower(x.path) < Lower(y.path);
  });
  return out;
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case platform::REG_NONE:
      return "REG_NONE";
    case platform::REG_SZ:
      return "REG_SZ";
    case platform::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case platform::REG_BINARY:
      return "REG_BINARY";
    case platform::REG_DWORD:
      return "REG_DWORD";
    case platform::REG_DWORD_BIG_ENDIAN:
      return "REG_DWORD_BIG_ENDIAN";
    case platform::REG_LINK:
      return "REG_LINK";
    case platform::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case platform::REG_RESOURCE_LIST:
      return "REG_RESOURCE_LIST";
    case 11:
      return "REG_QWORD";
    default:
      return "type " + Hex8(type);
  }
}

std::string DescribeValue(const RegValue& value) {
  constexpr std::size_t kMaxShown = 240;
  const std::string& d = value.data;
  const std::string type = TypeName(value.type);
  if (value.type == platform::REG_SZ || value.type == platform::REG_EXPAND_SZ ||
      value.type == platform::REG_MULTI_SZ) {
    const bool terminated = !d.empty() && d.back() == '\0';
    const std::size_t n = terminated ? d.size() - 1 : d.size();
    std::string text;
    for (std::size_t i = 0; i < n && i < kMaxShown; ++i) {
      const auto c = static_cast<unsigned char>(d[i]);
      const char32_t u = FromCp1252(c);
      if (c == 0) {
        text += "\\0";
      } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        text += buf;
      } else {
        AppendUtf8(u, &text);
      }
    }
    std::string out = type + " \"" + text + "\"";
    if (n > kMaxShown) out += "... (" + std::to_string(d.size()) + " bytes)";
    if (!terminated) out += " (no terminating NUL)";
    return out;
  }
  if (value.type == platform::REG_DWORD && d.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d[i]);
    return type + " " + Hex8(v) + " (" + std::to_string(v) + ")";
  }
  std::string out = type;
  char buf[4];
  for (std::size_t i = 0; i < d.size() && i < kMaxShown / 3; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(d[i]));
    out += " ";
    out += buf;
  }
  if (d.empty()) out += " (empty)";
  if (d.size() > kMaxShown / 3) out += " ... (" + std::to_string(d.size()) + " bytes)";
  return out;
}

std::string FormatRegistryChanges(const std::vector<RegChange>& changes) {
  if (changes.empty()) return "  (no change)\n";
  std::string out;
  for (const RegChange& c : changes) {
    switch (c.kind) {
      case RegChange::Kind::KeyAdded:
        out += "  key added:     " + c.key + "\n";
        break;
      case RegChange::Kind::KeyRemoved:
        out += "  key removed:   " + c.key + "\n";
        break;
      case RegChange::Kind::ValueAdded:
        out += "  value added:   " + c.key + " " + ShowName(c.value) + " = " +
               DescribeValue(*c.after) + "\n";
        break;
      case RegChange::Kind::ValueRemoved:
        out += "  value removed: " + c.key + " " + ShowName(c.value) + " (was " +
               DescribeValue(*c.before) + ")\n";
        break;
      case RegChange::Kind::ValueChanged:
        out += "  value changed: " + c.key + " " + ShowName(c.value) + "\n" +
               "                 from " + DescribeValue(*c.before) + "\n" +
               "                 to   " + DescribeValue(*c.after) + "\n";
        break;
    }
  }
  return out;
}

std::string FormatFileChanges(const std::vector<FileChange>& changes) {
  if (changes.empty()) return "  (no change)\n";
  std::string out;
  for (const FileChange& c : changes) {
    switch (c.kind) {
      case FileChange::Kind::Added:
        out += "  file added:    " + c.path + " (" + c.detail + ")\n";
        break;
      case FileChange::Kind::Deleted:
        out += "  file deleted:  " + c.path + "\n";
        break;
      case FileChange::Kind::Changed:
        out += "  file changed:  " + c.path + " (" + c.detail + ")\n";
        break;
    }
  }
  return out;
}

}  // namespace dravlin::sim::persist
