// Disinfections cut short or faulted, on whole machines: the program dies at every platform call
// of a run (crash sweep), or every call fails in turn with the status Windows gives there (fault
// sweep); then the user goes on, at most three more starts, each clicking what the window
// offers. Every such road must end in the reference end state (the machine after the
// undisturbed two-step run, compared whole: registry and drive, the activity log and backup
// folders aside), must never say "disinfected" or "not infected" while part of the infection's
// footprint is there, must keep the DLL's path recorded while the DLL is on disk, must have
// nothing of the machine gone that is not in the backup, and must keep one backup folder. Faults
// that last (a file in use, a key the user may not change) reach a stable state instead that
// names what is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/regfile.h"
#include "sim/persist/machine_folder.h"
#include "sim/run/simrun.h"
#include "support/windows_names.h"
#include "workflow/texts.h"

namespace dravlin::reliability {
namespace {

using platform::HKEY_LOCAL_MACHINE;
using namespace testnames;  // NOLINT: the rig's names read best unqualified

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return Fold(text).find(Fold(part)) != std::string::npos;
}

// The machine as the user keeps it: each key with its values and each file with its bytes and
// attributes, by folded name. The activity log and the backup folders are the program's report.
struct State {
  std::map<std::string, std::map<std::string, std::pair<std::uint32_t, std::string>>> keys;
  std::map<std::string, std::pair<std::string, std::uint32_t>> files;
};

// whole: names as stored, and the backup folders with the rest; the log is left out either way.
State Capture(const sim::Machine& m, bool whole = false) {
  const auto name = [whole](const std::string& text) { return whole ? text : Fold(text); };
  State s;
  for (const auto& key : sim::persist::ExportRegistry(m).keys) {
    auto& values = s.keys[name(key.path)];
    for (const auto& v : key.values) values[name(v.name)] = {v.type, v.data};
  }
  for (const auto& file : m.ListFiles()) {
    if (Contains(file, "\\dravlin.log") || (!whole && Contains(file, "\\dravlin-backup-")))
      continue;
    s.files[name(file)] = {m.ReadFile(file).value_or(""), m.FileAttributes(file)};
  }
  return s;
}

// Everything that differs between the reference and now, one line each.
std::vector<std::string> Differences(const State& reference, const State& now) {
  std::vector<std::string> out;
  for (const auto& [path, values] : reference.keys) {
    const auto it = now.keys.find(path);
    if (it == now.keys.end()) {
      out.push_back("key lost: " + path);
      continue;
    }
    for (const auto& [name, value] : values) {
      const auto v = it->second.find(name);
      if (v == it->second.end() || v->second != value)
        out.push_back("value lost: " + path + " " + name);
    }
    for (const auto& [name, value] : it->second) {
      if (values.count(name) == 0) out.push_back("value left: " + path + " " + name);
    }
  }
  for (const auto& [path, values] : now.keys) {
    if (reference.keys.count(path) == 0) out.push_back("key left: " + path);
  }
  for (const auto& [path, file] : reference.files) {
    const auto it = now.files.find(path);
    if (it == now.files.end() || it->second != file) out.push_back("file lost: " + path);
  }
  for (const auto& [path, file] : now.files) {
    if (reference.files.count(path) == 0) out.push_back("file left: " + path);
  }
  return out;
}

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

std::string Hex(std::uint64_t n) {
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(n));
  return buffer;
}

std::string Escaped(std::string_view bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buffer[5];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
      out += buffer;
    }
  }
  return out;
}

