#include "sim/run/simrun.h"

#include <string>

namespace dravlin::simrun {

using platform::Control;

namespace {

struct Design {
  Control control;
  const char* text;
  bool shown;
};

// The window as it is created, before its load handler runs: design-time texts (German),
// and the test controls hidden.
constexpr Design kDesign[] = {
    {Control::Form, "QZ.html - Hijack Fixer", true},
    {Control::Frame1, "Erklärung", true},
    {Control::Command3, "Command3", false},
    {Control::Command1, "runonce erstellen", false},
    {Control::Label5, "v.1.06", true},
    {Control::Label1, "Dravlin: written by the Dravlin developers", true},
    {Control::Label4, "", true},
    {Control::Label3, "In Zusammenarbeit mit:", true},
    {Control::Line1, "", true},
    {Control::label2, "", true},
    {Control::Check1, "Check1", false},
    {Control::Command2, "Schliessen", true},
    {Control::CB_start, "Desinfektion starten", true},
};

void CreateWindow(platform::Window& window) {
  for (const Design& d : kDesign) {
    window.SetText(d.control, d.text);
    window.SetVisible(d.control, d.shown);
    window.SetEnabled(d.control, true);
  }
}

}  // namespace

Session::Session(sim::Machine& machine)
    : machine_(machine), form_(std::make_unique<frmGetAll>(machine.services())) {
  CreateWindow(machine.services().ui.MainWindow());
  form_->Form_Load();
}

bool Session::Running() const {
  return machine_.WindowLoaded() && machine_.WindowShown();
}

bool Session::CanClick(Control button) const {
  if (!Running()) return false;
  const sim::ControlState& state = machine_.Control(button);
  return state.visible && state.enabled;
}

bool Session::Click(Control button) {
  if (!CanClick(button)) return false;
  switch (button) {
    case Control::CB_start:
      form_->CB_start_Click();
      return true;
    case Control::Command1:
      form_->Command1_Click();
      return true;
    case Control::Command2:
      form_->Command2_Click();
      return true;
    case Control::Command3:
      form_->Command3_Click();
      return true;
    default:
      return false;  // not a button
  }
}

bool Session::Close() {
  if (!machine_.WindowLoaded()) return false;
  form_->Form_Unload();
  return true;
}

std::vector<std::unique_ptr<Session>> Reboot(sim::Machine& machine) {
  std::vector<std::unique_ptr<Session>> started;
  for (const std::string& command : machine.Reboot()) {
    if (machine.NamesProgram(command)) started.push_back(std::make_unique<Session>(machine));
  }
  return started;
}

}  // namespace dravlin::simrun
