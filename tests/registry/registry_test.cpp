// Values, keys, key trees and helper-object listings, and renaming keys through a hive file.
#include <gtest/gtest.h>

#include "platform/raised_error.h"
#include "registry/modRegAccess.h"
#include "registry/modRegKeyRename.h"
#include "sim/machine.h"
#include "support/windows_names.h"

namespace dravlin {
namespace {

using platform::HKEY_LOCAL_MACHINE;
using sim::RegValue;
using testnames::kBhoKey;
using namespace std::string_literals;

constexpr const char* kKey = "SOFTWARE\\Test";
constexpr const char* kTemp = "C:\\RegTemp.txt";

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

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    m.CreateKey(HKEY_LOCAL_MACHINE, kKey);
    m.CreateKey(HKEY_LOCAL_MACHINE, "S\\Old\\Sub\\Deep");
    m.SetString(HKEY_LOCAL_MACHINE, "S\\Old", "AppInit_DLLs", "C:\\evil.dll");
    m.SetValue(HKEY_LOCAL_MACHINE, "S\\Old\\Sub", "Bin", 3, "a\0b\xff"s);
  }
  void TearDown() override { EXPECT_EQ(m.OpenKeyHandles(), 0u) << "a key was left open"; }

  bool Exists(const std::string& path) { return m.KeyExists(HKEY_LOCAL_MACHINE, path); }
  std::string Tree(const std::string& path) {
    std::string out;
    for (const auto& key : m.ExportTree(HKEY_LOCAL_MACHINE, path)) {
      out += "[" + key.path + "]\n";
      for (const auto& v : key.values) out += v.name + "=" + v.value.data + "\n";
    }
    return out;
  }
  std::int32_t Rename() { return ren.renameKey(HKEY_LOCAL_MACHINE, "S\\Old", "S\\New"); }
  bool Privileged() {
    return m.PrivilegeEnabled("SeBackupPrivilege") || m.PrivilegeEnabled("SeRestorePrivilege");
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  modRegAccess acc{m.services().registry};
  modRegKeyRename ren{m.services()};
};

// Each write in turn on the same key: the answer, and the value stored afterwards.
TEST_F(Registry, Writes) {
  struct Row {
    const char* name;
    RegData data;
    std::uint32_t type;
    std::int16_t result;
    std::optional<RegValue> stored;
  };
  const RegValue kept{4, "\x04\x03\x02\x01"s};
  const Row rows[] = {
      {"abc", RegData::Str("abc"), 1, 1, RegValue{1, "abc\0"s}},
      {"empty", RegData::Str(""), 1, 1, RegValue{1, ""}},  // zero-length, no terminator
      {"d", RegData::Str(" -7 "), 4, 1, RegValue{4, "\xf9\xff\xff\xff"s}},
      {"d", RegData::Int(0x01020304), 4, 1, kept},
      {"d", RegData::Str("12x"), 4, 2, kept},          // no number: refused, value kept
      {"d", RegData::Str("99999999999"), 4, 0, kept},  // too large: a failure
      {"multi", RegData::Str("x"), 7, 1, std::nullopt},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(acc.WriteRegValue(HKEY_LOCAL_MACHINE, kKey, r.name, r.data, r.type), r.result)
        << r.name << " " << r.data.AsText();
    EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kKey, r.name), r.stored) << r.name;
  }
}

// Texts come back as the whole buffer plus one blank (what the callers search); integers as
// stored, never spilling over; types above 8 empty; any failure "Error" with type 0.
TEST_F(Registry, Reads) {
  struct Row {
    std::uint32_t type;
    std::string data;
    RegData expected;
  };
  const Row rows[] = {
      {1, "a.dll\0b.dll\0"s, RegData::Str("a.dll\0b.dll\0 "s)},
      {8, "abc", RegData::Str("abc ")},
      {5, "\0\0\0\x01"s, RegData::Int(0x01000000)},  // big-endian words are not swapped
      {4, "\x01\x02\x03\x04\x05\x06\x07\x08"s, RegData::Int(0x04030201)},
      {4, "\x01\x02"s, RegData::Int(0x0201)},
      {9, "abc", RegData::Empty()},
  };
  for (const Row& r : rows) {
    m.SetValue(HKEY_LOCAL_MACHINE, kKey, "v", r.type, r.data);
    std::uint32_t type = 0xdeadbeef;
    EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "v", &type), r.expected) << r.type;
    EXPECT_EQ(type, r.type);
  }
  std::uint32_t type = 0xdeadbeef;
  EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "missing", &type), RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
}

