// The simulated machine as the conformance target: a fresh Windows XP machine per test.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "conformance/target.h"
#include "platform/sim/machine.h"

namespace dravlin::conformance {

namespace {

// The version comes from DRAVLIN_CONFORMANCE_VERSION (a preset name; Windows XP without it), so
// that the cases where 98 and NT 4.0 differ run against them too; DRAVLIN_CONFORMANCE_DRIVE=memory
// holds drive C: in memory instead of a host folder.
class SimTarget final : public Target {
 public:
  SimTarget() : machine_(MakeMachine(folder_)) {
    if (const char* version = std::getenv("DRAVLIN_CONFORMANCE_VERSION")) {
      machine_->SetVersionPreset(version);
    }
    // As on any installed Windows, the system folder is there.
    machine_->CreateFolder(machine_->SystemDirectory());
    machine_->Boot();
    machine_->CreateFolder(kScratch);
  }

  platform::Services& services() override { return machine_->services(); }
  std::string Name() const override { return "simulated machine"; }
  bool IsWine() const override { return false; }
  std::string ScratchFolder() const override { return kScratch; }
  std::optional<ExpectedVersion> Version() const override {
    const auto& v = machine_->Version();
    return ExpectedVersion{v.platformId, v.major, v.minor, v.build};
  }
  std::optional<bool> RunsAsAdministrator() const override { return true; }
  bool HoldFile(const std::string& path, bool mapped) override {
    if (!machine_->FileExists(path)) return false;
    if (mapped) {
      machine_->MarkLoaded(path);
    } else {
      machine_->SetUndeletable(path);
    }
    return true;
  }
  bool SetCurrentFolder(const std::string& path) override {
    if (!machine_->FolderExists(path)) return false;
    machine_->SetCurrentFolder(path);
    return true;
  }
  bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) override {
    if (!machine_->KeyExists(root, path)) return false;
    machine_->SetKeyAccess(root, path, allowed);
    return true;
  }

 private:
  static constexpr const char* kScratch = "C:\\DravlinConformance";
  static std::unique_ptr<sim::Machine> MakeMachine(const sim::TempFolder& folder) {
    const char* drive = std::getenv("DRAVLIN_CONFORMANCE_DRIVE");
    if (drive != nullptr && std::string_view(drive) == "memory") {
      return std::make_unique<sim::Machine>();
    }
    return std::make_unique<sim::Machine>(folder.path() / "c");
  }
  sim::TempFolder folder_;
  std::unique_ptr<sim::Machine> machine_;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() {
  return std::make_unique<SimTarget>();
}

}  // namespace dravlin::conformance
