// Recognising Wine underneath: ntdll's wine_get_version export.
#include "platform/win32/win32.h"

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

std::optional<std::string> WineVersion() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) return std::nullopt;
  const FARPROC proc = ::GetProcAddress(ntdll, "wine_get_version");
  if (proc == nullptr) return std::nullopt;
  using GetVersionFn = const char*(__cdecl*)();
  // Through void(*)(): the one function-pointer type that converts without a warning.
  const auto getVersion = reinterpret_cast<GetVersionFn>(reinterpret_cast<void (*)()>(proc));
  const char* version = getVersion();
  return std::string(version != nullptr ? version : "");
}

}  // namespace dravlin::win32
