// A simulated Windows machine: registry, drive C:, token, version, locale, clock and window,
// behind the platform interfaces. Tests arrange and inspect it directly; the program reaches it
// only through services(), where every call is counted and may be made to fail or to crash.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/services.h"

namespace dravlin::sim {

// Thrown at the point where an injected crash ends the program. Deliberately not derived from
// std::exception, so that no guard in product code catches it.
struct ProgramCrash {};

// ---------------------------------------------------------------------------------------------
// Settings

struct VersionSettings {
  std::uint32_t platformId = platform::VER_PLATFORM_WIN32_NT;
  std::uint32_t major = 5;
  std::uint32_t minor = 1;
  std::uint32_t build = 2600;  // as GetVersionExA reports it (9x: high word holds major.minor)
  std::string csd = "Service Pack 2";
};

// Presets: win95, win98 (4.10.1998), win98se (4.10.2222), winme, nt4, win2000, winxp, win2003,
// vista. nullopt for an unknown name (names compare without regard to case).
std::optional<VersionSettings> VersionPreset(std::string_view name);
std::vector<std::string> VersionPresetNames();

struct LocaleSettings {
  std::string nativeLanguage = "English";  // LOCALE_SNATIVELANGNAME
  std::string shortDate = "M/d/yyyy";      // e.g. "dd.MM.yyyy"
  std::string longTime = "h:mm:ss tt";     // e.g. "HH:mm:ss"
  std::string am = "AM";
  std::string pm = "PM";
};

// Formats a date/time picture: d dd M MM yy yyyy h hh H HH m mm s ss t tt and '...' literals
// ('' inside a literal or outside is one quote). Other characters stand as they are.
// ddd/dddd/MMM/MMMM give English day/month names.
std::string FormatPicture(const std::string& picture, const platform::SystemTime& time,
                          const std::string& am = "AM", const std::string& pm = "PM");

struct PrivilegeSetting {
  std::string name;               // e.g. "SeBackupPrivilege"
  bool enabledByDefault = false;  // the state each program start finds
};

struct HijackerSettings {
  std::string dllPath;  // Windows path of the DLL, e.g. "C:\WINDOWS\system32\evil.dll"
  char blank = '\0';    // what each byte of its hidden entry reads as: '\0' or ' '
};

struct RegValue {
  std::uint32_t type = platform::REG_SZ;
  std::string data;  // raw bytes, as the ANSI calls read them
  // String data holding characters the ANSI code page lacks, as NT keeps it: UTF-16LE,
  // terminator included (data then reads '?' for each). Empty when data says it all; a write
  // through the ANSI calls leaves it empty, as Windows then holds only what was written.
  std::string wide{};
  friend bool operator==(const RegValue&, const RegValue&) = default;
};

struct NamedValue {
  std::string name;  // as stored (case preserved)
  RegValue value;
};

// One key of a tree walk: its path below the walked root (empty for the root itself),
// components joined by "\", with the case of each name as stored.
struct KeySnapshot {
  std::string path;
  std::vector<NamedValue> values;  // in the order the key keeps them
};

struct MessageBoxRecord {
  std::string text;
  std::uint32_t style = 0;
  std::string title;  // as shown: the application title when the program passed none
};

// One ExitWindowsEx request, refused ones too, as Windows saw it.
struct ExitWindowsRecord {
  std::uint32_t flags = 0;
  bool shutdownPrivilegeAsked = false;  // the caller had asked to enable it before
  bool accepted = false;
};

struct ControlState {
  std::string text;
  bool enabled = true;
  bool visible = true;
};

// A folder under the host's temporary directory, removed with everything in it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class Machine {
 public:
  // driveC: the host folder that is drive C: (created when missing). Starts as Windows XP SP2,
  // English, an administrator holding backup, restore and shutdown privileges (all disabled),
  // an empty registry apart from HKLM\SOFTWARE\Classes, and no hijacker. Not yet booted.
  explicit Machine(std::filesystem::path driveC);
  // The same machine with drive C: held in memory: nothing is written to the host.
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ----- settings (direct; not platform calls)
  void SetVersion(const VersionSettings& version);
  bool SetVersionPreset(std::string_view name);  // false for an unknown name
  const VersionSettings& Version() const;
  bool IsNtBased() const;  // platform id 2

  void SetLocale(const LocaleSettings& locale);
  const LocaleSettings& Locale() const;

  void SetClock(const platform::SystemTime& time);  // day of week is recomputed
  void AdvanceClock(std::int64_t seconds);
  platform::SystemTime Clock() const;

