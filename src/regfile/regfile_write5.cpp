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

bool IsPlainString(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  for (const char ch : data) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// UTF-16LE string data as ANSI text with the characters the code page lacks held, and false
// when it is not one line of printable text with its terminator (hex(1) carries that).
bool PlainHeldString(std::string_view wide, std::string* text) {
  bool plain = true;
  bool ended = false;
  platform::ForEachUtf16(wide, [&](char32_t c) {
    char byte = 0;
    if (c == 0 && !ended) {
      ended = true;
    } else if (ended || c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)) {
      plain = false;
    } else if (platform::UnicodeToCp1252(c, &byte)) {
      text->push_back(byte);
    } else {
      platform::AppendWideChar(*text, c);
    }
  });
  return plain && ended && wide.size() % 2 == 0;
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
      std::string held;
      if (v.remove) {
        text += '-';
      } else if (!v.wide.empty() && v.type == platform::REG_SZ && PlainHeldString(v.wide, &held)) {
        AppendQuoted(text, held);
      } else if (v.wide.empty() && v.type == platform::REG_SZ && IsPlainString(v.data)) {
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
        AppendHexList(text, !isText          ? v.data
                            : v.wide.empty() ? platform::Cp1252ToUtf16(v.data)
                                             : v.wide);
      }
      text += "\r\n";
    }
    text += "\r\n";
  }
  return "\xFF\xFE" + platform::AnsiToUtf16(text);
}

}  // namespace dravlin::regfile
