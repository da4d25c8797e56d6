// The registry contract the modules rely on: opening, creating, querying, enumerating and
// deleting keys and values through the ANSI calls.
#include <algorithm>
#include <cstring>
#include <set>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Registry = Conformance;

TEST_F(Registry, RegOpenKeyExA) {
  HKey key = kSentinel;
  EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, kSentinel) << "a failed open must not touch the handle";
  EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "Missing\\Deeper", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, kSentinel);

  // Names compare without regard to case.
  Create(scratch(), "MixedCase");
  UniqueKey again(reg());
  EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "mIXEDcASE", 0, KEY_READ, again.put()), ERROR_SUCCESS);

  // The empty subkey opens the key itself: a value set there is seen through the parent path.
  UniqueKey self(reg());
  *self.put() = kSentinel;
  ASSERT_EQ(reg().RegOpenKeyExA(scratch(), "", 0, KEY_ALL_ACCESS, self.put()), ERROR_SUCCESS);
  EXPECT_NE(self.get(), kSentinel);
  EXPECT_NE(self.get(), 0u);
  SetString(self.get(), "ViaEmpty", std::string("yes\0", 4));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kScratchKey, "ViaEmpty"), std::string("yes\0", 4));

  // And the empty subkey of a root opens that root.
  UniqueKey root(reg());
  EXPECT_EQ(reg().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, root.put()), ERROR_SUCCESS);
}

TEST_F(Registry, RegCreateKeyExA) {
  HKey key = kSentinel;
  std::uint32_t disposition = kSentinel;
  ASSERT_EQ(reg().RegCreateKeyExA(scratch(), "A\\B\\C", 0, KEY_ALL_ACCESS, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_NE(key, kSentinel);
  reg().RegCloseKey(key);
  // Every intermediate key was made on the way.
  EXPECT_TRUE(KeyExists(scratch(), "A"));
  EXPECT_TRUE(KeyExists(scratch(), "A\\B"));
  EXPECT_TRUE(KeyExists(scratch(), "A\\B\\C"));

  disposition = kSentinel;
  ASSERT_EQ(reg().RegCreateKeyExA(scratch(), "a\\b", 0, KEY_ALL_ACCESS, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  reg().RegCloseKey(key);

  // The disposition is optional.
  ASSERT_EQ(reg().RegCreateKeyExA(scratch(), "D", 0, KEY_ALL_ACCESS, &key, nullptr), ERROR_SUCCESS);
  reg().RegCloseKey(key);
  EXPECT_TRUE(KeyExists(scratch(), "D"));
}

TEST_F(Registry, RegQueryValueExA_SizeQuery) {
  SetString(scratch(), "Text", std::string("abc\0", 4));
  std::uint32_t type = kSentinel;
  std::uint32_t size = kSentinel;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 4u);

  // A missing value leaves both outputs as they were.
  type = kSentinel;
  size = kSentinel;
  EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Missing", &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, kSentinel);
  EXPECT_EQ(size, kSentinel);
}

TEST_F(Registry, RegQueryValueExA_PartialFill) {
  SetString(scratch(), "Text", std::string("abc\0", 4));
  std::uint8_t buffer[10];
  std::memset(buffer, kFill, sizeof buffer);
  std::uint32_t type = kSentinel;
  std::uint32_t size = sizeof buffer;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), std::string("abc\0", 4));
  // The caller's space-filled buffer keeps everything after the data.
  for (std::size_t i = 4; i < sizeof buffer; ++i) {
    EXPECT_EQ(buffer[i], kFill) << "byte " << i << " was overwritten";
  }
}

TEST_F(Registry, RegQueryValueExA_MoreData) {
  SetString(scratch(), "Text", std::string("abcdef\0", 7));
  std::uint8_t buffer[8];
  std::memset(buffer, kFill, sizeof buffer);
  std::uint32_t type = kSentinel;
  std::uint32_t size = 3;
  EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u) << "the size needed";
  EXPECT_EQ(type, REG_SZ);
  for (std::size_t i = 0; i < sizeof buffer; ++i) {
    EXPECT_EQ(buffer[i], kFill) << "byte " << i << " written by a query that did not fit";
  }
}

