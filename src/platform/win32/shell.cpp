// Shell services: pass-throughs to shell32, ole32 and shlwapi.
#include "platform/win32/win32.h"

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

LPITEMIDLIST ToPidl(platform::ItemIdList list) {
  return reinterpret_cast<LPITEMIDLIST>(static_cast<std::uintptr_t>(list));
}

}  // namespace

std::int32_t Shell::SHGetSpecialFolderLocation(std::uint64_t ownerWindow, std::int32_t folder,
                                               platform::ItemIdList* list) {
  LPITEMIDLIST found = nullptr;
  const HRESULT result = ::SHGetSpecialFolderLocation(
      reinterpret_cast<HWND>(static_cast<std::uintptr_t>(ownerWindow)), folder, &found);
  if (SUCCEEDED(result)) *list = reinterpret_cast<std::uintptr_t>(found);
  return static_cast<std::int32_t>(result);
}

bool Shell::SHGetPathFromIDListA(platform::ItemIdList list, char* path) {
  return ::SHGetPathFromIDListA(ToPidl(list), path) != FALSE;
}

void Shell::CoTaskMemFree(platform::ItemIdList list) {
  ::CoTaskMemFree(ToPidl(list));
}

bool Shell::PathFileExistsA(const std::string& path) {
  return ::PathFileExistsA(path.c_str()) != FALSE;
}

}  // namespace dravlin::win32
