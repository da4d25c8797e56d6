// Declarations of the Win32 platform services, free of Windows types so anything may include it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/services.h"

namespace dravlin::win32 {

class Registry final : public platform::Registry {
 public:
  platform::Status RegOpenKeyExA(platform::HKey key, const std::string& subKey,
                                 std::uint32_t options, std::uint32_t samDesired,
                                 platform::HKey* result) override;
  platform::Status RegOpenKeyA(platform::HKey key, const std::string& subKey,
                               platform::HKey* result) override;
  platform::Status RegCreateKeyExA(platform::HKey key, const std::string& subKey,
                                   std::uint32_t options, std::uint32_t samDesired,
                                   platform::HKey* result, std::uint32_t* disposition) override;
  platform::Status RegCloseKey(platform::HKey key) override;
  platform::Status RegFlushKey(platform::HKey key) override;
  platform::Status RegQueryValueExA(platform::HKey key, const std::string& valueName,
                                    std::uint32_t* type, std::uint8_t* data,
                                    std::uint32_t* cbData) override;
  platform::Status RegSetValueExA(platform::HKey key, const std::string& valueName,
                                  std::uint32_t type, const std::uint8_t* data,
                                  std::uint32_t cbData) override;
  platform::Status RegDeleteValueA(platform::HKey key, const std::string& valueName) override;
  platform::Status RegDeleteKeyA(platform::HKey key, const std::string& subKey) override;
  platform::Status RegEnumKeyExA(platform::HKey key, std::uint32_t index, char* name,
                                 std::uint32_t* cchName) override;
  platform::Status RegEnumValueA(platform::HKey key, std::uint32_t index, char* valueName,
                                 std::uint32_t* cchValueName, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* cbData) override;
  platform::Status RegQueryInfoKeyA(platform::HKey key, std::uint32_t* subKeys,
                                    std::uint32_t* maxSubKeyLen, std::uint32_t* values,
                                    std::uint32_t* maxValueNameLen,
                                    std::uint32_t* maxValueLen) override;
  platform::Status RegSaveKeyA(platform::HKey key, const std::string& file) override;
  platform::Status RegRestoreKeyA(platform::HKey key, const std::string& file,
                                  std::uint32_t flags) override;
};

class Security final : public platform::Security {
 public:
  bool OpenProcessToken(platform::Handle process, std::uint32_t desiredAccess,
                        platform::Handle* token) override;
  bool OpenThreadToken(platform::Handle thread, std::uint32_t desiredAccess, bool openAsSelf,
                       platform::Handle* token) override;
  bool GetTokenInformation(platform::Handle token, std::uint32_t infoClass,
                           platform::TokenGroups* buffer, std::uint32_t bufferLength,
                           std::uint32_t* returnLength) override;
  bool AllocateAndInitializeSid(const std::array<std::uint8_t, 6>& authority,
                                std::uint8_t subAuthorityCount, std::uint32_t s0, std::uint32_t s1,
                                std::uint32_t s2, std::uint32_t s3, std::uint32_t s4,
                                std::uint32_t s5, std::uint32_t s6, std::uint32_t s7,
                                platform::SidBytes* sid) override;
  bool IsValidSid(const platform::SidBytes& sid) override;
  bool EqualSid(const platform::SidBytes& a, const platform::SidBytes& b) override;
  void FreeSid(platform::SidBytes& sid) override;
  bool LookupPrivilegeValueA(const char* systemName, const std::string& name,
                             platform::Luid* luid) override;
  bool AdjustTokenPrivileges(platform::Handle token, bool disableAll,
                             const platform::TokenPrivileges* newState,
                             std::uint32_t bufferLength) override;
};

class Kernel final : public platform::Kernel {
 public:
  platform::Handle GetCurrentProcess() override;
  platform::Handle GetCurrentThread() override;
  bool CloseHandle(platform::Handle handle) override;
  platform::Status GetLastError() override;
  bool GetVersionExA(platform::OsVersionInfo* info) override;
  std::uint32_t GetSystemDirectoryA(char* buffer, std::uint32_t size) override;
  int GetLocaleInfoA(std::uint32_t locale, std::uint32_t type, char* buffer, int size) override;
  std::uint32_t GetShortPathNameA(const std::string& longPath, char* buffer,
                                  std::uint32_t size) override;
  std::uint32_t FormatMessageA(std::uint32_t flags, std::uint32_t messageId,
                               std::uint32_t languageId, char* buffer, std::uint32_t size) override;
  std::uint32_t GetModuleFileNameA(char* buffer, std::uint32_t size) override;
  bool DeleteFileA(const std::string& path) override;
  bool SetFileAttributesA(const std::string& path, std::uint32_t attributes) override;
  std::uint32_t GetFileAttributesA(const std::string& path) override;
  bool CreateDirectoryA(const std::string& path) override;
  bool CopyFileA(const std::string& existing, const std::string& target,
                 bool failIfExists) override;
};

class Shell final : public platform::Shell {
 public:
  std::int32_t SHGetSpecialFolderLocation(std::uint64_t ownerWindow, std::int32_t folder,
                                          platform::ItemIdList* list) override;
  bool SHGetPathFromIDListA(platform::ItemIdList list, char* path) override;
  void CoTaskMemFree(platform::ItemIdList list) override;
  bool PathFileExistsA(const std::string& path) override;
};

// Numbered files over Win32 file handles. Open files are closed on destruction.
class Files final : public platform::Files {
 public:
  Files() = default;
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  ~Files() override;

