// The real Win32 implementation as the conformance target (run on Windows or under Wine).
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "conformance/conformance.h"
#include "platform/win32/win32.h"

namespace dravlin::conformance {

// What the suite arranges through Windows directly (win32_os.cpp, apart for <windows.h>'s macros).
namespace os {
bool RestrictKey(std::uint32_t root, const std::string& path, std::uint32_t allowed);
std::shared_ptr<void> HoldFile(const std::string& path, bool mapped);
}  // namespace os

namespace {

// The suite never touches the window; the message-box service still needs one to hand out.
class NoWindow final : public platform::Window {
 public:
  void SetText(platform::Control, const std::string&) override {}
  std::string GetText(platform::Control) override { return {}; }
  void SetEnabled(platform::Control, bool) override {}
  bool IsEnabled(platform::Control) override { return false; }
  void SetVisible(platform::Control, bool) override {}
  bool IsVisible(platform::Control) override { return false; }
  void Show() override {}
  void Hide() override {}
  void Unload() override {}
  bool IsLoaded() override { return false; }
};

class Win32Target final : public Target {
 public:
  Win32Target() : platform_(window_) {
    const auto wineVersion = win32::WineVersion();
    wine = wineVersion.has_value();
    name = wine ? "Wine " + *wineVersion : "Windows";
    if (wine) version = ExpectedVersion{2, 5, 1, 2600};  // the test script sets Windows XP
    auto folder = std::filesystem::temp_directory_path() / "DravlinConformance";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder);
    scratchFolder = folder.lexically_normal().make_preferred().string();
    while (scratchFolder.size() > 3 && scratchFolder.back() == '\\') scratchFolder.pop_back();
  }
  ~Win32Target() override {
    held_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder, ignored);
  }

  platform::Services& services() override { return platform_.services(); }
  bool HoldFile(const std::string& path, bool mapped) override {
    held_.push_back(os::HoldFile(path, mapped));
    return held_.back() != nullptr;
  }
  bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) override {
    return os::RestrictKey(root, path, allowed);
  }

 private:
  NoWindow window_;
  win32::Platform platform_;
  std::vector<std::shared_ptr<void>> held_;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() {
  return std::make_unique<Win32Target>();
}

}  // namespace dravlin::conformance
