// The .reg reader: the lines of the decoded text parsed into the model, from memory or a file.
#include "regfile/regfile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/ansi_names.h"
#include "platform/registry.h"
#include "regfile/decoder.h"

namespace dravlin::regfile {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
// Roots a whole-registry export may hold besides the four the model keeps.
constexpr std::string_view kOtherRoots[] = {"HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
                                            "HKEY_PERFORMANCE_DATA"};

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

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && detail::EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

using detail::Decoder;

// Reads the text line by line as the decoder produces it; `more` feeds the decoder the next
// piece of the file and returns false at the end (after Finish). Only the current line and
// what follows it are kept, so a large file is never held whole.
class Parser {
 public:
  Parser(Decoder& decoder, const std::string& fileName, std::function<bool()> more,
         const ReadOptions& options)
      : text_(decoder.text), file_(fileName), more_(std::move(more)), options_(options) {}

  RegFile Run() {
    NextLine();
    const std::string_view header = TrimRight(line_);
    if (header == kHeader4) {
      result_.format = RegFormat::Regedit4;
    } else if (header == kHeader5) {
      result_.format = RegFormat::Version5;
    } else {
      Fail(1, "expected 'REGEDIT4' or 'Windows Registry Editor Version 5.00' as the first line");
    }
    while (NextLine()) {
      const std::string_view t = TrimLeft(line_);
      if (t.empty() || t.front() == ';') continue;
      CheckHeld(t);
      if (t.front() == '[') {
        ParseKey(t);
      } else if (skipping_) {
        if (t.front() != '"' && t.front() != '@') {
          Fail(LineNo(), "expected '[', '\"', '@' or ';' at the start of the line");
        }
        SkipContinuations(t);
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

  // Moves to the next line; false at the end of the text. A text that ends with a line break
  // ends with an empty line, as an editor shows it.
  bool NextLine() {
    if (ended_) return false;
    if (started_) ++index_;
    started_ = true;
    std::size_t end = text_.find('\n', next_);
    while (end == std::string::npos && !atEnd_) {
      // The previous lines are done with: keep only the beginning of this one.
      text_.erase(0, next_);
      next_ = 0;
      atEnd_ = !more_();
      end = text_.find('\n', next_);
    }
    broken_ = end != std::string::npos;
    if (!broken_) {
      end = text_.size();
      ended_ = true;
    }
    line_ = std::string_view(text_).substr(next_, end - next_);
    next_ = end + 1;
    cr_ = !line_.empty() && line_.back() == '\r';
    if (cr_) line_.remove_suffix(1);
    return true;
  }
  // Characters without a Windows-1252 byte are held (platform/ansi_names.h); a NUL or text
  // that is not UTF-8 is refused.
  void CheckHeld(std::string_view t) const {
    char32_t c = 0;
    for (std::size_t at = t.find('\0'); at != std::string_view::npos; at = t.find('\0', at + 1)) {
      if (t.substr(at + 1, platform::kWideCharLength - 1) == "110000") {
        Fail(LineNo(), "expected UTF-8 text after the UTF-8 byte-order mark");
      }
      if (platform::WideCharAt(t, at, &c) && c == 0) {
        Fail(LineNo(), "expected text without NUL characters");
      }
    }
  }

  // The data lines of a value under a key that is left out.
  void SkipContinuations(std::string_view t) {
    while (!TrimRight(t).empty() && TrimRight(t).back() == '\\' && !AtLastLine()) {
      NextLine();
      t = line_;
    }
  }
  bool AtLastLine() const { return ended_; }

  // Numbers and byte lists can end anywhere, so one that ends the file without a line break
  // may have lost its tail.
  void ExpectLineBreak() const {
    if (!broken_ && !cr_) {
      Fail(LineNo(),
           "expected a line break after the data: the file ends inside it, as if cut short");
    }
  }

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
    skipping_ = false;
    if (!SplitRootPath(inner, &root, &sub)) {
      const std::string_view rootName = inner.substr(0, inner.find('\\'));
      if (options_.skipOtherRoots) {
        for (const std::string_view other : kOtherRoots) {
          if (detail::EqualsNoCase(rootName, other)) {
            skipping_ = true;
            if (!key.remove) ++result_.notes.skippedKeys[std::string(other)];
            return;
          }
        }
      }
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
    if (!inner.empty() && inner.back() == '\\')
      Fail(LineNo(), "expected a key name between backslashes");
    const std::string rootName(RootName(root));
    if (inner.substr(0, inner.find('\\')) == rootName) {
      key.path.assign(inner);  // spelled as regedit spells it
    } else {
      key.path.reserve(rootName.size() + 1 + sub.size());
      key.path.append(rootName);
      if (!sub.empty()) key.path.append("\\").append(sub);
    }
    if (platform::HasWideChars(key.path)) ++result_.notes.heldKeyNames;
    result_.keys.push_back(std::move(key));
  }

  // Reads a quoted text starting at t[*pos] == '"'; returns false when it is not closed.
  bool ReadQuoted(std::string_view t, std::size_t* pos, std::string* out) const {
    std::size_t p = *pos + 1;
    while (p < t.size()) {
      // Whole stretches without an escape or the closing quote at once.
      std::size_t stop = p;
      while (stop < t.size() && t[stop] != '"' && t[stop] != '\\') ++stop;
      out->append(t.substr(p, stop - p));
      p = stop;
      if (p >= t.size()) break;
      if (t[p] == '"') {
        *pos = p + 1;
        return true;
      }
      // A backslash: only \\ and \" are escapes.
      if (p + 1 >= t.size() || (t[p + 1] != '\\' && t[p + 1] != '"')) {
        Fail(LineNo(), "expected '\\\\' or '\\\"' after a backslash inside quotes");
      }
      out->push_back(t[p + 1]);
      p += 2;
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
    } else if (platform::HasWideChars(value.name)) {
      ++result_.notes.heldValueNames;
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
      // Kept as Windows keeps it; read as the ANSI calls return it.
      if (platform::HasWideChars(value.data)) {
        value.wide = platform::AnsiToUtf16(value.data) + std::string(2, '\0');
        value.data = platform::AnsiView(value.data);
        ++result_.notes.ansiData;
      }
      value.data.push_back('\0');
    } else if (StartsWithNoCase(data, "dword:")) {
      value.type = platform::REG_DWORD;
      value.data = ParseDword(data.substr(6));
      ExpectLineBreak();
    } else if (StartsWithNoCase(data, "hex:")) {
      value.type = platform::REG_BINARY;
      value.data = ParseHexList(data.substr(4));
      ExpectLineBreak();
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
      ExpectLineBreak();
      if (result_.format == RegFormat::Version5 &&
          (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
           type == platform::REG_MULTI_SZ)) {
        FromUtf16(value, firstLine);
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
    const int firstLine = LineNo();
    std::string_view text = TrimRight(first);
    std::string joined;
    std::vector<std::pair<std::size_t, int>> starts;
    // Most lists fit on their line and are read where they stand.
    if (!text.empty() && text.back() == '\\') {
      std::string_view part = first;
      for (;;) {
        starts.emplace_back(joined.size(), LineNo());
        part = TrimRight(part);
        const bool more = !part.empty() && part.back() == '\\';
        if (more) part.remove_suffix(1);
        joined.append(part);
        if (!more) break;
        if (AtLastLine()) Fail(LineNo(), "expected a continuation line after '\\'");
        NextLine();
        CheckHeld(line_);
        part = TrimLeft(line_);
      }
      text = joined;
    }
    const auto lineAt = [&](std::size_t offset) {
      int line = firstLine;
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

  // String data of a Version 5.00 file is UTF-16LE: the value keeps it as Windows does when
  // the code page lacks a character of it, and reads it as the ANSI calls do.
  void FromUtf16(RegValueEntry& value, int line) {
    if (value.data.size() % 2 != 0) {
      Fail(line, "expected UTF-16LE text (an even number of bytes) in string data");
    }
    bool lacking = false;
    std::string ansi = platform::Utf16ToAnsi(value.data, &lacking);
    if (lacking) {
      ++result_.notes.ansiData;
      value.wide = std::move(value.data);
    }
    value.data = std::move(ansi);
  }

  std::string& text_;
  const std::string& file_;
  std::function<bool()> more_;
  ReadOptions options_;
  bool skipping_ = false;  // the values of a key of a root that is left out
  bool atEnd_ = false;     // the decoder has had the whole file
  bool ended_ = false;     // the current line is the last
  bool started_ = false;   // a line has been read
  bool broken_ = false;    // the current line ended with a line feed
  bool cr_ = false;        // ... or with a carriage return (one that lost its feed is whole too)
  std::size_t next_ = 0;   // where the next line starts in text_
  std::size_t index_ = 0;  // 0-based number of the current line
  std::string_view line_;
  RegFile result_;
};

}  // namespace

FormatError::FormatError(std::string file, int line, std::string what)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + what
                                  : file + ": " + what),
      file_(std::move(file)),
      line_(line),
      what_(std::move(what)) {}

RegFile ParseRegFile(std::string_view bytes, const std::string& fileName,
                     const ReadOptions& options) {
  Decoder decoder(fileName);
  // In pieces as a file is read, so that both report the first fault in the text.
  std::size_t at = 0;
  const auto more = [&] {
    if (at >= bytes.size()) {
      decoder.Finish();
      return false;
    }
    decoder.Feed(bytes.substr(at, std::size_t{1} << 20));
    at += std::size_t{1} << 20;
    return true;
  };
  return Parser(decoder, fileName, more, options).Run();
}

RegFile ReadRegFile(const std::filesystem::path& path, const std::string& displayName,
                    const Progress& progress, const ReadOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError(displayName, 0, "cannot open the file for reading");
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  Decoder decoder(displayName);
  // A piece at a time, parsed as it comes: neither the file nor its text is ever held whole.
  std::string chunk(std::size_t{1} << 20, '\0');
  std::uint64_t done = 0;
  const auto more = [&] {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad()) throw FormatError(displayName, 0, "cannot read the file");
    if (got == 0) {
      decoder.Finish();
      return false;
    }
    decoder.Feed(std::string_view(chunk).substr(0, got));
    done += got;
    if (progress) progress("reading", done, ec ? done : size);
    return true;
  };
  return Parser(decoder, displayName, more, options).Run();
}

}  // namespace dravlin::regfile
