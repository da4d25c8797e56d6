// The platform under test: the simulated machine (target_sim.cpp) or Win32 (target_win32.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/key.h"
#include "platform/services.h"

namespace dravlin::conformance {

// Pre-filled into outputs, so that a test can tell what a call left untouched.
inline constexpr std::uint32_t kSentinel = 0xdeadbeefu;
inline constexpr std::uint8_t kFill = 0xbd;
inline constexpr const char* kScratchKey = "Software\\DravlinConformance";
inline constexpr const char* kClassesKey = "DravlinConformance.Test";  // below HKLM\...\Classes

struct ExpectedVersion {
  std::uint32_t platformId = 0, major = 0, minor = 0, build = 0;
};

// The platform under test, fresh for each test.
struct Target {
  virtual ~Target() = default;
  virtual platform::Services& services() = 0;
  // Lets everyone have only `allowed` on the key; a test gives KEY_ALL_ACCESS back before it ends.
  virtual bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) = 0;
  // Keeps an existing file in use until the target ends: mapped as a loaded DLL is, or else
  // opened elsewhere without sharing.
  virtual bool HoldFile(const std::string& path, bool mapped) = 0;

  std::string name;  // for messages
  bool wine = false;
  std::string scratchFolder;  // existing and empty (no trailing backslash), removed with the target
  std::optional<ExpectedVersion> version;  // what the platform was set up to report, when known
};

// One fresh target per test (target_sim.cpp, target_win32.cpp).
std::unique_ptr<Target> MakeTarget();

}  // namespace dravlin::conformance
