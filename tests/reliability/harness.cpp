#include "harness.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace dravlin::reliability {

namespace {

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether a tree holds the kept value at its place (names without case).
bool Holds(const std::vector<sim::KeySnapshot>& tree, const KeptValue& kept) {
  return std::any_of(tree.begin(), tree.end(), [&](const sim::KeySnapshot& key) {
    return Fold(key.path) == Fold(kept.path) &&
           std::any_of(key.values.begin(), key.values.end(), [&](const sim::NamedValue& v) {
             return Fold(v.name) == Fold(kept.name) && v.value == kept.value;
           });
  });
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  static constexpr const char* kNames[] = {"restart",       "disinfected",   "not infected",
                                           "cleanup error", "key not found", "no admin",
                                           "none"};
  return kNames[static_cast<int>(outcome)];
}

const char* RoadName(Road road) {
  static constexpr const char* kNames[] = {"XP infected", "98 infected", "XP clean"};
  return kNames[static_cast<int>(road)];
}

Rig::Rig(Road road) : road_(road), machine_(folder_.path() / "c") {
  sim::Machine& m = machine_;
  m.SetVersionPreset(IsNt(road) ? "winxp" : "win98");
  m.SetClock({.wYear = 2004, .wMonth = 5, .wDay = 20, .wHour = 14, .wMinute = 33, .wSecond = 12});
  m.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
  m.CreateFolder(m.SystemDirectory());
  m.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  m.CreateKey(HKEY_CURRENT_USER, kIeMain);

  const std::string dll = road == Road::Win98Infected ? k98Dll : kXpDll;
  if (IsNt(road)) {
    // Values of every common type, NULs inside data, and subkeys two levels deep, so that a
    // lost subtree or a changed byte shows.
    const std::string key = kLiveKey;
    m.SetString(HKEY_LOCAL_MACHINE, key, "AppInit_DLLs", road == Road::XpInfected ? dll : "");
    m.SetString(HKEY_LOCAL_MACHINE, key, "DeviceNotSelectedTimeout", "15");
    m.SetValue(HKEY_LOCAL_MACHINE, key, "GDIProcessHandleQuota", platform::REG_DWORD,
               std::string("\x10\x27\0\0", 4));
    m.SetValue(HKEY_LOCAL_MACHINE, key, "IconServiceLib", platform::REG_EXPAND_SZ,
               std::string("%SystemRoot%\\IconCodecService.dll\0", 34));
    m.SetValue(HKEY_LOCAL_MACHINE, key, "Blob", platform::REG_BINARY,
               std::string("\x01\x00\xff\x00\x7f", 5));
    m.SetValue(HKEY_LOCAL_MACHINE, key, "Order", platform::REG_MULTI_SZ,
               std::string("one\0two\0\0", 9));
    m.SetValue(HKEY_LOCAL_MACHINE, key, "", platform::REG_SZ, std::string("mnmsrvc\0", 8));
    m.SetString(HKEY_LOCAL_MACHINE, key + "\\Pending", "Reason", "update");
    m.SetString(HKEY_LOCAL_MACHINE, key + "\\Pending\\Deep", "Keep", "me");
    m.SetValue(HKEY_LOCAL_MACHINE, key + "\\Pending\\Deep", "Count", platform::REG_DWORD,
               std::string("\x07\0\0\0", 4));
    m.SetString(HKEY_LOCAL_MACHINE, key + "\\Drivers", "wave", "wdmaud.drv");
  } else {
    m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", "rundll32.exe " + dll + ",Start");
  }
  if (road != Road::XpClean) {
    // The hijacker's pages point into its DLL; one object loads a file of the DLL's name.
    m.WriteFile(dll, "MZ hijacker");
    m.SetHijacker(sim::HijackerSettings{dll, IsNt(road) ? '\0' : ' '});
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://" + dll + "/qz.html#start");
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Search Bar", "http://www.example.com/search/");
    m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "Search Page", "res://" + dll + "%2Fqz.html");
    const std::string objectDll = "C:\\Program Files\\QzBar\\" + dll.substr(dll.rfind('\\') + 1);
    AddBho(m, "{DEADBEEF-0000-4000-8000-000000000001}", objectDll);
    m.WriteFile(objectDll, "MZ object");
  }
  AddBho(m, "{11111111-2222-3333-4444-555555555555}", "C:\\Program Files\\Good\\good.dll");
  m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ good");
  if (road == Road::XpClean) {
    m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", "http://www.example.com/");
  }
  m.Boot();

  if (IsNt(road)) {
    for (const auto& key : m.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey)) {
      for (const auto& v : key.values) {
        if (!key.path.empty() || Fold(v.name) != "appinit_dlls") {
          kept_.push_back({key.path, v.name, v.value});
        }
      }
    }
  } else {
    for (const auto& v : m.ListValues(HKEY_LOCAL_MACHINE, kServiceKey)) {
      kept_.push_back({"", v.name, v.value});
    }
  }
}

