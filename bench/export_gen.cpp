#include "export_gen.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace dravlin::testing {

namespace {

namespace fs = std::filesystem;
using regfile::RegFile;
using regfile::RegFormat;
using regfile::RegKeyEntry;
using regfile::RegValueEntry;

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }

 private:
  std::uint64_t state_;
};

constexpr std::array<std::string_view, 48> kWords = {
    "Microsoft", "Windows",  "Current",  "Version",   "Explorer", "Shell",    "Settings",
    "Setup",     "Policies", "Control",  "Panel",     "Internet", "Services", "Parameters",
    "Security",  "Options",  "Default",  "Icon",      "Open",     "Command",  "Inproc",
    "Server32",  "Type",     "Lib",      "Interface", "Proxy",    "Stub",     "Class",
    "Handler",   "Menu",     "Property", "Sheet",     "Media",    "Player",   "Update",
    "Office",    "Common",   "Tools",    "Fonts",     "Printers", "Network",  "Provider",
    "Enum",      "Display",  "Audio",    "Device",    "Run",      "Cache"};

constexpr std::array<std::string_view, 16> kVendors = {
    "Adobe",    "Apple Computer, Inc.", "Gemplus", "InstallShield", "Intel", "JavaSoft",
    "Lavasoft", "Macromedia",           "Mozilla", "Nero",          "ODBC",  "RealNetworks",
    "Symantec", "Sun Microsystems",     "WinZip",  "Zone Labs"};

constexpr std::array<std::string_view, 12> kExtensions = {
    ".txt", ".doc", ".htm", ".jpg", ".mp3", ".zip", ".dll", ".ocx", ".xml", ".wav", ".avi", ".ini"};

char HexDigitUpper(std::uint64_t v) {
  return "0123456789ABCDEF"[v & 0xF];
}

std::string Guid(Random& r) {
  std::string g = "{";
  const int groups[] = {8, 4, 4, 4, 12};
  for (int i = 0; i < 5; ++i) {
    if (i > 0) g += '-';
    for (int k = 0; k < groups[i]; ++k) g += HexDigitUpper(r.Next());
  }
  return g + "}";
}

std::string Words(Random& r, std::size_t maxWords) {
  std::string s;
  const std::size_t n = 1 + r.Below(maxWords);
  for (std::size_t i = 0; i < n; ++i) s += kWords[r.Below(kWords.size())];
  return s;
}

// Names as they come in a real registry: mostly words, many class ids, some extensions and
// numbered entries.
std::string KeyName(Random& r) {
  const std::size_t kind = r.Below(100);
  if (kind < 15) return Guid(r);
  if (kind < 20) return std::string(kExtensions[r.Below(kExtensions.size())]);
  if (kind < 25) return std::to_string(r.Below(10000));
  std::string name = Words(r, 2);
  if (r.Chance(15)) name += ' ' + Words(r, 1);
  return name;
}

std::string Path(Random& r) {
  std::string p = r.Chance(70) ? "C:\\WINDOWS\\system32\\" : "C:\\Program Files\\";
  p += Words(r, 2);
  p += r.Chance(60) ? ".dll" : ".exe";
  return p;
}

std::string Bytes(Random& r, std::size_t n) {
  std::string b(n, '\0');
  for (char& c : b) c = static_cast<char>(r.Next() & 0xFF);
  return b;
}

// The value mix of an XP export: strings first, then numbers, binary data, expandable paths
// and lists; a third of the keys hold no value at all.
void AddValues(Random& r, RegKeyEntry* key) {
  const std::size_t roll = r.Below(100);
  std::size_t count = 0;
  if (roll < 35) {
    count = 0;
  } else if (roll < 62) {
    count = 1;
  } else if (roll < 80) {
    count = 2;
  } else if (roll < 95) {
    count = 3 + r.Below(3);
  } else {
    count = 6 + r.Below(10);
  }
  std::set<std::string> used;
  for (std::size_t i = 0; i < count; ++i) {
    RegValueEntry v;
    v.name = (i == 0 && r.Chance(40)) ? std::string() : Words(r, 2);
    if (!used.insert(v.name).second) continue;
    const std::size_t type = r.Below(100);
    if (type < 52) {
      v.type = platform::REG_SZ;
      v.data = r.Chance(40) ? Path(r) : Words(r, 3);
      v.data.push_back('\0');
    } else if (type < 80) {
      v.type = platform::REG_DWORD;
      v.data = Bytes(r, 4);
    } else if (type < 91) {
      v.type = platform::REG_BINARY;
      v.data = Bytes(r, r.Chance(93) ? 4 + r.Below(28) : 100 + r.Below(300));
    } else if (type < 96) {
      v.type = platform::REG_EXPAND_SZ;
      v.data = "%SystemRoot%\\system32\\" + Words(r, 2) + ".dll";
      v.data.push_back('\0');
    } else {
      v.type = platform::REG_MULTI_SZ;
      for (std::size_t k = 1 + r.Below(4); k > 0; --k) {
        v.data += Words(r, 2);
        v.data.push_back('\0');
      }
      v.data.push_back('\0');
    }
    key->values.push_back(std::move(v));
  }
}

char Fold(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool FoldLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Fold(x) < Fold(y); });
}

class Generator {
 public:
  explicit Generator(const ExportShape& shape) : shape_(shape), random_(shape.seed) {}

