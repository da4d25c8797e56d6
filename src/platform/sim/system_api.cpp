// Security, kernel, shell, runtime files, window system and regional settings as the program
// sees them.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "platform/sim/program.h"

namespace dravlin::sim::detail {

namespace fs = std::filesystem;
using platform::Handle;
using platform::RtError;
using platform::Status;
using Gate = Machine::Impl::Gate;

namespace {
constexpr Handle kCurrentProcess = ~Handle{0};     // (HANDLE)-1
constexpr Handle kCurrentThread = ~Handle{0} - 1;  // (HANDLE)-2
constexpr Status ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr Status ERROR_NO_TOKEN = 1008;
constexpr Status ERROR_INVALID_FLAGS = 1004;
constexpr Status ERROR_RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr Status ERROR_RESOURCE_LANG_NOT_FOUND = 15100;
constexpr std::int32_t E_INVALIDARG = static_cast<std::int32_t>(0x80070057u);

struct Message {
  std::uint32_t id;
  const char* text;
};

const Message kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough storage is available to process this command.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is "
     "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
     "recovered because the alternate copy or log was absent or corrupted.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1020,
     "Cannot create a symbolic link in a registry key that already has subkeys or values.\r\n"},
    {1300, "Not all privileges referenced are assigned to the caller.\r\n"},
    {1313, "A specified privilege does not exist.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
};

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

// Copies text plus NUL when it fits a buffer of `size` characters.
bool CopyOut(const std::string& text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size <= text.size()) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}

bool SidWellFormed(const platform::SidBytes& sid) {
  return sid.size() >= 8 && sid[0] == 1 && sid[1] <= 15 && sid.size() >= 8u + 4u * sid[1];
}
}  // namespace

const char* SystemMessage(std::uint32_t id) {
  for (const auto& m : kMessages) {
    if (m.id == id) return m.text;
  }
  return nullptr;
}

std::uint32_t PrivilegeLuid(std::string_view name) {
  for (const auto& p : kPrivileges) {
    if (SameName(p.name, name)) return p.luid;
  }
  return 0;
}

bool Program::Fail(Status status) {
  m_.lastError = status;
  return false;
}

// ===== Security

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

// ===== Kernel

Handle Program::GetCurrentProcess() {
  std::uint32_t injected = 0;
  m_.Enter("GetCurrentProcess", false, &injected);
  return kCurrentProcess;
}

Handle Program::GetCurrentThread() {
  std::uint32_t injected = 0;
  m_.Enter("GetCurrentThread", false, &injected);
  return kCurrentThread;
}

bool Program::CloseHandle(Handle handle) {
  std::uint32_t injected = 0;
  const Gate gate = m_.Enter("CloseHandle", true, &injected);
  if (gate == Gate::Skip) return true;
  if (gate == Gate::Fail) return Fail(injected);
  if (handle == kCurrentProcess || handle == kCurrentThread) return true;
  if (m_.tokens.erase(handle) == 0) return Fail(platform::ERROR_INVALID_HANDLE);
  return true;
}

Status Program::GetLastError() {
  std::uint32_t injected = 0;
  m_.Enter("GetLastError", false, &injected);
  return m_.lastError;
}

bool Program::GetVersionExA(platform::OsVersionInfo* info) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetVersionExA", false, &injected) == Gate::Fail) return Fail(injected);
  if (info == nullptr) return Fail(platform::ERROR_INVALID_PARAMETER);
  // The extended record (156 bytes) came with NT 4.0 SP6; 95, 98 and ME know only 148.
  const bool extended = info->dwOSVersionInfoSize == 156 && m_.IsNt();
  if (info->dwOSVersionInfoSize != 148 && !extended)
    return Fail(platform::ERROR_INSUFFICIENT_BUFFER);
  info->dwMajorVersion = m_.version.major;
  info->dwMinorVersion = m_.version.minor;
  info->dwBuildNumber = m_.version.build;
  info->dwPlatformId = m_.version.platformId;
  info->szCSDVersion = m_.version.csd.substr(0, 127);
  return true;
}

std::uint32_t Program::GetSystemDirectoryA(char* buffer, std::uint32_t size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetSystemDirectoryA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  const std::string dir = m_.SystemDir();
  if (!CopyOut(dir, buffer, size)) return static_cast<std::uint32_t>(dir.size() + 1);
  return static_cast<std::uint32_t>(dir.size());
}

