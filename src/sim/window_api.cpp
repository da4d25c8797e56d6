// The window, its message boxes and the restart request as the program sees them: recorded for
// the tests, never shown or performed.
#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::Status;
using Gate = Machine::Impl::Gate;

platform::Window& Program::MainWindow() {
  return *this;
}

int Program::MessageBox(const std::string& text, std::uint32_t style,
                        const std::optional<std::string>& title) {
  std::uint32_t injected = 0;
  if (m_.Enter("MessageBox", false, &injected) == Gate::Fail) {
    m_.lastError = injected;
    return 0;
  }
  m_.boxes.push_back({text, style, title.value_or(platform::kApplicationTitle)});
  if (m_.answers.empty()) return platform::IDOK;
  const int answer = m_.answers.front();
  m_.answers.erase(m_.answers.begin());
  return answer;
}

bool Program::ExitWindowsEx(std::uint32_t flags, std::uint32_t /*reserved*/) {
  std::uint32_t injected = 0;
  if (m_.Enter("ExitWindowsEx", false, &injected) == Gate::Fail) return Fail(injected);
  const bool privilege = m_.PrivilegeEnabled("SeShutdownPrivilege");
  m_.exits.push_back({flags, m_.shutdownPrivilegeAsked, false});
  if (m_.exitFails) return Fail(platform::ERROR_ACCESS_DENIED);
  constexpr std::uint32_t kNeedsPrivilege =
      platform::EWX_SHUTDOWN | platform::EWX_REBOOT | platform::EWX_POWEROFF;
  if (m_.IsNt() && (flags & kNeedsPrivilege) && !privilege)
    return Fail(platform::ERROR_PRIVILEGE_NOT_HELD);
  m_.exits.back().accepted = true;
  return true;
}

namespace {
std::size_t Index(platform::Control c) {
  return static_cast<std::size_t>(c);
}
}  // namespace

void Program::SetText(platform::Control control, const std::string& text) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetText", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).text = text;
}

std::string Program::GetText(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.GetText", false, &injected) == Gate::Fail) return {};
  return m_.controls.at(Index(control)).text;
}

void Program::SetEnabled(platform::Control control, bool enabled) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetEnabled", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).enabled = enabled;
}

bool Program::IsEnabled(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsEnabled", false, &injected) == Gate::Fail) return false;
  return m_.controls.at(Index(control)).enabled;
}

void Program::SetVisible(platform::Control control, bool visible) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.SetVisible", false, &injected) == Gate::Fail) return;
  m_.controls.at(Index(control)).visible = visible;
}

bool Program::IsVisible(platform::Control control) {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsVisible", false, &injected) == Gate::Fail) return false;
  return m_.controls.at(Index(control)).visible;
}

void Program::Show() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Show", false, &injected) == Gate::Fail) return;
  m_.shown = true;
}

void Program::Hide() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Hide", false, &injected) == Gate::Fail) return;
  m_.shown = false;
}

void Program::Unload() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.Unload", true, &injected) != Gate::Proceed) return;
  m_.shown = false;
  m_.loaded = false;
}

bool Program::IsLoaded() {
  std::uint32_t injected = 0;
  if (m_.Enter("Window.IsLoaded", false, &injected) == Gate::Fail) return false;
  return m_.loaded;
}

}  // namespace dravlin::sim::detail
