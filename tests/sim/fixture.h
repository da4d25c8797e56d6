// A fresh machine on a temporary drive for each test, with helpers in the style of the C API.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/key.h"
#include "platform/sim/machine.h"

namespace dravlin::sim::testing {

using namespace dravlin::platform;

class SimTest : public ::testing::Test {
 protected:
  TempFolder dir;
  Machine m{dir.path()};
  Services& s = m.services();
  Registry& reg = s.registry;

  // Enables privileges in the running program's token through the platform, as a program would.
  void Enable(std::initializer_list<const char*> names) {
    Handle token = 0;
    ASSERT_TRUE(s.security.OpenProcessToken(s.kernel.GetCurrentProcess(),
                                            TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TokenPrivileges tp;
    for (const char* n : names) {
      Luid luid;
      ASSERT_TRUE(s.security.LookupPrivilegeValueA(nullptr, n, &luid));
      tp.Privileges.push_back({luid, SE_PRIVILEGE_ENABLED});
    }
    ASSERT_TRUE(s.security.AdjustTokenPrivileges(token, false, &tp, 0));
    ASSERT_TRUE(s.kernel.CloseHandle(token));
  }

  // A value as the program reads it (size query, then the data); "<status>" when a call fails.
  std::string Read(HKey root, const std::string& path, const std::string& name) {
    UniqueKey k(reg);
    std::uint32_t cb = 0;
    Status st = reg.RegOpenKeyExA(root, path, 0, KEY_READ, k.put());
    if (st == ERROR_SUCCESS) st = reg.RegQueryValueExA(k.get(), name, nullptr, nullptr, &cb);
    std::string out(cb, '#');
    if (st == ERROR_SUCCESS) {
      st = reg.RegQueryValueExA(k.get(), name, nullptr, reinterpret_cast<std::uint8_t*>(out.data()),
                                &cb);
    }
    return st == ERROR_SUCCESS ? out : "<" + std::to_string(st) + ">";
  }

  Status Set(HKey key, const std::string& name, const std::string& data) {
    return reg.RegSetValueExA(key, name, REG_SZ, reinterpret_cast<const std::uint8_t*>(data.data()),
                              static_cast<std::uint32_t>(data.size()));
  }

  // Saves an HKLM key to a hive file, or restores one into an HKLM key (created if missing).
  Status Save(const std::string& path, const std::string& file) {
    UniqueKey k(reg);
    const Status st = reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, k.put());
    return st ? st : reg.RegSaveKeyA(k.get(), file);
  }
  Status Restore(const std::string& path, const std::string& file,
                 std::uint32_t flags = REG_FORCE_RESTORE) {
    UniqueKey k(reg);
    const Status st =
        reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, k.put(), nullptr);
    return st ? st : reg.RegRestoreKeyA(k.get(), file, flags);
  }
};

}  // namespace dravlin::sim::testing
