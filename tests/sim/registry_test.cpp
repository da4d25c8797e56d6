// The registry contract the program relies on, call by call.
#include "fixture.h"

namespace dravlin::sim::testing {
namespace {

using SimRegistry = SimTest;

TEST_F(SimRegistry, NamesAreCaseInsensitiveAndKeepTheirCase) {
  UniqueKey k(reg);
  std::uint32_t disp = 0;
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\MyKey", 0, KEY_ALL_ACCESS,
                                    k.put(), &disp));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
  ASSERT_EQ(0u, Set(k.get(), "MixedCase", REG_SZ, std::string("x\0", 2)));
  UniqueKey again(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\mykey", 0, KEY_READ, again.put()));
  std::string out;
  EXPECT_EQ(0u, Query(again.get(), "MIXEDCASE", 2, &out));
  EXPECT_EQ((std::vector<std::string>{"Classes", "MyKey"}),
            m.ListSubkeys(HKEY_LOCAL_MACHINE, "software"));
  EXPECT_EQ("MixedCase", m.ListValues(HKEY_LOCAL_MACHINE, "Software\\MyKey")[0].name);
  // Creating with other case opens the same key.
  UniqueKey third(reg);
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\MYKEY", 0, KEY_ALL_ACCESS,
                                    third.put(), &disp));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disp);
}

TEST_F(SimRegistry, NamesEndAtTheirFirstNul) {
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_CURRENT_USER, std::string("A\0B", 3), 0, KEY_ALL_ACCESS,
                                    k.put(), nullptr));
  EXPECT_TRUE(m.KeyExists(HKEY_CURRENT_USER, "A"));
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "A\\B"));
  ASSERT_EQ(0u, Set(k.get(), std::string("v\0hidden", 8), REG_BINARY, "12"));
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, "A", "v").has_value());
}

TEST_F(SimRegistry, QueryReportsSizeFillsAtMostCapacityAndLeavesTheRest) {
  m.SetValue(HKEY_CURRENT_USER, "K", "s", REG_SZ, std::string("abc\0", 4));
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, k.put()));

  std::uint32_t type = 0xdeadbeef, cb = 0xdeadbeef;
  ASSERT_EQ(0u, reg.RegQueryValueExA(k.get(), "s", &type, nullptr, &cb));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(4u, cb);

  std::string out;
  ASSERT_EQ(0u, Query(k.get(), "s", 6, &out));
  EXPECT_EQ(4u, lastCb);
  EXPECT_EQ(std::string("abc\0", 4) + Bd(6), out);  // bytes past the data untouched

  ASSERT_EQ(ERROR_MORE_DATA, Query(k.get(), "s", 3, &out));
  EXPECT_EQ(4u, lastCb);
  EXPECT_EQ(Bd(7), out) << "a too small buffer must stay as it was";

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(k.get(), "missing", 8, &out));
  EXPECT_EQ(Bd(12), out);
  std::uint8_t byte = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.RegQueryValueExA(k.get(), "s", nullptr, &byte, nullptr));
}

TEST_F(SimRegistry, StringsWithoutTerminatorAndEmbeddedNulsAreReportedAsStored) {
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, k.put(), nullptr));
  ASSERT_EQ(0u, Set(k.get(), "bare", REG_SZ, "abc"));
  ASSERT_EQ(0u, Set(k.get(), "two", REG_SZ, std::string("a.dll\0b.dll\0", 12)));
  // Exactly cbData bytes are stored, not up to a NUL and not more.
  const std::uint8_t bytes[] = {'x', 'y', 'z', 0};
  ASSERT_EQ(0u, reg.RegSetValueExA(k.get(), "cut", REG_SZ, bytes, 2));
  ASSERT_EQ(0u, reg.RegSetValueExA(k.get(), "empty", REG_SZ, bytes, 0));

  std::string out;
  ASSERT_EQ(0u, Query(k.get(), "bare", 3, &out));
  EXPECT_EQ("abc" + Bd(4), out);
  ASSERT_EQ(0u, Query(k.get(), "two", 12, &out));
  EXPECT_EQ(std::string("a.dll\0b.dll\0", 12), out.substr(0, 12));
  EXPECT_EQ("xy", m.GetValue(HKEY_CURRENT_USER, "K", "cut")->data);
  std::uint32_t cb = 99;
  ASSERT_EQ(0u, reg.RegQueryValueExA(k.get(), "empty", nullptr, nullptr, &cb));
  EXPECT_EQ(0u, cb);
  // A DWORD keeps its type and bytes.
  ASSERT_EQ(0u, Set(k.get(), "d", REG_DWORD, std::string("\x0c\0\0\0", 4)));
  std::uint32_t type = 0;
  ASSERT_EQ(0u, Query(k.get(), "d", 4, &out, &type));
  EXPECT_EQ(REG_DWORD, type);
}

