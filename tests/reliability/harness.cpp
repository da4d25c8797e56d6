#include "harness.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace dravlin::reliability {

namespace {

std::string Dword(std::uint32_t v) {
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFFu);
  return bytes;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The Windows key of an XP machine: values of every common type, NULs inside data, and
// subkeys two levels deep, so that a lost subtree or a changed byte shows.
void ArrangeWindowsKey(sim::Machine& m, const std::string& appInitDlls) {
  const std::string key = kLiveKey;
  m.SetString(HKEY_LOCAL_MACHINE, key, "AppInit_DLLs", appInitDlls);
  m.SetString(HKEY_LOCAL_MACHINE, key, "DeviceNotSelectedTimeout", "15");
  m.SetValue(HKEY_LOCAL_MACHINE, key, "GDIProcessHandleQuota", platform::REG_DWORD, Dword(10000));
  m.SetValue(HKEY_LOCAL_MACHINE, key, "IconServiceLib", platform::REG_EXPAND_SZ,
             std::string("%SystemRoot%\\IconCodecService.dll\0", 34));
  m.SetValue(HKEY_LOCAL_MACHINE, key, "Blob", platform::REG_BINARY,
             std::string("\x01\x00\xff\x00\x7f", 5));
  m.SetValue(HKEY_LOCAL_MACHINE, key, "Order", platform::REG_MULTI_SZ,
             std::string("one\0two\0\0", 9));
  m.SetValue(HKEY_LOCAL_MACHINE, key, "", platform::REG_SZ, std::string("mnmsrvc\0", 8));
  m.SetString(HKEY_LOCAL_MACHINE, key + "\\Pending", "Reason", "update");
  m.SetString(HKEY_LOCAL_MACHINE, key + "\\Pending\\Deep", "Keep", "me");
  m.SetValue(HKEY_LOCAL_MACHINE, key + "\\Pending\\Deep", "Count", platform::REG_DWORD, Dword(7));
  m.SetString(HKEY_LOCAL_MACHINE, key + "\\Drivers", "wave", "wdmaud.drv");
}

void AddBho(sim::Machine& m, const std::string& clsid, const std::string& dllPath) {
  m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
  m.SetString(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", "", dllPath);
}

// The hijacker's pages point into its DLL; one object loads a file of the DLL's name, another
// is an ordinary one.
void ArrangeBrowser(sim::Machine& m, const std::string& dll) {
  m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://" + dll + "/qz.html#start");
  m.SetString(HKEY_CURRENT_USER, kIeMain, "Search Bar", "http://www.example.com/search/");
  m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "Search Page", "res://" + dll + "%2Fqz.html");
  const std::string objectDll = "C:\\Program Files\\QzBar\\" + dll.substr(dll.rfind('\\') + 1);
  AddBho(m, "{DEADBEEF-0000-4000-8000-000000000001}", objectDll);
  m.WriteFile(objectDll, "MZ object");
  AddBho(m, "{11111111-2222-3333-4444-555555555555}", "C:\\Program Files\\Good\\good.dll");
  m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ good");
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Restart:
      return "restart";
    case Outcome::Disinfected:
      return "disinfected";
    case Outcome::NotInfected:
      return "not infected";
    case Outcome::CleanupError:
      return "cleanup error";
    case Outcome::KeyNotFound:
      return "key not found";
    case Outcome::NoAdmin:
      return "no admin";
    case Outcome::None:
      break;
  }
  return "none";
}

const char* RoadName(Road road) {
  switch (road) {
    case Road::XpInfected:
      return "XP infected";
    case Road::Win98Infected:
      return "98 infected";
    case Road::XpClean:
      break;
  }
  return "XP clean";
}

bool IsNt(Road road) {
  return road != Road::Win98Infected;
}

Rig::Rig(Road road) : road_(road), machine_(folder_.path() / "c") {
  sim::Machine& m = machine_;
  m.SetVersionPreset(IsNt(road) ? "winxp" : "win98");
  platform::SystemTime t;
  t.wYear = 2004;
  t.wMonth = 5;
  t.wDay = 20;
  t.wHour = 14;
  t.wMinute = 33;
  t.wSecond = 12;
  m.SetClock(t);
  m.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
  m.CreateFolder(m.SystemDirectory());
  m.CreateKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
  m.CreateKey(HKEY_CURRENT_USER, kIeMain);

  switch (road) {
    case Road::XpInfected:
      ArrangeWindowsKey(m, kXpDll);
      m.WriteFile(kXpDll, "MZ hijacker");
      m.SetHijacker(sim::HijackerSettings{kXpDll, '\0'});
      ArrangeBrowser(m, kXpDll);
      break;
    case Road::XpClean:
      ArrangeWindowsKey(m, "");
      AddBho(m, "{11111111-2222-3333-4444-555555555555}", "C:\\Program Files\\Good\\good.dll");
      m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ good");
      m.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", "http://www.example.com/");
      break;
    case Road::Win98Infected:
      m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook",
                  std::string("rundll32.exe ") + k98Dll + ",Start");
      m.WriteFile(k98Dll, "MZ hijacker");
      m.SetHijacker(sim::HijackerSettings{k98Dll, ' '});
      ArrangeBrowser(m, k98Dll);
      break;
  }
  m.Boot();

  if (IsNt(road)) {
    for (const auto& key : m.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey)) {
      for (const auto& v : key.values) {
        if (key.path.empty() && Fold(v.name) == "appinit_dlls") continue;
        kept_.push_back({key.path, v.name, v.value});
      }
    }
  } else {
    RecordServiceKey();
  }
}