int Program::GetLocaleInfoA(std::uint32_t locale, std::uint32_t type, char* buffer, int size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetLocaleInfoA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t LOCALE_SYSTEM_DEFAULT = 0x800;
  constexpr std::uint32_t LOCALE_SSHORTDATE = 0x1F;
  constexpr std::uint32_t LOCALE_STIMEFORMAT = 0x1003;
  constexpr std::uint32_t LOCALE_NOUSEROVERRIDE = 0x80000000u;
  if (locale != platform::LOCALE_USER_DEFAULT && locale != LOCALE_SYSTEM_DEFAULT && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  std::string text;
  switch (type & ~LOCALE_NOUSEROVERRIDE) {
    case platform::LOCALE_SNATIVELANGNAME:
      text = m_.locale.nativeLanguage;
      break;
    case LOCALE_SSHORTDATE:
      text = m_.locale.shortDate;
      break;
    case LOCALE_STIMEFORMAT:
      text = m_.locale.longTime;
      break;
    default:
      return Fail(ERROR_INVALID_FLAGS), 0;
  }
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (size < 0 || buffer == nullptr) return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  if (!CopyOut(text, buffer, static_cast<std::size_t>(size)))
    return Fail(platform::ERROR_INSUFFICIENT_BUFFER), 0;
  return needed;
}

std::uint32_t Program::GetShortPathNameA(const std::string& longPath, char* buffer,
                                         std::uint32_t size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetShortPathNameA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  const std::string path = UpToNul(longPath);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return Fail(PathStatus(r.error)), 0;
  std::string out = *m_.drive.ShortPath(path);
  out[0] = path[0];  // the drive letter as the caller wrote it
  if (!CopyOut(out, buffer, size)) return static_cast<std::uint32_t>(out.size() + 1);
  return static_cast<std::uint32_t>(out.size());
}

std::uint32_t Program::FormatMessageA(std::uint32_t flags, std::uint32_t messageId,
                                      std::uint32_t languageId, char* buffer, std::uint32_t size) {
  std::uint32_t injected = 0;
  if (m_.Enter("FormatMessageA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
  constexpr std::uint32_t FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
  if ((flags & platform::FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER))
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  // Language 0 chooses by the usual order and ends at English; neutral and US English are held.
  if (languageId != 0 && languageId != 0x400 && languageId != 0x409 && languageId != 0x800)
    return Fail(ERROR_RESOURCE_LANG_NOT_FOUND), 0;
  const char* text = SystemMessage(messageId);
  if (text == nullptr) return Fail(platform::ERROR_MR_MID_NOT_FOUND), 0;
  const std::string message = text;
  (void)FORMAT_MESSAGE_IGNORE_INSERTS;  // the held texts have no inserts
  if (!CopyOut(message, buffer, size)) return Fail(platform::ERROR_INSUFFICIENT_BUFFER), 0;
  return static_cast<std::uint32_t>(message.size());
}

std::uint32_t Program::GetModuleFileNameA(char* buffer, std::uint32_t size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetModuleFileNameA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  const std::string& path = m_.exePath;
  if (CopyOut(path, buffer, size)) return static_cast<std::uint32_t>(path.size());
  if (buffer == nullptr || size == 0) return Fail(platform::ERROR_INSUFFICIENT_BUFFER), 0;
  // Truncated: before Vista without a terminating NUL, from Vista on with one and an error.
  if (m_.version.platformId == platform::VER_PLATFORM_WIN32_NT && m_.version.major >= 6) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    m_.lastError = platform::ERROR_INSUFFICIENT_BUFFER;
  } else {
    std::memcpy(buffer, path.data(), size);
  }
  return size;
}

// ===== Shell

std::int32_t Program::SHGetSpecialFolderLocation(std::uint64_t /*ownerWindow*/, std::int32_t folder,
                                                 platform::ItemIdList* list) {
  std::uint32_t injected = 0;
  if (m_.Enter("SHGetSpecialFolderLocation", false, &injected) == Gate::Fail)
    return static_cast<std::int32_t>(injected);
  if (list == nullptr) return E_INVALIDARG;
  constexpr std::int32_t CSIDL_WINDOWS = 0x24;
  constexpr std::int32_t CSIDL_PROGRAM_FILES = 0x26;
  // These folder ids came with the shell of Windows 2000 and ME.
  const bool newShell = m_.IsNt() ? m_.version.major >= 5
                                  : m_.version.platformId == platform::VER_PLATFORM_WIN32_WINDOWS &&
                                        m_.version.minor >= 90;
  std::string path;
  const std::string sys = m_.SystemDir();
  if (folder == platform::CSIDL_SYSTEM && newShell) {
    path = sys;
  } else if (folder == CSIDL_WINDOWS && newShell) {
    path = sys.substr(0, sys.find_last_of('\\'));
  } else if (folder == CSIDL_PROGRAM_FILES && newShell) {
    path = "C:\\Program Files";
  } else {
    *list = 0;
    return E_INVALIDARG;
  }
  const platform::ItemIdList id = m_.nextItem++;
  m_.itemLists[id] = path;
  *list = id;
  return 0;
}

bool Program::SHGetPathFromIDListA(platform::ItemIdList list, char* path) {
  std::uint32_t injected = 0;
  if (m_.Enter("SHGetPathFromIDListA", false, &injected) == Gate::Fail) return false;
  auto it = m_.itemLists.find(list);
  if (it == m_.itemLists.end() || path == nullptr) return false;
  return CopyOut(it->second, path, platform::MAX_PATH);
}

void Program::CoTaskMemFree(platform::ItemIdList list) {
  std::uint32_t injected = 0;
  if (m_.Enter("CoTaskMemFree", true, &injected) == Gate::Skip) return;
  m_.itemLists.erase(list);
}

// ===== Ui and the window

platform::Window& Program::MainWindow() {
  return *this;
}

int Program::MessageBox(const std::string& text, std::uint32_t style,
                        const std::optional<std::string>& title) {
  std::uint32_t injected = 0;
  if (m_.Enter("MessageBox", false, &injected) == Gate::Fail) {
    m_.lastError = injected;
    return 0;
  }
  m_.boxes.push_back({text, style, title.value_or(platform::kApplicationTitle)});
  if (m_.answers.empty()) return platform::IDOK;
  const int answer = m_.answers.front();
  m_.answers.pop_front();
  return answer;
}

bool Program::ExitWindowsEx(std::uint32_t flags, std::uint32_t /*reserved*/) {
  std::uint32_t injected = 0;
  if (m_.Enter("ExitWindowsEx", false, &injected) == Gate::Fail) return Fail(injected);
  m_.exits.push_back(flags);
  if (m_.exitFails) return Fail(platform::ERROR_ACCESS_DENIED);
  constexpr std::uint32_t kNeedsPrivilege =
      platform::EWX_SHUTDOWN | platform::EWX_REBOOT | platform::EWX_POWEROFF;
  if (m_.IsNt() && (flags & kNeedsPrivilege) && !m_.PrivilegeEnabled("SeShutdownPrivilege"))
    return Fail(platform::ERROR_PRIVILEGE_NOT_HELD);
  return true;
}

namespace {
std::size_t Index(platform::Control c) {
  return static_cast<std::size_t>(c);
}
}  // namespace

void Program::SetText(platform::Control control, const std::string& text) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetText", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).text = text;
}

std::string Program::GetText(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.GetText", false, &injected) == Gate::Fail) return {};
  return m_.controls.at(Index(control)).text;
}

void Program::SetEnabled(platform::Control control, bool enabled) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetEnabled", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).enabled = enabled;
}