// Every key, value and file that a road added, removed or changed, one line each, in name order.
std::vector<std::string> Changes(const State& before, const State& after) {
  std::vector<std::string> out;
  const auto walk = [](const auto& a, const auto& b, const auto& visit) {
    const typename std::decay_t<decltype(a)>::mapped_type* none = nullptr;
    auto i = a.begin();
    auto j = b.begin();
    while (i != a.end() || j != b.end()) {
      if (j == b.end() || (i != a.end() && i->first < j->first)) {
        visit(i->first, &i->second, none), ++i;
      } else if (i == a.end() || j->first < i->first) {
        visit(j->first, none, &j->second), ++j;
      } else {
        visit(i->first, &i->second, &j->second), ++i, ++j;
      }
    }
  };
  const auto change = [](const auto* was, const auto* is) {
    return !was ? "added: " : !is ? "removed: " : *was != *is ? "changed: " : "";
  };
  const std::map<std::string, std::pair<std::uint32_t, std::string>> none;
  walk(before.keys, after.keys, [&](const std::string& path, const auto* was, const auto* is) {
    if (!was || !is) out.push_back(std::string("key ") + change(was, is) + path);
    walk(was ? *was : none, is ? *is : none, [&](const std::string& name, auto* v, auto* w) {
      const std::string what = change(v, w);
      const auto& value = w ? *w : *v;
      if (!what.empty())
        out.push_back("value " + what + path + " [" + name + "] " + std::to_string(value.first) +
                      " " + Escaped(value.second));
    });
  });
  walk(before.files, after.files, [&](const std::string& path, const auto* was, const auto* is) {
    const std::string what = change(was, is);
    const auto& file = is ? *is : *was;
    if (!what.empty())
      out.push_back("file " + what + path + " " + std::to_string(file.first.size()) + " bytes, " +
                    Hex(Fnv1a64(file.first)) + ", attributes " + std::to_string(file.second));
  });
  return out;
}

// What each point of a sweep produced (the log from the disturbed start on, the last box shown
// and the changes to the whole machine), kept in records/<sweep>-<machine>.txt as one line per
// point: the digest of its record and its name. DRAVLIN_UPDATE_GOLDEN=1 rewrites the file. On a
// mismatch the records of this run are written in full beside the test, to compare with a run
// of the version the file was made with.
class SweepRecord {
 public:
  explicit SweepRecord(std::string name) : name_(std::move(name)) {}

  void Add(const std::string& point, std::string text) {
    points_.emplace_back(point, std::move(text));
  }

  void Check() const {
    const std::string golden =
        std::string(DRAVLIN_SOURCE_DIR) + "/tests/reliability/records/" + name_ + ".txt";
    if (std::getenv("DRAVLIN_UPDATE_GOLDEN") != nullptr) {
      std::ofstream out(golden, std::ios::binary);
      for (const auto& [point, text] : points_) out << Hex(Fnv1a64(text)) << ' ' << point << '\n';
      return;
    }
    std::map<std::string, std::string> kept;
    std::ifstream in(golden, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (line.size() > 17) kept[line.substr(17)] = line.substr(0, 16);
    }
    std::size_t differing = 0;
    for (const auto& [point, text] : points_) {
      const auto it = kept.find(point);
      if (it != kept.end() && it->second == Hex(Fnv1a64(text))) {
        kept.erase(it);
        continue;
      }
      const bool known = it != kept.end();
      if (known) kept.erase(it);
      // The first few in full; the rest by name.
      ADD_FAILURE() << name_ << ": " << point
                    << (known ? " differs from the record" : " is not in the record")
                    << (++differing <= 5 ? ", now:\n" + text : std::string());
    }
    for (const auto& [point, digest] : kept) ADD_FAILURE() << name_ << ": " << point << " is gone";
    if (differing == 0 && kept.empty()) return;
    std::ofstream full(name_ + ".record.txt", std::ios::binary);
    for (const auto& [point, text] : points_) full << "== " << point << '\n' << text;
    std::cout << "records of this run: " << std::filesystem::absolute(name_ + ".record.txt")
              << '\n';
  }

 private:
  std::string name_;
  std::vector<std::pair<std::string, std::string>> points_;
};

// How a run ended, as the user saw it: the boxes and the log, read through the program's texts.
enum class Outcome { Restart, Disinfected, NotInfected, CleanupError, Other };

struct RunRecord {
  Outcome outcome = Outcome::Other;
  bool crashed = false;
  std::vector<std::string> log;
  bool wellFormed = true;  // every " Error go_..: n" entry has its description on the next line
};