Rig::~Rig() = default;

void Rig::RecordServiceKey() {
  kept_.clear();
  for (const auto& v : machine_.ListValues(HKEY_LOCAL_MACHINE, kServiceKey)) {
    kept_.push_back({"", v.name, v.value});
  }
}

std::vector<std::string> Rig::Log() const {
  std::vector<std::string> lines;
  const auto content = machine_.ReadFile(kLogPath);
  if (!content) return lines;
  std::size_t start = 0;
  while (start < content->size()) {
    const auto end = content->find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(content->substr(start));
      break;
    }
    lines.push_back(content->substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

RunResult Rig::RunByHand(const std::function<void()>& arm) {
  machine_.StartProgram();
  return Run(arm);
}

RunResult Rig::RunAfterRestart(const std::function<void()>& arm) {
  // Whether RunOnce starts the program or the user does, the run is the same: a new process
  // on the freshly started machine.
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
    if (!session) session = std::make_unique<simrun::Session>(machine_);
    if (session->CanClick(Control::CB_start)) session->Click(Control::CB_start);
    title = machine_.Control(Control::Form).text;
    session->Close();
    // The process ends: whatever the program still holds is released now.
    session.reset();
  } catch (const sim::ProgramCrash&) {
    r.crashed = true;
  }
  if (machine_.ProgramDead()) r.crashed = true;
  if (session) ended_.push_back(std::move(session));
  if (title.empty()) title = machine_.Control(Control::Form).text;

  const std::vector<std::string> all = Log();
  r.log.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, all.size())),
               all.end());
  const auto& calls = machine_.CallLog();
  r.calls.assign(calls.begin() + static_cast<std::ptrdiff_t>(callsBefore), calls.end());

  for (std::size_t i = 0; i < r.log.size(); ++i) {
    const std::string& line = r.log[i];
    if (EndsWith(line, " Error RK")) r.errorRk = true;
    for (const char* label : {" Error go_nt: ", " Error go_9x: "}) {
      const auto at = line.find(label);
      if (at == std::string::npos) continue;
      ++r.errorEntries;
      const std::string number = line.substr(at + std::string_view(label).size());
      const bool numeric = !number.empty() && std::all_of(number.begin(), number.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '-';
      });
      // The description follows on a line of its own, without a stamp.
      const bool described = i + 1 < r.log.size() && !r.log[i + 1].empty();
      if (!numeric || !described) r.errorEntriesWellFormed = false;
    }
  }

  auto logged = [&](std::string_view suffix) {
    return std::any_of(r.log.begin(), r.log.end(),
                       [&](const std::string& l) { return EndsWith(l, suffix); });
  };
  const auto& boxes = machine_.MessageBoxes();
  auto shown = [&](std::string_view prefix) {
    for (std::size_t i = boxesBefore; i < boxes.size(); ++i) {
      if (StartsWith(boxes[i].text, prefix)) return true;
    }
    return false;
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
  if (errorEntries > 0 || errorRk) return true;
  return std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return EndsWith(line, " Error while deleting Hijack-DLL ") ||
           line.find(" Hijack-DLL Path not found") != std::string::npos ||
           line.find(" -> Programm terminated") != std::string::npos;
  });
}

bool Rig::LiveKeyComplete() const {
  const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
  for (const auto& kept : kept_) {
    bool found = false;
    for (const auto& key : live) {
      if (Fold(key.path) != Fold(kept.path)) continue;
      for (const auto& v : key.values)
        found = found || (v.name == kept.name && v.value == kept.value);
    }
    if (!found) return false;
  }
  return true;
}

