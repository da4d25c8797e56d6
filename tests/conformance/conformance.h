// The fixture every conformance test runs in: a fresh target, a scratch registry key below
// HKCU (removed before and after), sentinels, and the reporting of platform gaps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conformance/target.h"
#include "platform/key.h"

namespace dravlin::conformance {

// Pre-filled into outputs, so that a test can tell what a call left untouched.
inline constexpr std::uint32_t kSentinel = 0xdeadbeefu;
inline constexpr std::uint8_t kFill = 0xbd;

inline constexpr const char* kScratchKey = "Software\\DravlinConformance";
// Below HKLM\SOFTWARE\Classes, to see it through HKCR.
inline constexpr const char* kClassesKey = "DravlinConformance.Test";

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
  // NT-based unless the target says otherwise.
  bool nt() const { return target_->Version().value_or(ExpectedVersion{2}).platformId == 2; }
  platform::HKey scratch() const { return scratch_->get(); }

  // Where the platform is known to differ from Windows: named in the output and the XML
  // report; the test then checks the platform's actual behaviour, so a change shows up.
  void Gap(const std::string& what);

  // Arranging through the platform under test (every helper asserts its own success).
  platform::HKey Create(platform::HKey parent, const std::string& path);
  void SetString(platform::HKey key, const std::string& name, const std::string& bytes,
                 std::uint32_t type = 1);
  std::optional<std::string> ReadValue(platform::HKey parent, const std::string& path,
                                       const std::string& name);
  bool KeyExists(platform::HKey parent, const std::string& path);
  // Deletes a key with everything below it; true when it is gone afterwards.
  bool DeleteTree(platform::HKey parent, const std::string& path);
  std::string File(const std::string& name) const;  // a path in the scratch folder
  void WriteTextFile(const std::string& path, const std::string& line);
  std::optional<std::string> ReadFileBytes(const std::string& path);
  // Sets the process token's privileges: all disabled, then the named ones enabled.
  void SetPrivileges(const std::vector<std::string>& enabled);

 private:
  std::unique_ptr<Target> target_;
  std::optional<platform::UniqueKey> scratch_;
  std::vector<platform::HKey> opened_;
  int gaps_ = 0;
};

// Bytes as a readable C string literal, for failure messages.
std::string Printable(const std::string& bytes);

}  // namespace dravlin::conformance
