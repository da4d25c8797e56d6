#include "scenario.h"

#include <gtest/gtest.h>

namespace dravlin::scenario {

Scenario::Scenario(std::string_view version) : machine_(folder_.path() / "c") {
  EXPECT_TRUE(machine_.SetVersionPreset(version)) << version;
  platform::SystemTime t;
  t.wYear = 2004;
  t.wMonth = 5;
  t.wDay = 20;
  t.wHour = 14;
  t.wMinute = 33;
  t.wSecond = 12;
  machine_.SetClock(t);
  machine_.CreateFolder("C:\\Program Files\\Dravlin");
  machine_.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
  machine_.CreateFolder(machine_.SystemDirectory());
  // Every Windows has these keys.
  machine_.CreateKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
  machine_.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  machine_.CreateKey(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main");
}

std::string Scenario::Stamp() const {
  const auto& locale = machine_.Locale();
  const auto now = machine_.Clock();
  return sim::FormatPicture(locale.shortDate, now, locale.am, locale.pm) + " " +
         sim::FormatPicture(locale.longTime, now, locale.am, locale.pm);
}

std::vector<std::string> Scenario::Log() const {
  std::vector<std::string> lines;
  const auto content = machine_.ReadFile(kLogPath);
  if (!content) return lines;
  std::size_t start = 0;
  while (start < content->size()) {
    const auto end = content->find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(content->substr(start));  // an unfinished last line shows as it is
      break;
    }
    lines.push_back(content->substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

simrun::Session& Scenario::Start() {
  if (session_) earlier_.push_back(std::move(session_));
  session_ = std::make_unique<simrun::Session>(machine_);
  return *session_;
}

simrun::Session& Scenario::RebootIntoProgram() {
  if (session_) earlier_.push_back(std::move(session_));
  auto started = simrun::Reboot(machine_);
  EXPECT_EQ(started.size(), 1u) << "the program should start once by its RunOnce entry";
  if (started.empty()) return Start();
  session_ = std::move(started.front());
  for (std::size_t i = 1; i < started.size(); ++i) earlier_.push_back(std::move(started[i]));
  return *session_;
}

void ArrangeLiveKey(sim::Machine& m, const std::string& appInitDlls) {
  m.SetString(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", appInitDlls);
  m.SetString(HKEY_LOCAL_MACHINE, kLiveKey, "Spooler", "yes");
  m.SetString(HKEY_LOCAL_MACHINE, std::string(kLiveKey) + "\\Pending\\Deep", "Keep", "me");
}

void InfectXp(sim::Machine& m, const std::string& dll) {
  ArrangeLiveKey(m, dll);
  m.WriteFile(dll, "MZ hijacker");
  m.SetHijacker(sim::HijackerSettings{dll, '\0'});
  m.Boot();
}

void Infect98(sim::Machine& m, const std::string& dll) {
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "Scanner", "C:\\Program Files\\Scan\\scan.exe");
  m.SetString(HKEY_LOCAL_MACHINE, kServiceKey, "qzhook", "rundll32.exe " + dll + ",Start");
  m.WriteFile(dll, "MZ hijacker");
  m.SetHijacker(sim::HijackerSettings{dll, ' '});
  m.Boot();
}

TreeMap Tree(const sim::Machine& m, platform::HKey root, const std::string& path) {
  TreeMap tree;
  for (const auto& key : m.ExportTree(root, path)) {
    auto& values = tree[key.path];
    for (const auto& v : key.values) values[v.name] = v.value;
  }
  return tree;
}

TreeMap WholeRegistry(const sim::Machine& m) {
  TreeMap all;
  for (const auto& [label, root] :
       {std::pair{"HKLM", HKEY_LOCAL_MACHINE}, std::pair{"HKCU", HKEY_CURRENT_USER}}) {
    for (auto& [path, values] : Tree(m, root, "")) all[std::string(label) + "\\" + path] = values;
  }
  return all;
}

}  // namespace dravlin::scenario