TEST_F(Registry, KeysAndValues) {
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "S\\Made"), 1);
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "S\\Made"), 2);
  m.SetString(HKEY_LOCAL_MACHINE, "S\\Made", "v", "x");
  EXPECT_TRUE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, "S\\Made", "v"));
  EXPECT_FALSE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, "S\\Made", "v"));
  // A key that can only be read is read, but not written.
  m.SetString(HKEY_LOCAL_MACHINE, "S\\RO", "v", "abc");
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\RO", platform::KEY_READ);
  EXPECT_TRUE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, "S\\RO"));
  EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"), RegData::Str("abc\0 "s));
  EXPECT_EQ(acc.WriteRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v", RegData::Str("new"), 1), 0);
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"), (RegValue{1, "abc\0"s}));
}

TEST_F(Registry, DeletesTreesBottomUp) {
  // A child that cannot be listed stays, with its ancestors; its siblings go, deepest first.
  for (const char* p : {"S\\T\\A\\X", "S\\T\\B\\Y", "S\\T\\C"}) m.CreateKey(HKEY_LOCAL_MACHINE, p);
  m.DenyAccess(HKEY_LOCAL_MACHINE, "S\\T\\A");
  EXPECT_FALSE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "S\\T"));
  EXPECT_TRUE(Exists("S\\T\\A\\X"));
  EXPECT_FALSE(Exists("S\\T\\B") || Exists("S\\T\\C"));
}

TEST_F(Registry, ListsSubkeysKeepingTheSlotOfAFailedIndex) {
  // A failed index keeps its place (the untouched blank buffer) and the listing goes on.
  m.CreateKey(HKEY_LOCAL_MACHINE, "S\\Old\\Tub");
  std::vector<std::string> names{"stale"};
  m.FailCall("RegEnumKeyExA", 1, platform::ERROR_KEY_DELETED);
  acc.EnumSubKeys(HKEY_LOCAL_MACHINE, "S\\Old", names);
  EXPECT_EQ(names, (std::vector<std::string>{std::string(4, ' '), "Tub"}));
}

// Listed from a key that can only be read, as a limited account sees it.
TEST_F(Registry, ListsBrowserHelperObjects) {
  testnames::AddBho(m, "{1}", "C:\\one.dll");
  m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\{2}");
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, kBhoKey, platform::KEY_READ);
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 2);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid + acc.bho_clsid_arr[0].DllPath, "{1}C:\\one.dll\0 "s);
  EXPECT_EQ(acc.bho_clsid_arr[1].Clsid + acc.bho_clsid_arr[1].DllPath, "{2}Error");
  // A key deleted under the listing: its one answer is recorded, then the listing ends.
  m.FailCall("RegEnumKeyExA", 1, platform::ERROR_KEY_DELETED);
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 1);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid + acc.bho_clsid_arr[0].DllPath,
            std::string(255, ' ') + "Error");
  // No list, no entries.
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, "S\\Missing"), 0);
  EXPECT_TRUE(acc.bho_clsid_arr.empty());
}

TEST_F(Registry, RenameCopiesTheWholeKeyOverAnyTargetAndCleansUp) {
  m.WriteFile(kTemp, "left over from an earlier run");
  m.CreateKey(HKEY_LOCAL_MACHINE, "S\\New\\OnlyHere");
  m.SetString(HKEY_LOCAL_MACHINE, "S\\New", "Extra", "x");
  m.HoldKeyOpen(HKEY_LOCAL_MACHINE, "S\\New\\OnlyHere");  // as system processes do
  EXPECT_EQ(Rename(), 0);
  EXPECT_EQ(Tree("S\\New"), Tree("S\\Old")) << "what only the target had is gone";
  EXPECT_NE(Tree("S\\Old"), "");
  EXPECT_FALSE(m.FileExists(kTemp));
  EXPECT_FALSE(Privileged());
}

