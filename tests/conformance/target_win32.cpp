// The real Win32 implementation as the conformance target (run on Windows or under Wine).
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "conformance/target.h"
#include "platform/key.h"
#include "platform/win32/win32.h"
#include "platform/win32/windows_api.h"

namespace dravlin::conformance {

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

// What Wine reports for the version names of HKCU\Software\Wine "Version".
std::optional<ExpectedVersion> WineVersionSetting(platform::Registry& registry) {
  static const std::map<std::string, ExpectedVersion> kWine = {
      {"win95", {1, 4, 0, 0x040003B6}},  {"win98", {1, 4, 10, 0x040A08AE}},
      {"winme", {1, 4, 90, 0x045A0BB8}}, {"nt40", {2, 4, 0, 1381}},
      {"win2k", {2, 5, 0, 2195}},        {"winxp", {2, 5, 1, 2600}},
      {"win2003", {2, 5, 2, 3790}},      {"vista", {2, 6, 0, 6002}},
  };
  platform::UniqueKey key(registry);
  if (registry.RegOpenKeyExA(platform::HKEY_CURRENT_USER, "Software\\Wine", 0, platform::KEY_READ,
                             key.put()) != platform::ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::uint8_t data[64] = {};
  std::uint32_t size = sizeof data - 1;
  std::uint32_t type = 0;
  if (registry.RegQueryValueExA(key.get(), "Version", &type, data, &size) !=
      platform::ERROR_SUCCESS) {
    return std::nullopt;
  }
  const auto it = kWine.find(std::string(reinterpret_cast<const char*>(data)));
  if (it == kWine.end()) return std::nullopt;
  return it->second;
}

class Win32Target final : public Target {
 public:
  Win32Target() : platform_(window_), wine_(win32::WineVersion()) {
    auto folder = std::filesystem::temp_directory_path() / "DravlinConformance";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder);
    folder_ = folder.lexically_normal().make_preferred().string();
    while (folder_.size() > 3 && folder_.back() == '\\') folder_.pop_back();
    if (wine_) version_ = WineVersionSetting(platform_.services().registry);
  }
  ~Win32Target() override {
    for (const void* view : views_) ::UnmapViewOfFile(view);
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) ::CloseHandle(*it);
    if (!startFolder_.empty()) ::SetCurrentDirectoryA(startFolder_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  platform::Services& services() override { return platform_.services(); }
  std::string Name() const override { return wine_ ? "Wine " + *wine_ : "Windows"; }
  bool IsWine() const override { return wine_.has_value(); }
  std::string ScratchFolder() const override { return folder_; }
  std::optional<ExpectedVersion> Version() const override { return version_; }
  // Wine's process token always holds the administrators group; on Windows it depends on how
  // the suite was started.
  std::optional<bool> RunsAsAdministrator() const override {
    return wine_ ? std::optional<bool>(true) : std::nullopt;
  }
  bool HoldFile(const std::string& path, bool mapped) override {
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, mapped ? FILE_SHARE_READ : 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    held_.push_back(file);
    if (!mapped) return true;
    const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return false;
    held_.push_back(mapping);
    const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) return false;
    views_.push_back(view);
    return true;
  }
  bool SetCurrentFolder(const std::string& path) override {
    char start[MAX_PATH] = {};
    if (startFolder_.empty() && ::GetCurrentDirectoryA(MAX_PATH, start) > 0) startFolder_ = start;
    return ::SetCurrentDirectoryA(path.c_str()) != 0;
  }
  // A DACL with one entry for Everyone; the owner keeps WRITE_DAC, so it can be undone.
  bool RestrictKey(platform::HKey root, const std::string& path, std::uint32_t allowed) override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(win32::ToHkey(root), path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS)
      return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    bool done = false;
    if (::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
      alignas(DWORD) BYTE aclBytes[128];
      auto* acl = reinterpret_cast<PACL>(aclBytes);
      SECURITY_DESCRIPTOR sd;
      done = ::InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) &&
             ::AddAccessAllowedAce(acl, ACL_REVISION, allowed, everyone) &&
             ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
             ::SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) &&
             ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
      ::FreeSid(everyone);
    }
    ::RegCloseKey(key);
    return done;
  }

 private:
  NoWindow window_;
  win32::Platform platform_;
  std::optional<std::string> wine_;
  std::string folder_;
  std::optional<ExpectedVersion> version_;
  std::vector<HANDLE> held_;
  std::string startFolder_;
  std::vector<const void*> views_;
};

}  // namespace

std::unique_ptr<Target> MakeTarget() {
  return std::make_unique<Win32Target>();
}

}  // namespace dravlin::conformance