  RegFile Run() {
    RegFile file;
    file.format = shape_.format;
    file.keys.reserve(shape_.keys);
    if (shape_.keys == 0) return file;
    // Vendors at the top, each with a subtree of its own size.
    const std::size_t vendors = std::min<std::size_t>(shape_.keys, kVendors.size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < vendors; ++i) names.emplace_back(kVendors[i]);
    std::sort(names.begin(), names.end(), FoldLess);
    const auto shares = Split(shape_.keys, vendors);
    for (std::size_t i = 0; i < vendors; ++i) {
      Grow("HKEY_LOCAL_MACHINE\\SOFTWARE\\" + names[i], 1, shares[i], &file);
    }
    return file;
  }

 private:
  // Splits `total` keys into `parts` subtrees of at least one key, a few of them large.
  std::vector<std::size_t> Split(std::size_t total, std::size_t parts) {
    std::vector<double> weight(parts);
    double sum = 0;
    for (double& w : weight) {
      const double u = random_.Unit();
      w = u * u * u + 0.02;
      sum += w;
    }
    std::vector<std::size_t> share(parts, 1);
    std::size_t given = parts;
    for (std::size_t i = 0; i < parts; ++i) {
      const auto extra =
          static_cast<std::size_t>(static_cast<double>(total - parts) * weight[i] / sum);
      share[i] += extra;
      given += extra;
    }
    share[0] += total - given;
    return share;
  }

  void Grow(const std::string& path, std::size_t depth, std::size_t budget, RegFile* file) {
    RegKeyEntry key;
    key.path = path;
    AddValues(random_, &key);
    file->keys.push_back(std::move(key));
    const std::size_t rest = budget - 1;
    if (rest == 0) return;
    // Wide near the top, narrow further down; deep keys end in flat lists.
    std::size_t fanout = depth < 2 ? 6 + random_.Below(30) : 2 + random_.Below(16);
    if (depth >= 10) fanout = rest;
    fanout = std::min(fanout, rest);
    std::set<std::string, decltype(&FoldLess)> names(&FoldLess);
    while (names.size() < fanout) names.insert(KeyName(random_));
    const auto shares = Split(rest, fanout);
    std::size_t i = 0;
    for (const std::string& name : names) Grow(path + "\\" + name, depth + 1, shares[i++], file);
  }

  ExportShape shape_;
  Random random_;
};

std::string Quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Utf16(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  for (const char c : ansi) {
    const char32_t u = regfile::FromCp1252(static_cast<unsigned char>(c));
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  }
  return out;
}

void AppendHex(std::string* out, std::size_t lineStart, std::string_view data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::size_t col = out->size() - lineStart;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && col + 3 > 77) {
      *out += "\\\r\n  ";
      col = 2;
    }
    const auto b = static_cast<unsigned char>(data[i]);
    *out += kDigits[b >> 4];
    *out += kDigits[b & 0xF];
    if (i + 1 < data.size()) *out += ',';
    col += 3;
  }
}

void AppendKey(const RegKeyEntry& key, RegFormat format, std::string* out) {
  *out += (key.remove ? "[-" : "[") + key.path + "]\r\n";
  for (const RegValueEntry& v : key.values) {
    const std::size_t lineStart = out->size();
    *out += v.name.empty() ? std::string("@") : Quoted(v.name);
    *out += '=';
    const bool text = v.type == platform::REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
                      v.data.find('\0') == v.data.size() - 1;
    if (v.remove) {
      *out += '-';
    } else if (text) {
      *out += Quoted(std::string_view(v.data).substr(0, v.data.size() - 1));
    } else if (v.type == platform::REG_DWORD && v.data.size() == 4) {
      std::uint32_t d = 0;
      for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
      char buf[16];
      std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
      *out += buf;
    } else {
      const bool wide = format == RegFormat::Version5 &&
                        (v.type == platform::REG_SZ || v.type == platform::REG_EXPAND_SZ ||
                         v.type == platform::REG_MULTI_SZ);
      if (v.type == platform::REG_BINARY) {
        *out += "hex:";
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        *out += buf;
      }
      AppendHex(out, lineStart, wide ? Utf16(v.data) : v.data);
    }
    *out += "\r\n";
  }
  *out += "\r\n";
}

}  // namespace

RegFile GenerateKeys(const ExportShape& shape) {
  return Generator(shape).Run();
}

std::string ExportText(const RegFile& base, const ExportShape& shape) {
  const RegFile generated = GenerateKeys(shape);
  std::string text = shape.format == RegFormat::Version5
                         ? "Windows Registry Editor Version 5.00\r\n\r\n"
                         : "REGEDIT4\r\n\r\n";
  for (const RegKeyEntry& key : base.keys) AppendKey(key, shape.format, &text);
  for (const RegKeyEntry& key : generated.keys) AppendKey(key, shape.format, &text);
  if (shape.format == RegFormat::Regedit4) return text;
  return "\xFF\xFE" + Utf16(text);
}

std::uintmax_t WriteExportMachine(const fs::path& from, const fs::path& to,
                                  const ExportShape& shape) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  const fs::path reg = to / "registry.reg";
  const RegFile base = regfile::ReadRegFile(reg, reg.string());
  const std::string text = ExportText(base, shape);
  std::ofstream out(reg, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw std::runtime_error("cannot write " + reg.string());
  return text.size();
}

}  // namespace dravlin::testing
