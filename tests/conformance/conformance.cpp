// The conformance fixture: arranging and cleaning up through the platform under test.
#include "conformance/conformance.h"

#include <iostream>

namespace dravlin::conformance {

using namespace platform;

void Conformance::SetUp() {
  target_ = MakeTarget();
  ASSERT_TRUE(DeleteTree(HKEY_CURRENT_USER, kScratchKey))
      << "stale scratch key on " << target_->Name();
  ASSERT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey));
  scratch_.emplace(reg());
  ASSERT_EQ(reg().RegCreateKeyExA(HKEY_CURRENT_USER, kScratchKey, 0, KEY_ALL_ACCESS,
                                  scratch_->put(), nullptr),
            ERROR_SUCCESS);
  SetPrivileges({});
}

void Conformance::TearDown() {
  if (scratch_) scratch_.reset();
  SetPrivileges({});
  EXPECT_TRUE(DeleteTree(HKEY_CURRENT_USER, kScratchKey));
  EXPECT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey));
  target_.reset();
}

void Conformance::Gap(const std::string& what) {
  const std::string line = target_->Name() + " differs from Windows: " + what;
  std::cout << "[ WINE GAP ] " << line << std::endl;
  // One property per gap, so the XML report keeps them all.
  RecordProperty(++gaps_ == 1 ? "wine_gap" : "wine_gap_" + std::to_string(gaps_), line);
}

std::optional<std::string> Conformance::ReadValue(HKey parent, const std::string& path,
                                                  const std::string& name) {
  UniqueKey key(reg());
  if (reg().RegOpenKeyExA(parent, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::uint32_t size = 0;
  if (reg().RegQueryValueExA(key.get(), name, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::string data(size, '\0');
  if (size > 0 &&
      reg().RegQueryValueExA(key.get(), name, nullptr, reinterpret_cast<std::uint8_t*>(data.data()),
                             &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  data.resize(size);
  return data;
}

bool Conformance::KeyExists(HKey parent, const std::string& path) {
  UniqueKey key(reg());
  return reg().RegOpenKeyExA(parent, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool Conformance::DeleteTree(HKey parent, const std::string& path) {
  {
    UniqueKey key(reg());
    const Status open = reg().RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, key.put());
    if (open == ERROR_FILE_NOT_FOUND) return true;
    if (open != ERROR_SUCCESS) return false;
    std::vector<std::string> children;
    for (std::uint32_t i = 0;; ++i) {
      char name[256];
      std::uint32_t length = sizeof name;
      if (reg().RegEnumKeyExA(key.get(), i, name, &length) != ERROR_SUCCESS) break;
      children.emplace_back(name, length);
    }
    for (const auto& child : children) DeleteTree(key.get(), child);
  }
  const auto slash = path.rfind('\\');
  const bool nested = slash != std::string::npos;
  UniqueKey above(reg());
  if (!nested || reg().RegOpenKeyExA(parent, path.substr(0, slash), 0, KEY_ALL_ACCESS,
                                     above.put()) == ERROR_SUCCESS) {
    reg().RegDeleteKeyA(nested ? above.get() : parent, nested ? path.substr(slash + 1) : path);
  }
  return !KeyExists(parent, path);
}

std::string Conformance::File(const std::string& name) const {
  return target_->ScratchFolder() + "\\" + name;
}

void Conformance::WriteTextFile(const std::string& path, const std::string& line) {
  const int number = files().FreeFile();
  ASSERT_EQ(files().OpenForAppend(number, path), RT_OK) << path;
  EXPECT_EQ(files().PrintLine(number, line), RT_OK);
  EXPECT_EQ(files().Close(number), RT_OK);
}

std::optional<std::string> Conformance::ReadFileBytes(const std::string& path) {
  std::int64_t length = 0;
  if (files().FileLen(path, &length) != RT_OK) return std::nullopt;
  const int number = files().FreeFile();
  if (files().OpenForBinaryRead(number, path) != RT_OK) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(length), '\0');
  const RtError got = files().Get(number, &bytes);
  files().Close(number);
  if (got != RT_OK) return std::nullopt;
  return bytes;
}

void Conformance::SetPrivileges(const std::vector<std::string>& enabled) {
  if (!nt()) return;  // DOS-based Windows has no tokens and needs no privilege
  Handle token = 0;
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(),
                                     TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_TRUE(sec().AdjustTokenPrivileges(token, true, nullptr, 0));
  if (!enabled.empty()) {
    TokenPrivileges state;
    for (const auto& name : enabled) {
      Luid luid;
      EXPECT_TRUE(sec().LookupPrivilegeValueA(nullptr, name, &luid)) << name;
      state.Privileges.push_back({luid, SE_PRIVILEGE_ENABLED});
    }
    EXPECT_TRUE(sec().AdjustTokenPrivileges(token, false, &state, 0));
    EXPECT_EQ(kernel().GetLastError(), ERROR_SUCCESS) << "a privilege is not held";
  }
  kernel().CloseHandle(token);
}

}  // namespace dravlin::conformance