// One machine folder, its reference end state and its footprint.
class Road {
 public:
  explicit Road(const std::string& folder) : name_(folder) {
    // Drive C: in memory, so that a snapshot puts the files back too.
    namespace fs = std::filesystem;
    const fs::path base = fs::path(DRAVLIN_SOURCE_DIR) / folder;
    std::ifstream json(base / "machine.json", std::ios::binary);
    const std::string jsonText((std::istreambuf_iterator<char>(json)), {});
    const auto description = sim::persist::ParseMachineJson(jsonText, folder);
    sim::Machine& m = machine_;
    sim::persist::ApplyDescription(description, m);
    sim::persist::ApplyRegistry(regfile::ReadRegFile(base / "registry.reg", folder), m);
    for (const auto& entry : fs::recursive_directory_iterator(base / "c")) {
      if (!entry.is_regular_file()) continue;
      std::string path = "C:\\" + fs::relative(entry.path(), base / "c").string();
      std::replace(path.begin(), path.end(), '/', '\\');
      std::ifstream in(entry.path(), std::ios::binary);
      m.WriteFile(path, std::string((std::istreambuf_iterator<char>(in)), {}));
    }
    for (const auto& [path, bits] : description.attributes) m.SetFileAttributes(path, bits);
    nt_ = m.IsNtBased();
    german_ = Fold(m.Locale().nativeLanguage) == "deutsch";
    dll_ = m.Hijacker()->dllPath;
    m.Boot();
    m.SaveSnapshot();
    initial_ = Capture(m);
    whole_ = Capture(m, true);
    const State& initial = initial_;
    // The undisturbed road.
    first_ = Start(false, {});
    second_ = Start(true, {});
    EXPECT_EQ(first_.outcome, Outcome::Restart) << folder;
    EXPECT_EQ(second_.outcome, Outcome::Disinfected) << folder;
    reference_ = Capture(m);
    // The footprint: what the two steps remove or change, and the program's own traces.
    for (const auto& [path, values] : initial.keys) {
      const auto it = reference_.keys.find(path);
      for (const auto& [name, value] : values) {
        if (it == reference_.keys.end() || it->second.count(name) == 0 ||
            it->second.at(name) != value) {
          footprintValues_.push_back({path, name, value});
        }
      }
      if (it == reference_.keys.end()) footprintKeys_.push_back(path);
    }
    for (const auto& [path, file] : initial.files) {
      if (reference_.files.count(path) == 0) footprintFiles_.push_back(path);
    }
    footprintKeys_.push_back(Fold("HKEY_LOCAL_MACHINE\\" + std::string(kParkedKey)));
    footprintFiles_.push_back(Fold(kKeyFile));
    footprintFiles_.push_back(Fold("C:\\RegTemp.txt"));
  }

  sim::Machine& machine() { return machine_; }
  const std::string& name() const { return name_; }
  bool nt() const { return nt_; }
  const std::string& dll() const { return dll_; }
  const RunRecord& step(int n) const { return n == 1 ? first_ : second_; }
  const State& reference() const { return reference_; }

