// Restarting Windows: the shutdown privilege around the request, and the German boxes.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/sim/machine.h"
#include "system/clsshutdown.h"

namespace dravlin {
namespace {

const std::string kExitRefused =
    "Das System kann aufgrund eines Fehlers nicht heruntergefahren werden.";
const std::string kEnableFailed =
    "Das Privileg zum Herunterfahren/Neustarten des Systems konnte nicht aktiviert werden.";
const std::string kNoToken =
    "Das Handle für den Accesstoken des aktuellen Prozesses konnte nicht erlangt werden.";
const std::string kNoLuid =
    "Der aktuelle LUID für das SE_SHUTDOWN-Privileg konnte nicht ermittelt werden.";
const std::string kAdjustRefused =
    "Das Privileg zum Herunterfahren des Systems konnte aus unbekanntem Grund nicht modifiziert "
    "werden.";

// Notes whether the shutdown privilege was on at the moment of each restart request.
class WatchingUi : public platform::Ui {
 public:
  WatchingUi(platform::Ui& inner, sim::Machine& machine) : inner_(inner), machine_(machine) {}
  platform::Window& MainWindow() override { return inner_.MainWindow(); }
  int MessageBox(const std::string& t, std::uint32_t s,
                 const std::optional<std::string>& title) override {
    return inner_.MessageBox(t, s, title);
  }
  bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reserved) override {
    privilegeAtRequest.push_back(machine_.PrivilegeEnabled("SeShutdownPrivilege"));
    return inner_.ExitWindowsEx(flags, reserved);
  }
  std::vector<bool> privilegeAtRequest;

 private:
  platform::Ui& inner_;
  sim::Machine& machine_;
};

class Shutdown : public ::testing::Test {
 protected:
  void SetUp() override { m.Boot(); }
  void TearDown() override { EXPECT_EQ(m.OpenTokenHandles(), 0u) << "a token was left open"; }

  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& box : m.MessageBoxes()) {
      EXPECT_EQ(box.style, 48u);
      EXPECT_EQ(box.title, "Dravlin");
      texts.push_back(box.text);
    }
    return texts;
  }
  std::size_t PrivilegeCalls() {
    return static_cast<std::size_t>(
        std::count(m.CallLog().begin(), m.CallLog().end(), std::string("AdjustTokenPrivileges")));
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  WatchingUi ui{m.services().ui, m};
  platform::Services bundle{m.services().registry, m.services().security, m.services().kernel,
                            m.services().shell,    m.services().files,    ui,
                            m.services().regional};
  clsshutdown shutdown{bundle};
};

TEST_F(Shutdown, ThePrivilegeIsOnOnlyWhileAShutdownRebootOrPowerOffIsRequested) {
  for (std::uint32_t flags : {0u, 1u, 2u, 4u, 5u, 6u, 8u}) {
    const std::size_t before = PrivilegeCalls();
    EXPECT_TRUE(shutdown.ShutDownNTbasedWindows(flags));
    EXPECT_EQ(PrivilegeCalls() - before, (flags & 11u) != 0 ? 2u : 0u) << flags;
  }
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
  ASSERT_TRUE(m.SetVersionPreset("win98"));
  EXPECT_TRUE(shutdown.ShutDownDOSbasedWindows(2));
  EXPECT_EQ(m.ExitWindowsCalls(), (std::vector<std::uint32_t>{0, 1, 2, 4, 5, 6, 8, 2}));
  EXPECT_EQ(ui.privilegeAtRequest,
            (std::vector<bool>{false, true, true, false, true, true, true, false}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(Shutdown, ARefusedRequestIsToldAndThePrivilegeStillSwitchedOff) {
  m.SetExitWindowsFails(true);
  EXPECT_FALSE(shutdown.ShutDownNTbasedWindows(6));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kExitRefused});
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
  m.ClearMessageBoxes();
  EXPECT_FALSE(shutdown.ShutDownDOSbasedWindows(2));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kExitRefused});
}

TEST_F(Shutdown, APrivilegeThatCannotBeEnabledPreventsTheRequest) {
  struct Case {
    const char* call;
    std::string box;
  };
  for (const Case& c : {Case{"OpenProcessToken", kNoToken}, Case{"LookupPrivilegeValueA", kNoLuid},
                        Case{"AdjustTokenPrivileges", kAdjustRefused}}) {
    m.ClearMessageBoxes();
    m.FailCall(c.call, 1, platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(shutdown.ShutDownNTbasedWindows(6)) << c.call;
    EXPECT_EQ(Boxes(), (std::vector<std::string>{c.box, kEnableFailed})) << c.call;
    m.ClearFaults();
  }
  EXPECT_TRUE(m.ExitWindowsCalls().empty());
}

TEST_F(Shutdown, AFailedSwitchOffDoesNotChangeTheResult) {
  m.FailCall("AdjustTokenPrivileges", 2, platform::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(shutdown.ShutDownNTbasedWindows(6));
  EXPECT_EQ(Boxes(), std::vector<std::string>{kAdjustRefused});
}

TEST_F(Shutdown, AnAccountWithoutThePrivilegeStillAsks) {
  m.SetPrivileges({});
  m.Reboot();
  (void)shutdown.ShutDownNTbasedWindows(6);
  EXPECT_EQ(m.ExitWindowsCalls().size(), 1u) << "a partial adjustment counts as success";
  for (const auto& text : Boxes()) EXPECT_NE(text, kEnableFailed);
}

}  // namespace
}  // namespace dravlin