TEST_F(SimRegistry, CreateReportsDispositionAndMakesIntermediateKeys) {
  UniqueKey k(reg);
  std::uint32_t disp = 0;
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B\\C", 0, KEY_ALL_ACCESS,
                                    k.put(), &disp));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B"));
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B\\C", 0, KEY_ALL_ACCESS,
                                    k.put(), &disp));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disp);
  // NT holds only hives directly below HKLM.
  disp = 0xdeadbeef;
  HKey h = 0xdeadbeef;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "NewHive\\X", 0, KEY_ALL_ACCESS, &h, &disp));
  EXPECT_EQ(0xdeadbeefu, h);
  EXPECT_EQ(0xdeadbeefu, disp);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "NewHive"));
}

TEST_F(SimRegistry, OpenFailsForMissingAndDeniedKeysAndOpensItselfForEmptyPath) {
  m.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked");
  m.DenyAccess(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked");
  HKey h = 0xdeadbeef;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", 0, KEY_READ, &h));
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked", 0, KEY_READ, &h));
  EXPECT_EQ(ERROR_ACCESS_DENIED, reg.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked", &h));
  EXPECT_EQ(0xdeadbeefu, h);
  EXPECT_EQ(0u, m.OpenKeyHandles());

  UniqueKey parent(reg), self(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, parent.put()));
  ASSERT_EQ(0u, reg.RegOpenKeyExA(parent.get(), "", 0, KEY_ALL_ACCESS, self.put()));
  EXPECT_NE(parent.get(), self.get());
  ASSERT_EQ(0u, Set(self.get(), "v", REG_SZ, "1"));
  EXPECT_TRUE(m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE", "v").has_value());
  EXPECT_EQ(2u, m.OpenKeyHandles());
}

TEST_F(SimRegistry, HandleAccessIsCheckedOnNt) {
  m.CreateKey(HKEY_CURRENT_USER, "K");
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, k.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Set(k.get(), "v", REG_SZ, "1"));
  HKey sub = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            reg.RegCreateKeyExA(k.get(), "Sub", 0, KEY_ALL_ACCESS, &sub, nullptr));
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "K\\Sub"));

  m.SetVersionPreset("win98");  // no registry security there
  EXPECT_EQ(0u, Set(k.get(), "v", REG_SZ, "1"));
}

TEST_F(SimRegistry, DeleteKeyRefusesSubkeysOnNtAndTakesTheTreeOnDosBased) {
  m.CreateKey(HKEY_CURRENT_USER, "T\\Child\\Grandchild");
  EXPECT_EQ(ERROR_ACCESS_DENIED, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T"));
  EXPECT_TRUE(m.KeyExists(HKEY_CURRENT_USER, "T\\Child\\Grandchild"));
  EXPECT_EQ(0u, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T\\Child\\Grandchild"));
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "T\\Child\\Grandchild"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T\\Child\\Grandchild"));

  m.SetVersionPreset("winme");
  EXPECT_EQ(0u, reg.RegDeleteKeyA(HKEY_CURRENT_USER, "T"));
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "T"));
}

