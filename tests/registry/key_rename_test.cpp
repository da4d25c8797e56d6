// Renaming keys through a hive file, the privileges this needs, and the errors it raises.
#include <gtest/gtest.h>

#include <memory>

#include "forwarding_registry.h"
#include "platform/raised_error.h"
#include "platform/sim/machine.h"
#include "registry/modRegKeyRename.h"

namespace dravlin {
namespace {

using platform::HKEY_LOCAL_MACHINE;
using namespace std::string_literals;

constexpr const char* kTemp = "C:\\RegTemp.txt";
constexpr const char* kSet = "CCSysRegistry:setBackupAndRestorePriviliges";

std::string Dump(const std::vector<sim::KeySnapshot>& tree) {
  std::string out;
  for (const auto& key : tree) {
    out += "[" + key.path + "]\n";
    for (const auto& v : key.values) {
      out += v.name + "=" + std::to_string(v.value.type) + ":" + v.value.data + "\n";
    }
  }
  return out;
}

template <typename Call>
RaisedError Raised(Call&& call) {
  try {
    call();
  } catch (const RaisedError& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return RaisedError(0, "", "");
}

class KeyRename : public ::testing::Test {
 protected:
  void SetUp() override {
    m.Boot();
    m.CreateKey(HKEY_LOCAL_MACHINE, "S\\Old\\Sub\\Deep");
    m.SetString(HKEY_LOCAL_MACHINE, "S\\Old", "AppInit_DLLs", "C:\\evil.dll");
    m.SetValue(HKEY_LOCAL_MACHINE, "S\\Old\\Sub", "Bin", 3, "a\0b\xff"s);
  }
  void TearDown() override { EXPECT_EQ(m.OpenKeyHandles(), 0u) << "a key was left open"; }

  std::string Tree(const std::string& path) { return Dump(m.ExportTree(HKEY_LOCAL_MACHINE, path)); }
  bool Privileged() {
    return m.PrivilegeEnabled("SeBackupPrivilege") || m.PrivilegeEnabled("SeRestorePrivilege");
  }
  std::int32_t Rename() { return ren->renameKey(HKEY_LOCAL_MACHINE, "S\\Old", "S\\New"); }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  std::unique_ptr<modRegKeyRename> ren = std::make_unique<modRegKeyRename>(m.services());
};

TEST_F(KeyRename, CopiesTheWholeKeyOverAnyTargetAndCleansUp) {
  m.WriteFile(kTemp, "left over from an earlier run");
  m.CreateKey(HKEY_LOCAL_MACHINE, "S\\New\\OnlyHere");
  m.SetString(HKEY_LOCAL_MACHINE, "S\\New", "Extra", "x");
  EXPECT_EQ(Rename(), 0);
  EXPECT_EQ(Tree("S\\New"), Tree("S\\Old")) << "what only the target had is gone";
  EXPECT_NE(Tree("S\\Old"), "");
  EXPECT_FALSE(m.FileExists(kTemp));
  EXPECT_FALSE(Privileged());
  EXPECT_TRUE(m.MessageBoxes().empty());
  // At most one token stays open between renames, none after.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Rename(), 0);
  EXPECT_LE(m.OpenTokenHandles(), 1u);
  ren.reset();
  EXPECT_EQ(m.OpenTokenHandles(), 0u);
}

TEST_F(KeyRename, AnOldKeyThatDoesNotOpenIsAResult) {
  EXPECT_EQ(ren->renameKey(HKEY_LOCAL_MACHINE, "S\\Missing", "S\\New"), 2);
  m.DenyAccess(HKEY_LOCAL_MACHINE, "S\\Old");
  EXPECT_EQ(Rename(), 5);
  m.DenyAccess(HKEY_LOCAL_MACHINE, "S\\Old", false);
  m.FailCall("RegOpenKeyExA", 1, platform::ERROR_BADKEY);
  EXPECT_EQ(Rename(), 1010);

  ASSERT_EQ(m.MessageBoxes().size(), 2u);
  EXPECT_EQ(m.MessageBoxes()[0].text, "Temporäre Schlüsseldaten nicht gefunden");
  EXPECT_EQ(m.MessageBoxes()[1].text, "Zugriff verweigert");
  for (const auto& box : m.MessageBoxes()) {
    EXPECT_EQ(box.style, 0u);
    EXPECT_EQ(box.title, "Dravlin");
  }
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "S\\New"));
  EXPECT_FALSE(Privileged());
}

TEST_F(KeyRename, KeysThatCanOnlyBeReadAndKeysHeldOpenBySystemProcesses) {
  // Both keys must open for all access: a read-only old key is "access denied", a read-only
  // new key leaves the restore without a key.
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\Old", platform::KEY_READ);
  EXPECT_EQ(Rename(), 5);
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\Old", platform::KEY_ALL_ACCESS);
  m.CreateKey(HKEY_LOCAL_MACHINE, "S\\New");
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\New", platform::KEY_READ);
  EXPECT_EQ(Raised([&] { Rename(); }).number(), platform::ERROR_INVALID_HANDLE);
  m.DeleteKey(HKEY_LOCAL_MACHINE, "S\\New");

  // A new key is made to last, and a copy over keys that the system holds open goes through.
  EXPECT_EQ(Rename(), 0);
  m.HoldKeyOpen(HKEY_LOCAL_MACHINE, "S\\New\\Sub");
  m.Reboot();
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "S\\New\\Sub"));
  EXPECT_EQ(Rename(), 0);
  EXPECT_EQ(Tree("S\\New"), Tree("S\\Old"));

  // The key file of the DOS-based road is only written for a key that opens for all access.
  m.SetPrivileges({{"SeBackupPrivilege", true}});
  m.StartProgram();
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\Old", platform::KEY_READ);
  ren->saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\Old", "C:\\key.hiv");
  EXPECT_FALSE(m.FileExists("C:\\key.hiv"));
  ren->saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\New", "C:\\key.hiv");
  EXPECT_TRUE(m.FileExists("C:\\key.hiv"));
}

