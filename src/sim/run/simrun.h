// Runs the program on a simulated machine as a user would: start it, click what a user can
// click, close its window, and carry out the restart it asked for. It records nothing that the
// machine does not record already; an abrupt end of the program (sim::ProgramCrash) passes out.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui.h"
#include "sim/machine.h"
#include "workflow/frmGetAll.h"

namespace dravlin::simrun {

// One run of the program: from its start to the end of its window.
class Session {
 public:
  // Starts the program: the window is created as designed and its load handler runs.
  explicit Session(sim::Machine& machine);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // True while the window is loaded and shown.
  bool Running() const;
  // A button a user can click: the window is up and the button is visible and enabled.
  bool CanClick(platform::Control button) const;
  // Clicks the button when a user could; returns whether the click happened.
  bool Click(platform::Control button);
  // The window's close box; false when there is no window to close.
  bool Close();

  frmGetAll& form() { return *form_; }

 private:
  sim::Machine& machine_;
  std::unique_ptr<frmGetAll> form_;
};

// Restarts Windows (running and consuming its RunOnce entries) and starts the program once for
// each entry that names it, in the order Windows ran them. Earlier sessions are over after this.
std::vector<std::unique_ptr<Session>> Reboot(sim::Machine& machine);

}  // namespace dravlin::simrun
