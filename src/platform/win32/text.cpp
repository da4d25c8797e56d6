// UTF-8 to and from UTF-16 and the ANSI code page. The UTF-8 side is decoded here rather than
// with CP_UTF8, which the first Windows 95 does not know; the ANSI side uses the system's own
// tables (MultiByteToWideChar and WideCharToMultiByte work on every target).
#include "platform/win32/win32.h"

#include "platform/ansi_names.h"
#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    // A malformed byte reads as U+FFFD.
    char32_t point = kReplacement;
    (void)platform::DecodeUtf8(text, i, &point);
    if (point >= 0x10000) {
      wide += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(point);
    }
  }
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t point = static_cast<char16_t>(text[i]);
    if (point >= 0xD800 && point <= 0xDBFF && i + 1 < text.size()) {
      const char32_t low = static_cast<char16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (point >= 0xD800 && point <= 0xDFFF) point = kReplacement;
    platform::AppendUtf8(out, point);
  }
  return out;
}

std::string Utf8ToAnsi(const std::string& text) {
  return AnsiFromWide(Utf8ToWide(text).c_str());
}

std::string AnsiFromWide(const wchar_t* text) {
  const std::wstring wide(text);
  if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX / 2)) return {};
  const int length = static_cast<int>(wide.size());
  // A character the code page lacks becomes '?', as the system's own conversion does.
  const int needed =
      ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string ansi(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, ansi.data(), needed, nullptr, nullptr);
  return ansi;
}

std::string AnsiToUtf8(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed);
  return WideToUtf8(wide);
}

}  // namespace dravlin::win32
