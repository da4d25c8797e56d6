// A machine on a private drive C: with a fixed clock, the program started on it, and its
// activity log read back line by line.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"
#include "sim/run/simrun.h"
#include "support/windows_names.h"

namespace dravlin::scenario {

using platform::Control;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;
using namespace testnames;  // NOLINT: the rig's names read best unqualified
using Lines = std::vector<std::string>;

class Scenario {
 public:
  explicit Scenario(std::string_view version = "winxp") : machine_(folder_.path() / "c") {
    EXPECT_TRUE(machine_.SetVersionPreset(version)) << version;
    machine_.SetClock(
        {.wYear = 2004, .wMonth = 5, .wDay = 20, .wHour = 14, .wMinute = 33, .wSecond = 12});
    machine_.WriteFile("C:\\Program Files\\Dravlin\\dravlin.exe", "MZ");
    machine_.CreateFolder(machine_.SystemDirectory());
    // Every Windows has these keys.
    machine_.CreateKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
    machine_.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    machine_.CreateKey(HKEY_CURRENT_USER, kIeMain);
  }

  sim::Machine& machine() { return machine_; }
  // A log line written at the fixed clock.
  static std::string Line(const std::string& text) { return "5/20/2004 2:33:12 PM" + text; }
  Lines Log() const {
    Lines lines;
    const std::string text =
        machine_.ReadFile("C:\\Program Files\\Dravlin\\dravlin.log").value_or("");
    for (std::size_t start = 0; start < text.size();) {
      const auto end = std::min(text.find("\r\n", start), text.size());
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
  simrun::Session& Start() {
    sessions_.push_back(std::make_unique<simrun::Session>(machine_));
    return *sessions_.back();
  }
  // Restarts Windows; the program starts once, by its RunOnce entry.
  simrun::Session& RebootIntoProgram() {
    auto started = simrun::Reboot(machine_);
    EXPECT_EQ(started.size(), 1u);
    for (auto& session : started) sessions_.push_back(std::move(session));
    return started.empty() ? Start() : *sessions_.back();
  }

 protected:
  sim::TempFolder folder_;
  sim::Machine machine_;
  std::vector<std::unique_ptr<simrun::Session>> sessions_;
};

// The NT auto-load key naming the DLL, with another value and a subkey; the DLL on disk and the
// hijacker loaded at boot.
inline void InfectXp(sim::Machine& m) {
  m.SetString(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", kXpDll);
  m.SetString(HKEY_LOCAL_MACHINE, kLiveKey, "Spooler", "yes");
  m.SetString(HKEY_LOCAL_MACHINE, std::string(kLiveKey) + "\\Pending\\Deep", "Keep", "me");
  m.WriteFile(kXpDll, "MZ hijacker");
  m.SetHijacker(sim::HijackerSettings{kXpDll, '\0'});
  m.Boot();
}

}  // namespace dravlin::scenario
