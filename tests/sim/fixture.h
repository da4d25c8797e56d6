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

  // Reads a value through the platform into a buffer pre-filled with 0xbd.
  Status Query(HKey key, const std::string& name, std::uint32_t capacity, std::string* out,
               std::uint32_t* type = nullptr) {
    std::vector<std::uint8_t> buf(capacity + 4, 0xbd);
    std::uint32_t cb = capacity;
    const Status st = reg.RegQueryValueExA(key, name, type, buf.data(), &cb);
    out->assign(reinterpret_cast<const char*>(buf.data()), buf.size());
    lastCb = cb;
    return st;
  }
  std::uint32_t lastCb = 0;

  Status Set(HKey key, const std::string& name, std::uint32_t type, const std::string& data) {
    return reg.RegSetValueExA(key, name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                              static_cast<std::uint32_t>(data.size()));
  }
};

inline std::string Bd(std::size_t n) {
  return std::string(n, static_cast<char>(0xbd));
}

}  // namespace dravlin::sim::testing