TEST_F(KeyRename, AFailedSaveRaisesTheSystemText) {
  // The account lacks the backup privilege: enabling it "succeeds", the save does not.
  m.SetPrivileges({{"SeRestorePrivilege", false}});
  m.Reboot();
  const RaisedError e = Raised([&] { Rename(); });
  EXPECT_EQ(e.number(), 1314);
  EXPECT_EQ(e.source(), "CCSysRegistry:renameKey");
  EXPECT_EQ(e.description(), "A required privilege is not held by the client.\r");
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "S\\New"));
  EXPECT_TRUE(m.PrivilegeEnabled("SeRestorePrivilege")) << "a failed rename does not reset";
}

// Spoils the hive file right after it was written.
class SpoilingRegistry : public test::ForwardingRegistry {
 public:
  SpoilingRegistry(platform::Registry& inner, sim::Machine& machine)
      : ForwardingRegistry(inner), machine_(machine) {}
  platform::Status RegSaveKeyA(platform::HKey k, const std::string& f) override {
    const platform::Status s = inner_.RegSaveKeyA(k, f);
    machine_.WriteFile(f, "this is not a hive");
    return s;
  }

 private:
  sim::Machine& machine_;
};

TEST_F(KeyRename, AFileThatIsNoHiveIsRefused) {
  m.SetString(HKEY_LOCAL_MACHINE, "S\\New", "Keep", "me");
  const std::string before = Tree("S\\New");
  SpoilingRegistry spoiling(m.services().registry, m);
  platform::Services services = m.services();
  platform::Services bundle{spoiling,       services.security, services.kernel,  services.shell,
                            services.files, services.ui,       services.regional};
  modRegKeyRename spoiled(bundle);
  const RaisedError e = Raised([&] { spoiled.renameKey(HKEY_LOCAL_MACHINE, "S\\Old", "S\\New"); });
  EXPECT_EQ(e.number(), 1015);
  EXPECT_EQ(e.source(), "CCSysRegistry:renameKey");
  EXPECT_EQ(e.description(), spoiled.getErrorMessage(1015));
  EXPECT_EQ(Tree("S\\New"), before);
  EXPECT_TRUE(m.FileExists(kTemp)) << "a failed rename leaves its file";
}