TEST_F(Registry, RegQueryValueExA_KeepsNuls) {
  // Hidden text after a NUL, and the blank-only form a hidden DLL entry reads as.
  const std::string hidden("one.dll\0two.dll\0", 16);
  const std::string blanks("\0\0\0\0 \0", 6);
  SetString(scratch(), "Hidden", hidden);
  SetString(scratch(), "Blanks", blanks);
  SetString(scratch(), "Multi", std::string("a\0b\0\0", 5), REG_MULTI_SZ);
  SetString(scratch(), "Binary", std::string("\0\x01\0\xff", 4), REG_BINARY);
  const auto got = ReadValue(scratch(), "", "Hidden");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, hidden) << Printable(*got);
  EXPECT_EQ(ReadValue(scratch(), "", "Blanks"), blanks);
  EXPECT_EQ(ReadValue(scratch(), "", "Multi"), std::string("a\0b\0\0", 5));
  EXPECT_EQ(ReadValue(scratch(), "", "Binary"), std::string("\0\x01\0\xff", 4));

  // A REG_DWORD comes back as its four bytes.
  const std::uint32_t number = 0x01020304;
  ASSERT_EQ(reg().RegSetValueExA(scratch(), "Number", REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&number), 4),
            ERROR_SUCCESS);
  std::uint32_t read = kSentinel;
  std::uint32_t size = 4;
  std::uint32_t type = kSentinel;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Number", &type,
                                   reinterpret_cast<std::uint8_t*>(&read), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read, number);
}

TEST_F(Registry, RegSetValueExA_ZeroLength) {
  const std::uint32_t zero = 0;
  ASSERT_EQ(reg().RegSetValueExA(scratch(), "Empty", REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>(&zero), 0),
            ERROR_SUCCESS);
  std::uint32_t type = kSentinel;
  std::uint32_t size = kSentinel;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Empty", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 0u) << "no terminating zero byte may be added";

  // Replacing a value with zero-length data keeps the value and drops its bytes.
  SetString(scratch(), "WasLong", std::string("C:\\x.dll\0", 9));
  ASSERT_EQ(reg().RegSetValueExA(scratch(), "WasLong", REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>(&zero), 0),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadValue(scratch(), "", "WasLong"), std::string());
}

TEST_F(Registry, RegDeleteValueA) {
  SetString(scratch(), "Gone", std::string("x\0", 2));
  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "Gone"), ERROR_SUCCESS);
  EXPECT_FALSE(ReadValue(scratch(), "", "Gone"));
  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "Gone"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, RegDeleteKeyA) {
  Create(scratch(), "Parent\\Child");
  Create(scratch(), "Leaf");
  if (Windows9x()) {
    // DOS-based Windows deletes the whole subtree.
    EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Parent"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(scratch(), "Parent"));
  } else {
    // NT-based Windows refuses a key that still has subkeys.
    EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Parent"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KeyExists(scratch(), "Parent\\Child"));
  }
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Leaf"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(scratch(), "Leaf"));
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Leaf"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, RegEnumKeyExA) {
  const std::set<std::string> made = {"Alpha", "Bravo", "CharlieLong"};
  for (const auto& name : made) Create(scratch(), name);

  std::set<std::string> seen;
  for (std::uint32_t i = 0; i < made.size(); ++i) {
    char name[32];
    std::memset(name, kFill, sizeof name);
    std::uint32_t length = sizeof name;
    ASSERT_EQ(reg().RegEnumKeyExA(scratch(), i, name, &length), ERROR_SUCCESS) << "index " << i;
    ASSERT_LT(length, sizeof name);
    EXPECT_EQ(name[length], '\0') << "the name is terminated";
    EXPECT_EQ(static_cast<std::uint8_t>(name[length + 1]), kFill) << "nothing after the NUL";
    seen.emplace(name, length);
  }
  EXPECT_EQ(seen, made);

  // Past the last subkey: 259, buffer untouched.
  char name[32];
  std::memset(name, kFill, sizeof name);
  std::uint32_t length = sizeof name;
  EXPECT_EQ(reg().RegEnumKeyExA(scratch(), 3, name, &length), ERROR_NO_MORE_ITEMS);
  for (char c : name) ASSERT_EQ(static_cast<std::uint8_t>(c), kFill);

  // A name that does not fit, NUL included: 234, buffer untouched.
  Create(scratch(), "Z\\TenLetters");
  const HKey z = Create(scratch(), "Z");
  for (std::uint32_t capacity : {4u, 10u}) {
    std::memset(name, kFill, sizeof name);
    length = capacity;
    EXPECT_EQ(reg().RegEnumKeyExA(z, 0, name, &length), ERROR_MORE_DATA) << "capacity " << capacity;
    for (char c : name) ASSERT_EQ(static_cast<std::uint8_t>(c), kFill) << "capacity " << capacity;
  }
  length = 11;
  EXPECT_EQ(reg().RegEnumKeyExA(z, 0, name, &length), ERROR_SUCCESS);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(std::string(name, 11), std::string("TenLetters\0", 11));
}

