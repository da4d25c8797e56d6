// The disinfection procedure for NT-based Windows: park the auto-load key and restart in
// the first step; delete the DLL, clean up and bring the key back in the second.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key.h"
#include "platform/ui.h"
#include "regfile/regfile.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/steps.h"
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

bool frmGetAll::PutKeyBack(bool dropParked) {
  // The parked copy is the record of an unfinished second step. Its AppInit_DLLs is emptied
  // first, in one write, so that a copy cut short anywhere after reads as "done, not tidied";
  // the copy goes last, and only once the clean-up is complete.
  // The old value may list other DLLs besides the hijacker's: it is kept, as it stood in the
  // live key, before it is emptied.
  if (!KeepChangedValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls,
                        names::kLiveKey) ||
      reg_.WriteRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls,
                         RegData::Str(""), platform::REG_SZ) != 1) {
    return false;
  }
  if (!MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, false)) return false;
  if (reg_.WriteRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls, RegData::Str(""),
                         platform::REG_SZ) != 1) {
    return false;
  }
  if (dropParked) (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey);
  // The rename removes its temporary hive file; a check that failed there may have kept it.
  return rename_.removeLeftoverTemp();
}

namespace {

using Tree = std::vector<regfile::RegKeyEntry>;

// The tree below a key of HKEY_LOCAL_MACHINE, each path relative to it and folded, as Windows
// compares names; nullopt when any of it could not be read.
std::optional<Tree> ReadRelative(platform::Registry& registry, const std::string& path) {
  Tree tree;
  if (ReadTree(registry, HKEY_LOCAL_MACHINE, path, &tree) != platform::ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::size_t prefix = std::string_view("HKEY_LOCAL_MACHINE\\").size() + path.size();
  for (auto& key : tree) key.path = rt::LCase(key.path.substr(prefix));
  return tree;
}

bool IsAppInit(const regfile::RegKeyEntry& key, const regfile::RegValueEntry& value) {
  return key.path.empty() && rt::LCase(value.name) == rt::LCase(names::kAppInitDlls);
}

// Every key and every value of `part` is in `whole`, byte for byte; `same` decides for the
// auto-load value, which the two keys may show differently.
template <class AppInit>
bool Within(const Tree& part, const Tree& whole, AppInit same) {
  for (const auto& key : part) {
    const auto match = std::find_if(whole.begin(), whole.end(), [&](const regfile::RegKeyEntry& k) {
      return k.path == key.path;
    });
    if (match == whole.end()) return false;
    for (const auto& value : key.values) {
      const bool found = std::any_of(
          match->values.begin(), match->values.end(), [&](const regfile::RegValueEntry& v) {
            if (rt::LCase(v.name) != rt::LCase(value.name)) return false;
            return IsAppInit(key, value) ? same(value, v)
                                         : v.type == value.type && v.data == value.data;
          });
      if (!found) return false;
    }
  }
  return true;
}

}  // namespace

bool frmGetAll::LiveKeyCutShort() {
  // An earlier first step copied the key and died while deleting it: the parked copy holds the
  // whole key, the live key what the deletion had not reached. The live key may go without a
  // copy only when all of it is in the parked copy; its auto-load value reads as blanks of the
  // real length while the DLL is loaded, so that one is matched by type and length.
  if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey)) return false;
  const auto live = ReadRelative(sv_.registry, names::kLiveKey);
  const auto parked = ReadRelative(sv_.registry, names::kParkedKey);
  if (!live || !parked) return false;
  return Within(
      *live, *parked, [](const regfile::RegValueEntry& hidden, const regfile::RegValueEntry& kept) {
        return hidden.type == kept.type && hidden.data.size() == kept.data.size() &&
               hidden.data.find_first_not_of(std::string_view("\0 ", 2)) == std::string::npos;
      });
}

bool frmGetAll::Unread(const char* key, const std::string& text) {
  if (text != names::kUnreadable) return false;
  if (ValuePresence(HKEY_LOCAL_MACHINE, key, names::kAppInitDlls) == Presence::Gone) return false;
  Log(texts::NotReadableLogLine(German(),
                                "HKLM\\" + std::string(key) + ", " + names::kAppInitDlls));
  return true;
}

bool frmGetAll::ParkedCopyDone() {
  // A second step that emptied the parked copy's AppInit_DLLs has dealt with the DLL.
  if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey)) return false;
  const std::string text =
      reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls).AsText();
  return text != names::kUnreadable && rt::AnsiPath(rt::Trim(text)).empty();
}

