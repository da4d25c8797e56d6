// The registry contract the modules rely on: opening, creating, querying, enumerating and
// deleting keys and values through the ANSI calls, key security and the classes root.
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

TEST_F(Registry, OpenCreateDelete) {
  HKey key = kSentinel;
  EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "Missing\\Deeper", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, kSentinel) << "a failed open must not touch the handle";
  // Every intermediate key is made on the way; names compare without regard to case.
  for (const auto& [path, disposition] :
       {std::pair{"A\\B\\C", REG_CREATED_NEW_KEY}, {"a\\b", REG_OPENED_EXISTING_KEY}}) {
    std::uint32_t got = kSentinel;
    ASSERT_EQ(reg().RegCreateKeyExA(scratch(), path, 0, KEY_ALL_ACCESS, &key, &got), ERROR_SUCCESS);
    EXPECT_EQ(got, disposition) << path;
    reg().RegCloseKey(key);
  }
  // The empty subkey opens the key itself, roots too.
  UniqueKey self(reg()), root(reg());
  ASSERT_EQ(reg().RegOpenKeyExA(scratch(), "", 0, KEY_ALL_ACCESS, self.put()), ERROR_SUCCESS);
  SetString(self.get(), "Gone", std::string("x\0", 2));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kScratchKey, "Gone"), std::string("x\0", 2));
  EXPECT_EQ(reg().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, root.put()), ERROR_SUCCESS);

  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "GONE"), ERROR_SUCCESS);
  EXPECT_FALSE(ReadValue(scratch(), "", "Gone"));
  EXPECT_EQ(reg().RegDeleteValueA(scratch(), "Gone"), ERROR_FILE_NOT_FOUND);
  // NT-based Windows refuses a key that still has subkeys; DOS-based Windows takes them along.
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "A\\B"), nt() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
  EXPECT_EQ(KeyExists(scratch(), "A\\B\\C"), nt());
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "A\\B\\C"), nt() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "A\\B\\C"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ValuesKeepTheirBytes) {
  // Hidden text after a NUL, the blank-only form a hidden DLL entry reads as, zero-length data
  // (no terminator added, also when replacing a longer value), a DWORD's four bytes.
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
    EXPECT_EQ(ReadValue(scratch(), "", name), bytes) << name;
  }
  // NT adds the terminator to a string written without it when it follows the data (as in
  // every std::string); binary data stays as given. The count must include the terminator:
  // https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regsetvalueexa
  const std::tuple<const char*, std::uint32_t, std::string, std::string> unterminated[] = {
      {"Sz", REG_SZ, "abc", std::string("abc\0", 4)},
      {"Multi", REG_MULTI_SZ, std::string("a\0b", 3), std::string("a\0b\0", 4)},
      {"Bin", REG_BINARY, "abc", "abc"},
  };
  for (const auto& [name, type, written, stored] : unterminated) {
    SetString(scratch(), name, written, type);
    EXPECT_EQ(ReadValue(scratch(), "", name), nt() ? stored : written) << name;
  }
}

