// Writing .reg text. Apart from the reader, so that a program that only writes .reg text (the
// backup of the Windows program) links neither the reader nor the file streams it needs.
#include <array>
#include <string>

#include "platform/ansi_names.h"
#include "platform/registry.h"
#include "regfile/regfile.h"

namespace dravlin::regfile {

namespace {

void AppendQuoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (const char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

void CheckName(std::string_view name, const char* what) {
  if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw WriteError(std::string("a .reg file cannot carry a line break or NUL in ") + what);
  }
}

bool IsPlainString(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  for (const char ch : data) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// The "\" then ends at column 78 at most. A name longer than that keeps its first byte on
// its own line rather than leave "hex:" alone.
constexpr std::size_t kWrapColumn = 77;

// Lower-case hexadecimal, at least `digits` wide. By hand: the Windows program would otherwise
// link the C runtime's whole printf engine for two numbers.
void AppendHexNumber(std::string* out, std::uint32_t value, int digits) {
  int shift = 28;
  while (shift > 0 && shift >= 4 * digits && (value >> shift) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out->push_back("0123456789abcdef"[(value >> shift) & 0xF]);
}

void AppendHex(std::string* out, std::size_t lineStart, std::string_view data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::size_t col = out->size() - lineStart;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool last = i + 1 == data.size();
    const std::size_t width = last ? 2 : 3;
    if (i > 0 && col + width > kWrapColumn) {
      out->append("\\\r\n  ");
      col = 2;
    }
    const auto b = static_cast<unsigned char>(data[i]);
    out->push_back(kDigits[b >> 4]);
    out->push_back(kDigits[b & 0xF]);
    if (!last) out->push_back(',');
    col += width;
  }
}

}  // namespace

namespace detail {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

}  // namespace detail

bool ToCp1252(char32_t c, char* out) {
  return platform::UnicodeToCp1252(c, out);
}

char32_t FromCp1252(unsigned char byte) {
  return platform::Cp1252ToUnicode(byte);
}

bool SplitRootPath(std::string_view path, platform::HKey* root, std::string* subPath) {
  const std::size_t slash = path.find('\\');
  const std::string_view name = path.substr(0, slash);
  struct RootAlias {
    std::string_view name;
    platform::HKey key;
  };
  static constexpr RootAlias kRoots[] = {
      {"HKEY_LOCAL_MACHINE", platform::HKEY_LOCAL_MACHINE},
      {"HKLM", platform::HKEY_LOCAL_MACHINE},
      {"HKEY_CURRENT_USER", platform::HKEY_CURRENT_USER},
      {"HKCU", platform::HKEY_CURRENT_USER},
      {"HKEY_CLASSES_ROOT", platform::HKEY_CLASSES_ROOT},
      {"HKCR", platform::HKEY_CLASSES_ROOT},
      {"HKEY_USERS", platform::HKEY_USERS},
      {"HKU", platform::HKEY_USERS},
  };
  for (const auto& alias : kRoots) {
    if (name == alias.name || detail::EqualsNoCase(name, alias.name)) {
      *root = alias.key;
      *subPath =
          slash == std::string_view::npos ? std::string() : std::string(path.substr(slash + 1));
      return true;
    }
  }
  return false;
}

std::string_view RootName(platform::HKey root) {
  switch (root) {
    case platform::HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case platform::HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case platform::HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case platform::HKEY_USERS:
      return "HKEY_USERS";
    default:
      return {};
  }
}

std::string WriteRegedit4(const RegFile& file) {
  // Room for the usual text at once (data in hex takes three characters a byte).
  std::size_t room = 16;
  for (const RegKeyEntry& key : file.keys) {
    room += key.path.size() + 8;
    for (const RegValueEntry& v : key.values) room += v.name.size() + 3 * v.data.size() + 16;
  }
  std::string out;
  out.reserve(room);
  out += "REGEDIT4\r\n\r\n";
  for (const RegKeyEntry& key : file.keys) {
    platform::HKey root = 0;
    std::string sub;
    if (!SplitRootPath(key.path, &root, &sub)) {
      throw WriteError("unknown root key in '" + key.path + "'");
    }
    CheckName(key.path, "a key path");
    if (key.remove && !key.values.empty()) {
      throw WriteError("values below the key deletion of '" + key.path + "'");
    }
    out.append(key.remove ? "[-" : "[").append(RootName(root));
    if (!sub.empty()) out.append("\\").append(sub);
    if (key.remove) {
      out += "]\r\n\r\n";
      continue;
    }
    out += "]\r\n";
    for (const RegValueEntry& v : key.values) {
      CheckName(v.name, "a value name");
      // Its ANSI bytes would read back as the whole value, losing what they show as '?'.
      if (!v.wide.empty())
        throw WriteError("REGEDIT4 cannot carry string data that the code page lacks");
      const std::size_t lineStart = out.size();
      if (v.name.empty()) {
        out += '@';
      } else {
        AppendQuoted(&out, v.name);
      }
      out += '=';
      if (v.remove) {
        out += '-';
      } else if (v.type == platform::REG_SZ && IsPlainString(v.data)) {
        AppendQuoted(&out, std::string_view(v.data).substr(0, v.data.size() - 1));
      } else if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        std::uint32_t d = 0;
        for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
        out += "dword:";
        AppendHexNumber(&out, d, 8);
      } else {
        if (v.type == platform::REG_BINARY) {
          out += "hex:";
        } else {
          out += "hex(";
          AppendHexNumber(&out, v.type, 1);
          out += "):";
        }
        AppendHex(&out, lineStart, v.data);
      }
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace dravlin::regfile