TEST_F(KeyRename, PrivilegeFailuresKeepTheirProcedureAsSource) {
  struct Case {
    const char* call;
    std::uint64_t n;
    std::int32_t number;
    const char* description;
  };
  for (const Case& c :
       {Case{"OpenProcessToken", 1, 13801, "Opening process token failed."},
        Case{"LookupPrivilegeValueA", 1, 13802, "Looking up restore privilege failed."},
        Case{"LookupPrivilegeValueA", 2, 13803, "Looking up backup privilege failed."},
        Case{"AdjustTokenPrivileges", 1, 13804, "Adjusting new privileges failed."}}) {
    m.FailCall(c.call, c.n, platform::ERROR_ACCESS_DENIED);
    const RaisedError e = Raised([&] { Rename(); });
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.source(), kSet);
    EXPECT_EQ(e.description(), c.description);
    m.ClearFaults();
  }
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "S\\New"));

  // A failed reset is raised after the work is done.
  m.FailCall("AdjustTokenPrivileges", 2, platform::ERROR_ACCESS_DENIED);
  const RaisedError e = Raised([&] { Rename(); });
  EXPECT_EQ(e.number(), 13805);
  EXPECT_EQ(e.source(), "CCSysRegistry:resetBackupAndRestorePriviliges");
  EXPECT_EQ(e.description(), "Resetting new privileges failed.");
  EXPECT_EQ(Tree("S\\New"), Tree("S\\Old"));
  EXPECT_FALSE(m.FileExists(kTemp));
}

TEST_F(KeyRename, ResetSwitchesOffEveryPrivilege) {
  EXPECT_EQ(Raised([&] { ren->resetBackupAndRestorePriviliges(); }).number(), 13805)
      << "no token before the first set";
  m.SetPrivileges(
      {{"SeBackupPrivilege", false}, {"SeRestorePrivilege", false}, {"SeShutdownPrivilege", true}});
  m.Reboot();
  ren = std::make_unique<modRegKeyRename>(m.services());
  ren->setBackupAndRestorePriviliges();
  EXPECT_TRUE(m.PrivilegeEnabled("SeBackupPrivilege") && m.PrivilegeEnabled("SeRestorePrivilege"));
  ren->resetBackupAndRestorePriviliges();
  EXPECT_FALSE(Privileged());
  EXPECT_FALSE(m.PrivilegeEnabled("SeShutdownPrivilege"));
}

TEST_F(KeyRename, SystemTexts) {
  const RaisedError zero = Raised([&] { ren->getErrorMessage(0); });
  EXPECT_EQ(zero.number(), 13807);
  EXPECT_EQ(zero.source(), "CCSysRegistry:getErrorMessage");
  EXPECT_EQ(zero.description(), "'0' is a invalid message ID.");
  EXPECT_EQ(ren->getErrorMessage(5), "Access is denied.\r");
  for (std::int32_t code : {-1, 123456789}) {
    const RaisedError e = Raised([&] { ren->getErrorMessage(code); });
    EXPECT_EQ(e.number(), 13808);
    EXPECT_EQ(e.description(),
              "Message '" + std::to_string(code) + "' could not be found in System Message Table.");
  }
  // Raised inside the rename, the innermost procedure stays the source.
  m.FailCall("RegSaveKeyA", 1, platform::ERROR_ACCESS_DENIED);
  m.FailCall("FormatMessageA", 1, platform::ERROR_MR_MID_NOT_FOUND);
  const RaisedError e = Raised([&] { Rename(); });
  EXPECT_EQ(e.number(), 13808);
  EXPECT_EQ(e.source(), "CCSysRegistry:getErrorMessage");
  EXPECT_EQ(e.description(), "Message '5' could not be found in System Message Table.");
}

TEST_F(KeyRename, SaveToFileNeverRaisesAndSystemDirectoryFitsAnyLength) {
  ASSERT_TRUE(m.SetVersionPreset("win98"));  // no privilege needed for a save
  const std::string file = "C:\\HjRuOn.txt";
  m.WriteFile(file, "old");
  ren->saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\Old", file);
  EXPECT_NE(m.ReadFile(file).value_or("").find("C:\\evil.dll"), std::string::npos);
  m.FailCall("RegSaveKeyA", 1, platform::ERROR_CANTWRITE);
  EXPECT_NO_THROW(ren->saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\Old", file));
  EXPECT_FALSE(m.FileExists(file));

  const std::string deep = "C:\\" + std::string(280, 'd');
  m.SetSystemDirectory(deep);
  EXPECT_EQ(ren->GetSystemDir(), deep);
  m.FailCall("GetSystemDirectoryA", 1, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(ren->GetSystemDir(), "");
}

}  // namespace
}  // namespace dravlin
