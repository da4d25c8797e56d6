#include "system/clsshutdown.h"

#include <optional>
#include <string>

namespace dravlin {

namespace {

constexpr std::uint32_t kBoxStyle = platform::MB_OK | platform::MB_ICONEXCLAMATION;  // 48

constexpr const char* kExitRefused =
    "Das System kann aufgrund eines Fehlers nicht heruntergefahren werden.";
constexpr const char* kEnableFailed =
    "Das Privileg zum Herunterfahren/Neustarten des Systems konnte nicht aktiviert werden.";
constexpr const char* kNoToken =
    "Das Handle für den Accesstoken des aktuellen Prozesses konnte nicht erlangt werden.";
constexpr const char* kNoLuid =
    "Der aktuelle LUID für das SE_SHUTDOWN-Privileg konnte nicht ermittelt werden.";
constexpr const char* kAdjustRefused =
    "Das Privileg zum Herunterfahren des Systems konnte aus unbekanntem Grund nicht modifiziert "
    "werden.";

}  // namespace

bool clsshutdown::ShutDownDOSbasedWindows(std::uint32_t ShutDownMode) {
  if (sv_.ui.ExitWindowsEx(ShutDownMode, 0)) return true;
  sv_.ui.MessageBox(kExitRefused, kBoxStyle, std::string(platform::kApplicationTitle));
  return false;
}

bool clsshutdown::ShutDownNTbasedWindows(std::uint32_t ShutDownMode) {
  // Shutting down, powering off and rebooting need the privilege; logging off and the force
  // flag alone do not.
  const bool needed = (ShutDownMode & platform::EWX_SHUTDOWN) != 0 ||
                      (ShutDownMode & platform::EWX_POWEROFF) != 0 ||
                      (ShutDownMode & platform::EWX_REBOOT) != 0;
  if (needed && !EnableShutdownPrivilege(true)) {
    sv_.ui.MessageBox(kEnableFailed, kBoxStyle, std::string(platform::kApplicationTitle));
    return false;
  }
  const bool accepted = ShutDownDOSbasedWindows(ShutDownMode);
  if (needed) (void)EnableShutdownPrivilege(false);
  return accepted;
}

bool clsshutdown::EnableShutdownPrivilege(bool enable) {
  platform::Security& security = sv_.security;
  auto fail = [this](const char* text) {
    sv_.ui.MessageBox(text, kBoxStyle, std::string(platform::kApplicationTitle));
    return false;
  };

  platform::Handle token = 0;
  if (!security.OpenProcessToken(sv_.kernel.GetCurrentProcess(), platform::TOKEN_ADJUST_PRIVILEGES,
                                 &token)) {
    return fail(kNoToken);
  }
  // Each call opens the token anew, so each call closes it again.
  struct Closer {
    platform::Kernel& kernel;
    platform::Handle handle;
    ~Closer() { (void)kernel.CloseHandle(handle); }
  } const closer{sv_.kernel, token};

  platform::Luid luid;
  if (!security.LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid)) {
    return fail(kNoLuid);
  }
  platform::TokenPrivileges record;
  record.Privileges = {{luid, enable ? platform::SE_PRIVILEGE_ENABLED : 0u}};
  // Only the call's own answer counts; "not all assigned" is not looked at.
  if (!security.AdjustTokenPrivileges(token, false, &record, 0)) return fail(kAdjustRefused);
  return true;
}

}  // namespace dravlin
