// Removal of the Browser Helper Objects that load the hijacker's DLL, and the check that none is
// left.
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/key.h"
#include "platform/types.h"
#include "workflow/frmGetAll.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_LOCAL_MACHINE;

namespace {

std::string Registration(const std::string& clsid) {
  return std::string(names::kBhoKey) + "\\" + clsid;
}

}  // namespace

bool frmGetAll::ListObjects() {
  (void)reg_.EnumBhoClsids(HKEY_LOCAL_MACHINE, names::kBhoKey);
  // An object whose class went in a run cut short is still known by the path its registration
  // key kept.
  for (BhoEntry& entry : reg_.bho_clsid_arr) {
    const std::string clsid = rt::Trim(entry.Clsid);
    if (clsid.empty() || entry.DllPath != names::kUnreadable) continue;
    const RegData kept =
        reg_.ReadRegValue(HKEY_LOCAL_MACHINE, Registration(clsid), names::kPendingDll);
    if (kept.AsText() != names::kUnreadable) entry.DllPath = kept.AsText();
  }
  // Only a key that is not there means no objects; any other failure leaves the list unknown.
  platform::UniqueKey key(sv_.registry);
  const platform::Status status = sv_.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, names::kBhoKey, 0,
                                                             platform::KEY_READ, key.put());
  return status == platform::ERROR_SUCCESS || status == platform::ERROR_FILE_NOT_FOUND;
}

