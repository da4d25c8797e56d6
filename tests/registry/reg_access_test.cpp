// Single values and keys, key trees, subkey and Browser Helper Object listings, on the
// simulated machine and on registries that misbehave in one particular way.
#include <gtest/gtest.h>

#include <map>

#include "forwarding_registry.h"
#include "platform/raised_error.h"
#include "platform/sim/machine.h"
#include "registry/modRegAccess.h"

namespace dravlin {
namespace {

using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_LOCAL_MACHINE;
using sim::RegValue;
using namespace std::string_literals;

constexpr const char* kKey = "SOFTWARE\\Test";
constexpr const char* kBhoKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";

class RegAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    m.Boot();
    m.CreateKey(HKEY_LOCAL_MACHINE, kKey);
  }
  void TearDown() override {
    if (checkHandles) {
      EXPECT_EQ(m.OpenKeyHandles(), 0u) << "a key was left open";
    }
  }

  std::optional<RegValue> Stored(const std::string& name) {
    return m.GetValue(HKEY_LOCAL_MACHINE, kKey, name);
  }
  std::int16_t Write(const std::string& name, const RegData& data, std::uint32_t type) {
    return acc.WriteRegValue(HKEY_LOCAL_MACHINE, kKey, name, data, type);
  }
  RegData Read(const std::string& name, std::uint32_t* type = nullptr) {
    return acc.ReadRegValue(HKEY_LOCAL_MACHINE, kKey, name, type);
  }
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
  bool checkHandles = true;
};

TEST_F(RegAccess, WritesTextsAndDwords) {
  EXPECT_EQ(Write("abc", RegData::Str("abc"), 1), 1);
  EXPECT_EQ(Stored("abc"), (RegValue{1, "abc\0"s}));
  // The empty text is zero-length data, not a lone zero byte.
  EXPECT_EQ(Write("empty", RegData::Str(""), 1), 1);
  EXPECT_EQ(Stored("empty"), (RegValue{1, ""}));
  EXPECT_EQ(Write("bin", RegData::Str("a\0b"s), 3), 1);
  EXPECT_EQ(Stored("bin"), (RegValue{3, "a\0b\0"s}));
  EXPECT_EQ(Write("num", RegData::Int(42), 1), 1);
  EXPECT_EQ(Stored("num"), (RegValue{1, "42\0"s}));

  EXPECT_EQ(Write("d", RegData::Str(" -7 "), 4), 1);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\xf9\xff\xff\xff"s}));
  EXPECT_EQ(Write("d", RegData::Int(0x01020304), 4), 1);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\x04\x03\x02\x01"s}));
  for (const char* text : {"12x", "", "1 2", "&H10", "1.5"}) {
    EXPECT_EQ(Write("d", RegData::Str(text), 4), 2) << text;
  }
  EXPECT_EQ(Write("d", RegData::Str("99999999999"), 4), 0);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\x04\x03\x02\x01"s})) << "a refused write changed it";
}

TEST_F(RegAccess, WriteFailuresAreToldAndLeaveNothingBehind) {
  EXPECT_EQ(acc.WriteRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "v", RegData::Str("x"), 1),
            0);
  EXPECT_FALSE(Exists("SOFTWARE\\Missing"));
  EXPECT_EQ(Write("multi", RegData::Str("x"), 7), 1);
  EXPECT_FALSE(Stored("multi"));
  m.FailCall("RegSetValueExA", 1, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Write("v", RegData::Str("x"), 1), 0);
  m.FailCall("RegCloseKey", 1, platform::ERROR_INVALID_HANDLE);
  checkHandles = false;  // the failed close leaves its key open
  EXPECT_EQ(Write("v", RegData::Str("x"), 1), 0) << "a failed close must be told";
}

