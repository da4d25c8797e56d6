// The token, SID and privilege calls as the program sees them; DOS-based versions have none.
#include <algorithm>

#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::Handle;
using platform::Status;
using Gate = Machine::Impl::Gate;

namespace {
using platform::ERROR_CALL_NOT_IMPLEMENTED;
using platform::ERROR_NO_TOKEN;
using platform::ERROR_RPC_S_SERVER_UNAVAILABLE;

struct PrivilegeName {
  const char* name;
  std::uint32_t luid;
};

const PrivilegeName kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},
    {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},
    {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},
    {"SeEnableDelegationPrivilege", 27},
    {"SeManageVolumePrivilege", 28},
    {"SeImpersonatePrivilege", 29},
    {"SeCreateGlobalPrivilege", 30},
};

const char* PrivilegeNameOf(std::uint32_t luid) {
  for (const auto& p : kPrivileges) {
    if (p.luid == luid) return p.name;
  }
  return nullptr;
}

bool SidWellFormed(const platform::SidBytes& sid) {
  return sid.size() >= 8 && sid[0] == 1 && sid[1] <= 15 && sid.size() >= 8u + 4u * sid[1];
}
}  // namespace

std::uint32_t PrivilegeLuid(std::string_view name) {
  for (const auto& p : kPrivileges) {
    if (SameName(p.name, name)) return p.luid;
  }
  return 0;
}