TEST_F(Registry, RegQueryInfoKeyA) {
  const HKey key = Create(scratch(), "Info");
  Create(key, "a");
  Create(key, "Longest");
  SetString(key, "", std::string("default\0", 8));
  SetString(key, "x", std::string("0123456789ab\0", 13));
  SetString(key, "value5", std::string("v\0", 2));

  std::uint32_t subKeys = kSentinel, maxSubKeyLen = kSentinel, values = kSentinel,
                maxValueNameLen = kSentinel, maxValueLen = kSentinel;
  ASSERT_EQ(
      reg().RegQueryInfoKeyA(key, &subKeys, &maxSubKeyLen, &values, &maxValueNameLen, &maxValueLen),
      ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(maxSubKeyLen, 7u) << "characters, without the NUL";
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxValueNameLen, 6u);
  // NT keeps string data as UTF-16 and may report the stored size: between the ANSI size and
  // twice that. Nothing relies on the exact figure.
  EXPECT_GE(maxValueLen, 13u);
  EXPECT_LE(maxValueLen, 26u);

  // Any output may be left out.
  subKeys = kSentinel;
  EXPECT_EQ(reg().RegQueryInfoKeyA(key, &subKeys, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 2u);

  // An empty key reports zeros.
  const HKey empty = Create(scratch(), "Empty");
  subKeys = maxSubKeyLen = values = kSentinel;
  ASSERT_EQ(reg().RegQueryInfoKeyA(empty, &subKeys, &maxSubKeyLen, &values, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(maxSubKeyLen, 0u);
  EXPECT_EQ(values, 0u);
}

TEST_F(Registry, ClassesRootIsAViewOfMachineClasses) {
  const HKey machine = Create(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey);
  SetString(machine, "", std::string("from HKLM\0", 10));
  Create(machine, "InprocServer32");

  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kClassesKey, ""), std::string("from HKLM\0", 10));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::string(kClassesKey) + "\\InprocServer32"));

  // Written through HKCR, seen below HKLM.
  UniqueKey view(reg());
  ASSERT_EQ(reg().RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassesKey, 0, KEY_ALL_ACCESS, view.put()),
            ERROR_SUCCESS);
  SetString(view.get(), "Written", std::string("via HKCR\0", 9));
  EXPECT_EQ(
      ReadValue(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey, "Written"),
      std::string("via HKCR\0", 9));

  // Deleted through HKLM, gone from HKCR.
  EXPECT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassesKey));
}

}  // namespace
}  // namespace dravlin::conformance
