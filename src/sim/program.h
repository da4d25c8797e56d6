// The machine's state and the program's view of it (the platform interfaces).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/internal.h"

namespace dravlin::sim {

namespace detail {
class Program;
}

// Everything the machine holds, copied whole by a snapshot (the registry tree deeply).
struct MachineState {
  // settings
  VersionSettings version;
  LocaleSettings locale;
  std::int64_t clockSeconds = 0;  // since 1601-01-01, local time
  std::uint16_t clockMillis = 0;
  std::string systemDirectory;  // empty: the version's default
  std::string exePath = "C:\\Program Files\\Dravlin\\dravlin.exe";
  std::string currentFolder;  // empty: the executable's folder
  std::vector<platform::SidAndAttributes> groups;
  std::vector<PrivilegeSetting> privileges;
  std::optional<HijackerSettings> hijacker;

  detail::RegistryStore reg;
  detail::Drive drive;

  // boot state
  std::uint32_t bootCount = 0;
  bool hijackLoaded = false;
  std::string hijackValueName;  // DOS-based: the RunServicesOnce entry it hides
  // Keys that the system's own processes hold open from each boot at which they exist, and
  // the keys they hold in this boot.
  std::vector<std::pair<platform::HKey, std::string>> heldKeys;
  std::vector<std::shared_ptr<detail::Key>> heldOpen;
  std::vector<std::weak_ptr<detail::Key>> volatileKeys;  // gone at the next boot

  // the running program
  bool running = false;
  struct KeyHandle {
    std::shared_ptr<detail::Key> key;
    std::uint32_t access = 0;
    // Opened through the merged HKEY_CLASSES_ROOT: the path below it.
    std::optional<std::string> classes;
  };
  // The open handles, in the order they were made: handles only grow, so the list stays sorted,
  // and a program holds few at once.
  std::vector<std::pair<platform::HKey, KeyHandle>> keys;
  platform::HKey nextKey = 0x100;
  std::map<platform::Handle, std::uint32_t> tokens;  // handle -> access
  platform::Handle nextToken = 0x200;
  std::map<std::string, bool> privilegeState;  // folded name -> enabled
  bool shutdownPrivilegeAsked = false;         // since the program started
  platform::Status lastError = 0;
  struct OpenFile {
    std::string host;
    bool append = false;
    std::uint64_t position = 0;
    std::string path;  // as the program named it, for what happens when it is closed
  };
  std::map<int, OpenFile> files;
  std::map<platform::ItemIdList, std::string> itemLists;
  platform::ItemIdList nextItem = 0x10000;
  std::array<ControlState, 13> controls{};
  bool shown = false;
  bool loaded = false;

  // records
  std::vector<MessageBoxRecord> boxes;
  // Scripted answers, taken from the front (a list: a deque allocates even when empty, and every
  // snapshot copies the state).
  std::vector<int> answers;
  std::vector<ExitWindowsRecord> exits;
  bool exitFails = false;
  // The names are literals: a pointer per call, made into strings only when asked for.
  std::vector<const char*> calls;
  mutable std::vector<std::string> callLog;
  std::uint64_t callCount = 0;

  // faults
  struct Fault {
    std::string operation;
    std::uint64_t remaining = 0;
    std::uint32_t status = 0;
  };
  std::vector<Fault> faults;
  std::uint64_t crashRemaining = 0;  // 0: none armed
  bool dead = false;
};

struct Machine::Impl : MachineState {
  explicit Impl(std::filesystem::path driveC);
  Impl();  // drive C: in memory
  ~Impl();

  // A snapshot, and the machine put back to it: the keys held open by the system point into
  // the tree they were copied with, and a program that was running has ended.
  std::unique_ptr<MachineState> Save() const;
  void Restore(const MachineState& saved);

  std::unique_ptr<MachineState> snapshot;
  std::unique_ptr<detail::Program> program;
  std::unique_ptr<platform::Services> services;

  enum class Gate { Proceed, Fail, Skip };
  // The checkpoint every platform call passes. Fail: *status holds the injected status.
  // Skip: a close after the program died; do nothing. Throws ProgramCrash.
  Gate Enter(const char* operation, bool isClose, std::uint32_t* status);
  void StartProgram();
  void EndProgram();
  std::vector<std::string> Boot();

