// dravlin.exe: creates the main window hidden, lets the logic load it (which shows it), runs the
// message loop until the window is gone, and ends.
#include "platform/win32/win32.h"
#include "workflow/frmGetAll.h"

#include "app/win32/main_window.h"

namespace {

// Hands the window's clicks and its unloading to the logic.
class FormBinding final : public dravlin::app::FormEvents {
 public:
  explicit FormBinding(dravlin::frmGetAll& form) : form_(form) {}
  void CB_start_Click() override { form_.CB_start_Click(); }
  void Command1_Click() override { form_.Command1_Click(); }
  void Command2_Click() override { form_.Command2_Click(); }
  void Command3_Click() override { form_.Command3_Click(); }
  void Form_Unload() override { form_.Form_Unload(); }

 private:
  dravlin::frmGetAll& form_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  dravlin::app::MainWindow window(instance);
  if (!window.Create()) return 1;
  dravlin::win32::Platform machine(window);
  // Message boxes are modal on the main window.
  machine.ui().SetOwnerWindow(reinterpret_cast<std::uintptr_t>(window.Handle()));

  int exitCode = 0;
  {
    dravlin::frmGetAll form(machine.services());
    FormBinding binding(form);
    window.SetEvents(&binding);
    form.Form_Load();
    exitCode = window.RunMessageLoop();
    window.SetEvents(nullptr);
    // The form object ends with the loop: the log is closed whatever way the window went.
    form.Form_Terminate();
  }
  return exitCode;
}
