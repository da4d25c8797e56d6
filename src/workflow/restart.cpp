// Restart scheduling: the RunOnce entry with the program's short path, the message, the
// last log line, and the restart request that the Windows version allows.
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/ui.h"
#include "system/clsshutdown.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"
#include "workflow/texts.h"

namespace dravlin {

namespace {

// The program's file name without its extension.
std::string ExeName(const std::string& modulePath) {
  const auto slash = modulePath.rfind('\\');
  std::string name = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace

void frmGetAll::RestartWindows() {
  std::uint32_t mode = platform::EWX_REBOOT;
  if (OsCode_ > 5) mode |= platform::EWX_FORCE;
  if (OsCode_ >= 1 && OsCode_ <= 4) {
    PrepareRestart(true);
    (void)clsshutdown(sv_).ShutDownDOSbasedWindows(mode);
  } else if (OsCode_ >= 5 && OsCode_ <= 8) {
    PrepareRestart(true);
    (void)clsshutdown(sv_).ShutDownNTbasedWindows(mode);
  } else {
    PrepareRestart(false);
  }
  CloseWindow();
}

void frmGetAll::PrepareRestart(bool autoRestart) {
  ProcedureGuard ignore(*this, nullptr);
  std::string longPath;
  std::string shortPath;
  ignore.Step([&] {
    std::string module;
    for (std::uint32_t size = platform::MAX_PATH; size <= 32768 && module.empty(); size *= 2) {
      std::vector<char> buffer(size, '\0');
      const std::uint32_t n = sv_.kernel.GetModuleFileNameA(buffer.data(), size);
      if (n == 0) break;
      if (n < size) module.assign(buffer.data(), n);
    }
    longPath = ExeDirectory() + "\\" + ExeName(module) + ".exe";
  });
  ignore.Step([&] { ShortPathBuffer_.assign(165, '\0'); });
  ignore.Step([&] {
    ShortPathLength_ = static_cast<std::int32_t>(
        sv_.kernel.GetShortPathNameA(longPath, ShortPathBuffer_.data(), 164));
    // A result beyond the buffer is the size the path needs (with its NUL): ask again with a
    // buffer of that size, so that a long install path still gets its entry.
    for (int attempt = 0;
         attempt < 3 && ShortPathLength_ >= static_cast<std::int32_t>(ShortPathBuffer_.size() - 1);
         ++attempt) {
      ShortPathBuffer_.assign(static_cast<std::size_t>(ShortPathLength_) + 1, '\0');
      ShortPathLength_ = static_cast<std::int32_t>(sv_.kernel.GetShortPathNameA(
          longPath, ShortPathBuffer_.data(), static_cast<std::uint32_t>(ShortPathBuffer_.size())));
    }
    if (ShortPathLength_ < 0 ||
        ShortPathLength_ >= static_cast<std::int32_t>(ShortPathBuffer_.size())) {
      ShortPathLength_ = 0;
    }
  });
  ignore.Step(
      [&] { shortPath = ShortPathBuffer_.substr(0, static_cast<std::size_t>(ShortPathLength_)); });
  ignore.Step([&] {
    (void)reg_.WriteRegValue(platform::HKEY_LOCAL_MACHINE, names::kRunOnceKey, names::kRunOnceValue,
                             RegData::Str(shortPath), platform::REG_SZ);
  });
  ignore.Step([&] {
    sv_.ui.MessageBox(
        texts::RestartMessage(German(), autoRestart),
        autoRestart ? platform::MB_OK | platform::MB_ICONINFORMATION : platform::MB_OK,
        platform::kApplicationTitle);
  });
  ignore.Step([&] { Log(texts::kRestartLogLine); });
  ignore.Step([&] { CloseLog(); });
}

}  // namespace dravlin
