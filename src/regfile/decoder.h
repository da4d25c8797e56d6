// The .reg reader's first stage: the bytes of a file decoded into Windows-1252 text as they
// arrive. Only the reader includes it.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ansi_names.h"
#include "regfile/regfile.h"

namespace dravlin::regfile::detail {

// Held in place of bytes that are not UTF-8 text: beyond every code point, so never a name
// (the parser refuses it by its digits, "110000").
inline constexpr char32_t kNotText = 0x110000;

// Converts the file's bytes into Windows-1252 text piece by piece as they arrive, so that a
// large export is never held whole. The byte-order mark decides the encoding. A character
// without a Windows-1252 byte is held as platform/ansi_names.h writes it; so is a NUL (code
// point 0) and text that is not UTF-8 (kNotText), which the parser refuses where they stand.
class Decoder {
 public:
  explicit Decoder(const std::string& fileName) : file_(fileName) {}

  void Feed(std::string_view chunk) {
    if (encoding_ == Encoding::Unknown) {
      head_.append(chunk);
      if (head_.size() < 3) return;
      Start();
      return;
    }
    Convert(chunk);
  }

  void Finish() {
    if (encoding_ == Encoding::Unknown) Start();
    if (encoding_ == Encoding::Utf16 && (oddByte_ || highSurrogate_ != 0)) {
      if (highSurrogate_ != 0) Emit(highSurrogate_);
      if (oddByte_) {
        throw FormatError(file_, static_cast<int>(line_ + 1),
                          "expected UTF-16LE text: the file ends in the middle of a character, "
                          "as if cut short");
      }
    }
    if (encoding_ == Encoding::Utf8 && !sequence_.empty()) Emit(kNotText);
  }

  std::string text;

 private:
  enum class Encoding { Unknown, Raw, Utf16, Utf8 };

  void Start() {
    std::string_view rest = head_;
    if (rest.size() >= 2 && static_cast<unsigned char>(rest[0]) == 0xFF &&
        static_cast<unsigned char>(rest[1]) == 0xFE) {
      encoding_ = Encoding::Utf16;
      rest.remove_prefix(2);
    } else if (rest.size() >= 3 && static_cast<unsigned char>(rest[0]) == 0xEF &&
               static_cast<unsigned char>(rest[1]) == 0xBB &&
               static_cast<unsigned char>(rest[2]) == 0xBF) {
      encoding_ = Encoding::Utf8;
      rest.remove_prefix(3);
    } else {
      encoding_ = Encoding::Raw;
    }
    Convert(rest);
    head_ = std::string();
  }

  void Convert(std::string_view bytes) {
    switch (encoding_) {
      case Encoding::Raw: {
        const std::size_t at = text.size();
        text.append(bytes);
        // A NUL byte would read as the start of a held character: hold it as one.
        if (text.find('\0', at) != std::string::npos) {
          std::string held(text, 0, at);
          for (std::size_t i = at; i < text.size(); ++i) {
            if (text[i] == '\0') {
              platform::AppendWideChar(held, 0);
            } else {
              held.push_back(text[i]);
            }
          }
          text = std::move(held);
        }
        break;
      }
      case Encoding::Utf16:
        ConvertUtf16(bytes);
        break;
      case Encoding::Utf8:
        for (const char b : bytes) Utf8Byte(static_cast<unsigned char>(b));
        break;
      case Encoding::Unknown:
        break;
    }
  }

