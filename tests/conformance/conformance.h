// One suite, two platforms: each test runs in a fresh target with a scratch registry key below
// HKCU (removed before and after) and a scratch folder; known platform gaps are named.
#pragma once

#include <gtest/gtest.h>

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

class Target {
 public:
  virtual ~Target() = default;
  virtual platform::Services& services() = 0;
  virtual std::string Name() const = 0;  // for messages
  virtual bool IsWine() const = 0;
  // An existing, empty folder (no trailing backslash), removed with the target.
  virtual std::string ScratchFolder() const = 0;
  // The version the platform was set up to report, when known.
  virtual std::optional<ExpectedVersion> Version() const = 0;
  // Whether the token must hold the administrators group; nullopt: not known here.
  virtual std::optional<bool> RunsAsAdministrator() const = 0;
  // Lets everyone have only `allowed` on the key; a test gives KEY_ALL_ACCESS back before it ends.
  virtual bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) = 0;
  // Keeps an existing file in use until the target ends: mapped as a loaded DLL is, or else
  // opened elsewhere without sharing.
  virtual bool HoldFile(const std::string& path, bool mapped) = 0;
};

// One fresh target per test (target_sim.cpp, target_win32.cpp).
std::unique_ptr<Target> MakeTarget();

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  platform::Registry& reg() { return target_->services().registry; }
  platform::Security& sec() { return target_->services().security; }
  platform::Kernel& kernel() { return target_->services().kernel; }
  platform::Shell& shell() { return target_->services().shell; }
  platform::Files& files() { return target_->services().files; }
  platform::Regional& regional() { return target_->services().regional; }
  platform::Ui& ui() { return target_->services().ui; }
  Target& target() { return *target_; }
  bool wine() const { return target_->IsWine(); }
  bool nt() const { return target_->Version().value_or(ExpectedVersion{2}).platformId == 2; }
  platform::HKey scratch() const { return scratch_->get(); }

  // Where the platform is known to differ from Windows: named in the output and the XML
  // report; the test then checks the platform's own behaviour, so a change shows up.
  void Gap(const std::string& what);

  // Arranging through the platform under test; each helper checks its own success.
  std::optional<std::string> ReadValue(platform::HKey parent, const std::string& path,
                                       const std::string& name);
  bool KeyExists(platform::HKey parent, const std::string& path);
  bool DeleteTree(platform::HKey parent, const std::string& path);  // true when gone
  std::string File(const std::string& name) const;                  // in the scratch folder
  void WriteTextFile(const std::string& path, const std::string& line);
  std::optional<std::string> ReadFileBytes(const std::string& path);
  // All privileges disabled, then the named ones enabled.
  void SetPrivileges(const std::vector<std::string>& enabled);

 private:
  std::unique_ptr<Target> target_;
  std::optional<platform::UniqueKey> scratch_;
  int gaps_ = 0;
};

}  // namespace dravlin::conformance
