// The simulated machine as the conformance target: a fresh machine per test, Windows XP unless
// DRAVLIN_CONFORMANCE_VERSION names another preset, so the cases where 98 and NT 4.0 differ run
// against them too.
#include <cstdlib>

#include "conformance/conformance.h"
#include "platform/sim/machine.h"

namespace dravlin::conformance {

namespace {

class SimTarget final : public Target {
 public:
  SimTarget() : machine_(folder_.path() / "c") {
    if (const char* version = std::getenv("DRAVLIN_CONFORMANCE_VERSION")) {
      machine_.SetVersionPreset(version);
    }
    machine_.CreateFolder(machine_.SystemDirectory());  // there on any installed Windows
    machine_.Boot();
    machine_.CreateFolder(kScratch);
  }

  platform::Services& services() override { return machine_.services(); }
  std::string Name() const override { return "simulated machine"; }
  bool IsWine() const override { return false; }
  std::string ScratchFolder() const override { return kScratch; }
  std::optional<ExpectedVersion> Version() const override {
    const auto& v = machine_.Version();
    return ExpectedVersion{v.platformId, v.major, v.minor, v.build};
  }
  std::optional<bool> RunsAsAdministrator() const override { return true; }
  bool HoldFile(const std::string& path, bool mapped) override {
    if (!machine_.FileExists(path)) return false;
    if (mapped) {
      machine_.MarkLoaded(path);
    } else {
      machine_.SetUndeletable(path);
    }
    return true;
  }
  bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) override {
    if (!machine_.KeyExists(root, path)) return false;
    machine_.SetKeyAccess(root, path, allowed);
    return true;
  }

 private:
  static constexpr const char* kScratch = "C:\\DravlinConformance";
  sim::TempFolder folder_;
  sim::Machine machine_;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() {
  return std::make_unique<SimTarget>();
}

}  // namespace dravlin::conformance
