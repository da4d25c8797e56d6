// The main window's logic: start-up, the two disinfection procedures, restart scheduling,
// outcomes, the activity log, texts, Browser Helper Object removal and start-page repair.
// The window itself is reached only through platform::Window.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/regional.h"
#include "platform/services.h"
#include "registry/modRegAccess.h"
#include "registry/modRegKeyRename.h"
#include "system/modIsAdmin.h"
#include "workflow/backup.h"

namespace dravlin {

class ProcedureGuard;

// One row of the Internet Explorer page table: a key below "Software\Microsoft\Internet
// Explorer" and the value to inspect there.
struct IePageEntry {
  std::string_view SubKey;
  std::string_view ValueName;
};

// The page values are read under both roots: the user's first, then the machine's.
inline constexpr std::size_t kIePageRows = 13;
inline constexpr std::size_t kIePageSlots = 2 * kIePageRows;

class frmGetAll {
 public:
  explicit frmGetAll(platform::Services& services);
  ~frmGetAll();
  frmGetAll(const frmGetAll&) = delete;
  frmGetAll& operator=(const frmGetAll&) = delete;

  // Event entry points, called by the window (real or simulated).
  void Form_Load();
  void CB_start_Click();
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  // Both close the log and unload the window; every failure is ignored. Once the window is
  // unloaded, a further call does nothing.
  void Form_Unload();
  void Form_Terminate();

  // The window's procedures. Those without a guard of their own let failures reach the caller.
  std::string GetInfo(std::uint32_t lInfo);
  void go_nt();
  void go_9x();
  // True when the key was copied (the source is then deleted if asked; that is not checked).
  bool MoveRegKey(platform::HKey root, const std::string& fromPath, const std::string& toPath,
                  bool deleteSource);
  void RestartWindows();
  void PrepareRestart(bool autoRestart);
  // The whole file as ANSI text, or "" when anything fails; *read tells which.
  std::string ReadFromFile(const std::string& Filename, bool* read = nullptr);

  void ReportNotInfected();
  void ReportDisinfected();
  void ReportCleanupError();

  void OpenLog();
  std::string TimeStamp(const platform::SystemTime& when);
  std::string TimeStampNow();

  void LocalizeTexts();
  void SetCompleteCaption();

  // True when no object that loads the page DLL is left (asked again after the removal).
  bool RemoveBhos();
  // With deleteBad: true when no hijacked page value is left (asked again after the deletion).
  bool RepairIePages(bool deleteBad);
  void GetPageDllName();

  // Character census of the first `count` characters: NUL and space are blank, the rest valid.
  static void ScanStealthString(std::int64_t count, const std::string& text,
                                std::int64_t& blankCount, std::int64_t& validCount);
  // Percent escapes to bytes. Only hexadecimal digits are consumed, at most two; a "%" with no
  // hexadecimal digit after it stays as it is.
  static std::string UrlDecode(const std::string& text);
  // 1-based position of the first (or last) occurrence ignoring letter case, 0 if none.
  static std::int64_t FindText(const std::string& text, const std::string& pattern, bool fromEnd);

  // Run state, readable for inspection.
  const std::string& SystemPath() const { return SystemPath_; }
  const std::string& HijackDllPath() const { return HijackDllPath_; }
  std::int16_t OsCode() const { return OsCode_; }
  const std::string& Language() const { return Language_; }
  const std::string& PageDllName() const { return PageDllName_; }
  std::int32_t LogFileNumber() const { return LogFileNumber_; }
  bool IsLogOpen() const { return logOpen_; }
  const std::string& BackupFolder() const { return backup_.Folder(); }

 private:
  friend class ProcedureGuard;