std::pair<platform::HKey, std::string> frmGetAll::ClassHome(const std::string& classKey) {
  platform::OsVersionInfo info;
  info.dwOSVersionInfoSize = 148;
  const bool perUser = sv_.kernel.GetVersionExA(&info) &&
                       info.dwPlatformId == platform::VER_PLATFORM_WIN32_NT &&
                       info.dwMajorVersion >= 5;
  const std::string user = "Software\\Classes\\" + classKey;
  if (perUser && reg_.RegKeyExists(platform::HKEY_CURRENT_USER, user))
    return {platform::HKEY_CURRENT_USER, user};
  return {HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\" + classKey};
}

bool frmGetAll::ObjectFileLeft(const std::string& file) {
  // A folder is no DLL: there is nothing to delete, and nothing the keys must find again.
  const std::uint32_t attributes = sv_.kernel.GetFileAttributesA(file);
  if (attributes != platform::INVALID_FILE_ATTRIBUTES)
    return (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
  return !FileGone(file);
}

bool frmGetAll::RemoveBhos() {
  RepairIePages(false);
  GetPageDllName();
  (void)ListObjects();
  std::vector<RemovedObject> removed;
  if (PageDllName_.empty()) {
    Log(" BHO-DLL: (not found)");
    return ObjectsGone(removed);
  }
  // A copy: the list is the module's, and nothing here should change under the loop.
  const std::vector<BhoEntry> objects = reg_.bho_clsid_arr;
  for (const BhoEntry& entry : objects) {
    if (FindText(entry.DllPath, PageDllName_, false) == 0) continue;
    const std::string clsid = rt::Trim(entry.Clsid);
    // A name of blanks would make the key paths below name the parent keys themselves.
    if (clsid.empty()) continue;
    Log(" BHO: " + entry.Clsid + " " + entry.DllPath);

    const std::string registration = Registration(clsid);
    const std::string classKey = "CLSID\\" + clsid;
    // An unreadable path ("Error") is not a file name; it is reported as a missing file.
    const bool unreadable = entry.DllPath == names::kUnreadable;
    const std::string file = unreadable ? std::string() : rt::AnsiPath(rt::Trim(entry.DllPath));
    // The hijacker's own object loads the page DLL itself; any other only has its name inside
    // the name of its DLL, and may belong to a program the user wants back.
    const std::size_t slash = file.find_last_of("\\/");
    const Backup::Kind kind = rt::LCase(file.substr(slash == std::string::npos ? 0 : slash + 1)) ==
                                      rt::LCase(rt::AnsiPath(PageDllName_))
                                  ? Backup::Kind::Hijacker
                                  : Backup::Kind::NameMatch;
    // The class key is deleted where it lives, so that a machine-wide class of the same name
    // is neither touched nor taken for the user's one.
    const auto [classRoot, classPath] = ClassHome(classKey);
    const bool dllThere = !unreadable && sv_.shell.PathFileExistsA(file);
    // Nothing of the object goes unless all of it is kept: it stays whole, and is named below.
    const std::string item = "BHO-" + clsid;
    const bool kept = BackUpKey(HKEY_LOCAL_MACHINE, registration, item, kind) &&
                      BackUpKey(classRoot, classPath, item, kind) &&
                      (!dllThere || BackUpFile(file, kind));

    // The DLL goes first. The class key names it, and the DLL is how the object is recognised:
    // the registration key keeps the path until it goes itself, last, so that a run cut short
    // after the class key still finds the object. Without that copy the class key stays.
    const bool recorded =
        kept &&
        (unreadable || reg_.WriteRegValue(HKEY_LOCAL_MACHINE, registration, names::kPendingDll,
                                          RegData::Str(file), platform::REG_SZ) == 1);
    std::string fileLine = " Error while deleting: " + entry.DllPath;
    if (kept && dllThere) {
      (void)sv_.kernel.DeleteFileA(file);
      if (!sv_.shell.PathFileExistsA(file)) fileLine = " BHO-DLL: " + entry.DllPath + " (deleted)";
    }
    // A DLL that stays keeps its keys too: they are what finds it again at the next start. Only
    // "no such file" lets them go, whatever the test above said.
    const bool fileLeft = !unreadable && ObjectFileLeft(file);
    if (recorded && !fileLeft) (void)reg_.DeleteRegKey(classRoot, classPath);
    const bool classLeft = reg_.RegKeyExists(HKEY_CLASSES_ROOT, classKey);
    if (!classLeft && kept) (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, registration);
    // The user's class went and a machine-wide one of that name shows now: the registration
    // stays with it, without the path of the DLL that is gone.
    if (classLeft && recorded && !fileLeft && !reg_.RegKeyExists(classRoot, classPath))
      (void)reg_.DeleteRegValue(HKEY_LOCAL_MACHINE, registration, names::kPendingDll);
    Log(reg_.RegKeyExists(HKEY_LOCAL_MACHINE, registration) ? " Error while deleting BHO"
                                                            : " BHO-deleted");
    if (classLeft) {
      WriteLog("Error while deleting BHO-CLSID-Key");
    } else {
      Log(" BHO-CLSID-Key deleted");
    }
    Log(fileLine);
    removed.push_back({registration, classKey, file});
  }
  return ObjectsGone(removed);
}

bool frmGetAll::ObjectsGone(const std::vector<RemovedObject>& removed) {
  // Asked again, from the start: a page, a list or a path that could not be read on the way
  // shows now.
  bool gone = true;
  const auto left = [&](const std::string& item) {
    Log(texts::LeftOverLogLine(German(), item));
    gone = false;
  };
  for (const RemovedObject& object : removed) {
    if (KeyPresence(HKEY_LOCAL_MACHINE, object.registration) != Presence::Gone)
      left("HKLM\\" + object.registration);
    if (KeyPresence(HKEY_CLASSES_ROOT, object.classKey) != Presence::Gone)
      left("HKCR\\" + object.classKey);
    if (!object.file.empty() && ObjectFileLeft(object.file)) left(object.file);
  }
  RepairIePages(false);
  GetPageDllName();
  if (!ListObjects()) left("HKLM\\" + std::string(names::kBhoKey));
  if (PageDllName_.empty()) return gone;
  for (const BhoEntry& entry : reg_.bho_clsid_arr) {
    if (rt::Trim(entry.Clsid).empty() || FindText(entry.DllPath, PageDllName_, false) == 0)
      continue;
    const std::string registration = "HKLM\\" + Registration(rt::Trim(entry.Clsid));
    bool listed = false;
    for (const RemovedObject& object : removed)
      listed = listed || "HKLM\\" + object.registration == registration;
    if (!listed) left(registration);
  }
  return gone;
}

}  // namespace dravlin