TEST_F(Registry, RegQueryValueExA) {
  SetString(scratch(), "Text", std::string("abcdef\0", 7));
  std::uint32_t type = kSentinel, size = kSentinel;
  ASSERT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 7u);
  // A larger buffer keeps everything after the data; too small: 234, the size needed, the
  // buffer as it was.
  char buffer[12];
  for (const std::uint32_t capacity : {10u, 3u}) {
    std::memset(buffer, kFill, sizeof buffer);
    size = capacity;
    EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Text", &type,
                                     reinterpret_cast<std::uint8_t*>(buffer), &size),
              capacity > 7 ? ERROR_SUCCESS : ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    const std::size_t kept = capacity > 7 ? 7 : 0;
    EXPECT_EQ(std::string(buffer, kept), std::string("abcdef\0", kept));
    EXPECT_TRUE(Untouched(buffer + kept, sizeof buffer - kept)) << capacity;
  }
  EXPECT_EQ(reg().RegQueryValueExA(scratch(), "Missing", &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, RegEnumKeyExA) {
  // No documented order, but each subkey once and the same order every time:
  // https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regenumkeyexw
  const std::set<std::string> made = {"bravo", "_under", "Alpha", "CharlieLong"};
  for (const auto& each : made) Create(scratch(), each);
  char name[32];
  std::vector<std::string> passes[2];
  for (auto& seen : passes) {
    for (std::uint32_t i = 0; i < made.size(); ++i) {
      std::uint32_t length = sizeof name;
      ASSERT_EQ(reg().RegEnumKeyExA(scratch(), i, name, &length), ERROR_SUCCESS) << "index " << i;
      seen.emplace_back(name, length);
    }
  }
  EXPECT_EQ(std::set<std::string>(passes[0].begin(), passes[0].end()), made);
  EXPECT_EQ(passes[0], passes[1]);
  // Past the last subkey: 259; a name that does not fit with its NUL: 234. Buffer untouched.
  const HKey z = Create(scratch(), "Z");
  Create(z, "TenLetters");
  const std::tuple<HKey, std::uint32_t, std::uint32_t, Status> refused[] = {
      {scratch(), 5, 32, ERROR_NO_MORE_ITEMS},
      {z, 0, 4, ERROR_MORE_DATA},
      {z, 0, 10, ERROR_MORE_DATA}};
  for (const auto& [key, index, capacity, status] : refused) {
    std::memset(name, kFill, sizeof name);
    std::uint32_t length = capacity;
    EXPECT_EQ(reg().RegEnumKeyExA(key, index, name, &length), status) << index << "/" << capacity;
    EXPECT_TRUE(Untouched(name, sizeof name)) << index << "/" << capacity;
  }
  // An exact fit: the name, its NUL, and nothing after it.
  std::uint32_t length = 11;
  EXPECT_EQ(reg().RegEnumKeyExA(z, 0, name, &length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, 12), std::string("TenLetters\0\xbd", 12));
  EXPECT_EQ(length, 10u);
}

// Handle 0 is no key (6); a key deleted under an open handle leaves it answering 1018.
TEST_F(Registry, DeadHandles) {
  const HKey doomed = Create(scratch(), "Doomed");
  ASSERT_EQ(reg().RegDeleteKeyA(scratch(), "Doomed"), ERROR_SUCCESS);
  const std::uint8_t data[] = {'x', 0};
  for (const auto& [key, status] :
       {std::pair<HKey, Status>{0, ERROR_INVALID_HANDLE}, {doomed, ERROR_KEY_DELETED}}) {
    std::uint32_t size = 0, count = 0, length = 8;
    char name[8];
    HKey sub = kSentinel;
    EXPECT_EQ(reg().RegQueryValueExA(key, "x", nullptr, nullptr, &size), status);
    EXPECT_EQ(reg().RegSetValueExA(key, "x", REG_SZ, data, 2), status);
    EXPECT_EQ(reg().RegEnumKeyExA(key, 0, name, &length), status);
    EXPECT_EQ(reg().RegQueryInfoKeyA(key, &count, nullptr, nullptr, nullptr, nullptr), status);
    EXPECT_EQ(reg().RegCreateKeyExA(key, "Child", 0, KEY_ALL_ACCESS, &sub, nullptr), status);
    EXPECT_EQ(sub, kSentinel);
  }
  HKey none = kSentinel;
  EXPECT_EQ(reg().RegOpenKeyExA(0, "Software", 0, KEY_READ, &none), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg().RegSaveKeyA(0, File("zero.hiv")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg().RegCloseKey(0), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(shell().PathFileExistsA(File("zero.hiv")));
}

// https://learn.microsoft.com/en-us/windows/desktop/api/winreg/nf-winreg-regenumvaluea
TEST_F(Registry, RegEnumValueAndQueryInfo) {
  // Every value with its name, type and bytes: the default value's empty name, NULs inside a
  // string, Windows-1252 text.
  const std::map<std::string, std::pair<std::uint32_t, std::string>> made = {
      {"", {REG_SZ, std::string("default\0", 8)}},
      {"Hidden", {REG_SZ, std::string("a.dll\0b.dll\0", 12)}},
      {"Gr\xfc\xdf", {REG_EXPAND_SZ, std::string("%x%\\\xe4\x80\0", 7)}},
      {"Number", {REG_DWORD, std::string("\x01\0\0\0", 4)}},
  };
  const HKey key = Create(scratch(), "Info");
  Create(key, "a");
  Create(key, "Longest");
  for (const auto& [name, value] : made) SetString(key, name, value.second, value.first);
  std::map<std::string, std::pair<std::uint32_t, std::string>> seen;
  char name[32];
  std::uint8_t data[32];
  for (std::uint32_t i = 0; i < made.size(); ++i) {
    std::uint32_t length = sizeof name, type = kSentinel, size = sizeof data;
    ASSERT_EQ(reg().RegEnumValueA(key, i, name, &length, &type, data, &size), ERROR_SUCCESS) << i;
    seen[std::string(name, length)] = {type, std::string(reinterpret_cast<char*>(data), size)};
  }
  EXPECT_EQ(seen, made);
  // Past the last: 259. No data buffer: its size. Too small a buffer for data or name: 234.
  std::uint32_t length = sizeof name, size = sizeof data;
  EXPECT_EQ(reg().RegEnumValueA(key, 4, name, &length, nullptr, data, &size), ERROR_NO_MORE_ITEMS);
  const HKey one = Create(key, "One");
  SetString(one, "Text", std::string("0123456789\0", 11));
  for (const auto& [nameRoom, dataRoom] : {std::pair{32u, 0u}, {32u, 4u}, {4u, 32u}}) {
    length = nameRoom;
    size = dataRoom;
    EXPECT_EQ(reg().RegEnumValueA(one, 0, name, &length, nullptr, dataRoom ? data : nullptr, &size),
              dataRoom == 0 ? ERROR_SUCCESS : ERROR_MORE_DATA);
    if (nameRoom > 4) {
      EXPECT_EQ(size, 11u);
    }
  }

  std::uint32_t subKeys = kSentinel, maxSubKeyLen = kSentinel, values = kSentinel,
                maxValueNameLen = kSentinel, maxValueLen = kSentinel;
  ASSERT_EQ(
      reg().RegQueryInfoKeyA(key, &subKeys, &maxSubKeyLen, &values, &maxValueNameLen, &maxValueLen),
      ERROR_SUCCESS);
  EXPECT_EQ(std::tie(subKeys, maxSubKeyLen, values, maxValueNameLen),
            std::make_tuple(3u, 7u, 4u, 6u))
      << "lengths in characters, without the NUL";
  // NT keeps strings as UTF-16 and may report that size: between the ANSI size and twice it.
  EXPECT_GE(maxValueLen, 12u);
  EXPECT_LE(maxValueLen, 24u);
  subKeys = maxSubKeyLen = values = kSentinel;
  ASSERT_EQ(
      reg().RegQueryInfoKeyA(Create(key, "a"), &subKeys, &maxSubKeyLen, &values, nullptr, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(subKeys + maxSubKeyLen + values, 0u) << "an empty key";
}

// A key's security decides what an open may ask for; each handle carries the rights it was
// granted, and every call checks its own. Creating and deleting keys go by the key's security:
// https://learn.microsoft.com/en-us/windows/win32/api/Winreg/nf-winreg-regcreatekeyexa
// https://learn.microsoft.com/windows/win32/api/winreg/nf-winreg-regdeletekeya
TEST_F(Registry, AccessRights) {
  constexpr std::uint32_t QUERY = 1, SET = 2, ENUMERATE = 8, kOldOpen = 0;  // RegOpenKeyA
  const std::string readOnly = std::string(kScratchKey) + "\\ReadOnly";
  for (const char* name : {"Open", "ReadOnly"}) {
    const HKey key = Create(scratch(), name);
    Create(key, "Child");
    SetString(key, "v", std::string("x\0", 2));
  }
  ASSERT_TRUE(target().RestrictKey(HKEY_CURRENT_USER, readOnly, KEY_READ));
  struct Row {
    const char* key;
    std::uint32_t sam;
    Status query, set, deleteValue, enumerate;
  };
  const Row rows[] = {
      {"Open", QUERY, 0, 5, 5, 5},        {"Open", SET, 5, 0, 0, 5},
      {"Open", ENUMERATE, 5, 5, 5, 0},    {"ReadOnly", KEY_READ, 0, 5, 5, 0},
      {"ReadOnly", kOldOpen, 0, 5, 5, 0},
  };
  for (const Row& row : rows) {
    const std::string what = std::string(row.key) + " opened with " + std::to_string(row.sam);
    UniqueKey key(reg());
    ASSERT_EQ(row.sam == kOldOpen ? reg().RegOpenKeyA(scratch(), row.key, key.put())
                                  : reg().RegOpenKeyExA(scratch(), row.key, 0, row.sam, key.put()),
              ERROR_SUCCESS)
        << what;
    std::uint32_t size = 0, length = 16;
    const std::uint8_t data[] = {'y', 0};
    char name[16];
    EXPECT_EQ(reg().RegQueryValueExA(key.get(), "v", nullptr, nullptr, &size), row.query) << what;
    EXPECT_EQ(reg().RegSetValueExA(key.get(), "w", REG_SZ, data, 2), row.set) << what;
    EXPECT_EQ(reg().RegDeleteValueA(key.get(), "w"), row.deleteValue) << what;
    EXPECT_EQ(reg().RegEnumKeyExA(key.get(), 0, name, &length), row.enumerate) << what;
    HKey made = kSentinel;  // the parent handle's rights do not matter for creating below it
    if (row.key == std::string("Open")) {
      EXPECT_EQ(reg().RegCreateKeyExA(key.get(), "Made", 0, KEY_READ, &made, nullptr),
                ERROR_SUCCESS)
          << what;
      reg().RegCloseKey(made);
    }
  }
  // Asking for more than the key grants is refused, the handle left alone; asking for no more
  // opens the existing key through the create call too.
  for (const std::uint32_t sam : {KEY_ALL_ACCESS, SET}) {
    HKey key = kSentinel;
    EXPECT_EQ(reg().RegOpenKeyExA(scratch(), "ReadOnly", 0, sam, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(reg().RegCreateKeyExA(scratch(), "ReadOnly", 0, sam, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, kSentinel);
  }
  std::uint32_t disposition = 0;
  UniqueKey existing(reg());
  EXPECT_EQ(reg().RegCreateKeyExA(scratch(), "ReadOnly", 0, KEY_READ, existing.put(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  // No subkey below a key whose security forbids it; a child that allows deletion goes even
  // through a read-only handle of its parent; the key itself, lacking DELETE, stays.
  HKey made = kSentinel;
  const Status create =
      reg().RegCreateKeyExA(scratch(), "ReadOnly\\New", 0, KEY_ALL_ACCESS, &made, nullptr);
  if (wine()) {
    Gap("RegCreateKeyExA creates a subkey below a key whose security refuses KEY_CREATE_SUB_KEY");
    EXPECT_EQ(create, ERROR_SUCCESS);
    reg().RegCloseKey(made);
    // The new key took over its parent's security; the fixture removes it.
    EXPECT_TRUE(target().RestrictKey(HKEY_CURRENT_USER, readOnly + "\\New", KEY_ALL_ACCESS));
  } else {
    EXPECT_EQ(create, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(KeyExists(scratch(), "ReadOnly\\New"));
  }
  EXPECT_EQ(reg().RegDeleteKeyA(existing.get(), "Child"), ERROR_SUCCESS);
  EXPECT_EQ(reg().RegDeleteKeyA(scratch(), "ReadOnly"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(scratch(), "ReadOnly"));
  EXPECT_TRUE(target().RestrictKey(HKEY_CURRENT_USER, readOnly, KEY_ALL_ACCESS));
}

// HKCR is a view of HKLM\SOFTWARE\Classes; from Windows 2000 on it shows the user's classes over
// the machine's: a key both have is the user's, enumeration lists both, and deleting through
// HKCR takes the user's first:
// https://learn.microsoft.com/en-us/windows/win32/sysinfo/merged-view-of-hkey-classes-root
TEST_F(Registry, ClassesRoot) {
  const std::string machinePath = std::string("SOFTWARE\\Classes\\") + kClassesKey;
  const std::string user = std::string("Software\\Classes\\") + kClassesKey;
  const HKey machine = Create(HKEY_LOCAL_MACHINE, machinePath);
  SetString(machine, "", std::string("machine\0", 8));
  Create(machine, "MachineOnly");
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kClassesKey, ""), std::string("machine\0", 8));
  SetString(Create(HKEY_CLASSES_ROOT, kClassesKey), "Written", std::string("via HKCR\0", 9));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, machinePath, "Written"), std::string("via HKCR\0", 9));

  const auto version = target().Version();
  bool merges = !version || (version->platformId == VER_PLATFORM_WIN32_NT && version->major >= 5);
  if (wine()) {
    Gap("HKEY_CLASSES_ROOT shows only HKLM\\SOFTWARE\\Classes: the user's classes are not merged "
        "in");
    merges = false;
  }
  const HKey userKey = Create(HKEY_CURRENT_USER, user);
  SetString(userKey, "", std::string("user\0", 5));
  Create(userKey, "UserOnly");
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kClassesKey, ""),
            merges ? std::string("user\0", 5) : std::string("machine\0", 8));
  UniqueKey view(reg());
  ASSERT_EQ(reg().RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassesKey, 0, KEY_ALL_ACCESS, view.put()),
            ERROR_SUCCESS);
  std::set<std::string> names;
  char name[32];
  for (std::uint32_t i = 0;; ++i) {
    std::uint32_t length = sizeof name;
    if (reg().RegEnumKeyExA(view.get(), i, name, &length) != ERROR_SUCCESS) break;
    names.emplace(name, length);
  }
  const std::set<std::string> expected = merges ? std::set<std::string>{"MachineOnly", "UserOnly"}
                                                : std::set<std::string>{"MachineOnly"};
  EXPECT_EQ(names, expected);
  if (merges) {
    EXPECT_EQ(reg().RegDeleteKeyA(view.get(), "UserOnly"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user + "\\UserOnly"));
    EXPECT_EQ(reg().RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassesKey), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user));
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kClassesKey, ""), std::string("machine\0", 8));
  }
  EXPECT_TRUE(DeleteTree(HKEY_CURRENT_USER, user));
  EXPECT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, machinePath));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassesKey)) << "deleted through HKLM, gone from HKCR";
}

}  // namespace
}  // namespace dravlin::conformance
