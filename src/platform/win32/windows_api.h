// The one place that includes <windows.h>, and only after the platform headers it would clash with.
// Private to the Win32 implementation and the Windows program.
#pragma once

#include "platform/services.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>:
#include <shlobj.h>
#include <shlwapi.h>

// The interface's method names, which these macros would rename to their ...A/...W forms.
#undef MessageBox
#undef GetObject

#include <cstdint>

namespace dravlin::win32 {

// Key handles cross the interface as 32-bit values. 64-bit Windows keeps them within 32
// significant bits and defines the roots as sign-extended 32-bit values (HKEY_LOCAL_MACHINE is
// 0xFFFFFFFF80000002 there), so the way back sign-extends.
inline HKEY ToHkey(platform::HKey key) {
  return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(key)));
}
inline platform::HKey FromHkey(HKEY key) {
  return static_cast<platform::HKey>(reinterpret_cast<std::uintptr_t>(key));
}
inline HANDLE ToHandle(platform::Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
inline platform::Handle FromHandle(HANDLE handle) {
  return static_cast<platform::Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

// Keeps the thread's last error as the wrapped call left it, whatever the clean-up after the
// call does to it (frees, conversions), so that Kernel::GetLastError reports the call's reason.
class LastErrorKeeper {
 public:
  LastErrorKeeper() = default;
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
  ~LastErrorKeeper() {
    if (captured_) ::SetLastError(error_);
  }
  void Capture() {
    error_ = ::GetLastError();
    captured_ = true;
  }

 private:
  DWORD error_ = 0;
  bool captured_ = false;
};

}  // namespace dravlin::win32
