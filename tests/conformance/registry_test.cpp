// The registry contract the modules rely on: opening, creating, querying, enumerating and
// deleting keys and values through the ANSI calls.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Registry = Conformance;

bool Untouched(const char* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size,
                     [](char c) { return static_cast<std::uint8_t>(c) == kFill; });
}

TEST_F(Registry, OpenAndCreate) {
  HKey key = kSentinel;
  EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "Missing\\Deeper", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, kSentinel) << "a failed open must not touch the handle";

  // Every intermediate key is made on the way; names compare without regard to case.
  std::uint32_t disposition = kSentinel;
  ASSERT_EQ(reg().RegCreateKeyExA(scratch(), "A\\B\\C", 0, KEY_ALL_ACCESS, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  reg().RegCloseKey(key);
  EXPECT_TRUE(KeyExists(scratch(), "a\\b"));
  ASSERT_EQ(reg().RegCreateKeyExA(scratch(), "a\\b", 0, KEY_ALL_ACCESS, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  reg().RegCloseKey(key);

  // The empty subkey opens the key itself (roots too): a value set there is seen through the
  // parent path.
  UniqueKey self(reg()), root(reg());
  ASSERT_EQ(reg().RegOpenKeyExA(scratch(), "", 0, KEY_ALL_ACCESS, self.put()), ERROR_SUCCESS);
  SetString(self.get(), "ViaEmpty", std::string("yes\0", 4));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kScratchKey, "ViaEmpty"), std::string("yes\0", 4));
  EXPECT_EQ(reg().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, root.put()), ERROR_SUCCESS);
}

TEST_F(Registry, RegQueryValueExA) {
  SetString(scratch(), "Text", std::string("abcdef\0", 7));
  std::uint32_t type = kSentinel, size = kSentinel;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 7u);

  // A buffer larger than the data keeps everything after the data.
  char buffer[12];
  std::memset(buffer, kFill, sizeof buffer);
  size = 10;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type,
                                   reinterpret_cast<std::uint8_t*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::string(buffer, 7), std::string("abcdef\0", 7));
  EXPECT_TRUE(Untouched(buffer + 7, sizeof buffer - 7)) << Printable(std::string(buffer, 12));

  // Too small: 234, the size needed, and the buffer as it was.
  std::memset(buffer, kFill, sizeof buffer);
  size = 3;
  EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type,
                                   reinterpret_cast<std::uint8_t*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  EXPECT_TRUE(Untouched(buffer, sizeof buffer));
  EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Missing", &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ValuesKeepTheirBytes) {
  // Hidden text after a NUL, the blank-only form a hidden DLL entry reads as, zero-length data
  // (no terminator added, also when replacing a longer value), and a DWORD's four bytes.
  const std::tuple<const char*, std::uint32_t, std::string> cases[] = {
      {"Hidden", REG_SZ, std::string("one.dll\0two.dll\0", 16)},
      {"Blanks", REG_SZ, std::string("\0\0\0\0 \0", 6)},
      {"Binary", REG_BINARY, std::string("\0\x01\0\xff", 4)},
      {"Number", REG_DWORD, std::string("\x04\x03\x02\x01", 4)},
      {"Empty", REG_SZ, std::string()},
  };
  SetString(scratch(), "Empty", std::string("C:\\x.dll\0", 9));
  for (const auto& [name, type, bytes] : cases) {
    SetString(scratch(), name, bytes, type);
    const auto got = ReadValue(scratch(), "", name);
    ASSERT_TRUE(got) << name;
    EXPECT_EQ(*got, bytes) << name << ": " << Printable(*got);
  }
}

TEST_F(Registry, Delete) {
  SetString(scratch(), "Gone", std::string("x\0", 2));
  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "GONE"), ERROR_SUCCESS);
  EXPECT_FALSE(ReadValue(scratch(), "", "Gone"));
  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "Gone"), ERROR_FILE_NOT_FOUND);

  Create(scratch(), "Parent\\Child");
  Create(scratch(), "Leaf");
  // NT-based Windows refuses a key that still has subkeys.
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Parent"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(scratch(), "Parent\\Child"));
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Leaf"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(scratch(), "Leaf"));
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "Leaf"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, RegEnumKeyExA) {
  const std::set<std::string> made = {"Alpha", "Bravo", "CharlieLong"};
  for (const auto& name : made) Create(scratch(), name);
  char name[32];
  std::set<std::string> seen;
  for (std::uint32_t i = 0; i < made.size(); ++i) {
    std::uint32_t length = sizeof name;
    ASSERT_EQ(reg().RegEnumKeyExA(scratch(), i, name, &length), ERROR_SUCCESS) << "index " << i;
    seen.emplace(name, length);
  }
  EXPECT_EQ(seen, made);

  // Past the last subkey: 259; a name that does not fit, NUL included: 234. Buffer untouched.
  const HKey z = Create(scratch(), "Z");
  Create(z, "TenLetters");
  const std::pair<HKey, std::uint32_t> refused[] = {{scratch(), 32}, {z, 4}, {z, 10}};
  for (const auto& [key, capacity] : refused) {
    std::memset(name, kFill, sizeof name);
    std::uint32_t length = capacity;
    EXPECT_EQ(reg().RegEnumKeyExA(key, key == z ? 0 : 4, name, &length),
              key == z ? ERROR_MORE_DATA : ERROR_NO_MORE_ITEMS)
        << "capacity " << capacity;
    EXPECT_TRUE(Untouched(name, sizeof name)) << "capacity " << capacity;
  }
  // An exact fit: the name, its NUL, and nothing after it.
  std::uint32_t length = 11;
  EXPECT_EQ(reg().RegEnumKeyExA(z, 0, name, &length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, 12), std::string("TenLetters\0\xbd", 12));
  EXPECT_EQ(length, 10u);
}