TEST_F(Registry, RenameOfAKeyThatDoesNotOpenIsAResult) {
  EXPECT_EQ(ren.renameKey(HKEY_LOCAL_MACHINE, "S\\Missing", "S\\New"), 2);
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\Old", platform::KEY_READ);
  EXPECT_EQ(Rename(), 5);
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\Old", platform::KEY_ALL_ACCESS);
  ASSERT_EQ(m.MessageBoxes().size(), 2u);
  EXPECT_EQ(m.MessageBoxes()[0].text, "Temporäre Schlüsseldaten nicht gefunden");
  EXPECT_EQ(m.MessageBoxes()[1].text, "Zugriff verweigert");
  EXPECT_FALSE(Exists("S\\New"));
  EXPECT_FALSE(Privileged());
}

// What each failure raises: number, the procedure it came from, the text.
TEST_F(Registry, RenameFailuresRaise) {
  struct Row {
    const char* call;
    std::uint64_t n;
    std::int32_t number;
    const char* procedure;
    std::string text;
    bool done;  // the copy was made all the same
  };
  const char* set = "setBackupAndRestorePriviliges";
  const Row rows[] = {
      {"OpenProcessToken", 1, 13801, set, "Opening process token failed.", false},
      {"LookupPrivilegeValueA", 2, 13803, set, "Looking up backup privilege failed.", false},
      {"AdjustTokenPrivileges", 1, 13804, set, "Adjusting new privileges failed.", false},
      {"AdjustTokenPrivileges", 2, 13805, "resetBackupAndRestorePriviliges",
       "Resetting new privileges failed.", true},
      // A status without a system text: the innermost procedure stays the source.
      {"RegSaveKeyA", 1, 13808, "getErrorMessage",
       "Message '1015' could not be found in System Message Table.", false},
      {"RegRestoreKeyA", 1, 1015, "renameKey", ren.getErrorMessage(1015), false},
  };
  for (const Row& r : rows) {
    m.DeleteKey(HKEY_LOCAL_MACHINE, "S\\New");
    m.FailCall(r.call, r.n, 1015);
    if (r.number == 13808) m.FailCall("FormatMessageA", 1, platform::ERROR_MR_MID_NOT_FOUND);
    const RaisedError e = Raised([&] { Rename(); });
    EXPECT_EQ(e.number(), r.number) << r.call;
    EXPECT_EQ(e.source(), "CCSysRegistry:"s + r.procedure) << r.call;
    EXPECT_EQ(e.description(), r.text) << r.call;
    EXPECT_EQ(Exists("S\\New") && Tree("S\\New") == Tree("S\\Old"), r.done) << r.call;
    m.ClearFaults();
  }
  EXPECT_TRUE(m.FileExists(kTemp)) << "a failed restore leaves its file";
}

TEST_F(Registry, PrivilegesAndSystemTexts) {
  EXPECT_EQ(Raised([&] { ren.resetBackupAndRestorePriviliges(); }).number(), 13805)
      << "no token before the first set";
  ren.setBackupAndRestorePriviliges();
  EXPECT_TRUE(m.PrivilegeEnabled("SeBackupPrivilege") && m.PrivilegeEnabled("SeRestorePrivilege"));
  ren.resetBackupAndRestorePriviliges();
  EXPECT_FALSE(Privileged());

  const RaisedError zero = Raised([&] { ren.getErrorMessage(0); });
  EXPECT_EQ(zero.number(), 13807);
  EXPECT_EQ(zero.description(), "'0' is a invalid message ID.");
  EXPECT_EQ(ren.getErrorMessage(5), "Access is denied.\r");
}

TEST_F(Registry, SaveToFileNeverRaisesAndSystemDirectoryFitsAnyLength) {
  ASSERT_TRUE(m.SetVersionPreset("win98"));  // no privilege needed for a save
  const std::string file = "C:\\HjRuOn.txt";
  m.WriteFile(file, "old");
  ren.saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\Old", file);
  EXPECT_NE(m.ReadFile(file).value_or("").find("C:\\evil.dll"), std::string::npos);
  m.FailCall("RegSaveKeyA", 1, platform::ERROR_CANTWRITE);
  EXPECT_NO_THROW(ren.saveKeyToFile(HKEY_LOCAL_MACHINE, "S\\Old", file));
  EXPECT_FALSE(m.FileExists(file));

  const std::string deep = "C:\\" + std::string(280, 'd');
  m.SetSystemDirectory(deep);
  EXPECT_EQ(ren.GetSystemDir(), deep);
}

}  // namespace
}  // namespace dravlin
