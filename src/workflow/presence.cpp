// Whether a key or value is there, asked so that a failed question is not taken for "gone".
#include <string>

#include "platform/key.h"
#include "workflow/frmGetAll.h"

namespace dravlin {

frmGetAll::Presence frmGetAll::KeyPresence(platform::HKey root, const std::string& path) {
  platform::UniqueKey key(sv_.registry);
  const platform::Status status =
      sv_.registry.RegOpenKeyExA(root, path, 0, platform::KEY_READ, key.put());
  if (status == platform::ERROR_SUCCESS) return Presence::There;
  return status == platform::ERROR_FILE_NOT_FOUND ? Presence::Gone : Presence::Unknown;
}

frmGetAll::Presence frmGetAll::ValuePresence(platform::HKey root, const std::string& path,
                                             const std::string& valueName) {
  platform::UniqueKey key(sv_.registry);
  platform::Status status =
      sv_.registry.RegOpenKeyExA(root, path, 0, platform::KEY_READ, key.put());
  if (status == platform::ERROR_SUCCESS) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    status = sv_.registry.RegQueryValueExA(key.get(), valueName, &type, nullptr, &size);
    if (status == platform::ERROR_SUCCESS) return Presence::There;
  }
  return status == platform::ERROR_FILE_NOT_FOUND ? Presence::Gone : Presence::Unknown;
}

}  // namespace dravlin
