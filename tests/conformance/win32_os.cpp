// The suite's own arrangements through Windows: key security and files in use.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace dravlin::conformance::os {

// A DACL with one entry for Everyone; the owner keeps WRITE_DAC, so it can be undone.
bool RestrictKey(std::uint32_t root, const std::string& path, std::uint32_t allowed) {
  HKEY key = nullptr;
  const auto rootKey = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(root));
  if (::RegOpenKeyExA(rootKey, path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) return false;
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

// Mapped: as a loaded DLL is; otherwise open without any sharing, as another program may hold it.
// In use until the answer goes; empty when the file could not be held.
std::shared_ptr<void> HoldFile(const std::string& path, bool mapped) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, mapped ? FILE_SHARE_READ : 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (!mapped) return std::shared_ptr<void>(file, ::CloseHandle);
  // The mapping alone keeps the file in use, as a loaded image does.
  const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ::CloseHandle(file);
  void* view = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (view == nullptr) {
    if (mapping) ::CloseHandle(mapping);
    return nullptr;
  }
  return std::shared_ptr<void>(view, [mapping](void* v) {
    ::UnmapViewOfFile(v);
    ::CloseHandle(mapping);
  });
}

}  // namespace dravlin::conformance::os
