#include "regfile/regfile.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "platform/registry.h"

namespace dravlin::regfile {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// Windows-1252 bytes 0x80..0x9F. The five bytes without a printable character map to the C1
// control of the same number, as Windows' own conversion does.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// One line of the file as Windows-1252 bytes. `bad`: the line held a character without a
// Windows-1252 byte (replaced by '?'); it is an error unless the line is a comment.
struct Line {
  std::string_view text;
  bool bad = false;
};

struct Decoded {
  std::string storage;  // converted text, when the file was not Windows-1252 already
  std::vector<Line> lines;
};

void SplitLines(std::string_view text, std::vector<Line>* lines,
                const std::vector<bool>* badLines) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t index = lines->size();
    lines->push_back({line, badLines != nullptr && index < badLines->size() && (*badLines)[index]});
    if (last) break;
    start = end + 1;
  }
}

// Appends code point c converted to Windows-1252, noting the line when it has no byte.
void AppendConverted(char32_t c, Decoded* out, std::vector<bool>* badLines,
                     std::size_t* lineIndex) {
  char byte = 0;
  if (!ToCp1252(c, &byte)) {
    if (badLines->size() <= *lineIndex) badLines->resize(*lineIndex + 1, false);
    (*badLines)[*lineIndex] = true;
    byte = '?';
  }
  out->storage.push_back(byte);
  if (c == U'\n') ++*lineIndex;
}

void DecodeUtf16(std::string_view bytes, const std::string& fileName, Decoded* out,
                 std::vector<bool>* badLines) {
  if (bytes.size() % 2 != 0) {
    throw FormatError(fileName, 0, "expected UTF-16LE text (the file has an odd number of bytes)");
  }
  out->storage.reserve(bytes.size() / 2);
  std::size_t lineIndex = 0;
  const auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const char16_t u = unit(i);
    char32_t c = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00u);
        i += 2;
      }
    }
    AppendConverted(c, out, badLines, &lineIndex);
  }
}

void DecodeUtf8(std::string_view bytes, Decoded* out, std::vector<bool>* badLines) {
  out->storage.reserve(bytes.size());
  std::size_t lineIndex = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    int extra = 0;
    char32_t c = 0;
    if (b0 < 0x80) {
      c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      extra = 1;
      c = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2;
      c = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3;
      c = b0 & 0x07u;
    } else {
      c = 0xFFFD;  // not UTF-8: reported as unrepresentable on its line
    }
    ++i;
    for (int k = 0; k < extra; ++k) {
      if (i >= bytes.size() || (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3Fu);
      ++i;
    }
    AppendConverted(c, out, badLines, &lineIndex);
  }
}

Decoded Decode(std::string_view bytes, const std::string& fileName) {
  Decoded out;
  std::vector<bool> badLines;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    DecodeUtf16(bytes.substr(2), fileName, &out, &badLines);
    SplitLines(out.storage, &out.lines, &badLines);
  } else if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
             static_cast<unsigned char>(bytes[1]) == 0xBB &&
             static_cast<unsigned char>(bytes[2]) == 0xBF) {
    DecodeUtf8(bytes.substr(3), &out, &badLines);
    SplitLines(out.storage, &out.lines, &badLines);
  } else {
    SplitLines(bytes, &out.lines, nullptr);
  }
  return out;
}

class Parser {
 public:
  Parser(const Decoded& decoded, const std::string& fileName)
      : lines_(decoded.lines), file_(fileName) {}

