// The disinfection procedure for NT-based Windows: park the auto-load key and restart in
// the first step; delete the DLL, clean up and bring the key back in the second.
#include <string>

#include "platform/ui.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::Control;
using platform::HKEY_LOCAL_MACHINE;

void frmGetAll::ScanStealthString(std::int64_t count, const std::string& text,
                                  std::int64_t& blankCount, std::int64_t& validCount) {
  blankCount = 0;
  validCount = 0;
  const auto limit = static_cast<std::int64_t>(text.size());
  for (std::int64_t i = 1; i <= count; ++i) {
    // Positions beyond the text read as nothing at all, as an empty character would.
    if (i > limit) throw rt::Error(rt::kInvalidCall);
    const char c = text[static_cast<std::size_t>(i - 1)];
    if (c == '\0' || c == ' ') {
      ++blankCount;
    } else {
      ++validCount;
    }
  }
}

void frmGetAll::MoveRegKey(platform::HKey root, const std::string& fromPath,
                           const std::string& toPath, bool deleteSource) {
  const std::int32_t result = rename_.renameKey(root, fromPath, toPath);
  if (result == 0) {
    if (deleteSource) (void)reg_.DeleteRegKey(root, fromPath);
  } else {
    Log(" Error RK");
  }
}

void frmGetAll::AbortSecondStep(const std::string& reason) {
  Log(" " + reason + " -> Programm terminated");
  MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, true);
  (void)reg_.WriteRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls,
                           RegData::Str(""), platform::REG_SZ);
  ReportCleanupError();
}

void frmGetAll::go_nt() {
  ProcedureGuard guard(*this, " Error go_nt: ");
  std::string text;
  std::int64_t count = 0;
  std::int64_t blankCount = 0;
  std::int64_t validCount = 0;

  if (guard.Test([&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kLiveKey); })) {
    guard.Step([&] { Log(" Dravlin started " + Window().GetText(Control::Label5)); });
    guard.Step([&] {
      text = reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls).AsText();
    });
    guard.Step([&] { count = static_cast<std::int64_t>(text.size()); });
    if (guard.Test([&] { return count > 3; })) {
      guard.Step([&] { ScanStealthString(count, text, blankCount, validCount); });
      if (guard.Test([&] { return validCount == 0; })) {
        guard.Step([&] { Log(" Stealth-String found"); });
        guard.Step(
            [&] { MoveRegKey(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kParkedKey, true); });
        guard.Step([&] { RestartWindows(); });
      } else {
        guard.Step([&] { ReportNotInfected(); });
      }
    } else {
      guard.Step([&] { ReportNotInfected(); });
    }
  } else if (guard.Test([&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey); })) {
    guard.Step([&] { Log(" 2nd Step "); });
    guard.Step([&] {
      text = reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls).AsText();
    });
    guard.Step([&] { count = static_cast<std::int64_t>(text.size()); });
    if (guard.Test([&] { return count > 3; })) {
      guard.Step([&] { ScanStealthString(count, text, blankCount, validCount); });
      if (guard.Test([&] { return validCount > 3; })) {
        // The file functions read the trimmed text up to its first NUL.
        std::string path;
        guard.Step([&] { path = rt::AnsiPath(rt::Trim(text)); });
        // An unreadable value is not a path: nothing named "Error" is tested or deleted.
        const bool unreadable = text == names::kUnreadable;
        if (guard.Test([&] { return !unreadable && sv_.shell.PathFileExistsA(path); })) {
          guard.Step([&] { BackUpFile(path); });
          guard.Step([&] { (void)sv_.kernel.DeleteFileA(path); });
          if (guard.Test([&] { return sv_.shell.PathFileExistsA(path); })) {
            guard.Step([&] { Log(" Error while deleting Hijack-DLL "); });
          } else {
            guard.Step([&] { Log(" Hijack-DLL: " + path + " (deleted)"); });
          }
          guard.Step([&] { RemoveBhos(); });
          guard.Step([&] { RepairIePages(true); });
          guard.Step(
              [&] { MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, true); });
          guard.Step([&] {
            (void)reg_.WriteRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls,
                                     RegData::Str(""), platform::REG_SZ);
          });
          guard.Step([&] { ReportDisinfected(); });
        } else {
          guard.Step([&] { AbortSecondStep("Stealth-Dll not found"); });
        }
      } else {
        guard.Step([&] { AbortSecondStep("Stealth-Dll Path-Info not found"); });
      }
    } else {
      guard.Step([&] { AbortSecondStep("Stealth-Dll Path-Info not found"); });
    }
  } else {
    guard.Step([&] {
      sv_.ui.MessageBox(texts::KeyNotFoundMessage(German()), platform::MB_OK,
                        platform::kApplicationTitle);
    });
    guard.Step([&] { Log(" Key not found -> Programm terminated"); });
    guard.Step([&] { CloseWindow(); });
  }
}

}  // namespace dravlin