  // A start of the program: by Windows after a restart (reboot), or by the user. arm runs once
  // the process exists, before its first call.
  RunRecord Start(bool reboot, const std::function<void()>& arm) {
    sim::Machine& m = machine();
    RunRecord r;
    const std::size_t logBefore = LogLines().size(), boxesBefore = m.MessageBoxes().size();
    const std::size_t exitsBefore = m.ExitWindowsCalls().size();
    if (reboot) {
      (void)m.Reboot();
    } else {
      m.StartProgram();
    }
    std::unique_ptr<simrun::Session> session;
    try {
      if (arm) arm();
      session = std::make_unique<simrun::Session>(m);
      if (session->CanClick(platform::Control::CB_start))
        session->Click(platform::Control::CB_start);
      session->Close();
      session.reset();
    } catch (const sim::ProgramCrash&) {
      r.crashed = true;
    }
    if (session) dead_.push_back(std::move(session));
    r.crashed = r.crashed || m.ProgramDead();
    m.ClearFaults();
    const auto all = LogLines();
    r.log.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, all.size())),
                 all.end());
    for (std::size_t i = 0; i < r.log.size(); ++i) {
      for (const std::string_view label : {texts::kErrorNtLogLine, texts::kError9xLogLine}) {
        const auto at = r.log[i].find(label);
        if (at == std::string::npos) continue;
        const std::string number = r.log[i].substr(at + label.size());
        r.wellFormed = r.wellFormed && !number.empty() &&
                       number.find_first_not_of("-0123456789") == std::string::npos &&
                       i + 1 < r.log.size() && !r.log[i + 1].empty() &&
                       r.log[i + 1].rfind(r.log[i].substr(0, at), 0) != 0;
      }
    }
    const auto& boxes = m.MessageBoxes();
    const auto shown = [&](const std::string& text) {
      return std::any_of(boxes.begin() + static_cast<std::ptrdiff_t>(boxesBefore), boxes.end(),
                         [&](const auto& b) { return b.text == text; });
    };
    const auto logged = [&](const std::string& suffix) {
      return std::any_of(r.log.begin(), r.log.end(),
                         [&](const auto& l) { return l.ends_with(suffix); });
    };
    if (m.ExitWindowsCalls().size() > exitsBefore || shown(texts::RestartMessage(german_, true)) ||
        shown(texts::RestartMessage(german_, false))) {
      r.outcome = Outcome::Restart;
    } else if (shown(texts::DisinfectedMessage(german_)) || logged(texts::kCleanedLogLine)) {
      r.outcome = Outcome::Disinfected;
    } else if (shown(texts::CleanupErrorMessage(german_))) {
      r.outcome = Outcome::CleanupError;
    } else if (logged(texts::kNotInfectedLogLine) ||
               Contains(m.Control(platform::Control::Form).text,
                        texts::NotInfectedMarker(german_))) {
      r.outcome = Outcome::NotInfected;
    }
    return r;
  }

  // The point's record: the log from line logFrom on, the last box from boxesFrom on, and what
  // differs on the whole machine from its start.
  std::string Describe(std::size_t logFrom, std::size_t boxesFrom) {
    std::string text = "log:\n";
    const auto lines = LogLines();
    for (std::size_t i = logFrom; i < lines.size(); ++i) text += "  " + Escaped(lines[i]) + "\n";
    const auto& boxes = machine().MessageBoxes();
    text += boxes.size() > boxesFrom
                ? "box: " + Escaped(boxes.back().title) + " | " + Escaped(boxes.back().text) + "\n"
                : "box: none\n";
    text += "changes:\n";
    for (const auto& line : Changes(whole_, Capture(machine(), true))) text += "  " + line + "\n";
    return text;
  }

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    const std::string exe = machine().ExePath();
    const std::string text =
        machine().ReadFile(exe.substr(0, exe.rfind('\\')) + "\\dravlin.log").value_or("");
    for (std::size_t start = 0; start < text.size();) {
      const auto end = std::min(text.find("\r\n", start), text.size());
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  // The parts of the footprint still there.
  std::vector<std::string> FootprintLeft() {
    const State now = Capture(machine());
    std::vector<std::string> left;
    for (const auto& path : footprintKeys_) {
      if (now.keys.count(path) != 0) left.push_back(path);
    }
    for (const auto& [path, name, value] : footprintValues_) {
      const auto it = now.keys.find(path);
      if (it != now.keys.end() && it->second.count(name) != 0 && it->second.at(name) == value)
        left.push_back(path + " " + name);
    }
    for (const auto& path : footprintFiles_) {
      if (now.files.count(path) != 0) left.push_back(path);
    }
    return left;
  }

  // What the machine of before held and is neither on the machine now nor in the backup: every
  // key and value with its bytes (the Windows key's may be in the parked copy meanwhile), every
  // file with its bytes. The program's own traces are not the user's; the hijacker DLL may go
  // without its copy only when the log says that the copy failed.
  std::vector<std::string> Uncopied(const std::vector<std::string>& log) {
    const sim::Machine& m = machine();
    const State now = Capture(m);
    std::map<std::string, std::map<std::string, std::pair<std::uint32_t, std::string>>> kept;
    std::set<std::string> copies;
    std::vector<std::string> out;
    for (const auto& file : m.ListFiles()) {
      if (!Contains(file, "\\dravlin-backup-")) continue;
      const std::string bytes = m.ReadFile(file).value_or("");
      if (Contains(file, ".removed")) copies.insert(bytes);
      // A start cut short may leave a file it had just made, still empty.
      if (bytes.empty() || (!file.ends_with(".reg") && !file.ends_with("changed-reg.txt")))
        continue;
      try {
        for (const auto& key : regfile::ParseRegFile(bytes, file).keys) {
          auto& values = kept[Fold(key.path)];
          for (const auto& v : key.values) values[Fold(v.name)] = {v.type, v.data};
        }
      } catch (const regfile::FormatError& e) {
        out.push_back(std::string("unreadable: ") + e.what());
      }
    }
    const std::string live = Fold("HKEY_LOCAL_MACHINE\\" + std::string(kLiveKey));
    const std::string parked = Fold("HKEY_LOCAL_MACHINE\\" + std::string(kParkedKey));
    const auto holds = [](const auto& map, const std::string& path, const std::string& name,
                          const auto& value) {
      const auto it = map.find(path);
      if (it == map.end()) return false;
      const auto v = it->second.find(name);
      return v != it->second.end() && v->second == value;
    };
    for (const auto& [path, values] : initial_.keys) {
      const bool moved = path.rfind(live, 0) == 0;
      const std::string there = moved ? parked + path.substr(live.size()) : path;
      if (now.keys.count(path) == 0 && now.keys.count(there) == 0 && kept.count(path) == 0)
        out.push_back("key " + path);
      for (const auto& [name, value] : values) {
        // DOS-based Windows hides the hijacker's start entry while its DLL is loaded.
        const bool hidden = Contains(path, "runservicesonce") && Contains(value.second, dll_);
        if (!hidden && !holds(now.keys, path, name, value) &&
            !holds(now.keys, there, name, value) && !holds(kept, path, name, value))
          out.push_back("value " + path + " " + name);
      }
    }
    const bool copyFailed = std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return Contains(line, " Error while backing up: " + dll_);
    });
    for (const auto& [path, file] : initial_.files) {
      const auto it = now.files.find(path);
      if ((it != now.files.end() && it->second.first == file.first) ||
          copies.count(file.first) != 0 || (path == Fold(dll_) && copyFailed))
        continue;
      out.push_back("file " + path);
    }
    return out;
  }

  // The backup folders that hold something of the machine (more than the notes).
  std::set<std::string> BackupFolders() {
    std::set<std::string> folders;
    for (const auto& file : machine().ListFiles()) {
      const auto at = Fold(file).find("\\dravlin-backup-");
      if (at != std::string::npos && !Contains(file, "\\restore.txt"))
        folders.insert(Fold(file.substr(0, file.find('\\', at + 1))));
    }
    return folders;
  }

  // While the DLL is on disk, its path is in the auto-load entry, the parked copy, the service
  // key or the key file.
  bool DllPathRecorded() {
    sim::Machine& m = machine();
    if (!m.FileExists(dll_)) return true;
    const auto names = [&](platform::HKey root, const std::string& path) {
      const auto values = m.ListValues(root, path);
      return std::any_of(values.begin(), values.end(),
                         [&](const sim::NamedValue& v) { return Contains(v.value.data, dll_); });
    };
    if (nt_) return names(HKEY_LOCAL_MACHINE, kLiveKey) || names(HKEY_LOCAL_MACHINE, kParkedKey);
    return names(HKEY_LOCAL_MACHINE, kServiceKey) ||
           Contains(m.ReadFile(kKeyFile).value_or(""), dll_);
  }

 private:
  std::string name_;
  sim::Machine machine_;
  bool nt_ = true;
  bool german_ = false;
  std::string dll_;
  RunRecord first_, second_;
  State reference_, initial_, whole_;
  struct Value {
    std::string path, name;
    std::pair<std::uint32_t, std::string> value;
  };
  std::vector<std::string> footprintKeys_, footprintFiles_;
  std::vector<Value> footprintValues_;
  std::vector<std::unique_ptr<simrun::Session>> dead_;
};