  bool German() const { return Language_ == "deutsch"; }
  platform::Window& Window() { return sv_.ui.MainWindow(); }
  // One log line (or two, when text holds a CR LF). Nothing happens while the log is closed.
  void WriteLog(const std::string& text);
  // A standard line: the time stamp followed directly by text.
  void Log(const std::string& text) { WriteLog(TimeStampNow() + text); }
  void CloseLog();
  void UnloadAllForms();
  // "Close the window": the unload path.
  void CloseWindow() { Form_Unload(); }
  void FillTables();
  // The recovery of the NT procedure from an earlier run cut short (go_nt.cpp).
  bool PutKeyBack(bool dropParked);
  bool LiveKeyCutShort();
  bool DropEmptyLiveKey();
  // True (and logged) when AppInit_DLLs of the key read as unreadable although it is there.
  bool Unread(const char* key, const std::string& text);
  bool ParkedCopyDone();
  bool TidyParkedCopy();
  bool ParkedCopyReplaceable();
  // The steps of the two procedures, each run under the procedure's guard (workflow/steps.h).
  // NT-based Windows (go_nt.cpp).
  void FirstStepNt(ProcedureGuard& guard);
  void ParkLiveKey(ProcedureGuard& guard);
  bool ParkedCopyMayGo(ProcedureGuard& guard);
  void NotInfectedOrUnfinished(ProcedureGuard& guard);
  void SecondStepNt(ProcedureGuard& guard);
  void FinishSecondStep(ProcedureGuard& guard, bool dllFound, bool recordSpent);
  // The valid characters of an auto-load value; nullopt when it is too short to name a DLL.
  std::optional<std::int64_t> ValidCharacters(ProcedureGuard& guard, const std::string& text);
  // Kept, deleted, and logged as deleted (as shown) or still there.
  void DeleteHijackDll(ProcedureGuard& guard, const std::string& path, const std::string& shown);
  // DOS-based Windows (go_9x.cpp).
  struct KeyFileScan;
  void FirstStep9x(ProcedureGuard& guard);
  void RemoveServiceKey(ProcedureGuard& guard);
  void SecondStep9x(ProcedureGuard& guard);
  void CleanUpWithoutKeyFile(ProcedureGuard& guard);
  bool RetireKeyFile(ProcedureGuard& guard, bool keyFileRead);
  KeyFileScan ScanKeyFile(ProcedureGuard& guard);
  void TakeDllPath(ProcedureGuard& guard, const KeyFileScan& scan);
  void DeleteKeyFile(ProcedureGuard& guard);
  void DiscardKeyFile(ProcedureGuard& guard);
  // The objects, then the pages, which name the objects' DLL and so stay while one is left.
  bool CleanUpBrowser(ProcedureGuard& guard);
  // What the second step's clean-up left, asked so that a failed question counts as left.
  enum class Presence { Gone, There, Unknown };
  struct RemovedObject {
    std::string registration, classKey, file;
  };
  Presence KeyPresence(platform::HKey root, const std::string& path);
  Presence ValuePresence(platform::HKey root, const std::string& path,
                         const std::string& valueName);
  // Lists the objects; false when the list could not be read.
  bool ListObjects();
  bool ObjectsGone(const std::vector<RemovedObject>& removed);
  bool PagesGone();
  // Whether the DOS procedure's key file may go: the DLL it names is gone (go_9x.cpp).
  bool KeyFileSpent(bool keyFileRead);
  bool FileGone(const std::string& path);
  // A file (not a folder) of an object is still there, or the question failed.
  bool ObjectFileLeft(const std::string& file);
  std::string ExeDirectory();
  // Keep what is about to be deleted or changed; false (and one log line) when it could not
  // be kept, and then only the hijacker DLL may be deleted all the same. item names the .reg
  // file of its own.
  bool BackUpKey(platform::HKey root, const std::string& path, const std::string& item,
                 Backup::Kind kind);
  bool BackUpValue(platform::HKey root, const std::string& path, const std::string& valueName,
                   const std::string& item);
  bool BackUpFile(const std::string& path, Backup::Kind kind);
  bool KeepChangedKey(platform::HKey root, const std::string& path, const std::string& hijacker);
  bool KeepChangedValue(platform::HKey root, const std::string& path, const std::string& valueName,
                        const std::string& recordAs);
  // Logs a failure, and the backup's folder the first time this run has one.
  bool Noted(bool kept, const std::string& item);
  // Ends the backup's use once no record of an unfinished disinfection is left.
  void CloseBackupWhenDone();
  // Where a class key of HKEY_CLASSES_ROOT really lives: the user's own classes come first on
  // Windows 2000 and later.
  std::pair<platform::HKey, std::string> ClassHome(const std::string& classKey);

  platform::Services& sv_;
  modRegAccess reg_;
  modRegKeyRename rename_;
  modIsAdmin admin_;
  Backup backup_{sv_, [this] { return ExeDirectory(); }};
  bool backupLogged_ = false;

  std::string SystemPath_;
  std::string HijackDllPath_;
  std::int16_t OsCode_ = 0;
  std::int32_t ShortPathLength_ = 0;
  std::string ShortPathBuffer_;
  std::string PageDllName_;
  std::string Language_;

  // The decoded page values as the first step read them, slot root * kIePageRows + row.
  std::array<std::string, kIePageSlots> IePageValues_{};

  std::int32_t LogFileNumber_ = 0;
  bool logOpen_ = false;
  bool unloaded_ = false;
};

}  // namespace dravlin
