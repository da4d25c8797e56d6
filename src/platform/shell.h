// Shell services (shell32, ole32, shlwapi): special folders and the file existence test.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace dravlin::platform {

using ItemIdList = std::uint64_t;  // an opaque PIDL; 0 is null

inline constexpr std::int32_t CSIDL_SYSTEM = 0x25;
inline constexpr std::uint32_t MAX_PATH = 260;

class Shell {
 public:
  virtual ~Shell() = default;

  // An HRESULT: 0 on success.
  virtual std::int32_t SHGetSpecialFolderLocation(std::uint64_t ownerWindow, std::int32_t folder,
                                                  ItemIdList* list) = 0;
  // path: a buffer of MAX_PATH characters; the path is NUL-terminated.
  virtual bool SHGetPathFromIDListA(ItemIdList list, char* path) = 0;
  virtual void CoTaskMemFree(ItemIdList list) = 0;
  // True for an existing file or folder.
  virtual bool PathFileExistsA(const std::string& path) = 0;
};

}  // namespace dravlin::platform
