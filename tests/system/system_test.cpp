// The administrator check, the version codes, and restarting Windows on the simulated machine.
#include <gtest/gtest.h>

#include "sim/machine.h"
#include "system/clsshutdown.h"
#include "system/modIsAdmin.h"

namespace dravlin {
namespace {

using platform::SidAndAttributes;

std::vector<SidAndAttributes> Groups(std::size_t count, std::optional<std::size_t> adminAt,
                                     std::uint32_t adminAttributes = platform::SE_GROUP_ENABLED) {
  std::vector<SidAndAttributes> groups;
  for (std::size_t i = 0; i < count; ++i) {
    // S-1-5-21-<i>: well formed, not the administrators group.
    groups.push_back({{1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, static_cast<std::uint8_t>(i), 3, 0, 0},
                      platform::SE_GROUP_ENABLED});
  }
  if (adminAt) groups[*adminAt] = {sim::Machine::AdminSid(), adminAttributes};
  return groups;
}

class System : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(m.OpenTokenHandles(), 0u) << "a token was left open"; }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& box : m.MessageBoxes()) {
      EXPECT_EQ(box.style, 48u);
      EXPECT_EQ(box.title, "Dravlin");
      texts.push_back(box.text);
    }
    m.ClearMessageBoxes();
    return texts;
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  modIsAdmin admin{m.services()};
  clsshutdown shutdown{m.services()};
};

TEST_F(System, FindsTheAdministratorsGroupAnywhere) {
  struct Case {
    std::vector<SidAndAttributes> groups;
    bool admin;
  };
  auto malformedFirst = Groups(3, 2);
  malformedFirst[0].Sid = {0xff, 0xff};  // passed over, not taken as the end of the list
  const Case cases[] = {
      {Groups(150, 130), true},
      {Groups(150, std::nullopt), false},
      {Groups(0, std::nullopt), false},
      {Groups(3, 2, 0), true},                                     // present but disabled
      {Groups(3, 1, platform::SE_GROUP_USE_FOR_DENY_ONLY), true},  // deny-only
      {malformedFirst, true},
  };
  for (const Case& c : cases) {
    m.SetTokenGroups(c.groups);
    EXPECT_EQ(admin.IsAdmin(), c.admin) << c.groups.size() << " groups";
  }
  // Any failure means no administrator.
  m.SetAdmin(true);
  for (const auto& [call, n] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"OpenProcessToken", 1}, {"GetTokenInformation", 2}, {"AllocateAndInitializeSid", 1}}) {
    m.FailCall(call, n, platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(admin.IsAdmin()) << call;
    m.ClearFaults();
  }
}

TEST_F(System, VersionCodes) {
  struct Case {
    std::uint32_t platformId, major, minor, build;
    std::int32_t code;
  };
  const Case cases[] = {
      {0, 3, 10, 0, -1},         {1, 4, 0, 0x040003B6, 1},  {1, 4, 10, 1998, 2},
      {1, 4, 10, 0x040A07CE, 2}, {1, 4, 10, 0x040A08AE, 3}, {1, 5, 0, 1998, 2},
      {1, 5, 0, 7, 3},           {1, 4, 90, 0x045A0BB8, 4}, {1, 4, 1, 0, 0},
      {2, 4, 0, 1381, 5},        {2, 5, 0, 2195, 6},        {2, 5, 1, 2600, 7},
      {2, 5, 2, 3790, 8},        {2, 5, 3, 0, 0},           {2, 6, 0, 6002, 0},
      {3, 5, 1, 2600, 0},
  };
  for (const Case& c : cases) {
    m.SetVersion({c.platformId, c.major, c.minor, c.build, ""});
    EXPECT_EQ(admin.GetOsVersion(), c.code)
        << c.platformId << " " << c.major << "." << c.minor << " build " << c.build;
  }
  m.FailCall("GetVersionExA", 1, platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(admin.GetOsVersion(), -1) << "a failed query leaves zeros";
}

const std::string kExitRefused =
    "Das System kann aufgrund eines Fehlers nicht heruntergefahren werden.";
const std::string kEnableFailed =
    "Das Privileg zum Herunterfahren/Neustarten des Systems konnte nicht aktiviert werden.";
const std::string kAdjustRefused =
    "Das Privileg zum Herunterfahren des Systems konnte aus unbekanntem Grund nicht modifiziert "
    "werden.";

// The simulated NT refuses a shutdown, reboot or power-off without the enabled privilege, so
// each success shows it was on at the request; afterwards it is off again.
TEST_F(System, ThePrivilegeIsOnOnlyForTheRequest) {
  for (std::uint32_t flags : {0u, 1u, 2u, 4u, 6u, 8u}) {
    EXPECT_TRUE(shutdown.ShutDownNTbasedWindows(flags)) << flags;
    EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege")) << flags;
  }
  ASSERT_TRUE(m.SetVersionPreset("win98"));
  EXPECT_TRUE(shutdown.ShutDownDOSbasedWindows(2));
  EXPECT_EQ(m.ExitWindowsCalls(), (std::vector<std::uint32_t>{0, 1, 2, 4, 6, 8, 2}));
  EXPECT_TRUE(Boxes().empty());

  // A refused request is told, and the privilege still switched off.
  ASSERT_TRUE(m.SetVersionPreset("winxp"));
  m.SetExitWindowsFails(true);
  EXPECT_FALSE(shutdown.ShutDownNTbasedWindows(6));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kExitRefused});
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
  EXPECT_FALSE(shutdown.ShutDownDOSbasedWindows(2));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kExitRefused});
}

TEST_F(System, APrivilegeThatCannotBeEnabledPreventsTheRequest) {
  const std::pair<const char*, std::string> cases[] = {
      {"OpenProcessToken",
       "Das Handle für den Accesstoken des aktuellen Prozesses konnte nicht erlangt werden."},
      {"LookupPrivilegeValueA",
       "Der aktuelle LUID für das SE_SHUTDOWN-Privileg konnte nicht ermittelt werden."},
      {"AdjustTokenPrivileges", kAdjustRefused},
  };
  for (const auto& [call, box] : cases) {
    m.FailCall(call, 1, platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(shutdown.ShutDownNTbasedWindows(6)) << call;
    EXPECT_EQ(Boxes(), (std::vector<std::string>{box, kEnableFailed})) << call;
    m.ClearFaults();
  }
  EXPECT_TRUE(m.ExitWindowsCalls().empty());
  // A failed switch-off is told but does not change the result.
  m.FailCall("AdjustTokenPrivileges", 2, platform::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(shutdown.ShutDownNTbasedWindows(6));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kAdjustRefused});
}

}  // namespace
}  // namespace dravlin
