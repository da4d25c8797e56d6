// Registry keys and files that the test rigs arrange and inspect, written out independently of
// the program's own constants so that a wrong name in the program shows up.
#pragma once

#include <string>

#include "sim/machine.h"

namespace dravlin::testnames {

inline constexpr const char* kLiveKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kParkedKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked";
inline constexpr const char* kServiceKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
inline constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr const char* kBhoKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline constexpr const char* kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
inline constexpr const char* kKeyFile = "C:\\HjRuOn.txt";
inline constexpr const char* kXpDll = "C:\\WINDOWS\\system32\\qzhook.dll";
inline constexpr const char* k98Dll = "C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL";

// A Browser Helper Object: its registration key and the DLL its class loads.
inline void AddBho(sim::Machine& m, const std::string& clsid, const std::string& dllPath) {
  m.CreateKey(platform::HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
  m.SetString(platform::HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", "", dllPath);
}

}  // namespace dravlin::testnames
