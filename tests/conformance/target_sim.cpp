// The simulated machine as the conformance target: a fresh machine per test, Windows XP unless
// DRAVLIN_CONFORMANCE_VERSION names another preset, so the cases where 98 and NT 4.0 differ run
// against them too; DRAVLIN_CONFORMANCE_DRIVE=memory holds drive C: in memory instead of a host
// folder.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "conformance/conformance.h"
#include "sim/machine.h"

namespace dravlin::conformance {

namespace {

class SimTarget final : public Target {
 public:
  SimTarget() : machine_(MakeMachine(folder_)) {
    if (const char* preset = std::getenv("DRAVLIN_CONFORMANCE_VERSION")) {
      machine_->SetVersionPreset(preset);
    }
    machine_->CreateFolder(machine_->SystemDirectory());  // there on any installed Windows
    machine_->Boot();
    name = "simulated machine";
    scratchFolder = "C:\\DravlinConformance";
    machine_->CreateFolder(scratchFolder);
    const auto& v = machine_->Version();
    version = ExpectedVersion{v.platformId, v.major, v.minor, v.build};
  }

  platform::Services& services() override { return machine_->services(); }
  bool HoldFile(const std::string& path, bool mapped) override {
    if (!machine_->FileExists(path)) return false;
    mapped ? machine_->MarkLoaded(path) : machine_->SetUndeletable(path);
    return true;
  }
  bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) override {
    if (!machine_->KeyExists(root, path)) return false;
    machine_->SetKeyAccess(root, path, allowed);
    return true;
  }

 private:
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