  // Empty: the version's default ("C:\WINDOWS\system32" on NT-based, "C:\WINDOWS\SYSTEM" on 9x).
  void SetSystemDirectory(std::string path);
  std::string SystemDirectory() const;
  void SetExePath(std::string path);  // default "C:\Program Files\Dravlin\dravlin.exe"
  const std::string& ExePath() const;
  // The program's current folder, which relative paths start from ("C:\\..."); empty (the
  // default) is the executable's folder, as when it is started from the desktop or RunOnce.
  void SetCurrentFolder(std::string path);
  const std::string& CurrentFolder() const;

  // Token groups of the program's process token (the thread has none).
  static platform::SidBytes AdminSid();     // S-1-5-32-544
  static platform::SidBytes UsersSid();     // S-1-5-32-545
  static platform::SidBytes EveryoneSid();  // S-1-1-0
  void SetTokenGroups(std::vector<platform::SidAndAttributes> groups);
  const std::vector<platform::SidAndAttributes>& TokenGroups() const;
  // Everyone, Users and (if admin) Administrators, all enabled.
  void SetAdmin(bool admin);
  // The privileges the account holds; each program start gets them in their default state.
  void SetPrivileges(std::vector<PrivilegeSetting> privileges);
  const std::vector<PrivilegeSetting>& Privileges() const;
  bool PrivilegeEnabled(const std::string& name) const;  // the running program's current state

  void SetHijacker(std::optional<HijackerSettings> hijacker);
  const std::optional<HijackerSettings>& Hijacker() const;
  bool HijackerLoaded() const;  // loaded at the last boot

  // ----- registry, direct access (uncounted, never faulted). root: HKLM, HKCU, HKU or HKCR
  // (a view of HKLM\SOFTWARE\Classes). Paths are "A\B\C" below the root; "" is the root.
  bool CreateKey(platform::HKey root, const std::string& path);  // with intermediate keys
  bool KeyExists(platform::HKey root, const std::string& path) const;
  bool DeleteKey(platform::HKey root, const std::string& path);  // whole subtree; false if missing
  // Creates the key when missing.
  bool SetValue(platform::HKey root, const std::string& path, const std::string& name,
                std::uint32_t type, const std::string& data);
  bool SetValue(platform::HKey root, const std::string& path, const std::string& name,
                const RegValue& value);
  bool SetString(platform::HKey root, const std::string& path, const std::string& name,
                 const std::string& text);  // REG_SZ, text plus its terminating NUL
  std::optional<RegValue> GetValue(platform::HKey root, const std::string& path,
                                   const std::string& name) const;
  bool DeleteValue(platform::HKey root, const std::string& path, const std::string& name);
  std::vector<std::string> ListSubkeys(platform::HKey root, const std::string& path) const;
  std::vector<NamedValue> ListValues(platform::HKey root, const std::string& path) const;
  // A key's security on NT-based versions (DOS-based Windows has none): the rights it grants
  // the program (KEY_* bits; KEY_READ makes a key that can be read but not changed). An open
  // asking for more is refused with ERROR_ACCESS_DENIED, creating a subkey needs
  // KEY_CREATE_SUB_KEY, deleting the key needs DELETE. DenyAccess grants nothing (or all again).
  void SetKeyAccess(platform::HKey root, const std::string& path, std::uint32_t allowed);
  void DenyAccess(platform::HKey root, const std::string& path, bool deny = true);
  // A process of the system holds this key open from every boot at which it exists (as a
  // running NT machine's own processes hold keys of its configuration): a restore without
  // REG_FORCE_RESTORE at or above it is refused.
  void HoldKeyOpen(platform::HKey root, const std::string& path);
  const std::vector<std::pair<platform::HKey, std::string>>& HeldKeys() const;
  // Pre-order walk of the key and everything below it (subkeys in enumeration order);
  // empty when the key is missing.
  std::vector<KeySnapshot> ExportTree(platform::HKey root, const std::string& path = "") const;
  // The same walk without copies: visit(path, values) for each key, in the same order. The
  // arguments are valid during the call only.
  using KeyVisitor =
      std::function<void(std::string_view path, const std::vector<NamedValue>& values)>;
  void VisitTree(platform::HKey root, const std::string& path, const KeyVisitor& visit) const;