Rig::~Rig() = default;

std::vector<std::string> Rig::Log() const {
  std::vector<std::string> lines;
  const std::string text =
      machine_.ReadFile("C:\\Program Files\\Dravlin\\dravlin.log").value_or("");
  for (std::size_t start = 0; start < text.size();) {
    const auto end = std::min(text.find("\r\n", start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

RunResult Rig::RunByHand(const std::function<void()>& arm) {
  machine_.StartProgram();
  return Run(arm);
}

RunResult Rig::RunAfterRestart(const std::function<void()>& arm) {
  (void)machine_.Reboot();
  return Run(arm);
}

RunResult Rig::Run(const std::function<void()>& arm) {
  RunResult r;
  const std::size_t logBefore = Log().size();
  const std::size_t boxesBefore = machine_.MessageBoxes().size();
  const std::size_t exitsBefore = machine_.ExitWindowsCalls().size();
  const std::size_t callsBefore = machine_.CallLog().size();
  std::unique_ptr<simrun::Session> session;
  std::string title;
  try {
    if (arm) arm();
    session = std::make_unique<simrun::Session>(machine_);
    if (session->CanClick(platform::Control::CB_start)) session->Click(platform::Control::CB_start);
    title = machine_.Control(platform::Control::Form).text;
    session->Close();
    session.reset();  // the process ends: whatever the program still holds is released now
  } catch (const sim::ProgramCrash&) {
    r.crashed = true;
  }
  if (machine_.ProgramDead()) r.crashed = true;
  if (session) ended_.push_back(std::move(session));
  if (title.empty()) title = machine_.Control(platform::Control::Form).text;

  const std::vector<std::string> all = Log();
  r.log.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, all.size())),
               all.end());
  const auto& calls = machine_.CallLog();
  r.calls.assign(calls.begin() + static_cast<std::ptrdiff_t>(callsBefore), calls.end());

  for (std::size_t i = 0; i < r.log.size(); ++i) {
    if (EndsWith(r.log[i], " Error RK")) r.errorRk = true;
    for (const std::string_view label : {" Error go_nt: ", " Error go_9x: "}) {
      const auto at = r.log[i].find(label);
      if (at == std::string::npos) continue;
      ++r.errorEntries;
      const std::string number = r.log[i].substr(at + label.size());
      const bool numeric =
          !number.empty() && number.find_first_not_of("-0123456789") == std::string::npos;
      // The description follows on a line of its own, without a stamp.
      const std::string stamp = r.log[i].substr(0, at);
      if (!numeric || i + 1 >= r.log.size() || r.log[i + 1].empty() ||
          r.log[i + 1].rfind(stamp, 0) == 0) {
        r.errorEntriesWellFormed = false;
      }
    }
  }

  const auto logged = [&](std::string_view suffix) {
    return std::any_of(r.log.begin(), r.log.end(),
                       [&](const std::string& l) { return EndsWith(l, suffix); });
  };
  const auto& boxes = machine_.MessageBoxes();
  const auto shown = [&](std::string_view prefix) {
    return std::any_of(
        boxes.begin() + static_cast<std::ptrdiff_t>(boxesBefore), boxes.end(),
        [&](const sim::MessageBoxRecord& b) { return b.text.rfind(prefix, 0) == 0; });
  };
  if (machine_.ExitWindowsCalls().size() > exitsBefore || logged(" Restart") ||
      shown("Your computer will be restarted") || shown("Please close the program")) {
    r.outcome = Outcome::Restart;
  } else if (shown("Your computer now is disinfected") || logged(" Cleaned")) {
    r.outcome = Outcome::Disinfected;
  } else if (shown("Error on Cleaning")) {
    r.outcome = Outcome::CleanupError;
  } else if (logged(" Stealth-String not found -> Programm terminated") ||
             title.find("not infected") != std::string::npos) {
    r.outcome = Outcome::NotInfected;
  } else if (shown("Key not found") || logged(" Key not found -> Programm terminated")) {
    r.outcome = Outcome::KeyNotFound;
  } else if (shown("Disinfection needs administrator") || logged(" No admin rights->terminate")) {
    r.outcome = Outcome::NoAdmin;
  }
  return r;
}

bool RunResult::TellsOfTrouble() const {
  return errorEntries > 0 || errorRk ||
         std::any_of(log.begin(), log.end(), [](const std::string& line) {
           return EndsWith(line, " Error while deleting Hijack-DLL ") ||
                  line.find(" Hijack-DLL Path not found") != std::string::npos ||
                  line.find(" -> Programm terminated") != std::string::npos;
         });
}

bool Rig::LiveKeyComplete() const {
  const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
  return std::all_of(kept_.begin(), kept_.end(),
                     [&](const KeptValue& kept) { return Holds(live, kept); });
}

std::vector<KeptValue> Rig::Missing() const {
  std::vector<KeptValue> missing;
  if (IsNt(road_)) {
    const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
    const auto parked = machine_.ExportTree(HKEY_LOCAL_MACHINE, kParkedKey);
    for (const auto& kept : kept_) {
      if (!Holds(live, kept) && !Holds(parked, kept)) missing.push_back(kept);
    }
    return missing;
  }
  // The entry's only purpose is to name the DLL: once the DLL is gone it may go too.
  if (!machine_.FileExists(k98Dll)) return missing;
  const std::string keyFile = machine_.ReadFile(kKeyFile).value_or("");
  for (const auto& kept : kept_) {
    const bool inKey = machine_.GetValue(HKEY_LOCAL_MACHINE, kServiceKey, kept.name) == kept.value;
    const bool inFile = keyFile.find(kept.name) != std::string::npos &&
                        keyFile.find(kept.value.data) != std::string::npos;
    if (!inKey && !inFile) missing.push_back(kept);
  }
  return missing;
}

bool Rig::Disinfected() const {
  if (!IsNt(road_)) {
    const auto values = machine_.ListValues(HKEY_LOCAL_MACHINE, kServiceKey);
    return !machine_.FileExists(k98Dll) &&
           std::none_of(values.begin(), values.end(), [](const sim::NamedValue& v) {
             return Fold(v.value.data).find(Fold(k98Dll)) != std::string::npos;
           });
  }
  return !machine_.FileExists(kXpDll) && !machine_.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey) &&
         machine_.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs") ==
             sim::RegValue{platform::REG_SZ, ""} &&
         LiveKeyComplete();
}