bool Program::OpenProcessToken(Handle process, std::uint32_t desiredAccess, Handle* token) {
  std::uint32_t injected = 0;
  if (m_.Enter("OpenProcessToken", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (process != kCurrentProcess) return Fail(platform::ERROR_INVALID_HANDLE);
  if (token == nullptr) return Fail(platform::ERROR_INVALID_PARAMETER);
  const Handle h = m_.nextToken;
  m_.nextToken += 4;
  m_.tokens[h] = desiredAccess;
  *token = h;
  return true;
}

bool Program::OpenThreadToken(Handle thread, std::uint32_t /*desiredAccess*/, bool /*openAsSelf*/,
                              Handle* /*token*/) {
  std::uint32_t injected = 0;
  if (m_.Enter("OpenThreadToken", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (thread != kCurrentThread) return Fail(platform::ERROR_INVALID_HANDLE);
  // The program's thread never impersonates, so it has no token of its own.
  return Fail(ERROR_NO_TOKEN);
}

bool Program::GetTokenInformation(Handle token, std::uint32_t infoClass,
                                  platform::TokenGroups* buffer, std::uint32_t bufferLength,
                                  std::uint32_t* returnLength) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetTokenInformation", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  auto it = m_.tokens.find(token);
  if (it == m_.tokens.end()) return Fail(platform::ERROR_INVALID_HANDLE);
  if ((it->second & platform::TOKEN_QUERY) == 0) return Fail(platform::ERROR_ACCESS_DENIED);
  if (infoClass != platform::TokenGroupsClass || returnLength == nullptr)
    return Fail(platform::ERROR_INVALID_PARAMETER);
  platform::TokenGroups groups{m_.groups};
  const std::uint32_t size = platform::TokenGroupsByteSize(groups);
  *returnLength = size;
  if (buffer == nullptr || bufferLength < size) return Fail(platform::ERROR_INSUFFICIENT_BUFFER);
  *buffer = std::move(groups);
  return true;
}

bool Program::AllocateAndInitializeSid(const std::array<std::uint8_t, 6>& authority,
                                       std::uint8_t subAuthorityCount, std::uint32_t s0,
                                       std::uint32_t s1, std::uint32_t s2, std::uint32_t s3,
                                       std::uint32_t s4, std::uint32_t s5, std::uint32_t s6,
                                       std::uint32_t s7, platform::SidBytes* sid) {
  std::uint32_t injected = 0;
  if (m_.Enter("AllocateAndInitializeSid", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (sid == nullptr || subAuthorityCount > 8) return Fail(platform::ERROR_INVALID_PARAMETER);
  const std::uint32_t subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  platform::SidBytes out{1, subAuthorityCount};
  out.insert(out.end(), authority.begin(), authority.end());
  for (std::uint8_t i = 0; i < subAuthorityCount; ++i) {
    for (int b = 0; b < 4; ++b)
      out.push_back(static_cast<std::uint8_t>((subs[i] >> (8 * b)) & 0xFFu));
  }
  *sid = std::move(out);
  return true;
}

bool Program::IsValidSid(const platform::SidBytes& sid) {
  std::uint32_t injected = 0;
  if (m_.Enter("IsValidSid", false, &injected) == Gate::Fail) return Fail(injected);
  return SidWellFormed(sid);
}

bool Program::EqualSid(const platform::SidBytes& a, const platform::SidBytes& b) {
  std::uint32_t injected = 0;
  if (m_.Enter("EqualSid", false, &injected) == Gate::Fail) return Fail(injected);
  if (!SidWellFormed(a) || !SidWellFormed(b)) return Fail(platform::ERROR_INVALID_PARAMETER);
  m_.lastError = platform::ERROR_SUCCESS;
  const std::size_t n = 8u + 4u * a[1];
  return a[1] == b[1] &&
         std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin());
}

void Program::FreeSid(platform::SidBytes& sid) {
  std::uint32_t injected = 0;
  if (m_.Enter("FreeSid", true, &injected) == Gate::Skip) return;
  sid.clear();
}

bool Program::LookupPrivilegeValueA(const char* systemName, const std::string& name,
                                    platform::Luid* luid) {
  std::uint32_t injected = 0;
  if (m_.Enter("LookupPrivilegeValueA", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (systemName != nullptr && *systemName != '\0') return Fail(ERROR_RPC_S_SERVER_UNAVAILABLE);
  const std::uint32_t value = PrivilegeLuid(UpToNul(name));
  if (value == 0) return Fail(platform::ERROR_NO_SUCH_PRIVILEGE);
  if (luid == nullptr) return Fail(platform::ERROR_INVALID_PARAMETER);
  *luid = {value, 0};
  return true;
}

bool Program::AdjustTokenPrivileges(Handle token, bool disableAll,
                                    const platform::TokenPrivileges* newState,
                                    std::uint32_t /*bufferLength*/) {
  std::uint32_t injected = 0;
  if (m_.Enter("AdjustTokenPrivileges", false, &injected) == Gate::Fail) return Fail(injected);
  if (!m_.IsNt()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  auto it = m_.tokens.find(token);
  if (it == m_.tokens.end()) return Fail(platform::ERROR_INVALID_HANDLE);
  if ((it->second & platform::TOKEN_ADJUST_PRIVILEGES) == 0)
    return Fail(platform::ERROR_ACCESS_DENIED);
  if (disableAll) {
    for (auto& [name, enabled] : m_.privilegeState) enabled = false;
    m_.lastError = platform::ERROR_SUCCESS;
    return true;
  }
  if (newState == nullptr) return Fail(platform::ERROR_INVALID_PARAMETER);
  bool allAssigned = true;
  for (const auto& p : newState->Privileges) {
    const char* name = p.Luid.HighPart == 0 ? PrivilegeNameOf(p.Luid.LowPart) : nullptr;
    if (name != nullptr && Fold(name) == Fold("SeShutdownPrivilege") &&
        (p.Attributes & platform::SE_PRIVILEGE_ENABLED) != 0)
      m_.shutdownPrivilegeAsked = true;
    auto state = name ? m_.privilegeState.find(Fold(name)) : m_.privilegeState.end();
    if (state == m_.privilegeState.end()) {
      allAssigned = false;
      continue;
    }
    constexpr std::uint32_t kRemoved = 4;
    if (p.Attributes & kRemoved) {
      m_.privilegeState.erase(state);
    } else {
      state->second = (p.Attributes & platform::SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  m_.lastError = allAssigned ? platform::ERROR_SUCCESS : platform::ERROR_NOT_ALL_ASSIGNED;
  return true;
}

}  // namespace dravlin::sim::detail
