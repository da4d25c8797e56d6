// Tokens, SIDs and privileges (advapi32). SIDs travel as their binary Windows form.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace dravlin::platform {

inline constexpr std::uint32_t TOKEN_ADJUST_PRIVILEGES = 0x20;
inline constexpr std::uint32_t TOKEN_QUERY = 0x08;
inline constexpr std::uint32_t TokenGroupsClass = 2;  // TOKEN_INFORMATION_CLASS TokenGroups

inline constexpr std::uint32_t SE_PRIVILEGE_ENABLED = 2;
inline constexpr std::uint32_t SE_GROUP_ENABLED = 4;
inline constexpr std::uint32_t SE_GROUP_USE_FOR_DENY_ONLY = 0x10;

// Binary SID: revision, sub-authority count, 6-byte authority, 32-bit sub-authorities
// (little endian). Not necessarily well formed: IsValidSid decides.
using SidBytes = std::vector<std::uint8_t>;

struct Luid {
  std::uint32_t LowPart = 0;
  std::int32_t HighPart = 0;
  friend bool operator==(const Luid&, const Luid&) = default;
};

struct LuidAndAttributes {
  platform::Luid Luid;
  std::uint32_t Attributes = 0;
};

struct TokenPrivileges {
  std::vector<LuidAndAttributes> Privileges;  // PrivilegeCount is the size
};

struct SidAndAttributes {
  SidBytes Sid;
  std::uint32_t Attributes = 0;
};

struct TokenGroups {
  std::vector<SidAndAttributes> Groups;  // GroupCount is the size
};

// The byte size that TOKEN_GROUPS with these groups has in a 32-bit process.
std::uint32_t TokenGroupsByteSize(const TokenGroups& groups);

class Security {
 public:
  virtual ~Security() = default;

  // BOOL-returning calls: false on failure, the reason through Kernel::GetLastError.
  virtual bool OpenProcessToken(Handle process, std::uint32_t desiredAccess, Handle* token) = 0;
  virtual bool OpenThreadToken(Handle thread, std::uint32_t desiredAccess, bool openAsSelf,
                               Handle* token) = 0;
  // Only information class 2 (TokenGroups). buffer null or bufferLength smaller than needed:
  // fails with ERROR_INSUFFICIENT_BUFFER and *returnLength set to the size needed.
  virtual bool GetTokenInformation(Handle token, std::uint32_t infoClass, TokenGroups* buffer,
                                   std::uint32_t bufferLength, std::uint32_t* returnLength) = 0;
  virtual bool AllocateAndInitializeSid(const std::array<std::uint8_t, 6>& authority,
                                        std::uint8_t subAuthorityCount, std::uint32_t s0,
                                        std::uint32_t s1, std::uint32_t s2, std::uint32_t s3,
                                        std::uint32_t s4, std::uint32_t s5, std::uint32_t s6,
                                        std::uint32_t s7, SidBytes* sid) = 0;
  virtual bool IsValidSid(const SidBytes& sid) = 0;
  virtual bool EqualSid(const SidBytes& a, const SidBytes& b) = 0;
  virtual void FreeSid(SidBytes& sid) = 0;

  // systemName null: the local system.
  virtual bool LookupPrivilegeValueA(const char* systemName, const std::string& name,
                                     Luid* luid) = 0;
  // newState may be ignored when disableAll is set, as Windows does. Succeeds with
  // GetLastError() == ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege.
  virtual bool AdjustTokenPrivileges(Handle token, bool disableAll, const TokenPrivileges* newState,
                                     std::uint32_t bufferLength) = 0;
};

}  // namespace dravlin::platform
