// Tokens, SIDs and privileges: advapi32 calls, value types converted to and from Win32's.
#include "platform/win32/win32.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

// A SID's byte count from its header, or 0 when the bytes cannot hold the SID they announce.
std::size_t CompleteSidSize(const platform::SidBytes& sid) {
  if (sid.size() < 8) return 0;
  const std::size_t needed = 8u + 4u * sid[1];
  return sid.size() >= needed ? needed : 0;
}

platform::SidBytes SidToBytes(PSID sid) {
  const DWORD length = ::GetLengthSid(sid);
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return platform::SidBytes(bytes, bytes + length);
}

}  // namespace

bool Security::OpenProcessToken(platform::Handle process, std::uint32_t desiredAccess,
                                platform::Handle* token) {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(ToHandle(process), desiredAccess, &opened)) return false;
  *token = FromHandle(opened);
  return true;
}

bool Security::OpenThreadToken(platform::Handle thread, std::uint32_t desiredAccess,
                               bool openAsSelf, platform::Handle* token) {
  HANDLE opened = nullptr;
  if (!::OpenThreadToken(ToHandle(thread), desiredAccess, openAsSelf ? TRUE : FALSE, &opened)) {
    return false;
  }
  *token = FromHandle(opened);
  return true;
}

bool Security::GetTokenInformation(platform::Handle token, std::uint32_t infoClass,
                                   platform::TokenGroups* buffer, std::uint32_t bufferLength,
                                   std::uint32_t* returnLength) {
  LastErrorKeeper lastError;
  if (infoClass != static_cast<std::uint32_t>(::TokenGroups)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Read the whole list, then answer in the interface's terms: the size it needs is the
  // 32-bit TOKEN_GROUPS layout of these groups.
  DWORD size = 0;
  ::GetTokenInformation(ToHandle(token), ::TokenGroups, nullptr, 0, &size);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    lastError.Capture();
    return false;
  }
  std::vector<std::uint8_t> raw(size);
  if (!::GetTokenInformation(ToHandle(token), ::TokenGroups, raw.data(), size, &size)) {
    lastError.Capture();
    return false;
  }
  TOKEN_GROUPS header;
  std::memcpy(&header, raw.data(), sizeof header);
  platform::TokenGroups groups;
  groups.Groups.reserve(header.GroupCount);
  for (DWORD i = 0; i < header.GroupCount; ++i) {
    SID_AND_ATTRIBUTES entry;
    std::memcpy(&entry,
                raw.data() + offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES),
                sizeof entry);
    groups.Groups.push_back({SidToBytes(entry.Sid), entry.Attributes});
  }
  const std::uint32_t needed = platform::TokenGroupsByteSize(groups);
  if (returnLength != nullptr) *returnLength = needed;
  if (buffer == nullptr || bufferLength < needed) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    lastError.Capture();
    return false;
  }
  *buffer = std::move(groups);
  ::SetLastError(ERROR_SUCCESS);
  lastError.Capture();
  return true;
}

bool Security::AllocateAndInitializeSid(const std::array<std::uint8_t, 6>& authority,
                                        std::uint8_t subAuthorityCount, std::uint32_t s0,
                                        std::uint32_t s1, std::uint32_t s2, std::uint32_t s3,
                                        std::uint32_t s4, std::uint32_t s5, std::uint32_t s6,
                                        std::uint32_t s7, platform::SidBytes* sid) {
  LastErrorKeeper lastError;
  SID_IDENTIFIER_AUTHORITY ia;
  std::memcpy(ia.Value, authority.data(), authority.size());
  PSID allocated = nullptr;
  const BOOL ok = ::AllocateAndInitializeSid(&ia, subAuthorityCount, s0, s1, s2, s3, s4, s5, s6, s7,
                                             &allocated);
  lastError.Capture();
  if (!ok) return false;
  // The bytes are the caller's now; the Win32 copy goes at once.
  *sid = SidToBytes(allocated);
  ::FreeSid(allocated);
  return true;
}

bool Security::IsValidSid(const platform::SidBytes& sid) {
  const std::size_t size = CompleteSidSize(sid);
  if (size == 0) return false;
  std::vector<std::uint8_t> copy(sid.begin(), sid.begin() + static_cast<std::ptrdiff_t>(size));
  return ::IsValidSid(copy.data()) != FALSE;
}

bool Security::EqualSid(const platform::SidBytes& a, const platform::SidBytes& b) {
  // Windows' answer for malformed SIDs is undefined; here they never equal anything.
  if (!IsValidSid(a) || !IsValidSid(b)) {
    ::SetLastError(ERROR_INVALID_SID);
    return false;
  }
  std::vector<std::uint8_t> left(a), right(b);
  return ::EqualSid(left.data(), right.data()) != FALSE;
}

void Security::FreeSid(platform::SidBytes& sid) {
  sid.clear();
  sid.shrink_to_fit();
}

bool Security::LookupPrivilegeValueA(const char* systemName, const std::string& name,
                                     platform::Luid* luid) {
  LUID found{};
  if (!::LookupPrivilegeValueA(systemName, name.c_str(), &found)) return false;
  luid->LowPart = found.LowPart;
  luid->HighPart = found.HighPart;
  return true;
}

bool Security::AdjustTokenPrivileges(platform::Handle token, bool disableAll,
                                     const platform::TokenPrivileges* newState,
                                     std::uint32_t bufferLength) {
  LastErrorKeeper lastError;
  std::vector<std::uint8_t> record;
  PTOKEN_PRIVILEGES state = nullptr;
  if (newState != nullptr) {
    const std::size_t count = newState->Privileges.size();
    record.assign(offsetof(TOKEN_PRIVILEGES, Privileges) + count * sizeof(LUID_AND_ATTRIBUTES), 0);
    const DWORD privilegeCount = static_cast<DWORD>(count);
    std::memcpy(record.data(), &privilegeCount, sizeof privilegeCount);
    for (std::size_t i = 0; i < count; ++i) {
      const auto& in = newState->Privileges[i];
      LUID_AND_ATTRIBUTES out;
      out.Luid.LowPart = in.Luid.LowPart;
      out.Luid.HighPart = in.Luid.HighPart;
      out.Attributes = in.Attributes;
      std::memcpy(
          record.data() + offsetof(TOKEN_PRIVILEGES, Privileges) + i * sizeof(LUID_AND_ATTRIBUTES),
          &out, sizeof out);
    }
    state = reinterpret_cast<PTOKEN_PRIVILEGES>(record.data());
  } else if (!disableAll) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    lastError.Capture();
    return false;
  }
  // No previous state is asked for, so the buffer length only travels along.
  const BOOL ok = ::AdjustTokenPrivileges(ToHandle(token), disableAll ? TRUE : FALSE, state,
                                          bufferLength, nullptr, nullptr);
  lastError.Capture();
  return ok != FALSE;
}

}  // namespace dravlin::win32
