// Names the ANSI calls cannot spell. Windows keeps registry and file names as UTF-16; a
// character that the ANSI code page lacks reads as '?' through the ANSI calls, and no ANSI
// argument can name it. Where such a name is held among ANSI bytes (the simulated machine, a
// .reg model), each such character is a NUL followed by six upper-case hexadecimal digits of
// its code point. No ANSI argument holds a NUL (the C string ends there), so no ANSI name
// reaches it, and two names that read alike through the ANSI calls stay two.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace dravlin::platform {

inline constexpr std::size_t kWideCharLength = 7;  // NUL and six digits

inline void AppendWideChar(std::string& out, char32_t c) {
  out.push_back('\0');
  for (int shift = 20; shift >= 0; shift -= 4)
    out.push_back("0123456789ABCDEF"[(c >> shift) & 0xF]);
}

// The code point of the character held at s[at] (a NUL), or false when none is held there.
inline bool WideCharAt(std::string_view s, std::size_t at, char32_t* c) {
  if (at + kWideCharLength > s.size() || s[at] != '\0') return false;
  char32_t v = 0;
  for (std::size_t i = at + 1; i < at + kWideCharLength; ++i) {
    const char d = s[i];
    if (d >= '0' && d <= '9') {
      v = (v << 4) | static_cast<char32_t>(d - '0');
    } else if (d >= 'A' && d <= 'F') {
      v = (v << 4) | static_cast<char32_t>(d - 'A' + 10);
    } else {
      return false;
    }
  }
  if (v > 0x10FFFF) return false;
  *c = v;
  return true;
}

inline bool HasWideChars(std::string_view s) {
  return s.find('\0') != std::string_view::npos;
}

// Every NUL of the name starts a held character: the form a stored name must have.
inline bool WellFormedName(std::string_view s) {
  char32_t c = 0;
  for (std::size_t at = s.find('\0'); at != std::string_view::npos;
       at = s.find('\0', at + kWideCharLength)) {
    if (!WideCharAt(s, at, &c) || c == 0) return false;
  }
  return true;
}

// The name as the ANSI calls show it: '?' for each held character.
inline std::string AnsiView(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  char32_t c = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (WideCharAt(s, i, &c)) {
      out.push_back('?');
      i += kWideCharLength;
    } else {
      out.push_back(s[i++]);
    }
  }
  return out;
}

// ----- the ANSI code page (Windows-1252) and UTF-8

// Bytes 0x80..0x9F. The five bytes without a printable character map to the C1 control of the
// same number, as Windows' own conversion does.
inline constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// False for a character without a byte.
inline bool UnicodeToCp1252(char32_t c, char* out) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    *out = static_cast<char>(static_cast<unsigned char>(c));
    return true;
  }
  for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == c) {
      *out = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

inline char32_t Cp1252ToUnicode(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kCp1252High[byte - 0x80];
  return byte;
}

inline void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// ANSI bytes, held characters included, as UTF-8.
inline std::string AnsiToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  char32_t c = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (WideCharAt(s, i, &c)) {
      AppendUtf8(out, c);
      i += kWideCharLength;
    } else {
      AppendUtf8(out, Cp1252ToUnicode(static_cast<unsigned char>(s[i++])));
    }
  }
  return out;
}

// The length of the UTF-8 sequence that a lead byte starts, 0 for a byte that starts none.
inline std::size_t Utf8Length(unsigned char lead) {
  return lead < 0x80             ? 1
         : (lead & 0xE0) == 0xC0 ? 2
         : (lead & 0xF0) == 0xE0 ? 3
         : (lead & 0xF8) == 0xF0 ? 4
                                 : 0;
}

// The one UTF-8 decoder: the code point of the sequence at s[i], advancing i past it. A byte
// that starts no well-formed sequence (cut short, over-long, a surrogate, past U+10FFFF) gives
// false and is passed alone.
inline bool DecodeUtf8(std::string_view s, std::size_t& i, char32_t* c) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const std::size_t n = Utf8Length(lead);
  char32_t v = n == 1 ? lead : n == 2 ? (lead & 0x1Fu) : n == 3 ? (lead & 0x0Fu) : (lead & 0x07u);
  bool ok = n > 0 && i + n <= s.size();
  for (std::size_t k = 1; ok && k < n; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    ok = (t & 0xC0) == 0x80;
    v = (v << 6) | (t & 0x3Fu);
  }
  ok = ok && !(n == 2 && v < 0x80) && !(n == 3 && v < 0x800) && !(n == 4 && v < 0x10000) &&
       !(v >= 0xD800 && v <= 0xDFFF) && v <= 0x10FFFF;
  i += ok ? n : 1;
  if (ok) *c = v;
  return ok;
}

// UTF-8 as ANSI bytes, characters without a byte held. A byte that is not part of UTF-8 is
// kept as it is and clears *valid (when given); so is a NUL, which no text holds.
inline std::string Utf8ToAnsi(std::string_view s, bool* valid = nullptr) {
  std::string out;
  out.reserve(s.size());
  if (valid != nullptr) *valid = true;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    char32_t c = 0;
    if (!DecodeUtf8(s, i, &c) || c == 0) {
      if (valid != nullptr) *valid = false;
      out.push_back(s[at]);
      continue;
    }
    char byte = 0;
    if (UnicodeToCp1252(c, &byte)) {
      out.push_back(byte);
    } else {
      AppendWideChar(out, c);
    }
  }
  return out;
}

// ----- UTF-16LE, as Windows keeps registry strings

// Calls f(code point) for each character of UTF-16LE bytes (a last odd byte is left out); a
// surrogate without its partner is passed as it is.
template <class F>
void ForEachUtf16(std::string_view bytes, F&& f) {
  const auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    f(c);
  }
}

inline void AppendUtf16(std::string& out, char32_t c) {
  const auto unit = [&](char32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  if (c >= 0x10000) {
    unit(0xD800 + ((c - 0x10000) >> 10));
    unit(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    unit(c);
  }
}

// ANSI text, held characters included, as UTF-16LE.
inline std::string AnsiToUtf16(std::string_view s) {
  std::string out;
  out.reserve(2 * s.size());
  char32_t c = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (WideCharAt(s, i, &c)) {
      i += kWideCharLength;
    } else {
      c = Cp1252ToUnicode(static_cast<unsigned char>(s[i++]));
    }
    AppendUtf16(out, c);
  }
  return out;
}

// ANSI bytes as UTF-16LE byte for byte, as for string data, which holds no held characters.
inline std::string Cp1252ToUtf16(std::string_view bytes) {
  std::string out;
  out.reserve(2 * bytes.size());
  for (const char b : bytes) AppendUtf16(out, Cp1252ToUnicode(static_cast<unsigned char>(b)));
  return out;
}

// UTF-16LE as the ANSI calls read it: '?' for each character the code page lacks (a pair of
// surrogates is one character), which sets *lacking.
inline std::string Utf16ToAnsi(std::string_view bytes, bool* lacking = nullptr) {
  std::string out;
  out.reserve(bytes.size() / 2);
  ForEachUtf16(bytes, [&](char32_t c) {
    char byte = '?';
    if (!UnicodeToCp1252(c, &byte) && lacking != nullptr) *lacking = true;
    out.push_back(byte);
  });
  return out;
}

}  // namespace dravlin::platform