  void ConvertUtf16(std::string_view bytes) {
    std::size_t i = 0;
    if (oddByte_ && !bytes.empty()) {
      char pair[2 * platform::kWideCharLength];
      const char* end = Unit(
          static_cast<char16_t>(*oddByte_ | (static_cast<unsigned char>(bytes[0]) << 8)), pair);
      text.append(pair, static_cast<std::size_t>(end - pair));
      oddByte_.reset();
      i = 1;
    }
    // A unit gives at most one byte, and a surrogate left from the last chunk one more: write
    // them in place and trim, rather than grow the text a byte at a time.
    const std::size_t at = text.size();
    text.resize(at + (bytes.size() - i) / 2 + 1);
    char* out = text.data() + at;
    while (i + 1 < bytes.size()) {
      if (highSurrogate_ == 0) {
        // The run of plain ASCII units, with nothing to look up.
        std::size_t lines = 0;
        const char* in = bytes.data();
        for (; i + 8 <= bytes.size(); i += 8) {
          // A NUL takes the slow road too: it is held, so that the parser refuses it.
          if ((in[i + 1] | in[i + 3] | in[i + 5] | in[i + 7]) != 0 ||
              ((in[i] | in[i + 2] | in[i + 4] | in[i + 6]) & 0x80) != 0 || in[i] == 0 ||
              in[i + 2] == 0 || in[i + 4] == 0 || in[i + 6] == 0) {
            break;
          }
          out[0] = in[i];
          out[1] = in[i + 2];
          out[2] = in[i + 4];
          out[3] = in[i + 6];
          out += 4;
          lines += static_cast<std::size_t>(in[i] == '\n') + (in[i + 2] == '\n') +
                   (in[i + 4] == '\n') + (in[i + 6] == '\n');
        }
        for (; i + 1 < bytes.size(); i += 2) {
          const auto low = static_cast<unsigned char>(bytes[i]);
          if (bytes[i + 1] != 0 || low >= 0x80 || low == 0) break;
          *out++ = static_cast<char>(low);
          lines += low == '\n';
        }
        line_ += lines;
        if (i + 1 >= bytes.size()) break;
      }
      // A held character takes more room than its unit: grow the text when it must.
      char unit[2 * platform::kWideCharLength];
      const auto n = static_cast<std::size_t>(
          Unit(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8)),
               unit) -
          unit);
      i += 2;
      const auto o = static_cast<std::size_t>(out - text.data());
      const std::size_t room = o + n + (bytes.size() - i) / 2 + 1;
      if (room > text.size()) text.resize(room);
      out = text.data() + o;
      std::memcpy(out, unit, n);
      out += n;
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
    if (i < bytes.size()) oddByte_ = static_cast<unsigned char>(bytes[i]);
  }

  char* Unit(char16_t u, char* out) {
    if (highSurrogate_ != 0) {
      const char32_t high = highSurrogate_;
      highSurrogate_ = 0;
      if (u >= 0xDC00 && u <= 0xDFFF) {
        return Byte(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00u), out);
      }
      out = Byte(high, out);
    }
    if (u >= 0xD800 && u <= 0xDBFF) {
      highSurrogate_ = u;
      return out;
    }
    return Byte(u, out);
  }

  // A sequence may be split between chunks: its bytes are gathered, then decoded whole.
  void Utf8Byte(unsigned char b) {
    if (!sequence_.empty()) {
      if ((b & 0xC0) == 0x80) {
        sequence_.push_back(static_cast<char>(b));
        if (sequence_.size() < platform::Utf8Length(static_cast<unsigned char>(sequence_[0])))
          return;
        std::size_t at = 0;
        char32_t c = kNotText;  // kept when the sequence is not UTF-8
        (void)platform::DecodeUtf8(sequence_, at, &c);
        sequence_.clear();
        Emit(c);
        return;
      }
      sequence_.clear();
      Emit(kNotText);
    }
    const std::size_t length = platform::Utf8Length(b);
    if (length == 1) {
      Emit(b);
    } else if (length == 0) {
      Emit(kNotText);
    } else {
      sequence_.push_back(static_cast<char>(b));
    }
  }

  void Emit(char32_t c) {
    char bytes[platform::kWideCharLength];
    text.append(bytes, static_cast<std::size_t>(Byte(c, bytes) - bytes));
  }

  // Writes the character's byte, or the held form of one without a byte (or a NUL).
  char* Byte(char32_t c, char* out) {
    char byte = 0;
    if (c != 0 && ToCp1252(c, &byte)) {
      *out++ = byte;
    } else {
      std::string held;
      platform::AppendWideChar(held, c);
      std::memcpy(out, held.data(), held.size());
      out += held.size();
    }
    if (c == U'\n') ++line_;
    return out;
  }

  const std::string& file_;
  Encoding encoding_ = Encoding::Unknown;
  std::string head_;
  std::size_t line_ = 0;  // 0-based line of the next character
  std::optional<unsigned char> oddByte_;
  char32_t highSurrogate_ = 0;
  std::string sequence_;  // the UTF-8 sequence begun so far
};

}  // namespace dravlin::regfile::detail
