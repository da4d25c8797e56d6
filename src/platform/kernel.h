// Kernel services (kernel32): pseudo-handles, last error, version, locale, system folder,
// short paths, system message texts, file deletion, copying and attributes, folder creation, the
// program's own path.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace dravlin::platform {

struct OsVersionInfo {
  std::uint32_t dwOSVersionInfoSize = 148;
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  std::uint32_t dwBuildNumber = 0;
  std::uint32_t dwPlatformId = 0;
  std::string szCSDVersion;
};

inline constexpr std::uint32_t VER_PLATFORM_WIN32s = 0;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

inline constexpr std::uint32_t LOCALE_USER_DEFAULT = 0x400;
inline constexpr std::uint32_t LOCALE_SNATIVELANGNAME = 4;
inline constexpr std::uint32_t LOCALE_NOUSEROVERRIDE = 0x80000000u;

inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

class Kernel {
 public:
  virtual ~Kernel() = default;

  virtual Handle GetCurrentProcess() = 0;
  virtual Handle GetCurrentThread() = 0;
  virtual bool CloseHandle(Handle handle) = 0;
  virtual Status GetLastError() = 0;

  virtual bool GetVersionExA(OsVersionInfo* info) = 0;
  // Character counts and buffers as in the C API: the return value is what was written
  // (without NUL), or the size needed, or 0 on failure; a failed call leaves the buffer as it was.
  virtual std::uint32_t GetSystemDirectoryA(char* buffer, std::uint32_t size) = 0;
  virtual int GetLocaleInfoA(std::uint32_t locale, std::uint32_t type, char* buffer, int size) = 0;
  virtual std::uint32_t GetShortPathNameA(const std::string& longPath, char* buffer,
                                          std::uint32_t size) = 0;
  virtual std::uint32_t FormatMessageA(std::uint32_t flags, std::uint32_t messageId,
                                       std::uint32_t languageId, char* buffer,
                                       std::uint32_t size) = 0;
  virtual std::uint32_t GetModuleFileNameA(char* buffer, std::uint32_t size) = 0;

  virtual bool DeleteFileA(const std::string& path) = 0;
  virtual bool SetFileAttributesA(const std::string& path, std::uint32_t attributes) = 0;
  virtual std::uint32_t GetFileAttributesA(const std::string& path) = 0;
  // The parent folder must exist; ERROR_ALREADY_EXISTS when the name is taken.
  virtual bool CreateDirectoryA(const std::string& path) = 0;
  // Copies bytes and attributes. failIfExists: an existing target fails with ERROR_FILE_EXISTS.
  virtual bool CopyFileA(const std::string& existing, const std::string& target,
                         bool failIfExists) = 0;
};

}  // namespace dravlin::platform