std::vector<KeptValue> Rig::Missing() const {
  std::vector<KeptValue> missing;
  if (IsNt(road_)) {
    const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
    const auto parked = machine_.ExportTree(HKEY_LOCAL_MACHINE, kParkedKey);
    auto holds = [](const std::vector<sim::KeySnapshot>& tree, const KeptValue& kept) {
      for (const auto& key : tree) {
        if (Fold(key.path) != Fold(kept.path)) continue;
        for (const auto& v : key.values) {
          if (Fold(v.name) == Fold(kept.name) && v.value == kept.value) return true;
        }
      }
      return false;
    };
    for (const auto& kept : kept_) {
      if (!holds(live, kept) && !holds(parked, kept)) missing.push_back(kept);
    }
    return missing;
  }
  // The entry's only purpose is to name the DLL: once the DLL is gone it may go too.
  if (!machine_.FileExists(k98Dll)) return missing;
  const auto keyFile = machine_.ReadFile(kKeyFile);
  for (const auto& kept : kept_) {
    const auto now = machine_.GetValue(HKEY_LOCAL_MACHINE, kServiceKey, kept.name);
    if (now && *now == kept.value) continue;
    if (keyFile && keyFile->find(kept.name) != std::string::npos &&
        keyFile->find(kept.value.data) != std::string::npos) {
      continue;
    }
    missing.push_back(kept);
  }
  return missing;
}

bool Rig::Disinfected() const {
  if (!IsNt(road_)) {
    if (machine_.FileExists(k98Dll)) return false;
    for (const auto& v : machine_.ListValues(HKEY_LOCAL_MACHINE, kServiceKey)) {
      if (Fold(v.value.data).find(Fold(k98Dll)) != std::string::npos) return false;
    }
    return true;
  }
  if (machine_.FileExists(kXpDll) || machine_.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey)) {
    return false;
  }
  if (machine_.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs") !=
      sim::RegValue{platform::REG_SZ, ""}) {
    return false;
  }
  return LiveKeyComplete();
}

std::optional<std::uint32_t> RealisticFailure(const std::string& op) {
  using namespace platform;
  // Registry: a key or file the account may not touch; the hive calls without the privilege.
  if (op == "RegSaveKeyA" || op == "RegRestoreKeyA") return ERROR_PRIVILEGE_NOT_HELD;
  if (op == "RegCloseKey") return ERROR_INVALID_HANDLE;
  if (op.rfind("Reg", 0) == 0) return ERROR_ACCESS_DENIED;
  // Files: a file in use cannot be deleted; attributes and existence fail for lack of rights.
  if (op == "DeleteFileA") return ERROR_SHARING_VIOLATION;
  if (op == "SetFileAttributesA" || op == "GetFileAttributesA") return ERROR_ACCESS_DENIED;
  if (op == "PathFileExistsA") return ERROR_ACCESS_DENIED;
  if (op == "GetShortPathNameA") return ERROR_FILE_NOT_FOUND;
  // Token and privileges.
  if (op == "OpenProcessToken" || op == "OpenThreadToken" || op == "GetTokenInformation") {
    return ERROR_ACCESS_DENIED;
  }
  if (op == "AdjustTokenPrivileges") return ERROR_ACCESS_DENIED;
  if (op == "LookupPrivilegeValueA") return ERROR_NO_SUCH_PRIVILEGE;
  if (op == "AllocateAndInitializeSid" || op == "IsValidSid" || op == "EqualSid") {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (op == "ExitWindowsEx") return ERROR_PRIVILEGE_NOT_HELD;
  // System information.
  if (op == "GetSystemDirectoryA" || op == "GetModuleFileNameA") return ERROR_NOT_ENOUGH_MEMORY;
  if (op == "GetVersionExA") return ERROR_INSUFFICIENT_BUFFER;
  if (op == "GetLocaleInfoA" || op == "GetDateFormatA" || op == "GetTimeFormatA") {
    return ERROR_INVALID_PARAMETER;
  }
  if (op == "FormatMessageA") return ERROR_MR_MID_NOT_FOUND;
  if (op == "SHGetSpecialFolderLocation") return 0x80004005u;  // E_FAIL
  if (op == "SHGetPathFromIDListA") return ERROR_INVALID_PARAMETER;
  if (op == "MessageBox") return ERROR_NOT_ENOUGH_MEMORY;
  // The runtime's file numbers: a locked or missing file, a full or failing disk.
  if (op == "Files.OpenForAppend") return RT_PERMISSION_DENIED;
  if (op == "Files.OpenForBinaryRead") return RT_PATH_FILE_ACCESS_ERROR;
  if (op == "Files.PrintLine") return 61;  // disk full
  if (op == "Files.Get" || op == "Files.Close") return RT_DEVICE_IO_ERROR;
  if (op == "Files.FileLen" || op == "Files.FileExists") return RT_FILE_NOT_FOUND;
  if (op == "Files.Kill") return RT_PERMISSION_DENIED;
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
