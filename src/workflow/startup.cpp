// Start-up, the buttons that are not disinfection steps, and the unload paths.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::HKEY_LOCAL_MACHINE;

frmGetAll::frmGetAll(platform::Services& services)
    : sv_(services), reg_(services.registry), rename_(services), admin_(services) {}

// Nothing is closed here: the unload path does that while the platform is certainly there.
frmGetAll::~frmGetAll() = default;

void frmGetAll::FillTables() {
  IePageValues_ = {};
}

std::string frmGetAll::GetInfo(std::uint32_t lInfo) {
  char buffer[256] = {};
  const int count = sv_.kernel.GetLocaleInfoA(platform::LOCALE_USER_DEFAULT, lInfo, buffer, 256);
  if (count <= 0) return {};
  // The count includes the terminating NUL.
  return std::string(buffer, static_cast<std::size_t>(std::min(count - 1, 255)));
}

void frmGetAll::Form_Load() {
  // Every step may fail; start-up then goes on with the next one, silently.
  ProcedureGuard ignore(*this, nullptr);
  ignore.Step([&] { FillTables(); });
  ignore.Step([&] { OpenLog(); });
  ignore.Step([&] { Language_ = rt::Trim(rt::LCase(GetInfo(platform::LOCALE_SNATIVELANGNAME))); });
  ignore.Step([&] { LocalizeTexts(); });
  ignore.Step([&] { OsCode_ = static_cast<std::int16_t>(admin_.GetOsVersion()); });
  ignore.Step([&] { Window().Show(); });

  if (OsCode_ > 4) {
    ignore.Step([&] { SystemPath_ = admin_.GetSpecialFolder(platform::CSIDL_SYSTEM); });
    // A failing check counts as a user without administrator rights.
    if (ignore.Test([&] { return !admin_.IsAdmin(); })) {
      ignore.Step([&] {
        sv_.ui.MessageBox(texts::NoAdminMessage(German()),
                          platform::MB_OK | platform::MB_ICONINFORMATION,
                          platform::kApplicationTitle);
      });
      ignore.Step([&] { Log(texts::NoAdminLogLine(German())); });
      ignore.Step([&] { CloseWindow(); });
      return;
    }
    if (ignore.Test([&] { return reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kParkedKey); })) {
      ignore.Step([&] { SetCompleteCaption(); });
    }
  } else {
    ignore.Step([&] { SystemPath_ = rename_.GetSystemDir(); });
    // The first DOS-based step deletes the service key.
    if (ignore.Test([&] { return !reg_.RegKeyExists(HKEY_LOCAL_MACHINE, names::kServiceKey); })) {
      ignore.Step([&] { SetCompleteCaption(); });
    }
  }
}

void frmGetAll::CB_start_Click() {
  if (OsCode_ <= 5) {
    go_9x();
  } else {
    go_nt();
  }
}

void frmGetAll::Command3_Click() {
  go_9x();
}

void frmGetAll::Command1_Click() {
  (void)reg_.CreateRegKey(HKEY_LOCAL_MACHINE, names::kServiceKey);
}

void frmGetAll::Command2_Click() {
  if (unloaded_) return;
  ProcedureGuard ignore(*this, nullptr);
  ignore.Step([&] { Window().Hide(); });
  // Unloading the window runs its unload handler.
  Form_Unload();
}

void frmGetAll::Form_Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  ProcedureGuard ignore(*this, nullptr);
  ignore.Step([&] { CloseLog(); });
  ignore.Step([&] { UnloadAllForms(); });
}

void frmGetAll::Form_Terminate() {
  Form_Unload();
}

void frmGetAll::UnloadAllForms() {
  // The program has one form.
  if (Window().IsLoaded()) Window().Unload();
}

}  // namespace dravlin
