// Writing Version 5.00 text (UTF-16LE), the format that can carry names with characters the
// ANSI code page lacks. Apart from the REGEDIT4 writer, which the Windows program links.
#include <string>

#include "platform/ansi_names.h"
#include "platform/registry.h"
#include "regfile/regfile.h"

namespace dravlin::regfile {

namespace {

void CheckName(std::string_view name, const char* what) {
  if (name.find_first_of("\r\n") != std::string_view::npos || !platform::WellFormedName(name)) {
    throw WriteError(std::string("a .reg file cannot carry a line break or NUL in ") + what);
  }
}

void AppendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void AppendHexList(std::string& out, std::string_view data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
    if (i + 1 < data.size()) out += (i % 24 == 23) ? ",\\\r\n  " : ",";
  }
}

void AppendUnit(std::string& out, char32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

// ANSI text (held characters included) as UTF-16LE.
void AppendUtf16(std::string& out, std::string_view s) {
  char32_t c = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (platform::WideCharAt(s, i, &c)) {
      i += platform::kWideCharLength;
    } else {
      c = platform::Cp1252ToUnicode(static_cast<unsigned char>(s[i++]));
    }
    if (c >= 0x10000) {
      AppendUnit(out, 0xD800 + ((c - 0x10000) >> 10));
      AppendUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      AppendUnit(out, c);
    }
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

}  // namespace

std::string WriteVersion5(const RegFile& file) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
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
    text.append(key.remove ? "[-" : "[").append(RootName(root));
    if (!sub.empty()) text.append("\\").append(sub);
    text += key.remove ? "]\r\n\r\n" : "]\r\n";
    if (key.remove) continue;
    for (const RegValueEntry& v : key.values) {
      CheckName(v.name, "a value name");
      if (v.name.empty()) {
        text += '@';
      } else {
        AppendQuoted(text, v.name);
      }
      text += '=';
      if (v.remove) {
        text += '-';
      } else if (v.type == platform::REG_SZ && IsPlainString(v.data)) {
        AppendQuoted(text, std::string_view(v.data).substr(0, v.data.size() - 1));
      } else if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        static constexpr char kDigits[] = "0123456789abcdef";
        text += "dword:";
        for (int i = 3; i >= 0; --i) {
          const auto b = static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
          text.push_back(kDigits[b >> 4]);
          text.push_back(kDigits[b & 0xF]);
        }
      } else if (v.type == platform::REG_BINARY) {
        text += "hex:";
        AppendHexList(text, v.data);
      } else {
        static constexpr char kDigits[] = "0123456789abcdef";
        text += "hex(";
        bool digits = false;
        for (int shift = 28; shift >= 0; shift -= 4) {
          const auto d = (v.type >> shift) & 0xF;
          if (d == 0 && !digits && shift > 0) continue;
          digits = true;
          text.push_back(kDigits[d]);
        }
        text += "):";
        // String data is UTF-16LE in this format, as regedit writes it.
        const bool isText = v.type == platform::REG_SZ || v.type == platform::REG_EXPAND_SZ ||
                            v.type == platform::REG_MULTI_SZ;
        std::string data;
        if (isText) {
          for (const char c : v.data) {
            AppendUnit(data, platform::Cp1252ToUnicode(static_cast<unsigned char>(c)));
          }
        }
        AppendHexList(text, isText ? data : v.data);
      }
      text += "\r\n";
    }
    text += "\r\n";
  }
  std::string out = "\xFF\xFE";
  out.reserve(2 + 2 * text.size());
  AppendUtf16(out, text);
  return out;
}

}  // namespace dravlin::regfile
