// Kernel (handles, version, system folder, locale, module name) and shell as the program sees
// them; the file calls are in files_api.cpp.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::Handle;
using platform::RtError;
using platform::Status;
using Gate = Machine::Impl::Gate;

namespace {
using platform::ERROR_RESOURCE_LANG_NOT_FOUND;
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

}  // namespace

// Copies text plus NUL when it fits a buffer of `size` characters.
bool CopyOut(const std::string& text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size <= text.size()) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}

const char* SystemMessage(std::uint32_t id) {
  for (const auto& m : kMessages) {
    if (m.id == id) return m.text;
  }
  return nullptr;
}

bool Program::Fail(Status status) {
  m_.lastError = status;
  return false;
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
  if (locale != platform::LOCALE_USER_DEFAULT && locale != LOCALE_SYSTEM_DEFAULT && locale != 0)
    return Fail(platform::ERROR_INVALID_PARAMETER), 0;
  std::string text;
  switch (type & ~platform::LOCALE_NOUSEROVERRIDE) {
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
  std::string pathCut;
  const std::string& path = UpToNul(longPath, pathCut);
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

}  // namespace dravlin::sim::detail