  bool IsNt() const { return version.platformId == platform::VER_PLATFORM_WIN32_NT; }
  std::string SystemDir() const;
  platform::SystemTime Now() const;
  bool PrivilegeEnabled(const std::string& name) const;
  // The hijacker hides this value of this key from queries.
  bool Hidden(const detail::Key& key, const std::string& valueName) const;
};

namespace detail {

inline constexpr const char* kLiveWindowsKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kRunServicesOnceKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
inline constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class Program final : public platform::Registry,
                      public platform::Security,
                      public platform::Kernel,
                      public platform::Shell,
                      public platform::Files,
                      public platform::Ui,
                      public platform::Regional,
                      public platform::Window {
 public:
  explicit Program(Machine::Impl& m) : m_(m) {}

  // Registry
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

  // Security
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

  // Kernel
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

  // Shell
  std::int32_t SHGetSpecialFolderLocation(std::uint64_t ownerWindow, std::int32_t folder,
                                          platform::ItemIdList* list) override;
  bool SHGetPathFromIDListA(platform::ItemIdList list, char* path) override;
  void CoTaskMemFree(platform::ItemIdList list) override;
  bool PathFileExistsA(const std::string& path) override;

  // Files
  int FreeFile() override;
  platform::RtError OpenForAppend(int fileNumber, const std::string& path) override;
  platform::RtError OpenForBinaryRead(int fileNumber, const std::string& path) override;
  platform::RtError PrintLine(int fileNumber, const std::string& text) override;
  platform::RtError Get(int fileNumber, std::string* buffer) override;
  platform::RtError Close(int fileNumber) override;
  platform::RtError FileLen(const std::string& path, std::int64_t* length) override;
  bool FileExists(const std::string& path) override;
  platform::RtError Kill(const std::string& path) override;

  // Ui
  platform::Window& MainWindow() override;
  int MessageBox(const std::string& text, std::uint32_t style,
                 const std::optional<std::string>& title) override;
  bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reserved) override;

  // Window
  void SetText(platform::Control control, const std::string& text) override;
  std::string GetText(platform::Control control) override;
  void SetEnabled(platform::Control control, bool enabled) override;
  bool IsEnabled(platform::Control control) override;
  void SetVisible(platform::Control control, bool visible) override;
  bool IsVisible(platform::Control control) override;
  void Show() override;
  void Hide() override;
  void Unload() override;
  bool IsLoaded() override;

  // Regional
  void GetLocalTime(platform::SystemTime* time) override;
  int GetDateFormatA(std::uint32_t locale, std::uint32_t flags, const platform::SystemTime* time,
                     const char* format, char* buffer, int size) override;
  int GetTimeFormatA(std::uint32_t locale, std::uint32_t flags, const platform::SystemTime* time,
                     const char* format, char* buffer, int size) override;

 private:
  // Resolves a handle for an operation that needs `access` (NT checks it). On failure returns
  // the status; a predefined root yields its key.
  platform::Status KeyOf(platform::HKey key, std::uint32_t access, std::shared_ptr<Key>* out,
                         std::uint32_t* granted = nullptr);
  platform::HKey NewKeyHandle(std::shared_ptr<Key> key, std::uint32_t access,
                              std::optional<std::string> classes = std::nullopt);
  // From Windows 2000 on, HKEY_CLASSES_ROOT merges the user's classes over the machine's:
  // the path below it of a root or handle that sees that view, null for any other.
  const std::string* ClassesOf(platform::HKey key) const;
  std::shared_ptr<Key> ClassesLookup(std::string_view path);
  // The subkeys a handle lists: the key's own, or those of the merged view, gathered in `merged`.
  const std::vector<std::shared_ptr<Key>>& Subkeys(platform::HKey key,
                                                   const std::shared_ptr<Key>& k,
                                                   std::vector<std::shared_ptr<Key>>& merged);
  // The common part of the two open calls, after their own checkpoint.
  platform::Status OpenKey(platform::HKey key, const std::string& subKey, std::uint32_t access,
                           platform::HKey* result);
  bool Fail(platform::Status status);  // sets the last error, returns false
  platform::RtError FileError(const Resolved& r) const;

  Machine::Impl& m_;
};

// Access bits after generic rights are mapped.
std::uint32_t MapKeyAccess(std::uint32_t sam);
// A message of the system table, or null.
const char* SystemMessage(std::uint32_t id);
// The error a kernel file call reports for a path that did not resolve.
platform::Status PathStatus(PathError e);
// The LUID of a privilege name; 0 when unknown.
std::uint32_t PrivilegeLuid(std::string_view name);
// Seconds since 1601-01-01 and back.
std::int64_t ToSeconds(const platform::SystemTime& t);
platform::SystemTime FromSeconds(std::int64_t seconds, std::uint16_t millis);
bool ValidTime(const platform::SystemTime& t);

}  // namespace detail
}  // namespace dravlin::sim