bool Program::IsEnabled(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsEnabled", false, &injected) == Gate::Fail) return false;
  return m_.controls.at(Index(control)).enabled;
}

void Program::SetVisible(platform::Control control, bool visible) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetVisible", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).visible = visible;
}

bool Program::IsVisible(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsVisible", false, &injected) == Gate::Fail) return false;
  return m_.controls.at(Index(control)).visible;
}

void Program::Show() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Show", false, &injected) == Gate::Fail) return;
  m_.shown = true;
}

void Program::Hide() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Hide", false, &injected) == Gate::Fail) return;
  m_.shown = false;
}

void Program::Unload() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Unload", true, &injected) != Gate::Proceed) return;
  m_.shown = false;
  m_.loaded = false;
}

bool Program::IsLoaded() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsLoaded", false, &injected) == Gate::Fail) return false;
  return m_.loaded;
}

// ===== Regional

void Program::GetLocalTime(platform::SystemTime* time) {
  std::uint32_t injected = 0;
  m_.Enter("GetLocalTime", false, &injected);
  if (time) *time = m_.Now();
}

namespace {
int FormatOut(const std::string& text, char* buffer, int size, Status* error) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (size < 0 || buffer == nullptr) {
    *error = platform::ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (!CopyOut(text, buffer, static_cast<std::size_t>(size))) {
    *error = platform::ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  return needed;
}
}  // namespace

int Program::GetDateFormatA(std::uint32_t locale, std::uint32_t flags,
                            const platform::SystemTime* time, const char* format, char* buffer,
                            int size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetDateFormatA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t DATE_LONGDATE = 2;
  if (locale != platform::LOCALE_USER_DEFAULT && locale != 0x800 && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  if (format != nullptr && flags != 0) return Fail(ERROR_INVALID_FLAGS), 0;
  if (flags & ~(platform::DATE_SHORTDATE | DATE_LONGDATE)) return Fail(ERROR_INVALID_FLAGS), 0;
  platform::SystemTime t = time ? *time : m_.Now();
  if (time) {
    if (!ValidTime(t)) return Fail(platform::ERROR_INVALID_PARAMETER), 0;
    t = FromSeconds(ToSeconds(t), t.wMilliseconds);  // the day of week as Windows derives it
  }
  std::string picture = format                    ? std::string(format)
                        : (flags & DATE_LONGDATE) ? std::string("dddd, MMMM d, yyyy")
                                                  : m_.locale.shortDate;
  // A date picture takes no time fields: their letters stand as they are.
  t.wHour = t.wMinute = t.wSecond = 0;
  std::string escaped;
  for (char c : picture) {
    if (std::string_view("hHmst").find(c) != std::string_view::npos) {
      escaped += '\'';
      escaped += c;
      escaped += '\'';
    } else {
      escaped += c;
    }
  }
  Status error = 0;
  const int n =
      FormatOut(FormatPicture(escaped, t, m_.locale.am, m_.locale.pm), buffer, size, &error);
  if (n == 0) Fail(error);
  return n;
}

int Program::GetTimeFormatA(std::uint32_t locale, std::uint32_t flags,
                            const platform::SystemTime* time, const char* format, char* buffer,
                            int size) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetTimeFormatA", false, &injected) == Gate::Fail) return Fail(injected), 0;
  constexpr std::uint32_t TIME_NOMINUTESORSECONDS = 1, TIME_NOSECONDS = 2, TIME_NOTIMEMARKER = 4,
                          TIME_FORCE24HOURFORMAT = 8;
  if (locale != platform::LOCALE_USER_DEFAULT && locale != 0x800 && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  if (flags & ~0xFu) return Fail(ERROR_INVALID_FLAGS), 0;
  const platform::SystemTime t = time ? *time : m_.Now();
  if (time && (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999))
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  std::string picture = format ? std::string(format) : m_.locale.longTime;
  std::string edited;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const char c = picture[i];
    if (c == '\'') {  // copy a literal whole
      const auto end = picture.find('\'', i + 1);
      const auto stop = end == std::string::npos ? picture.size() : end + 1;
      edited += picture.substr(i, stop - i);
      i = stop - 1;
      continue;
    }
    if ((c == 's' && (flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS))) ||
        (c == 'm' && (flags & TIME_NOMINUTESORSECONDS)) ||
        (c == 't' && (flags & TIME_NOTIMEMARKER))) {
      // Drop the field and the separator before it.
      while (!edited.empty() &&
             std::string_view("hHmst'").find(edited.back()) == std::string_view::npos)
        edited.pop_back();
      while (i + 1 < picture.size() && picture[i + 1] == c) ++i;
      continue;
    }
    if (c == 'h' && (flags & TIME_FORCE24HOURFORMAT)) {
      edited += 'H';
      continue;
    }
    if (std::string_view("dMy").find(c) != std::string_view::npos) {
      edited += '\'';
      edited += c;
      edited += '\'';
      continue;
    }
    edited += c;
  }
  Status error = 0;
  const int n =
      FormatOut(FormatPicture(edited, t, m_.locale.am, m_.locale.pm), buffer, size, &error);
  if (n == 0) Fail(error);
  return n;
}

}  // namespace dravlin::sim::detail
