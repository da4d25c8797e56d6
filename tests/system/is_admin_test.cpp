// Administrator check and version codes on the simulated machine.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/sim/machine.h"
#include "system/modIsAdmin.h"

namespace dravlin {
namespace {

using platform::SidAndAttributes;

// S-1-5-21-<n>: a well-formed SID that is not the administrators group.
platform::SidBytes DomainSid(std::uint32_t n) {
  platform::SidBytes sid{1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (int i = 0; i < 4; ++i) sid.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  return sid;
}

std::vector<SidAndAttributes> Groups(std::size_t count, std::optional<std::size_t> adminAt,
                                     std::uint32_t adminAttributes = platform::SE_GROUP_ENABLED) {
  std::vector<SidAndAttributes> groups;
  for (std::size_t i = 0; i < count; ++i) {
    groups.push_back({DomainSid(static_cast<std::uint32_t>(1000 + i)), platform::SE_GROUP_ENABLED});
  }
  if (adminAt) groups[*adminAt] = {sim::Machine::AdminSid(), adminAttributes};
  return groups;
}

class Environment : public ::testing::Test {
 protected:
  void SetUp() override { m.Boot(); }
  std::size_t Calls(const std::string& name) {
    return static_cast<std::size_t>(std::count(m.CallLog().begin(), m.CallLog().end(), name));
  }
  // Every path closes the token and frees each SID that was allocated.
  void ExpectReleased(std::size_t failedAllocations = 0) {
    EXPECT_EQ(m.OpenTokenHandles(), 0u);
    EXPECT_EQ(Calls("FreeSid") + failedAllocations, Calls("AllocateAndInitializeSid"));
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  modIsAdmin mod{m.services()};
};

TEST_F(Environment, FindsTheAdministratorsGroupAnywhere) {
  struct Case {
    std::vector<SidAndAttributes> groups;
    bool admin;
  };
  const Case cases[] = {
      {Groups(101, 100), true},
      {Groups(150, 130), true},
      {Groups(150, std::nullopt), false},
      {Groups(0, std::nullopt), false},
      {Groups(3, 2, 0), true},                                     // present but disabled
      {Groups(3, 1, platform::SE_GROUP_USE_FOR_DENY_ONLY), true},  // deny-only
  };
  for (const Case& c : cases) {
    m.SetTokenGroups(c.groups);
    EXPECT_EQ(mod.IsAdmin(), c.admin) << c.groups.size() << " groups";
    ExpectReleased();
  }
  // A malformed entry is passed over, not taken as the end of the list.
  auto groups = Groups(3, 2);
  groups[0].Sid = {0xff, 0xff};
  m.SetTokenGroups(groups);
  EXPECT_TRUE(mod.IsAdmin());
}

TEST_F(Environment, AnyFailureMeansNoAdministrator) {
  m.SetAdmin(true);
  ASSERT_TRUE(mod.IsAdmin());
  for (const auto& [call, n] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"OpenProcessToken", 1}, {"GetTokenInformation", 2}, {"AllocateAndInitializeSid", 1}}) {
    m.FailCall(call, n, platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(mod.IsAdmin()) << call;
    ExpectReleased(call == "AllocateAndInitializeSid" ? 1 : 0);
    m.ClearFaults();
  }
}

TEST_F(Environment, VersionCodes) {
  struct Case {
    std::uint32_t platformId, major, minor, build;
    std::int32_t code;
  };
  const Case cases[] = {
      {0, 3, 10, 0, -1},         {1, 4, 0, 0x040003B6, 1},  {1, 4, 10, 1998, 2},
      {1, 4, 10, 0x040A07CE, 2}, {1, 4, 10, 0x040A08AE, 3}, {1, 5, 0, 1998, 2},
      {1, 5, 0, 7, 3},           {1, 4, 90, 0x045A0BB8, 4}, {1, 4, 1, 0, 0},
      {1, 3, 95, 0, 0},          {2, 4, 0, 1381, 5},        {2, 5, 0, 2195, 6},
      {2, 5, 1, 2600, 7},        {2, 5, 2, 3790, 8},        {2, 5, 3, 0, 0},
      {2, 6, 0, 6002, 0},        {2, 3, 51, 1057, 0},       {3, 5, 1, 2600, 0},
  };
  for (const Case& c : cases) {
    m.SetVersion({c.platformId, c.major, c.minor, c.build, ""});
    EXPECT_EQ(mod.GetOsVersion(), c.code)
        << c.platformId << " " << c.major << "." << c.minor << " build " << c.build;
  }
  m.SetVersion({2, 5, 1, 2600, ""});
  m.FailCall("GetVersionExA", 1, platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(mod.GetOsVersion(), -1) << "a failed query leaves zeros";
}

}  // namespace
}  // namespace dravlin