// The status Windows returns when this call fails in the way it most plausibly does here;
// nullopt for calls that do not fail on Windows (window texts, pseudo-handles, the clock, and
// GetVersionExA given the size of its structure).
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
  return std::nullopt;
}

struct Tally {
  std::size_t points = 0, converged = 0, maxStarts = 0, lost = 0, falseDisinfected = 0,
              falseNotInfected = 0, stillRestarting = 0, unrecorded = 0, writtenUndeletable = 0,
              uncopied = 0, extraBackups = 0;
};

// The user goes on after the disturbed run until the machine is the reference (at most three
// starts); every run on the way is checked for an honest last word.
void GoOn(Road& road, RunRecord last, bool rebootFirst, Tally& t, const std::string& point) {
  // The one written road that keeps a hijacker DLL: it could not be deleted, and the key came
  // back with the value emptied all the same.
  const bool undeletable = std::any_of(last.log.begin(), last.log.end(), [](const auto& l) {
    return l.ends_with(" Error while deleting Hijack-DLL ");
  });
  // On NT-based Windows that road empties the value that named the DLL, so the DLL stays for
  // good; on DOS-based Windows the key file keeps its path and the next start deletes it.
  State reference = road.reference();
  std::vector<std::string> log;  // what the user could read in the log so far
  if (undeletable) ++t.writtenUndeletable;
  if (undeletable && road.nt()) {
    const sim::Machine& m = road.machine();
    reference.files[Fold(road.dll())] = {m.ReadFile(road.dll()).value_or(""),
                                         m.FileAttributes(road.dll())};
  }
  const auto judge = [&](const RunRecord& r) {
    EXPECT_TRUE(r.wellFormed) << point << ::testing::PrintToString(r.log);
    const auto left = road.FootprintLeft();
    // The written road: the DLL stays, and on DOS-based Windows its record with it.
    const bool dllOnly =
        undeletable && std::all_of(left.begin(), left.end(), [&](const auto& item) {
          return item == Fold(road.dll()) || (!road.nt() && item == Fold(kKeyFile));
        });
    if (r.outcome == Outcome::Disinfected && !left.empty() && !dllOnly) {
      ++t.falseDisinfected;
      ADD_FAILURE() << point << ": disinfected with " << ::testing::PrintToString(left)
                    << ::testing::PrintToString(r.log);
    }
    if (r.outcome == Outcome::NotInfected && !left.empty()) {
      ++t.falseNotInfected;
      ADD_FAILURE() << point << ": not infected with " << ::testing::PrintToString(left)
                    << ::testing::PrintToString(r.log);
    }
    if (!(undeletable && road.nt()) && !road.DllPathRecorded()) {
      ++t.unrecorded;
      ADD_FAILURE() << point << ": the DLL is on disk and its path recorded nowhere";
    }
    log.insert(log.end(), r.log.begin(), r.log.end());
    const auto uncopied = road.Uncopied(log);
    if (!uncopied.empty()) {
      ++t.uncopied;
      ADD_FAILURE() << point << ": gone without a copy: " << ::testing::PrintToString(uncopied)
                    << ::testing::PrintToString(r.log);
    }
  };
  judge(last);
  bool reboot = rebootFirst || last.outcome == Outcome::Restart;
  std::size_t starts = 0;
  while (!Differences(reference, Capture(road.machine())).empty() || reboot) {
    if (starts == 3) break;
    last = road.Start(reboot, {});
    ++starts;
    EXPECT_FALSE(last.crashed) << point;
    judge(last);
    reboot = last.outcome == Outcome::Restart;
  }
  if (reboot) {
    ++t.stillRestarting;
    ADD_FAILURE() << point << ": still restarting after three more starts";
  }
  if (road.BackupFolders().size() > 1) {
    ++t.extraBackups;
    ADD_FAILURE() << point << ": one disinfection, backups in "
                  << ::testing::PrintToString(road.BackupFolders());
  }
  const auto differences = Differences(reference, Capture(road.machine()));
  if (differences.empty()) {
    ++t.converged;
    t.maxStarts = std::max(t.maxStarts, starts);
  } else {
    ++t.lost;
    ADD_FAILURE() << point << ": not the reference end state after " << starts
                  << " starts: " << ::testing::PrintToString(differences);
  }
}