TEST_F(RegAccess, ReadsValuesInTheFormTheCallersSearch) {
  // Texts: the whole buffer, NULs and hidden text included, plus one blank.
  m.SetString(HKEY_LOCAL_MACHINE, kKey, "abc", "abc");
  std::uint32_t type = 0xdeadbeef;
  EXPECT_EQ(Read("abc", &type), RegData::Str("abc\0 "s));
  EXPECT_EQ(type, 1u);
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "two", 1, "a.dll\0b.dll\0"s);
  EXPECT_EQ(Read("two"), RegData::Str("a.dll\0b.dll\0 "s));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "zero", 1, "");
  EXPECT_EQ(Read("zero"), RegData::Str(" "));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "multi", 7, "x\0y\0\0"s);
  EXPECT_EQ(Read("multi", &type), RegData::Str("x\0y\0\0 "s));
  EXPECT_EQ(type, 7u);

  // Integers as stored; data of another length must not spill over the integer.
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "d", 4, "\x0c\0\0\0"s);
  EXPECT_EQ(Read("d"), RegData::Int(12));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "be", 5, "\0\0\0\x01"s);
  EXPECT_EQ(Read("be"), RegData::Int(0x01000000)) << "big-endian words are not swapped";
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "long", 4, "\x01\x02\x03\x04\x05\x06\x07\x08"s);
  EXPECT_EQ(Read("long"), RegData::Int(0x04030201));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "short", 4, "\x01\x02"s);
  EXPECT_EQ(Read("short"), RegData::Int(0x0201));

  // Types above 8 are empty; whatever fails is "Error" with type 0.
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "t9", 9, "abc");
  EXPECT_EQ(Read("t9", &type), RegData::Empty());
  EXPECT_EQ(type, 9u);
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "neg", 0x80000000u, "abc");
  EXPECT_EQ(Read("neg"), RegData::Empty());
  type = 0xdeadbeef;
  EXPECT_EQ(Read("missing", &type), RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
  type = 0xdeadbeef;
  EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", "", &type),
            RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
  m.FailCall("RegQueryValueExA", 2, platform::ERROR_ACCESS_DENIED);
  type = 0xdeadbeef;
  EXPECT_EQ(Read("abc", &type), RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
}

// A registry that reports more bytes than it then delivers.
class OverstatingRegistry : public test::ForwardingRegistry {
 public:
  OverstatingRegistry(platform::Registry& inner, std::uint32_t extra)
      : ForwardingRegistry(inner), extra_(extra) {}
  platform::Status RegQueryValueExA(platform::HKey k, const std::string& n, std::uint32_t* t,
                                    std::uint8_t* d, std::uint32_t* c) override {
    const platform::Status s = inner_.RegQueryValueExA(k, n, t, d, c);
    if (d == nullptr && s == platform::ERROR_SUCCESS) *c += extra_;
    return s;
  }

 private:
  std::uint32_t extra_;
};

TEST_F(RegAccess, ReadKeepsTheBlanksTheQueryLeavesAndRefusesAnAbsurdSize) {
  m.SetString(HKEY_LOCAL_MACHINE, kKey, "abc", "abc");
  OverstatingRegistry overstating(m.services().registry, 3);
  EXPECT_EQ(modRegAccess(overstating).ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "abc"),
            RegData::Str("abc\0    "s));
  // Refused like memory that cannot be had, not reserved.
  OverstatingRegistry absurd(m.services().registry, 0xFFFFFF00u);
  try {
    modRegAccess(absurd).ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "abc");
    ADD_FAILURE() << "nothing was raised";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), 7);
  }
}

TEST_F(RegAccess, DeletesTreesBottomUpAndKeepsTheAncestorsOfAChildThatStays) {
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
  EXPECT_FALSE(acc.DeleteSingleKey(HKEY_LOCAL_MACHINE, ""));

  ASSERT_TRUE(m.SetVersionPreset("winxp"));  // DOS-based Windows has no key security
  Make({"S\\T\\A\\X", "S\\T\\B\\Y", "S\\T\\C"});
  m.DenyAccess(HKEY_LOCAL_MACHINE, "S\\T\\A");  // cannot be listed, so X stays below it
  EXPECT_FALSE(acc.DeleteRegKey(HKEY_LOCAL_MACHINE, "S\\T"));
  EXPECT_TRUE(Exists("S\\T\\A\\X"));
  EXPECT_FALSE(Exists("S\\T\\B"));
  EXPECT_FALSE(Exists("S\\T\\C"));
}

