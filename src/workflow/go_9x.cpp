// The disinfection procedure for DOS-based Windows: the service key is saved to a key file,
// the DLL path is found in the saved bytes, and the key is deleted before the restart; the
// second step re-creates the key and deletes the key file and the DLL.
#include <cstdint>
#include <new>
#include <string>

#include "platform/files.h"
#include "platform/kernel.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/steps.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::Control;
using platform::HKEY_LOCAL_MACHINE;

namespace {

void ThrowIfFailed(platform::RtError status) {
  if (status != platform::RT_OK) throw rt::Error(status);
}

// Lies between saving the key and looking for the key file; the volatile counter keeps the
// compiler from dropping it.
void Pause() {
  volatile std::int32_t counter = 0;
  while (counter < 9999999) counter = counter + 1;
}

}  // namespace

std::string frmGetAll::ReadFromFile(const std::string& Filename, bool* read) {
  std::string result;
  int fileNumber = 0;
  const bool ok = RunGuarded(
      [&] {
        std::int64_t length = 0;
        ThrowIfFailed(sv_.files.FileLen(Filename, &length));
        if (length < 0) throw rt::Error(rt::kInvalidCall);
        // A length this process cannot hold (a 32-bit build) is out of memory, not truncated.
        if (static_cast<std::uint64_t>(length) > std::string().max_size()) {
          throw rt::Error(rt::kOutOfMemory);
        }
        std::string content(static_cast<std::size_t>(length), ' ');
        fileNumber = sv_.files.FreeFile();
        ThrowIfFailed(sv_.files.OpenForBinaryRead(fileNumber, Filename));
        ThrowIfFailed(sv_.files.Get(fileNumber, &content));
        result = std::move(content);
        ThrowIfFailed(sv_.files.Close(fileNumber));
      },
      [](const RaisedError&) {});
  if (!ok && fileNumber != 0) (void)sv_.files.Close(fileNumber);
  if (read != nullptr) *read = ok;
  return result;
}

bool frmGetAll::FileGone(const std::string& path) {
  // Only "no such file" (or a name no file can have) counts: a test that fails for another
  // reason, such as a denied access, proves nothing.
  if (sv_.kernel.GetFileAttributesA(path) != platform::INVALID_FILE_ATTRIBUTES) return false;
  const platform::Status error = sv_.kernel.GetLastError();
  return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND ||
         error == platform::ERROR_INVALID_NAME;
}

bool frmGetAll::KeyFileSpent(bool keyFileRead) {
  // Without the file's text, or without the system directory to find the path in it, nothing
  // is known yet; a file read in full that names no DLL holds nothing worth keeping.
  if (HijackDllPath_.empty()) return keyFileRead && !SystemPath_.empty();
  return FileGone(rt::AnsiPath(HijackDllPath_));
}

void frmGetAll::go_9x() {
  ProcedureGuard guard(*this, texts::kError9xLogLine);
  if (TrueOrFailed(guard,
                   [&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kServiceKey); })) {
    FirstStep9x(guard);
  } else {
    SecondStep9x(guard);
  }
}

struct frmGetAll::KeyFileScan {
  std::string text;
  bool read = false;
  std::int64_t pos = 0;   // the system folder, where the DLL's path starts
  std::int64_t pos1 = 0;  // the dot of its extension
};

frmGetAll::KeyFileScan frmGetAll::ScanKeyFile(ProcedureGuard& guard) {
  KeyFileScan scan;
  guard.Step([&] { scan.text = ReadFromFile(names::kKeyFile, &scan.read); });
  // An empty system directory locates nothing; it is not found at position 1.
  guard.Step(
      [&] { scan.pos = SystemPath_.empty() ? 0 : rt::InStr(1, scan.text, SystemPath_, true); });
  return scan;
}

void frmGetAll::TakeDllPath(ProcedureGuard& guard, const KeyFileScan& scan) {
  guard.Step(
      [&] { HijackDllPath_ = rt::Trim(rt::Mid(scan.text, scan.pos, scan.pos1 - scan.pos + 4)); });
}

// Reset the key file's attributes and delete it; the runtime's delete-by-name is the second try.
void frmGetAll::DeleteKeyFile(ProcedureGuard& guard) {
  guard.Step([&] {
    (void)sv_.kernel.SetFileAttributesA(names::kKeyFile, platform::FILE_ATTRIBUTE_NORMAL);
  });
  if (TrueOrFailed(guard, [&] { return !sv_.kernel.DeleteFileA(names::kKeyFile); })) {
    guard.Step([&] { ThrowIfFailed(sv_.files.Kill(names::kKeyFile)); });
  }
}

// The key file of a first step that stops before the key goes records nothing: one try will do.
void frmGetAll::DiscardKeyFile(ProcedureGuard& guard) {
  guard.Step([&] {
    (void)sv_.kernel.SetFileAttributesA(names::kKeyFile, platform::FILE_ATTRIBUTE_NORMAL);
  });
  guard.Step([&] { (void)sv_.kernel.DeleteFileA(names::kKeyFile); });
}

