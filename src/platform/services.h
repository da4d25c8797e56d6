// The bundle of platform services that the program is given.
#pragma once

#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/regional.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/shell.h"
#include "platform/ui.h"

namespace dravlin::platform {

struct Services {
  Registry& registry;
  Security& security;
  Kernel& kernel;
  Shell& shell;
  Files& files;
  Ui& ui;
  Regional& regional;
};

}  // namespace dravlin::platform
