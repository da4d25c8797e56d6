// Message boxes (the wide call: Windows 95 implements it too) and the restart request.
#include "platform/win32/win32.h"

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

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
