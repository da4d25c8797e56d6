// Deleting key trees, listing subkeys and the registered Browser Helper Objects.
#include <gtest/gtest.h>

#include <map>

#include "forwarding_registry.h"
#include "platform/sim/machine.h"
#include "registry/modRegAccess.h"

namespace dravlin {
namespace {

using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_LOCAL_MACHINE;
using namespace std::string_literals;

constexpr const char* kBhoKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";

class KeyTree : public ::testing::Test {
 protected:
  void SetUp() override { m.Boot(); }
  void TearDown() override { EXPECT_EQ(m.OpenKeyHandles(), 0u) << "a key was left open"; }

  bool Exists(const std::string& path) { return m.KeyExists(HKEY_LOCAL_MACHINE, path); }
  void Make(std::initializer_list<const char*> paths) {
    for (const char* p : paths) m.CreateKey(HKEY_LOCAL_MACHINE, p);
  }
  void AddBho(const std::string& clsid, const std::optional<std::string>& dll) {
    m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
    if (dll) m.SetString(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", "", *dll);
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  modRegAccess acc{m.services().registry};
};

TEST_F(KeyTree, DeletesBottomUpOnBothFamilies) {
  for (const char* version : {"winxp", "win98"}) {
    ASSERT_TRUE(m.SetVersionPreset(version));
    Make({"S\\T\\A\\A1\\A11", "S\\T\\A\\A2", "S\\T\\B", "S\\Sibling"});
    m.SetString(HKEY_LOCAL_MACHINE, "S\\T\\A\\A1", "v", "x");
    EXPECT_TRUE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "S\\T")) << version;
    EXPECT_FALSE(Exists("S\\T")) << version;
    EXPECT_TRUE(Exists("S\\Sibling")) << version;
  }
  // A path without a backslash names a key right below the root.
  Make({"Top\\Child"});
  EXPECT_TRUE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "Top"));
  EXPECT_FALSE(Exists("Top"));
  EXPECT_FALSE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "S\\Missing"));
  EXPECT_TRUE(Exists("S\\Sibling"));
  EXPECT_FALSE(acc.DeleteSingleKey(HKEY_LOCAL_MACHINE, ""));
}

TEST_F(KeyTree, AChildThatStaysKeepsItsAncestorsOnly) {
  Make({"S\\T\\A\\X", "S\\T\\B\\Y", "S\\T\\C"});
  m.DenyAccess(HKEY_LOCAL_MACHINE, "S\\T\\A");  // cannot be listed, so X stays below it
  EXPECT_FALSE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "S\\T"));
  EXPECT_TRUE(Exists("S\\T\\A\\X"));
  EXPECT_FALSE(Exists("S\\T\\B"));
  EXPECT_FALSE(Exists("S\\T\\C"));
}

// A registry whose keys never end: every key claims two subkeys named "x".
class EndlessRegistry : public test::ForwardingRegistry {
 public:
  using ForwardingRegistry::ForwardingRegistry;
  platform::Status RegOpenKeyExA(platform::HKey, const std::string&, std::uint32_t, std::uint32_t,
                                 platform::HKey* r) override {
    *r = 0x1234;
    return 0;
  }
  platform::Status RegCloseKey(platform::HKey) override { return 0; }
  platform::Status RegQueryInfoKeyA(platform::HKey, std::uint32_t* s, std::uint32_t* m,
                                    std::uint32_t*, std::uint32_t*, std::uint32_t*) override {
    *s = 2;
    *m = 1;
    return 0;
  }
  platform::Status RegEnumKeyExA(platform::HKey, std::uint32_t, char* n,
                                 std::uint32_t* c) override {
    n[0] = 'x';
    *c = 1;
    return 0;
  }
  platform::Status RegDeleteKeyA(platform::HKey, const std::string&) override {
    return platform::ERROR_KEY_HAS_CHILDREN;
  }
};

TEST_F(KeyTree, AnEndlessTreeEndsTheWalk) {
  EndlessRegistry endless(m.services().registry);
  modRegAccess hostile(endless);
  EXPECT_FALSE(hostile.DeleteRegKey(HKEY_LOCAL_MACHINE, "S"));
}

TEST_F(KeyTree, ListsSubkeysInRegistryOrder) {
  const std::string longName(300, 'n');
  Make({"S\\K\\b", "S\\K\\A", "S\\K\\c"});
  m.CreateKey(HKEY_LOCAL_MACHINE, "S\\K\\" + longName);
  std::vector<std::string> names{"stale"};
  acc.EnumSubKeys(HKEY_LOCAL_MACHINE, "S\\K", names);
  std::vector<std::string> expected{""};
  for (const auto& n : m.ListSubkeys(HKEY_LOCAL_MACHINE, "S\\K")) expected.push_back(n);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(names.size(), 5u);

  acc.EnumSubKeys(HKEY_LOCAL_MACHINE, "S\\Missing", names);
  EXPECT_EQ(names, std::vector<std::string>{""});
}

TEST_F(KeyTree, ListsBrowserHelperObjects) {
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 0);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "");

  AddBho("{1}", "C:\\one.dll");
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 0);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "{1}");
  EXPECT_EQ(acc.bho_clsid_arr[0].DllPath, "C:\\one.dll\0 "s);

  AddBho("{2}", std::nullopt);
  AddBho("{3}", "C:\\three.dll");
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 2);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 3u);
  std::map<std::string, std::string> paths;
  for (const auto& e : acc.bho_clsid_arr) paths[e.Clsid] = e.DllPath;
  EXPECT_EQ(paths,
            (std::map<std::string, std::string>{
                {"{1}", "C:\\one.dll\0 "s}, {"{2}", "Error"}, {"{3}", "C:\\three.dll\0 "s}}));

  // A missing key leaves the single empty entry, whatever the last listing found.
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, "Software\\Nope"), 0);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "");
  EXPECT_EQ(acc.bho_clsid_arr[0].DllPath, "");
}

TEST_F(KeyTree, ALongBhoNameIsRecordedWithinItsBuffer) {
  AddBho("{1}", "C:\\one.dll");
  AddBho(std::string(300, 'L'), "C:\\long.dll");
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 1);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 2u);
  for (const auto& e : acc.bho_clsid_arr) EXPECT_LE(e.Clsid.size(), 255u);
}

// A key deleted under an enumeration answers with an error for every index, never 259.
class DeletedKeyRegistry : public test::ForwardingRegistry {
 public:
  using ForwardingRegistry::ForwardingRegistry;
  platform::Status RegEnumKeyExA(platform::HKey, std::uint32_t, char*, std::uint32_t*) override {
    return platform::ERROR_KEY_DELETED;
  }
};

TEST_F(KeyTree, BhoListingEndsOnARegistryThatNeverSaysNoMore) {
  m.CreateKey(HKEY_LOCAL_MACHINE, kBhoKey);
  DeletedKeyRegistry deleted(m.services().registry);
  modRegAccess hostile(deleted);
  const std::int32_t upper = hostile.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey);
  EXPECT_EQ(upper, 0) << "the key is gone: its one answer is recorded, then the listing ends";
  EXPECT_EQ(hostile.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(hostile.bho_clsid_arr.back().Clsid, std::string(255, ' '));
  EXPECT_EQ(hostile.bho_clsid_arr.back().DllPath, "Error");
}

}  // namespace
}  // namespace dravlin
