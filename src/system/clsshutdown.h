// Restarting Windows, with the shutdown privilege that NT-based Windows demands. Its
// messages are German only.
#pragma once

#include <cstdint>

#include "platform/services.h"

namespace dravlin {

class clsshutdown {
 public:
  explicit clsshutdown(platform::Services& services) : sv_(services) {}

  bool ShutDownDOSbasedWindows(std::uint32_t ShutDownMode);
  bool ShutDownNTbasedWindows(std::uint32_t ShutDownMode);

 private:
  bool EnableShutdownPrivilege(bool enable);
  platform::Services& sv_;
};

}  // namespace dravlin