bool frmGetAll::TidyParkedCopy() {
  // The live key holds the copy already, unless the user changed it since: then the copy is
  // kept in the backup before it goes.
  const auto live = ReadRelative(sv_.registry, names::kLiveKey);
  const auto parked = ReadRelative(sv_.registry, names::kParkedKey);
  const bool kept =
      live && parked &&
      Within(*parked, *live, [](const regfile::RegValueEntry& a, const regfile::RegValueEntry& b) {
        return a.type == b.type && a.data == b.data;
      });
  if (!kept && !ParkedCopyReplaceable()) return false;
  // The move back may have died before it removed its temporary hive file.
  if (!rename_.removeLeftoverTemp()) return false;
  (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey);
  if (KeyPresence(HKEY_LOCAL_MACHINE, names::kParkedKey) != Presence::Gone) return false;
  Log(texts::ParkedCopyRemovedLogLine(German()));
  return true;
}

bool frmGetAll::ParkedCopyReplaceable() {
  return KeepChangedKey(HKEY_LOCAL_MACHINE, names::kParkedKey, "");
}

bool frmGetAll::CleanUpBrowser(ProcedureGuard& guard) {
  const bool objectsGone = ValueOr(guard, false, [&] { return RemoveBhos(); });
  bool pagesGone = false;
  if (objectsGone) {
    pagesGone = ValueOr(guard, false, [&] { return RepairIePages(true); });
  } else {
    guard.Step([&] { Log(texts::PagesKeptLogLine(German())); });
  }
  return objectsGone && pagesGone;
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
  ProcedureGuard guard(*this, texts::kErrorNtLogLine);
  guard.Step([&] { (void)DropEmptyLiveKey(); });
  if (TrueOrFailed(guard, [&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kLiveKey); })) {
    FirstStepNt(guard);
  } else if (TrueOrFailed(
                 guard, [&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey); })) {
    SecondStepNt(guard);
  } else {
    guard.Step([&] {
      sv_.ui.MessageBox(texts::KeyNotFoundMessage(German()), platform::MB_OK,
                        platform::kApplicationTitle);
    });
    guard.Step([&] { Log(" Key not found -> Programm terminated"); });
    guard.Step([&] { CloseWindow(); });
  }
}

std::optional<std::int64_t> frmGetAll::ValidCharacters(ProcedureGuard& guard,
                                                       const std::string& text) {
  const auto count =
      ValueOr<std::int64_t>(guard, 0, [&] { return static_cast<std::int64_t>(text.size()); });
  if (!TrueOrFailed(guard, [&] { return count > 3; })) return std::nullopt;
  std::int64_t blankCount = 0;
  std::int64_t validCount = 0;
  guard.Step([&] { ScanStealthString(count, text, blankCount, validCount); });
  return validCount;
}

// The DLL hides the auto-load value as blanks of its real length; only a value of blanks is
// the hijacker's, and only then does the key go aside for the restart.
void frmGetAll::FirstStepNt(ProcedureGuard& guard) {
  guard.Step([&] { Log(" Dravlin started " + Window().GetText(Control::Label5)); });
  const std::string text = ValueOr(guard, std::string(), [&] {
    return reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kAppInitDlls).AsText();
  });
  // A value that is there but could not be read says nothing either way.
  const bool unread = ValueOr(guard, false, [&] { return Unread(names::kLiveKey, text); });
  if (unread) {
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  const auto valid = ValidCharacters(guard, text);
  if (!valid || !TrueOrFailed(guard, [&] { return *valid == 0; })) {
    NotInfectedOrUnfinished(guard);
    return;
  }
  guard.Step([&] { Log(" Stealth-String found"); });
  ParkLiveKey(guard);
}

// A live key cut short by an earlier first step has its whole copy parked already, so it is
// only deleted; any other goes to the parked copy.
void frmGetAll::ParkLiveKey(ProcedureGuard& guard) {
  bool parked = ValueOr(guard, false, [&] { return LiveKeyCutShort(); });
  if (parked) {
    guard.Step([&] { (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, names::kLiveKey); });
  } else if (!ParkedCopyMayGo(guard)) {
    guard.Step([&] { Log(texts::KeyNotMovedLogLine(German())); });
    guard.Step([&] { ReportCleanupError(); });
    return;
  } else {
    parked = ValueOr(guard, false, [&] {
      return MoveRegKey(HKEY_LOCAL_MACHINE, names::kLiveKey, names::kParkedKey, true);
    });
  }
  // A live key that is only partly deleted still loads the DLL, and after a restart it would be
  // taken for the whole key: it gets the whole key back instead.
  if (parked && reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kLiveKey)) {
    guard.Step([&] { Log(texts::KeyNotMovedLogLine(German())); });
    guard.Step(
        [&] { (void)MoveRegKey(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kLiveKey, false); });
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  guard.Step([&] { RestartWindows(); });
}