// https://learn.microsoft.com/en-us/windows/desktop/api/winreg/nf-winreg-regenumvaluea
TEST_F(Registry, RegEnumValueA) {
  // Every value with its name, type and bytes as stored: the default value's empty name, NULs
  // inside a string, Windows-1252 text.
  const std::map<std::string, std::pair<std::uint32_t, std::string>> made = {
      {"", {REG_SZ, std::string("default\0", 8)}},
      {"Hidden", {REG_SZ, std::string("a.dll\0b.dll\0", 12)}},
      {"Gr\xfc\xdf"
       "e",
       {REG_EXPAND_SZ, std::string("%x%\\\xe4\x80\0", 7)}},
      {"Number", {REG_DWORD, std::string("\x01\0\0\0", 4)}},
  };
  for (const auto& [name, value] : made) SetString(scratch(), name, value.second, value.first);
  std::map<std::string, std::pair<std::uint32_t, std::string>> seen;
  char name[32];
  std::uint8_t data[32];
  for (std::uint32_t i = 0; i < made.size(); ++i) {
    std::uint32_t length = sizeof name, type = kSentinel, size = sizeof data;
    ASSERT_EQ(reg().RegEnumValueA(scratch(), i, name, &length, &type, data, &size), ERROR_SUCCESS)
        << "index " << i;
    seen[std::string(name, length)] = {type, std::string(reinterpret_cast<char*>(data), size)};
  }
  EXPECT_EQ(seen, made);

  // Past the last value: 259. Data without a buffer: its size. Too small a data buffer: 234
  // and the size needed.
  std::uint32_t length = sizeof name, size = sizeof data;
  EXPECT_EQ(reg().RegEnumValueA(scratch(), 4, name, &length, nullptr, data, &size),
            ERROR_NO_MORE_ITEMS);
  const HKey one = Create(scratch(), "One");
  SetString(one, "Text", std::string("0123456789\0", 11));
  length = sizeof name;
  size = kSentinel;
  ASSERT_EQ(reg().RegEnumValueA(one, 0, name, &length, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 11u);
  length = sizeof name;
  size = 4;
  EXPECT_EQ(reg().RegEnumValueA(one, 0, name, &length, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  // A name that does not fit with its NUL: 234.
  length = 4;
  size = sizeof data;
  EXPECT_EQ(reg().RegEnumValueA(one, 0, name, &length, nullptr, data, &size), ERROR_MORE_DATA);
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

  // Any output may be left out; an empty key reports zeros.
  const HKey empty = Create(scratch(), "Empty");
  subKeys = maxSubKeyLen = values = kSentinel;
  ASSERT_EQ(reg().RegQueryInfoKeyA(empty, &subKeys, &maxSubKeyLen, &values, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys + maxSubKeyLen + values, 0u);
}

TEST_F(Registry, ClassesRootIsAViewOfMachineClasses) {
  const std::string machinePath = std::string("SOFTWARE\\Classes\\") + kClassesKey;
  const HKey machine = Create(HKEY_LOCAL_MACHINE, machinePath);
  SetString(machine, "", std::string("from HKLM\0", 10));
  Create(machine, "InprocServer32");
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kClassesKey, ""), std::string("from HKLM\0", 10));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::string(kClassesKey) + "\\InprocServer32"));

  // Written through HKCR, seen below HKLM; deleted through HKLM, gone from HKCR.
  const HKey view = Create(HKEY_CLASSES_ROOT, kClassesKey);
  SetString(view, "Written", std::string("via HKCR\0", 9));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, machinePath, "Written"), std::string("via HKCR\0", 9));
  EXPECT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, machinePath));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassesKey));
}

}  // namespace
}  // namespace dravlin::conformance
