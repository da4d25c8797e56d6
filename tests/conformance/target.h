// What each platform under test provides to the conformance suite: its services, a scratch
// folder, and the facts about itself that decide which behaviour the suite expects.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/services.h"

namespace dravlin::conformance {

struct ExpectedVersion {
  std::uint32_t platformId = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
};

class Target {
 public:
  virtual ~Target() = default;

  virtual platform::Services& services() = 0;
  // For messages: "simulated machine", "Wine 8.0", "Windows".
  virtual std::string Name() const = 0;
  // Wine stands in for Windows; its known gaps are checked as gaps.
  virtual bool IsWine() const = 0;
  // An existing, empty folder (Windows path, no trailing backslash), removed with the target.
  virtual std::string ScratchFolder() const = 0;
  // The version the platform was set up to report, when the target knows it.
  virtual std::optional<ExpectedVersion> Version() const = 0;
  // Whether the process token must hold the administrators group; nullopt: not known here.
  virtual std::optional<bool> RunsAsAdministrator() const = 0;
  // Gives the key a security that grants everyone only `allowed` (KEY_* rights); false when
  // that fails. A test that restricts a key gives it KEY_ALL_ACCESS again before it ends.
  virtual bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) = 0;
  // Keeps an existing file in use until the target ends: mapped into memory as a loaded DLL
  // is, or else opened by someone else without any sharing. False when that fails.
  virtual bool HoldFile(const std::string& path, bool mapped) = 0;
  // Makes a folder the current one, which relative paths start from.
  virtual bool SetCurrentFolder(const std::string& path) = 0;
};

// One fresh target per test; defined once per platform (target_sim.cpp, target_win32.cpp).
std::unique_ptr<Target> MakeTarget();

}  // namespace dravlin::conformance