// The move replaces a parked copy of an earlier run: that copy is kept first.
bool frmGetAll::ParkedCopyMayGo(ProcedureGuard& guard) {
  if (!reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey)) return true;
  const bool replaceable = ValueOr(guard, true, [&] { return ParkedCopyReplaceable(); });
  if (replaceable) guard.Step([&] { Log(texts::ParkedCopyReplacedLogLine(German())); });
  return replaceable;
}

// A clean live key beside a parked copy whose AppInit_DLLs is empty: a second step that was cut
// short after the key was back. It is finished here instead of reading as not infected.
void frmGetAll::NotInfectedOrUnfinished(ProcedureGuard& guard) {
  if (!ValueOr(guard, false, [&] { return ParkedCopyDone(); })) {
    guard.Step([&] { ReportNotInfected(); });
    return;
  }
  guard.Step([&] { Log(" 2nd Step "); });
  const bool tidied =
      CleanUpBrowser(guard) && ValueOr(guard, false, [&] { return TidyParkedCopy(); });
  if (tidied) {
    guard.Step([&] { ReportDisinfected(); });
  } else {
    guard.Step([&] { ReportCleanupError(); });
  }
}

// After the restart the DLL is no longer loaded: the one the parked copy names can go.
void frmGetAll::SecondStepNt(ProcedureGuard& guard) {
  guard.Step([&] { Log(" 2nd Step "); });
  const std::string text = ValueOr(guard, std::string(), [&] {
    return reg_.ReadRegValue(HKEY_LOCAL_MACHINE, names::kParkedKey, names::kAppInitDlls).AsText();
  });
  const auto valid = ValidCharacters(guard, text);
  if (!valid || !TrueOrFailed(guard, [&] { return *valid > 3; })) {
    guard.Step([&] { Log(" Stealth-Dll Path-Info not found -> Programm terminated"); });
    FinishSecondStep(guard, false, true);
    return;
  }
  // The file functions read the trimmed text up to its first NUL.
  const std::string path =
      ValueOr(guard, std::string(), [&] { return rt::AnsiPath(rt::Trim(text)); });
  // An unreadable value is not a path: nothing named "Error" is tested or deleted.
  const bool unreadable = text == names::kUnreadable;
  if (TrueOrFailed(guard, [&] { return !unreadable && sv_.shell.PathFileExistsA(path); })) {
    DeleteHijackDll(guard, path, path);
    FinishSecondStep(guard, true, true);
    return;
  }
  // Gone already, perhaps by a run cut short: the objects and pages still go.
  guard.Step([&] { Log(" Stealth-Dll not found -> Programm terminated"); });
  const bool spent = ValueOr(guard, false, [&] {
    return unreadable ? !Unread(names::kParkedKey, text)
                      : FileGone(path) || (Log(texts::NotReadableLogLine(German(), path)), false);
  });
  FinishSecondStep(guard, false, spent);
}

void frmGetAll::DeleteHijackDll(ProcedureGuard& guard, const std::string& path,
                                const std::string& shown) {
  guard.Step([&] { (void)BackUpFile(path, Backup::Kind::Hijacker); });
  guard.Step([&] { (void)sv_.kernel.DeleteFileA(path); });
  if (TrueOrFailed(guard, [&] { return sv_.shell.PathFileExistsA(path); })) {
    guard.Step([&] { Log(" Error while deleting Hijack-DLL "); });
  } else {
    guard.Step([&] { Log(" Hijack-DLL: " + shown + " (deleted)"); });
  }
}

// Whatever became of the DLL, the objects and pages go, then the key comes back. The parked
// copy stays as the record until the clean-up is complete, and for good while it is the only
// record of a DLL's path that is not spent.
void frmGetAll::FinishSecondStep(ProcedureGuard& guard, bool dllFound, bool recordSpent) {
  const bool cleaned = CleanUpBrowser(guard);
  if (!recordSpent) {
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  const bool back = ValueOr(guard, false, [&] { return PutKeyBack(cleaned); });
  if (!back) {
    guard.Step([&] { Log(texts::KeyNotRestoredLogLine(German())); });
    guard.Step([&] { ReportCleanupError(); });
    return;
  }
  bool tidied = cleaned;
  if (cleaned) {
    guard.Step([&] {
      tidied = KeyPresence(HKEY_LOCAL_MACHINE, names::kParkedKey) == Presence::Gone;
      if (!tidied) Log(texts::LeftOverLogLine(German(), "HKLM\\" + std::string(names::kParkedKey)));
    });
  }
  if (tidied && dllFound) {
    guard.Step([&] { ReportDisinfected(); });
  } else {
    guard.Step([&] { ReportCleanupError(); });
  }
}

}  // namespace dravlin