  RegFile Run() {
    const std::string_view header = TrimRight(lines_.empty() ? "" : lines_[0].text);
    if (header == kHeader4) {
      result_.format = RegFormat::Regedit4;
    } else if (header == kHeader5) {
      result_.format = RegFormat::Version5;
    } else {
      Fail(1, "expected 'REGEDIT4' or 'Windows Registry Editor Version 5.00' as the first line");
    }
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      const std::string_view t = TrimLeft(lines_[index_].text);
      if (t.empty() || t.front() == ';') continue;
      if (lines_[index_].bad) Fail(LineNo(), "expected only characters that Windows-1252 has");
      if (t.front() == '[') {
        ParseKey(t);
      } else if (t.front() == '"' || t.front() == '@') {
        ParseValue(t);
      } else {
        Fail(LineNo(), "expected '[', '\"', '@' or ';' at the start of the line");
      }
    }
    return std::move(result_);
  }

 private:
  [[noreturn]] void Fail(int line, const std::string& what) const {
    throw FormatError(file_, line, what);
  }

  int LineNo() const { return static_cast<int>(index_ + 1); }

  void ParseKey(std::string_view t) {
    t = TrimRight(t);
    if (t.size() < 2 || t.back() != ']') Fail(LineNo(), "expected ']' at the end of the key line");
    std::string_view inner = t.substr(1, t.size() - 2);
    RegKeyEntry key;
    key.line = LineNo();
    if (!inner.empty() && inner.front() == '-') {
      key.remove = true;
      inner.remove_prefix(1);
    }
    platform::HKey root = 0;
    std::string sub;
    if (!SplitRootPath(inner, &root, &sub)) {
      const std::string_view rootName = inner.substr(0, inner.find('\\'));
      Fail(LineNo(),
           "expected a root key (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
           "HKEY_CLASSES_ROOT or HKEY_USERS), found '" +
               std::string(rootName) + "'");
    }
    // Empty names between backslashes would name no key at all.
    if (!sub.empty() &&
        (sub.front() == '\\' || sub.back() == '\\' || sub.find("\\\\") != std::string::npos)) {
      Fail(LineNo(), "expected a key name between backslashes");
    }
    if (inner.size() > 0 && inner.back() == '\\')
      Fail(LineNo(), "expected a key name between backslashes");
    key.path = RootName(root);
    if (!sub.empty()) key.path += "\\" + sub;
    result_.keys.push_back(std::move(key));
  }

  // Reads a quoted text starting at t[*pos] == '"'; returns false when it is not closed.
  bool ReadQuoted(std::string_view t, std::size_t* pos, std::string* out) const {
    std::size_t p = *pos + 1;
    while (p < t.size()) {
      const char c = t[p];
      if (c == '"') {
        *pos = p + 1;
        return true;
      }
      if (c == '\\') {
        if (p + 1 >= t.size() || (t[p + 1] != '\\' && t[p + 1] != '"')) {
          Fail(LineNo(), "expected '\\\\' or '\\\"' after a backslash inside quotes");
        }
        out->push_back(t[p + 1]);
        p += 2;
        continue;
      }
      out->push_back(c);
      ++p;
    }
    return false;
  }

  // After the data only blanks or a comment may follow.
  void ExpectEnd(std::string_view rest, const char* after) const {
    rest = TrimLeft(rest);
    if (!rest.empty() && rest.front() != ';') {
      Fail(LineNo(), std::string("expected the end of the line after ") + after);
    }
  }

  void ParseValue(std::string_view t) {
    if (result_.keys.empty()) Fail(LineNo(), "expected a key line '[...]' before the first value");
    if (result_.keys.back().remove) {
      Fail(LineNo(), "expected a key line: values cannot follow a key deletion");
    }
    RegValueEntry value;
    value.line = LineNo();
    std::size_t pos = 0;
    if (t.front() == '@') {
      pos = 1;
    } else if (!ReadQuoted(t, &pos, &value.name)) {
      Fail(LineNo(), "expected '\"' to close the value name");
    }
    while (pos < t.size() && IsBlank(t[pos])) ++pos;
    if (pos >= t.size() || t[pos] != '=') Fail(LineNo(), "expected '=' after value name");
    ++pos;
    while (pos < t.size() && IsBlank(t[pos])) ++pos;
    const std::string_view data = t.substr(pos);

    if (!data.empty() && data.front() == '-') {
      value.remove = true;
      ExpectEnd(data.substr(1), "'=-'");
    } else if (!data.empty() && data.front() == '"') {
      std::size_t p = 0;
      if (!ReadQuoted(data, &p, &value.data)) Fail(LineNo(), "expected '\"' to close the string");
      ExpectEnd(data.substr(p), "the closing '\"'");
      value.type = platform::REG_SZ;
      value.data.push_back('\0');
    } else if (StartsWithNoCase(data, "dword:")) {
      value.type = platform::REG_DWORD;
      value.data = ParseDword(data.substr(6));
    } else if (StartsWithNoCase(data, "hex:")) {
      value.type = platform::REG_BINARY;
      value.data = ParseHexList(data.substr(4));
    } else if (StartsWithNoCase(data, "hex(")) {
      std::size_t p = 4;
      std::uint32_t type = 0;
      int digits = 0;
      while (p < data.size() && HexDigit(data[p]) >= 0) {
        type = (type << 4) | static_cast<std::uint32_t>(HexDigit(data[p]));
        ++p;
        if (++digits > 8) break;
      }
      if (digits == 0 || digits > 8 || p + 1 >= data.size() || data[p] != ')' ||
          data[p + 1] != ':') {
        Fail(LineNo(), "expected 'hex(n):' with n of 1 to 8 hexadecimal digits");
      }
      value.type = type;
      const int firstLine = LineNo();
      value.data = ParseHexList(data.substr(p + 2));
      if (result_.format == RegFormat::Version5 &&
          (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
           type == platform::REG_MULTI_SZ)) {
        value.data = Utf16ToAnsi(value.data, firstLine);
      }
    } else {
      Fail(LineNo(), "expected string, '-', 'dword:', 'hex:' or 'hex(n):' data after '='");
    }
    result_.keys.back().values.push_back(std::move(value));
  }

  std::string ParseDword(std::string_view s) const {
    std::uint32_t v = 0;
    std::size_t p = 0;
    while (p < s.size() && HexDigit(s[p]) >= 0) {
      if (p == 8) Fail(LineNo(), "expected at most 8 hexadecimal digits after 'dword:'");
      v = (v << 4) | static_cast<std::uint32_t>(HexDigit(s[p]));
      ++p;
    }
    if (p == 0) Fail(LineNo(), "expected hexadecimal digits after 'dword:'");
    ExpectEnd(s.substr(p), "the dword");
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  }

  // Gathers the list with its continuation lines ("\" at the end, blanks before the next
  // part), then reads the bytes once. `starts` maps offsets in the text back to lines.
  std::string ParseHexList(std::string_view first) {
    std::string text;
    std::vector<std::pair<std::size_t, int>> starts;
    std::string_view part = first;
    for (;;) {
      starts.emplace_back(text.size(), LineNo());
      part = TrimRight(part);
      const bool more = !part.empty() && part.back() == '\\';
      if (more) part.remove_suffix(1);
      text.append(part);
      if (!more) break;
      if (index_ + 1 >= lines_.size()) Fail(LineNo(), "expected a continuation line after '\\'");
      ++index_;
      if (lines_[index_].bad) Fail(LineNo(), "expected only characters that Windows-1252 has");
      part = TrimLeft(lines_[index_].text);
    }
    const auto lineAt = [&](std::size_t offset) {
      int line = starts.front().second;
      for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        if (it->first <= offset) {
          line = it->second;
          break;
        }
      }
      return line;
    };

    std::string out;
    out.reserve(text.size() / 3 + 1);
    std::size_t p = 0;
    const auto skipBlanks = [&] {
      while (p < text.size() && IsBlank(text[p])) ++p;
    };
    const auto atEnd = [&] { return p >= text.size() || text[p] == ';'; };
    skipBlanks();
    if (atEnd()) return out;
    for (;;) {
      const int hi = p < text.size() ? HexDigit(text[p]) : -1;
      if (hi < 0) Fail(lineAt(p), "expected a hexadecimal byte");
      int byte = hi;
      ++p;
      if (p < text.size() && HexDigit(text[p]) >= 0) {
        byte = byte * 16 + HexDigit(text[p]);
        ++p;
      }
      out.push_back(static_cast<char>(byte));
      skipBlanks();
      if (atEnd()) break;
      if (text[p] != ',') Fail(lineAt(p), "expected ',' between bytes");
      ++p;
      skipBlanks();
      if (atEnd()) break;  // a trailing comma is harmless
    }
    return out;
  }

  std::string Utf16ToAnsi(const std::string& bytes, int line) const {
    if (bytes.size() % 2 != 0) {
      Fail(line, "expected UTF-16LE text (an even number of bytes) in string data");
    }
    std::string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
      char32_t c = static_cast<unsigned char>(bytes[i]) |
                   (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
      if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
        const char32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                             (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      char byte = 0;
      if (!ToCp1252(c, &byte)) {
        Fail(line, "expected only characters that Windows-1252 has in string data");
      }
      out.push_back(byte);
    }
    return out;
  }

  const std::vector<Line>& lines_;
  const std::string& file_;
  std::size_t index_ = 0;
  RegFile result_;
};