TEST_F(SimRegistry, DeletedKeysAndBadHandles) {
  m.SetValue(HKEY_CURRENT_USER, "Gone", "v", REG_SZ, "x");
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Gone", 0, KEY_ALL_ACCESS, k.put()));
  ASSERT_TRUE(m.DeleteKey(HKEY_CURRENT_USER, "Gone"));
  std::string out;
  EXPECT_EQ(ERROR_KEY_DELETED, Query(k.get(), "v", 4, &out));
  EXPECT_EQ(ERROR_KEY_DELETED, Set(k.get(), "v", REG_SZ, "y"));
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, "Gone"))
      << "a write through a stale handle revived the key";
  const HKey stale = k.get();
  EXPECT_EQ(0u, k.Close());
  EXPECT_EQ(ERROR_INVALID_HANDLE, reg.RegCloseKey(stale));
  EXPECT_EQ(ERROR_INVALID_HANDLE, Query(stale, "v", 4, &out));
  EXPECT_EQ(ERROR_INVALID_HANDLE, reg.RegFlushKey(0));
}

TEST_F(SimRegistry, EnumerationEndsWith259AndReportsNamesThatDoNotFit) {
  m.CreateKey(HKEY_CURRENT_USER, "E\\beta");
  m.CreateKey(HKEY_CURRENT_USER, "E\\Alpha");
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "E", 0, KEY_READ, k.put()));
  char name[16];
  std::memset(name, 0xbd, sizeof name);
  std::uint32_t cch = 5;  // "Alpha" needs 6 with its NUL
  EXPECT_EQ(ERROR_MORE_DATA, reg.RegEnumKeyExA(k.get(), 0, name, &cch));
  EXPECT_EQ(static_cast<char>(0xbd), name[0]);
  cch = 6;
  ASSERT_EQ(0u, reg.RegEnumKeyExA(k.get(), 0, name, &cch));
  EXPECT_STREQ("Alpha", name);
  EXPECT_EQ(5u, cch);
  cch = sizeof name;
  ASSERT_EQ(0u, reg.RegEnumKeyExA(k.get(), 1, name, &cch));
  EXPECT_STREQ("beta", name);
  cch = sizeof name;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, reg.RegEnumKeyExA(k.get(), 2, name, &cch));
}

TEST_F(SimRegistry, QueryInfoCountsAndLongestNames) {
  m.CreateKey(HKEY_CURRENT_USER, "I\\short");
  m.CreateKey(HKEY_CURRENT_USER, "I\\a-longer-name");
  m.SetValue(HKEY_CURRENT_USER, "I", "v", REG_BINARY, std::string(300, 'x'));
  m.SetValue(HKEY_CURRENT_USER, "I", "value-name", REG_SZ, "a");
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "I", 0, KEY_READ, k.put()));
  std::uint32_t subs = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(0u, reg.RegQueryInfoKeyA(k.get(), &subs, &maxSub, &values, &maxName, &maxData));
  EXPECT_EQ(2u, subs);
  EXPECT_EQ(13u, maxSub);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(10u, maxName);
  EXPECT_EQ(300u, maxData);
  EXPECT_EQ(0u, reg.RegQueryInfoKeyA(k.get(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(SimRegistry, ClassesRootIsALiveViewOfMachineClasses) {
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32", 0,
                                    KEY_ALL_ACCESS, k.put(), nullptr));
  ASSERT_EQ(0u, Set(k.get(), "", REG_SZ, std::string("c:\\x.dll\0", 9)));
  EXPECT_EQ(
      std::string("c:\\x.dll\0", 9),
      m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\{X}\\InprocServer32", "")->data);
  m.DeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\{X}");
  HKey h = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            reg.RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}", 0, KEY_READ, &h));
}

TEST_F(SimRegistry, DeleteValue) {
  m.SetValue(HKEY_CURRENT_USER, "K", "v", REG_SZ, "x");
  UniqueKey k(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, k.put()));
  EXPECT_EQ(0u, reg.RegDeleteValueA(k.get(), "V"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.RegDeleteValueA(k.get(), "v"));
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, "K", "v"));
}

}  // namespace
}  // namespace dravlin::sim::testing
