// The three ways a disinfection run ends without a restart.
#include <optional>
#include <string>

#include "platform/ui.h"
#include "workflow/frmGetAll.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::Control;

void frmGetAll::ReportNotInfected() {
  const std::string title = Window().GetText(Control::Form);
  // The suffix goes on once, however often the outcome is reported.
  if (FindText(title, texts::NotInfectedMarker(German()), false) == 0) {
    Window().SetText(Control::Form, title + texts::NotInfectedSuffix(German()));
  }
  Log(texts::kNotInfectedLogLine);
  Window().SetEnabled(Control::CB_start, false);
  CloseBackupWhenDone();
}

void frmGetAll::ReportDisinfected() {
  sv_.ui.MessageBox(texts::DisinfectedMessage(German()),
                    platform::MB_OK | platform::MB_ICONINFORMATION, platform::kApplicationTitle);
  Log(texts::kCleanedLogLine);
  Window().SetEnabled(Control::CB_start, false);
  CloseBackupWhenDone();
}

void frmGetAll::ReportCleanupError() {
  Window().SetEnabled(Control::CB_start, false);
  sv_.ui.MessageBox(texts::CleanupErrorMessage(German()), platform::MB_OK, std::nullopt);
}

}  // namespace dravlin
