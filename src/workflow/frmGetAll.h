// The main window's logic: start-up, the two disinfection procedures, restart scheduling,
// outcomes, the activity log, texts, Browser Helper Object removal and start-page repair.
// The window itself is reached only through platform::Window.
#pragma once

#include "platform/services.h"

namespace dravlin {

class frmGetAll {
 public:
  explicit frmGetAll(platform::Services& services);
  ~frmGetAll();
  frmGetAll(const frmGetAll&) = delete;
  frmGetAll& operator=(const frmGetAll&) = delete;

  // Event entry points, called by the window (real or simulated).
  void Form_Load();
  void CB_start_Click();
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Form_Unload();
  void Form_Terminate();
};

}  // namespace dravlin