// Each call of each step of the road in turn crashes the program (the PC dies there and
// Windows starts again) or fails once with the status Windows gives there.
void Sweep(const std::string& folder, bool crash) {
  Road road(folder);
  SweepRecord record(std::string(crash ? "crash-" : "fault-") +
                     folder.substr(folder.rfind('/') + 1));
  for (int step = 1; step <= 2; ++step) {
    // The calls of the step, as the undisturbed road made them.
    road.machine().RestoreSnapshot();
    if (step == 2) (void)road.Start(false, {});
    const std::size_t before = road.machine().CallLog().size();
    (void)road.Start(step == 2, {});
    const std::vector<std::string> calls(
        road.machine().CallLog().begin() + static_cast<std::ptrdiff_t>(before),
        road.machine().CallLog().end());
    ASSERT_GT(calls.size(), 20u);
    Tally t;
    for (std::size_t k = 1; k <= calls.size(); ++k) {
      const std::string& op = calls[k - 1];
      const auto status = RealisticFailure(op);
      if (!crash && !status) continue;
      const auto occurrence = static_cast<std::uint64_t>(
          std::count(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(k), op));
      const std::string point =
          folder + ", step " + std::to_string(step) + ", " + op + " #" + std::to_string(occurrence);
      ++t.points;
      sim::Machine& m = road.machine();
      m.RestoreSnapshot();
      if (step == 2) (void)road.Start(false, {});
      const std::size_t logFrom = road.LogLines().size(), boxesFrom = m.MessageBoxes().size();
      const RunRecord r = road.Start(step == 2, [&] {
        if (crash) {
          m.CrashAtCall(k);
        } else {
          m.FailCall(op, occurrence, *status);
        }
      });
      ASSERT_EQ(r.crashed, crash) << point;
      GoOn(road, r, crash, t, point);
      record.Add((crash ? "crash, " : "fault, ") + point, road.Describe(logFrom, boxesFrom));
    }
    std::cout << "[" << (crash ? "crash" : "fault") << " sweep] " << folder << ", step " << step
              << ": " << calls.size() << " calls, " << t.points
              << (crash ? " crash points" : " faults injected") << ", " << t.converged
              << " reach the reference end state (in at most " << t.maxStarts
              << " further starts), " << t.writtenUndeletable
              << " on the written undeletable-DLL road, " << t.lost << " user data lost, "
              << t.falseDisinfected << " false disinfected, " << t.falseNotInfected
              << " false not infected, " << t.stillRestarting << " still restarting, "
              << t.unrecorded << " DLL path unrecorded, " << t.uncopied
              << " with something gone that the backup lacks, " << t.extraBackups
              << " with more than one backup folder\n";
    EXPECT_EQ(t.converged, t.points);
    EXPECT_EQ(t.falseDisinfected + t.falseNotInfected + t.unrecorded + t.stillRestarting +
                  t.uncopied + t.extraBackups,
              0u);
  }
  record.Check();
}