TEST_F(RegAccess, AKeyThatCanOnlyBeReadIsReadButNeverChanged) {
  Make({"S\\RO\\Child"});
  m.SetString(HKEY_LOCAL_MACHINE, "S\\RO", "v", "abc");
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\RO", platform::KEY_READ);
  EXPECT_TRUE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, "S\\RO"));
  EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"), RegData::Str("abc\0 "s));
  // Everything else opens for all access, which the key refuses: nothing is created, listed,
  // written or deleted, not even a child that would allow it.
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "S\\RO"), 0);
  EXPECT_EQ(acc.WriteRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v", RegData::Str("new"), 1), 0);
  EXPECT_FALSE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"));
  std::vector<std::string> names;
  acc.EnumSubKeys(HKEY_LOCAL_MACHINE, "S\\RO", names);
  EXPECT_EQ(names, std::vector<std::string>{""});
  EXPECT_FALSE(acc.DeleteSingleKey(HKEY_LOCAL_MACHINE, "S\\RO\\Child"));
  EXPECT_TRUE(Exists("S\\RO\\Child"));
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"), (RegValue{1, "abc\0"s}));
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, "S\\RO", platform::KEY_ALL_ACCESS);
  EXPECT_TRUE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, "S\\RO", "v"));
  // The listing of helper objects asks for no more than the key allows.
  AddBho("{1}", "C:\\one.dll");
  m.SetKeyAccess(HKEY_LOCAL_MACHINE, kBhoKey, platform::KEY_READ);
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 0);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "{1}");
  // A created key is kept on disk: it is still there after a restart.
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "S\\Made"), 1);
  m.Reboot();
  EXPECT_TRUE(Exists("S\\Made"));
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

TEST_F(RegAccess, AnEndlessTreeEndsTheWalk) {
  EndlessRegistry endless(m.services().registry);
  EXPECT_FALSE(modRegAccess(endless).DeleteRegKey(HKEY_LOCAL_MACHINE, "S"));
}

TEST_F(RegAccess, ListsSubkeysInRegistryOrderAfterAnEmptyFirstEntry) {
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

TEST_F(RegAccess, ListsBrowserHelperObjects) {
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 0);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "");

  AddBho("{1}", "C:\\one.dll");
  AddBho("{2}", std::nullopt);
  AddBho(std::string(300, 'L'), "C:\\long.dll");
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 2);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 3u);
  std::map<std::string, std::string> paths;
  for (const auto& e : acc.bho_clsid_arr) {
    EXPECT_LE(e.Clsid.size(), 255u) << "recorded within its buffer";
    if (e.Clsid.size() < 10) paths[e.Clsid] = e.DllPath;
  }
  EXPECT_EQ(paths,
            (std::map<std::string, std::string>{{"{1}", "C:\\one.dll\0 "s}, {"{2}", "Error"}}));

  // A missing key leaves the single empty entry, whatever the last listing found.
  EXPECT_EQ(acc.EnumBhoClsids(HKEY_LOCAL_MACHINE, "Software\\Nope"), 0);
  ASSERT_EQ(acc.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(acc.bho_clsid_arr[0].Clsid, "");
  EXPECT_EQ(acc.bho_clsid_arr[0].DllPath, "");
}

// A key deleted under an enumeration answers with an error for every index, never 259.
class DeletedKeyRegistry : public test::ForwardingRegistry {
 public:
  using ForwardingRegistry::ForwardingRegistry;
  platform::Status RegEnumKeyExA(platform::HKey, std::uint32_t, char*, std::uint32_t*) override {
    return platform::ERROR_KEY_DELETED;
  }
};

TEST_F(RegAccess, BhoListingEndsOnARegistryThatNeverSaysNoMore) {
  m.CreateKey(HKEY_LOCAL_MACHINE, kBhoKey);
  DeletedKeyRegistry deleted(m.services().registry);
  modRegAccess hostile(deleted);
  EXPECT_EQ(hostile.EnumBhoClsids(HKEY_LOCAL_MACHINE, kBhoKey), 0)
      << "the key is gone: its one answer is recorded, then the listing ends";
  ASSERT_EQ(hostile.bho_clsid_arr.size(), 1u);
  EXPECT_EQ(hostile.bho_clsid_arr.back().Clsid, std::string(255, ' '));
  EXPECT_EQ(hostile.bho_clsid_arr.back().DllPath, "Error");
}

}  // namespace
}  // namespace dravlin