  int FreeFile() override;
  platform::RtError OpenForAppend(int fileNumber, const std::string& path) override;
  platform::RtError OpenForBinaryRead(int fileNumber, const std::string& path) override;
  platform::RtError PrintLine(int fileNumber, const std::string& text) override;
  platform::RtError Get(int fileNumber, std::string* buffer) override;
  platform::RtError Close(int fileNumber) override;
  platform::RtError FileLen(const std::string& path, std::int64_t* length) override;
  bool FileExists(const std::string& path) override;
  platform::RtError Kill(const std::string& path) override;

 private:
  struct OpenFile {
    std::uintptr_t handle = 0;
    bool forAppend = false;
  };
  platform::RtError Open(int fileNumber, const std::string& path, bool forAppend);
  std::map<int, OpenFile> open_;
};

// Message boxes and the restart request; the main window is whatever the program plugs in.
class Ui final : public platform::Ui {
 public:
  explicit Ui(platform::Window& window) : window_(window) {}

  // The window that owns the message boxes (an HWND value; 0: none).
  void SetOwnerWindow(std::uintptr_t hwnd) { owner_ = hwnd; }

  platform::Window& MainWindow() override { return window_; }
  int MessageBox(const std::string& text, std::uint32_t style,
                 const std::optional<std::string>& title) override;
  bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reserved) override;

 private:
  platform::Window& window_;
  std::uintptr_t owner_ = 0;
};

class Regional final : public platform::Regional {
 public:
  void GetLocalTime(platform::SystemTime* time) override;
  int GetDateFormatA(std::uint32_t locale, std::uint32_t flags, const platform::SystemTime* time,
                     const char* format, char* buffer, int size) override;
  int GetTimeFormatA(std::uint32_t locale, std::uint32_t flags, const platform::SystemTime* time,
                     const char* format, char* buffer, int size) override;
};

// Every service of the real machine, handed out as one bundle.
class Platform {
 public:
  explicit Platform(platform::Window& window) : ui_(window) {}
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  platform::Services& services() { return services_; }
  Ui& ui() { return ui_; }

 private:
  Registry registry_;
  Security security_;
  Kernel kernel_;
  Shell shell_;
  Files files_;
  Ui ui_;
  Regional regional_;
  platform::Services services_{registry_, security_, kernel_, shell_, files_, ui_, regional_};
};

// The Wine version when the program runs under Wine (ntdll exports wine_get_version), else nullopt.
std::optional<std::string> WineVersion();

// UTF-8 to UTF-16 and back; invalid sequences and lone surrogates become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// UTF-8 to the system's ANSI code page ('?' for what it lacks) and back, for the ANSI calls.
std::string Utf8ToAnsi(const std::string& text);
std::string AnsiToUtf8(const std::string& text);
// A NUL-terminated UTF-16 text in the ANSI code page.
std::string AnsiFromWide(const wchar_t* text);

}  // namespace dravlin::win32