std::string QuoteName(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void CheckName(std::string_view name, const char* what) {
  if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw std::invalid_argument(std::string("a .reg file cannot carry a line break or NUL in ") +
                                what);
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

FormatError::FormatError(std::string file, int line, std::string what)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + what
                                  : file + ": " + what),
      file_(std::move(file)),
      line_(line),
      what_(std::move(what)) {}

bool ToCp1252(char32_t c, char* out) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    *out = static_cast<char>(static_cast<unsigned char>(c));
    return true;
  }
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == c) {
      *out = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

char32_t FromCp1252(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHigh[byte - 0x80];
  return byte;
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
    if (EqualsNoCase(name, alias.name)) {
      *root = alias.key;
      *subPath =
          slash == std::string_view::npos ? std::string() : std::string(path.substr(slash + 1));
      return true;
    }
  }
  return false;
}

std::string RootName(platform::HKey root) {
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

RegFile ParseRegFile(std::string_view bytes, const std::string& fileName) {
  const Decoded decoded = Decode(bytes, fileName);
  return Parser(decoded, fileName).Run();
}

std::string WriteRegedit4(const RegFile& file) {
  std::string out = "REGEDIT4\r\n\r\n";
  for (const RegKeyEntry& key : file.keys) {
    platform::HKey root = 0;
    std::string sub;
    if (!SplitRootPath(key.path, &root, &sub)) {
      throw std::invalid_argument("unknown root key in '" + key.path + "'");
    }
    CheckName(key.path, "a key path");
    const std::string path = sub.empty() ? RootName(root) : RootName(root) + "\\" + sub;
    if (key.remove) {
      if (!key.values.empty()) {
        throw std::invalid_argument("values below the key deletion of '" + key.path + "'");
      }
      out += "[-" + path + "]\r\n\r\n";
      continue;
    }
    out += "[" + path + "]\r\n";
    for (const RegValueEntry& v : key.values) {
      CheckName(v.name, "a value name");
      const std::size_t lineStart = out.size();
      out += v.name.empty() ? std::string("@") : QuoteName(v.name);
      out += '=';
      if (v.remove) {
        out += '-';
      } else if (v.type == platform::REG_SZ && IsPlainString(v.data)) {
        out += QuoteName(std::string_view(v.data).substr(0, v.data.size() - 1));
      } else if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        std::uint32_t d = 0;
        for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
        out += buf;
      } else {
        if (v.type == platform::REG_BINARY) {
          out += "hex:";
        } else {
          char buf[24];
          std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
          out += buf;
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
