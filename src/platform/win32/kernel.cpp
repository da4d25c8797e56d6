// Kernel services: pass-throughs to kernel32, buffers written only by a call that succeeds.
#include "platform/win32/win32.h"

#include <cstring>
#include <vector>

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

// Runs a C-API style string query into a private buffer and copies the text (and its NUL) to
// the caller's buffer only when it fit: a failed or too-small call leaves the buffer as it was.
template <typename Call>
std::uint32_t QueryString(char* buffer, std::uint32_t size, Call call) {
  LastErrorKeeper lastError;
  std::vector<char> scratch(size + 1u, '\0');
  const std::uint32_t result = call(size == 0 ? nullptr : scratch.data(), size);
  lastError.Capture();
  if (result > 0 && result < size && buffer != nullptr) {
    std::memcpy(buffer, scratch.data(), result + 1u);
  }
  return result;
}

}  // namespace

platform::Handle Kernel::GetCurrentProcess() {
  return FromHandle(::GetCurrentProcess());
}

platform::Handle Kernel::GetCurrentThread() {
  return FromHandle(::GetCurrentThread());
}

bool Kernel::CloseHandle(platform::Handle handle) {
  return ::CloseHandle(ToHandle(handle)) != 0;
}

platform::Status Kernel::GetLastError() {
  return ::GetLastError();
}

bool Kernel::GetVersionExA(platform::OsVersionInfo* info) {
  // Only the two record sizes Windows knows; any other fails as it would there.
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
      info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA)) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  OSVERSIONINFOEXA version{};
  version.dwOSVersionInfoSize = info->dwOSVersionInfoSize;
  if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return false;
  info->dwMajorVersion = version.dwMajorVersion;
  info->dwMinorVersion = version.dwMinorVersion;
  info->dwBuildNumber = version.dwBuildNumber;
  info->dwPlatformId = version.dwPlatformId;
  info->szCSDVersion.assign(version.szCSDVersion,
                            strnlen(version.szCSDVersion, sizeof version.szCSDVersion));
  return true;
}

std::uint32_t Kernel::GetSystemDirectoryA(char* buffer, std::uint32_t size) {
  return QueryString(buffer, size, [](char* out, std::uint32_t capacity) {
    return static_cast<std::uint32_t>(::GetSystemDirectoryA(out, capacity));
  });
}

int Kernel::GetLocaleInfoA(std::uint32_t locale, std::uint32_t type, char* buffer, int size) {
  if (size < 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  LastErrorKeeper lastError;
  std::vector<char> scratch(static_cast<std::size_t>(size) + 1u, '\0');
  const int result = ::GetLocaleInfoA(locale, type, size == 0 ? nullptr : scratch.data(), size);
  lastError.Capture();
  // The count includes the NUL; with size 0 it is the size needed and nothing is written.
  if (result > 0 && size > 0 && buffer != nullptr) {
    std::memcpy(buffer, scratch.data(), static_cast<std::size_t>(result));
  }
  return result;
}

std::uint32_t Kernel::GetShortPathNameA(const std::string& longPath, char* buffer,
                                        std::uint32_t size) {
  return QueryString(buffer, size, [&longPath](char* out, std::uint32_t capacity) {
    return static_cast<std::uint32_t>(::GetShortPathNameA(longPath.c_str(), out, capacity));
  });
}

std::uint32_t Kernel::FormatMessageA(std::uint32_t flags, std::uint32_t messageId,
                                     std::uint32_t languageId, char* buffer, std::uint32_t size) {
  // No insert values can be passed through this interface, so inserts stay as written instead
  // of being read from an argument list that does not exist.
  const DWORD safeFlags = (flags & ~static_cast<DWORD>(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                                       FORMAT_MESSAGE_ARGUMENT_ARRAY)) |
                          FORMAT_MESSAGE_IGNORE_INSERTS;
  return QueryString(
      buffer, size, [safeFlags, messageId, languageId](char* out, std::uint32_t capacity) {
        return static_cast<std::uint32_t>(
            ::FormatMessageA(safeFlags, nullptr, messageId, languageId, out, capacity, nullptr));
      });
}

std::uint32_t Kernel::GetModuleFileNameA(char* buffer, std::uint32_t size) {
  return QueryString(buffer, size, [](char* out, std::uint32_t capacity) {
    return static_cast<std::uint32_t>(::GetModuleFileNameA(nullptr, out, capacity));
  });
}

bool Kernel::DeleteFileA(const std::string& path) {
  return ::DeleteFileA(path.c_str()) != 0;
}

bool Kernel::SetFileAttributesA(const std::string& path, std::uint32_t attributes) {
  return ::SetFileAttributesA(path.c_str(), attributes) != 0;
}

std::uint32_t Kernel::GetFileAttributesA(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

bool Kernel::CreateDirectoryA(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool Kernel::CopyFileA(const std::string& existing, const std::string& target, bool failIfExists) {
  return ::CopyFileA(existing.c_str(), target.c_str(), failIfExists ? TRUE : FALSE) != 0;
}

}  // namespace dravlin::win32
