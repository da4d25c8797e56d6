// The disinfection procedure for NT-based Windows: park the auto-load key and restart in
// the first step; delete the DLL, clean up and bring the key back in the second.
#include <string>
#include <vector>

#include "platform/key.h"
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

bool frmGetAll::MoveRegKey(platform::HKey root, const std::string& fromPath,
                           const std::string& toPath, bool deleteSource) {
  const std::int32_t result = rename_.renameKey(root, fromPath, toPath);
  if (result == 0) {
    if (deleteSource) (void)reg_.DeleteRegKey(root, fromPath);
  } else {
    Log(" Error RK");
  }
  return result == 0;
}

bool frmGetAll::PutKeyBack() {
  // The parked copy goes only once the live key holds it with AppInit_DLLs empty: cut short
  // anywhere before that, the copy is still there for a later run.
  if (!MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, false)) return false;
  if (reg_.WriteRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls, RegData::Str(""),
                         platform::REG_SZ) != 1) {
    return false;
  }
  (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey);
  return true;
}

void frmGetAll::AbortSecondStep(const std::string& reason) {
  Log(" " + reason + " -> Programm terminated");
  (void)PutKeyBack();
  ReportCleanupError();
}

namespace {

std::string Below(const std::string& path, const std::string& relative) {
  return relative.empty() ? path : path + "\\" + relative;
}

// The paths of a key and all keys below it, relative to it ("" for the key itself).
void CollectKeys(modRegAccess& reg, const std::string& path, const std::string& relative, int depth,
                 std::vector<std::string>& out) {
  out.push_back(relative);
  // Bounds against a registry that keeps handing back keys.
  if (depth >= 512 || out.size() >= 65536) return;
  std::vector<std::string> names;
  reg.EnumSubKeys(HKEY_LOCAL_MACHINE, Below(path, relative), names);
  for (std::size_t i = 1; i < names.size(); ++i) {
    CollectKeys(reg, path, Below(relative, names[i]), depth + 1, out);
  }
}

}  // namespace

bool frmGetAll::LiveKeyCutShort() {
  // An earlier first step copied the key and died while deleting it: the parked copy holds
  // the auto-load value, and the live key is the part of it the deletion had not reached (all
  // its keys are in the copy, the copy has more). Copying it again would put that part in
  // place of the whole.
  if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey)) return false;
  if (reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls) ==
      RegData::Str(names::kUnreadable)) {
    return false;
  }
  std::vector<std::string> live;
  std::vector<std::string> parked;
  CollectKeys(reg_, names::kLiveKey, "", 0, live);
  CollectKeys(reg_, names::kParkedKey, "", 0, parked);
  if (live.size() >= parked.size()) return false;
  for (const auto& key : live) {
    if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, Below(names::kParkedKey, key))) return false;
  }
  return true;
}

bool frmGetAll::DropEmptyLiveKey() {
  // A move back that died between creating the live key and restoring into it leaves the
  // live key empty and everything in the parked copy; the empty key would read as clean.
  platform::UniqueKey key(sv_.registry);
  if (sv_.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, names::kLiveKey, 0, platform::KEY_READ,
                                 key.put()) != platform::ERROR_SUCCESS) {
    return false;
  }
  std::uint32_t subKeys = 1;
  std::uint32_t values = 1;
  if (sv_.registry.RegQueryInfoKeyA(key.get(), &subKeys, nullptr, &values, nullptr, nullptr) !=
          platform::ERROR_SUCCESS ||
      subKeys != 0 || values != 0) {
    return false;
  }
  (void)key.Close();
  if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey) ||
      reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls) ==
          RegData::Str(names::kUnreadable)) {
    return false;
  }
  Log(texts::EmptyKeyRemovedLogLine(German()));
  return reg_.DeleteSingleKey(HKEY_LOCAL_MACHINE, names::kLiveKey);
}

void frmGetAll::go_nt() {
  ProcedureGuard guard(*this, " Error go_nt: ");
  std::string text;
  std::int64_t count = 0;
  std::int64_t blankCount = 0;
  std::int64_t validCount = 0;

  guard.Step([&] { (void)DropEmptyLiveKey(); });
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
        bool parked = false;
        guard.Step([&] { parked = LiveKeyCutShort(); });
        if (parked) {
          guard.Step([&] { (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kLiveKey); });
        } else {
          guard.Step([&] {
            parked = MoveRegKey(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kParkedKey, true);
          });
        }
        // A live key that is only partly deleted still loads the DLL, and after a restart it
        // would be taken for the whole key: it gets the whole key back instead.
        if (parked && reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kLiveKey)) {
          guard.Step([&] { Log(texts::KeyNotMovedLogLine(German())); });
          guard.Step([&] {
            (void)MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, false);
          });
          guard.Step([&] { ReportCleanupError(); });
          return;
        }
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
          bool back = false;
          guard.Step([&] { back = PutKeyBack(); });
          if (back) {
            guard.Step([&] { ReportDisinfected(); });
          } else {
            guard.Step([&] { Log(texts::KeyNotRestoredLogLine(German())); });
            guard.Step([&] { ReportCleanupError(); });
          }
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
