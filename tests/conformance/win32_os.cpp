// The suite's own arrangements through Windows: key security and files in use.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dravlin::conformance::os {

struct Held {
  std::vector<std::uintptr_t> handles;
  std::vector<const void*> views;
};

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
bool HoldFile(const std::string& path, bool mapped, Held& held) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, mapped ? FILE_SHARE_READ : 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  held.handles.push_back(reinterpret_cast<std::uintptr_t>(file));
  if (!mapped) return true;
  const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  // The mapping alone keeps the file in use, as a loaded image does.
  held.handles.pop_back();
  ::CloseHandle(file);
  if (mapping == nullptr) return false;
  held.handles.push_back(reinterpret_cast<std::uintptr_t>(mapping));
  const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return false;
  held.views.push_back(view);
  return true;
}

void Release(Held& held) {
  for (const void* view : held.views) ::UnmapViewOfFile(view);
  for (auto it = held.handles.rbegin(); it != held.handles.rend(); ++it) {
    ::CloseHandle(reinterpret_cast<HANDLE>(*it));
  }
  held = {};
}

}  // namespace dravlin::conformance::os