// The DLL hides its start entry while it is loaded, but not from the key saved to a file: the
// path is read from there, and the key goes for the restart.
void frmGetAll::FirstStep9x(ProcedureGuard& guard) {
  guard.Step([&] { Log(" Dravlin started " + Window().GetText(Control::Label5)); });
  if (TrueOrFailed(guard, [&] { return sv_.shell.PathFileExistsA(names::kKeyFile); })) {
    DeleteKeyFile(guard);
  }
  guard.Step(
      [&] { rename_.saveKeyToFile(HKEY_LOCAL_MACHINE, names::kServiceKey, names::kKeyFile); });
  guard.Step([&] { Pause(); });
  if (TrueOrFailed(guard, [&] { return !sv_.shell.PathFileExistsA(names::kKeyFile); })) {
    guard.Step([&] {
      Log(" Error while getting Stealth-String->programm terminated key file not saved");
    });
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  KeyFileScan scan = ScanKeyFile(guard);
  // Without the file's text, or the system folder to find the path in, nothing is known. NT
  // 4.0's shell has no system folder to give, and there the written verdict stands.
  const bool noSystemFolder = SystemPath_.empty() && OsCode_ <= 4;
  if (!scan.read || noSystemFolder) {
    guard.Step([&] {
      Log(texts::NotReadableLogLine(German(),
                                    SystemPath_.empty() ? "GetSystemDirectoryA" : names::kKeyFile));
    });
    guard.Step([&] { ReportCleanupError(); });
    DiscardKeyFile(guard);
    return;
  }
  if (TrueOrFailed(guard, [&] { return scan.pos <= 0; })) {
    guard.Step([&] { ReportNotInfected(); });
    DiscardKeyFile(guard);
    return;
  }
  guard.Step([&] { scan.pos1 = rt::InStr(scan.pos, scan.text, ".", false); });
  if (TrueOrFailed(guard, [&] { return scan.pos1 <= 0; })) {
    guard.Step([&] { Log(" pos1 <0 "); });
    guard.Step([&] { ReportNotInfected(); });
    DiscardKeyFile(guard);
    return;
  }
  TakeDllPath(guard, scan);
  RemoveServiceKey(guard);
}

// Every entry of the key goes, not only the hijacker's: all of them are kept first, and a key
// that cannot be kept stays.
void frmGetAll::RemoveServiceKey(ProcedureGuard& guard) {
  guard.Step([&] { Log(" Stealth-String found: " + HijackDllPath_); });
  const bool kept = ValueOr(guard, false, [&] {
    return KeepChangedKey(HKEY_LOCAL_MACHINE, names::kServiceKey, HijackDllPath_);
  });
  if (!kept) {
    guard.Step(
        [&] { Log(texts::LeftOverLogLine(German(), "HKLM\\" + std::string(names::kServiceKey))); });
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  guard.Step([&] { (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kServiceKey); });
  guard.Step([&] { RestartWindows(); });
  // Already closed by the restart; a second close does nothing.
  guard.Step([&] { CloseWindow(); });
}

// After the restart the DLL is no longer loaded. The key file is the only record of its path
// and of an unfinished clean-up, and with the service key back the next run would take the
// first step: both wait until the DLL, the objects and the pages are gone.
void frmGetAll::SecondStep9x(ProcedureGuard& guard) {
  guard.Step([&] { Log(" 2nd Step "); });
  if (TrueOrFailed(guard, [&] { return !sv_.shell.PathFileExistsA(names::kKeyFile); })) {
    CleanUpWithoutKeyFile(guard);
    return;
  }
  KeyFileScan scan = ScanKeyFile(guard);
  // Neither position is tested here: a missing system directory fails the next two steps.
  guard.Step([&] { scan.pos1 = rt::InStr(scan.pos, scan.text, ".", false); });
  TakeDllPath(guard, scan);
  const std::string path = rt::AnsiPath(HijackDllPath_);
  const bool dllFound = TrueOrFailed(guard, [&] { return sv_.shell.PathFileExistsA(path); });
  if (dllFound) {
    DeleteHijackDll(guard, path, rt::Trim(HijackDllPath_));
  } else {
    guard.Step([&] { Log(" Hijack-DLL Path not found  (not deleted)"); });
  }
  const bool cleaned = CleanUpBrowser(guard);
  const bool retired = cleaned && RetireKeyFile(guard, scan.read);
  // A DLL that could not be deleted keeps its record, and the written report.
  bool dllLeft = false;
  if (dllFound && !retired) dllLeft = ValueOr(guard, false, [&] { return !FileGone(path); });
  if (cleaned && dllFound && (retired || dllLeft)) {
    guard.Step([&] { ReportDisinfected(); });
  } else {
    guard.Step([&] { ReportCleanupError(); });
  }
}

// Without the key file the DLL's path is unknown; the objects and pages go all the same.
void frmGetAll::CleanUpWithoutKeyFile(ProcedureGuard& guard) {
  guard.Step([&] { Log(" Hijack-DLL Path not found (not deleted)"); });
  const bool cleaned = CleanUpBrowser(guard);
  // A key file that is there after all must not meet a first step on the next run.
  if (cleaned && TrueOrFailed(guard, [&] { return FileGone(names::kKeyFile); })) {
    guard.Step([&] { (void)reg_.CreateRegKey(HKEY_LOCAL_MACHINE, names::kServiceKey); });
  }
  guard.Step([&] { ReportCleanupError(); });
}

// True when the record went: the DLL it names is gone, the key file deleted, the key back.
bool frmGetAll::RetireKeyFile(ProcedureGuard& guard, bool keyFileRead) {
  const bool spent = ValueOr(guard, false, [&] { return KeyFileSpent(keyFileRead); });
  if (!spent) return false;
  DeleteKeyFile(guard);
  guard.Step([&] { (void)reg_.CreateRegKey(HKEY_LOCAL_MACHINE, names::kServiceKey); });
  bool gone = false;
  guard.Step([&] {
    gone = FileGone(names::kKeyFile) &&
           KeyPresence(HKEY_LOCAL_MACHINE, names::kServiceKey) == Presence::There;
    if (!gone) Log(texts::LeftOverLogLine(German(), names::kKeyFile));
  });
  return gone;
}

}  // namespace dravlin
