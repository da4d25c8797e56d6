#include "platform/security.h"

namespace dravlin::platform {

std::uint32_t TokenGroupsByteSize(const TokenGroups& groups) {
  // DWORD count, then SID_AND_ATTRIBUTES {PSID, DWORD} per group, then the SIDs themselves.
  std::uint64_t size = 4 + 8ull * groups.Groups.size();
  for (const auto& g : groups.Groups) size += g.Sid.size();
  return size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);
}

}  // namespace dravlin::platform
