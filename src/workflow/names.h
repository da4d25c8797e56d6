// Fixed registry keys, value names and files of the workflow.
#pragma once

namespace dravlin::names {

inline constexpr const char* kLiveKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kParkedKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked";
inline constexpr const char* kAppInitDlls = "AppInit_DLLs";
inline constexpr const char* kServiceKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
inline constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr const char* kRunOnceValue = "dravlin";
inline constexpr const char* kBhoKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline constexpr const char* kIeKey = "Software\\Microsoft\\Internet Explorer";
inline constexpr const char* kKeyFile = "c:\\HjRuOn.txt";
inline constexpr const char* kLogFileName = "\\dravlin.log";
inline constexpr const char* kBadPage = "/qz.html";
// Kept in a Browser Helper Object's registration key while the object is removed: the path of
// its DLL, once the class key that names it is gone.
inline constexpr const char* kPendingDll = "Dravlin pending DLL";
// What ReadRegValue returns for a value it cannot read.
inline constexpr const char* kUnreadable = "Error";

}  // namespace dravlin::names
