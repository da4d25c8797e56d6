// Message boxes (wide calls, UTF-8 converted) and the restart request, over user32.
#include "platform/win32/win32.h"

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
  return wide;
}

int Ui::MessageBox(const std::string& text, std::uint32_t style,
                   const std::optional<std::string>& title) {
  const std::wstring wideText = Utf8ToWide(text);
  const std::wstring wideTitle = Utf8ToWide(title.value_or(platform::kApplicationTitle));
  return ::MessageBoxW(reinterpret_cast<HWND>(owner_), wideText.c_str(), wideTitle.c_str(), style);
}

bool Ui::ExitWindowsEx(std::uint32_t flags, std::uint32_t reserved) {
  return ::ExitWindowsEx(flags, reserved) != FALSE;
}

}  // namespace dravlin::win32