class Roads : public ::testing::TestWithParam<const char*> {};
TEST_P(Roads, EveryCrashPointConvergesOnTheReferenceEndState) {
  Sweep(GetParam(), true);
}
TEST_P(Roads, EveryOneShotFaultConvergesOnTheReferenceEndState) {
  Sweep(GetParam(), false);
}
INSTANTIATE_TEST_SUITE_P(Machines, Roads,
                         ::testing::Values("machines/default", "machines/xp-german",
                                           "machines/win98", "tests/scenarios/win2000-user-class"),
                         [](const auto& road) {
                           std::string name = road.param;
                           name = name.substr(name.rfind('/') + 1);
                           std::erase(name, '-');
                           return name;
                         });

// Faults that last: every later start ends in the clean-up error box, its log names what is
// left, and nothing else of the footprint remains.
struct Lasting {
  const char* folder;
  const char* what;
  std::function<void(sim::Machine&)> arrange;
  std::vector<std::string> allowed;  // what may be left: parts of folded names
  std::vector<std::string> lines;    // written at every later start (after the time stamp)
};

TEST(LastingFaults, EachLaterStartNamesWhatIsLeftAndNothingElseRemains) {
  const std::string object = "{4a1b2c3d-0002-4e5f-8a9b-0c1d2e3f4a5b}";
  const Lasting cases[] = {
      {"machines/default",
       "an object's DLL in use",
       [](sim::Machine& m) { m.SetUndeletable("C:\\Program Files\\QZ Search\\sqzbar.dll"); },
       {object, "sqzbar.dll", "internet explorer", "windows_hijacked"},
       {}},
      {"machines/default",
       "an object's registration key the user may not change",
       [&](sim::Machine& m) {
         m.SetKeyAccess(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + object,
                        platform::KEY_READ);
       },
       {object, "sqzbar.dll", "internet explorer", "windows_hijacked"},
       // Without the copy of its path the class key stays, and both lines say so.
       {" Error while deleting BHO", "Error while deleting BHO-CLSID-Key"}},
      {"machines/default",
       "the list of objects the program may not read",
       [](sim::Machine& m) { m.DenyAccess(HKEY_LOCAL_MACHINE, kBhoKey); },
       {"browser helper objects", "clsid\\{4a1b2c3d", "qzbar.dll", "internet explorer",
        "windows_hijacked"},
       {}},
      {"machines/default",
       "a page key the user may not change",
       [](sim::Machine& m) { m.SetKeyAccess(HKEY_LOCAL_MACHINE, kIeMain, platform::KEY_READ); },
       {"software\\microsoft\\internet explorer\\main", "windows_hijacked"},
       {}},
      {"machines/win98",
       "an object's DLL in use",
       [](sim::Machine& m) { m.SetUndeletable("C:\\Program Files\\QZ Search\\sqzbar.dll"); },
       {object, "sqzbar.dll", "internet explorer", "hjruon.txt", "runservicesonce"},
       {}},
  };
  for (const Lasting& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + ": " + c.what);
    Road road(c.folder);
    sim::Machine& m = road.machine();
    m.RestoreSnapshot();
    c.arrange(m);
    EXPECT_EQ(road.Start(false, {}).outcome, Outcome::Restart);
    for (int start = 1; start <= 3; ++start) {
      const RunRecord r = road.Start(start == 1, {});
      EXPECT_EQ(r.outcome, Outcome::CleanupError) << ::testing::PrintToString(r.log);
      EXPECT_TRUE(std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) {
        return Contains(l, texts::LeftOverLogLine(false, "")) &&
               (Contains(l, object) || Contains(l, "sqzbar.dll") ||
                Contains(l, "Internet Explorer\\Main") || Contains(l, "Browser Helper Objects"));
      })) << ::testing::PrintToString(r.log);
      for (const std::string& line : c.lines) {
        EXPECT_TRUE(std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) {
          return l == line || (l.ends_with(line) && l.size() > line.size() &&
                               l[l.size() - line.size() - 1] == 'M');
        })) << line;
      }
      for (const auto& item : road.FootprintLeft()) {
        EXPECT_TRUE(std::any_of(c.allowed.begin(), c.allowed.end(), [&](const std::string& part) {
          return Contains(item, part);
        })) << item;
      }
      EXPECT_FALSE(m.FileExists(road.dll()));
    }
  }
}

}  // namespace
}  // namespace dravlin::reliability
