// Removal of the Browser Helper Objects that load the hijacker's DLL.
#include <string>

#include "platform/types.h"
#include "workflow/frmGetAll.h"
#include "workflow/names.h"
#include "workflow/runtime.h"

namespace dravlin {

using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_LOCAL_MACHINE;

void frmGetAll::RemoveBhos() {
  RepairIePages(false);
  GetPageDllName();
  (void)reg_.EnumBhoClsids(HKEY_LOCAL_MACHINE, names::kBhoKey);
  if (PageDllName_.empty()) {
    Log(" BHO-DLL: (not found)");
    return;
  }
  // A copy: the list is the module's, and nothing here should change under the loop.
  const std::vector<BhoEntry> objects = reg_.bho_clsid_arr;
  for (const BhoEntry& entry : objects) {
    if (FindText(entry.DllPath, PageDllName_, false) == 0) continue;
    const std::string clsid = rt::Trim(entry.Clsid);
    // A name of blanks would make the key paths below name the parent keys themselves.
    if (clsid.empty()) continue;
    Log(" BHO: " + entry.Clsid + " " + entry.DllPath);

    const std::string registration = std::string(names::kBhoKey) + "\\" + clsid;
    BackUpKey(HKEY_LOCAL_MACHINE, registration);
    (void)reg_.DeleteRegKey(HKEY_LOCAL_MACHINE, registration);
    Log(reg_.RegKeyExists(HKEY_LOCAL_MACHINE, registration) ? " Error while deleting BHO"
                                                            : " BHO-deleted");

    const std::string classKey = "CLSID\\" + clsid;
    BackUpKey(HKEY_CLASSES_ROOT, classKey);
    (void)reg_.DeleteRegKey(HKEY_CLASSES_ROOT, classKey);
    if (reg_.RegKeyExists(HKEY_CLASSES_ROOT, classKey)) {
      WriteLog("Error while deleting BHO-CLSID-Key");
    } else {
      Log(" BHO-CLSID-Key deleted");
    }

    // An unreadable path ("Error") is not a file name; it is reported as a missing file.
    const std::string file = rt::AnsiPath(rt::Trim(entry.DllPath));
    const bool unreadable = entry.DllPath == names::kUnreadable;
    if (!unreadable && sv_.shell.PathFileExistsA(file)) {
      BackUpFile(file);
      (void)sv_.kernel.DeleteFileA(file);
      if (sv_.shell.PathFileExistsA(file)) {
        Log(" Error while deleting: " + entry.DllPath);
      } else {
        Log(" BHO-DLL: " + entry.DllPath + " (deleted)");
      }
    } else {
      Log(" Error while deleting: " + entry.DllPath);
    }
  }
}

}  // namespace dravlin