std::optional<std::uint32_t> RealisticFailure(const std::string& op) {
  using namespace platform;
  // Registry: a key the account may not touch; the hive calls without the privilege. Files: a
  // file in use cannot be deleted, attributes fail for lack of rights. The runtime's file
  // numbers: a locked or missing file, a full or failing disk.
  static const std::pair<std::uint32_t, std::vector<std::string>> kGroups[] = {
      {ERROR_PRIVILEGE_NOT_HELD, {"RegSaveKeyA", "RegRestoreKeyA", "ExitWindowsEx"}},
      {ERROR_INVALID_HANDLE, {"RegCloseKey"}},
      {ERROR_SHARING_VIOLATION, {"DeleteFileA"}},
      {ERROR_ACCESS_DENIED,
       {"SetFileAttributesA", "GetFileAttributesA", "PathFileExistsA", "CreateDirectoryA",
        "CopyFileA", "OpenProcessToken", "OpenThreadToken", "GetTokenInformation",
        "AdjustTokenPrivileges"}},
      {ERROR_FILE_NOT_FOUND, {"GetShortPathNameA"}},
      {ERROR_NO_SUCH_PRIVILEGE, {"LookupPrivilegeValueA"}},
      {ERROR_NOT_ENOUGH_MEMORY,
       {"AllocateAndInitializeSid", "IsValidSid", "EqualSid", "GetSystemDirectoryA",
        "GetModuleFileNameA", "MessageBox"}},
      {ERROR_INSUFFICIENT_BUFFER, {"GetVersionExA"}},
      {ERROR_INVALID_PARAMETER,
       {"GetLocaleInfoA", "GetDateFormatA", "GetTimeFormatA", "SHGetPathFromIDListA"}},
      {ERROR_MR_MID_NOT_FOUND, {"FormatMessageA"}},
      {0x80004005u, {"SHGetSpecialFolderLocation"}},  // E_FAIL
      {RT_PERMISSION_DENIED, {"Files.OpenForAppend", "Files.Kill"}},
      {RT_PATH_FILE_ACCESS_ERROR, {"Files.OpenForBinaryRead"}},
      {61, {"Files.PrintLine"}},  // disk full
      {RT_DEVICE_IO_ERROR, {"Files.Get", "Files.Close"}},
      {RT_FILE_NOT_FOUND, {"Files.FileLen", "Files.FileExists"}},
  };
  for (const auto& [status, ops] : kGroups) {
    if (std::find(ops.begin(), ops.end(), op) != ops.end()) return status;
  }
  if (op.rfind("Reg", 0) == 0) return ERROR_ACCESS_DENIED;
  // Window properties, pseudo-handles, the clock, free file numbers and releases do not fail.
  return std::nullopt;
}

std::pair<std::string, std::uint64_t> NthCall(const std::vector<std::string>& calls,
                                              std::size_t k) {
  const std::string& op = calls.at(k - 1);
  const auto n = std::count(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(k), op);
  return {op, static_cast<std::uint64_t>(n)};
}

std::string Describe(const std::vector<KeptValue>& values) {
  std::string out;
  for (const auto& v : values) {
    if (!out.empty()) out += ", ";
    out += (v.path.empty() ? std::string() : v.path + "\\") + (v.name.empty() ? "@" : v.name);
  }
  return out;
}

}  // namespace dravlin::reliability