  // ----- drive C:, direct access. Paths are Windows paths on C: ("C:\dir\file"), any case.
  const std::filesystem::path& DriveRoot() const;  // empty for a drive in memory
  // The host path of an existing file or folder, nullopt when missing, not on C: or in memory.
  std::optional<std::filesystem::path> HostPath(const std::string& winPath) const;
  bool WriteFile(const std::string& winPath, const std::string& bytes);  // creates folders
  std::optional<std::string> ReadFile(const std::string& winPath) const;
  bool CreateFolder(const std::string& winPath);
  bool FileExists(const std::string& winPath) const;    // files only
  bool FolderExists(const std::string& winPath) const;  // folders only
  bool RemoveFile(const std::string& winPath);          // ignores attributes and locks
  // FILE_ATTRIBUTE_* bits (read-only, hidden, system, archive); INVALID_FILE_ATTRIBUTES if missing.
  std::uint32_t FileAttributes(const std::string& winPath) const;
  bool SetFileAttributes(const std::string& winPath, std::uint32_t attributes);
  // An undeletable file is in use: deleting it fails with ERROR_SHARING_VIOLATION.
  void SetUndeletable(const std::string& winPath, bool undeletable = true);
  bool IsUndeletable(const std::string& winPath) const;
  // Nothing below the folder can be made, changed or deleted, as on a CD or a read-only share:
  // Windows answers ERROR_ACCESS_DENIED, the runtime's file statements error 75.
  void SetReadOnlyFolder(const std::string& winPath);
  // Every file written below the folder (closed after writing, or copied there) is taken away at
  // once, as a virus scanner takes a file it does not like; the call that wrote it succeeded.
  void SetSweptFolder(const std::string& winPath);
  // The file is loaded as a DLL until the next restart: NT refuses its deletion with
  // ERROR_ACCESS_DENIED, DOS-based Windows with ERROR_SHARING_VIOLATION.
  void MarkLoaded(const std::string& winPath);
  std::vector<std::string> ListFiles() const;  // "C:\..." paths of all files, sorted

  // ----- the program's side
  platform::Services& services();

  const std::vector<MessageBoxRecord>& MessageBoxes() const;
  void ClearMessageBoxes();
  // Answers for the next message boxes, in order; when they run out each box answers IDOK.
  void ScriptMessageBoxAnswers(std::vector<int> answers);

  // Every ExitWindowsEx call, refused ones too. On NT-based versions a shutdown, reboot or
  // power-off needs the shutdown privilege enabled (ERROR_PRIVILEGE_NOT_HELD otherwise).
  const std::vector<ExitWindowsRecord>& ExitWindowsRequests() const;
  std::vector<std::uint32_t> ExitWindowsCalls() const;  // their flags
  void SetExitWindowsFails(bool fails);                 // refuse with ERROR_ACCESS_DENIED

  const ControlState& Control(platform::Control control) const;
  bool WindowShown() const;
  bool WindowLoaded() const;  // false after Unload (and after a reboot, until the next start)

  // Names of the platform calls made so far ("RegOpenKeyExA", "Window.SetText", ...).
  const std::vector<std::string>& CallLog() const;
  std::uint64_t CallCount() const;

  // Handles the program holds open right now.
  std::size_t OpenKeyHandles() const;
  std::size_t OpenTokenHandles() const;
  std::size_t OpenFiles() const;      // runtime file numbers
  std::size_t OpenItemLists() const;  // shell item lists not freed

  // ----- boots
  // A start of Windows without ending the program first (use it once, before the program's
  // first run): loads the hijacker when its conditions hold and runs and consumes the start-once
  // entries (DOS-based: RunServicesOnce first). Returns the command lines run, in order.
  std::vector<std::string> Boot();
  // Ends the program's state (handles, files, window, enabled privileges, a crash that fired),
  // then Boot(): hijacker boot behaviour, RunServicesOnce (DOS-based) and the RunOnce entries of
  // HKLM and HKCU run and are consumed. Returns their command lines in the order they ran.
  std::vector<std::string> Reboot();
  std::uint32_t BootCount() const;
  // A new process of the program without a reboot: handles, files, window and privileges start
  // afresh. The first platform call after construction or a reboot does this by itself.
  void StartProgram();
  // True when the command line starts the program (its long or short path, quoted or not,
  // any case).
  bool NamesProgram(const std::string& commandLine) const;

  // ----- fault injection. Counting starts when the fault is armed; n is 1-based.
  // The n-th call of `operation` (a name as in CallLog) fails with `status`, in the form the
  // call reports failure: a returned status, false with GetLastError, a 0 count, an HRESULT,
  // a runtime error number. Calls that cannot fail (GetCurrentProcess, GetCurrentThread,
  // GetLastError, GetLocalTime, Files.FreeFile, FreeSid, CoTaskMemFree) count but ignore it.
  void FailCall(const std::string& operation, std::uint64_t n, std::uint32_t status);
  // At the n-th platform call of any kind the program ends (ProgramCrash); what was written
  // before stays. A close call never throws: the program is marked dead and the next other call
  // throws. After death every call throws, except closes, which do nothing.
  void CrashAtCall(std::uint64_t n);
  void ClearFaults();
  bool ProgramDead() const;

  // ----- snapshot. Keeps everything the machine holds now (settings, registry, a drive held in
  // memory, boot state, records, faults); restoring ends the program and puts all of it back as
  // it was, so that one machine can be set up once and serve many runs. A drive on a host
  // folder is not kept. False when nothing was kept.
  void SaveSnapshot();
  bool RestoreSnapshot();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace dravlin::sim
