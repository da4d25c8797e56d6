// Saving keys to hive files and restoring them: the privileges they need, what the file holds,
// and what a restore does to the key. Wine's versions of both calls differ from Windows; those
// differences are named where they occur and Wine's own behaviour is checked instead.
#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Hive = Conformance;

constexpr const char* kDllPath = "C:\\WINDOWS\\system32\\qzhook.dll";

// A small tree to save: a value with the DLL path, a value without backslashes, a subkey.
HKey ArrangeSource(platform::Registry& reg, HKey scratch) {
  HKey source = 0;
  EXPECT_EQ(reg.RegCreateKeyExA(scratch, "Source\\Sub", 0, KEY_ALL_ACCESS, &source, nullptr),
            ERROR_SUCCESS);
  reg.RegCloseKey(source);
  EXPECT_EQ(reg.RegOpenKeyExA(scratch, "Source", 0, KEY_ALL_ACCESS, &source), ERROR_SUCCESS);
  const std::string path = std::string(kDllPath) + '\0';
  EXPECT_EQ(reg.RegSetValueExA(source, "AppInit_DLLs", REG_SZ,
                               reinterpret_cast<const std::uint8_t*>(path.data()),
                               static_cast<std::uint32_t>(path.size())),
            ERROR_SUCCESS);
  const std::string plain("qzplain.dll\0", 12);
  EXPECT_EQ(reg.RegSetValueExA(source, "Plain", REG_SZ,
                               reinterpret_cast<const std::uint8_t*>(plain.data()),
                               static_cast<std::uint32_t>(plain.size())),
            ERROR_SUCCESS);
  return source;
}

TEST_F(Hive, RegSaveKeyA_NeedsBackupPrivilege) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeRestorePrivilege"});
  EXPECT_EQ(reg().RegSaveKeyA(source.get(), File("nobackup.hiv")), ERROR_PRIVILEGE_NOT_HELD);
  if (wine()) {
    Gap("RegSaveKeyA refused for want of the backup privilege still leaves an empty file");
    std::int64_t length = -1;
    EXPECT_EQ(files().FileLen(File("nobackup.hiv"), &length), RT_OK);
    EXPECT_EQ(length, 0);
  } else {
    EXPECT_FALSE(shell().PathFileExistsA(File("nobackup.hiv")));
  }
}

TEST_F(Hive, RegSaveKeyA_WritesValueBytesVerbatim) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source.get(), File("saved.hiv")), ERROR_SUCCESS);
  const auto bytes = ReadFileBytes(File("saved.hiv"));
  ASSERT_TRUE(bytes);
  // A byte search finds a value's data in the file.
  EXPECT_NE(bytes->find("qzplain.dll"), std::string::npos) << Printable(bytes->substr(0, 200));
  if (wine()) {
    Gap("RegSaveKeyA writes Wine's text format (\"WINE REGISTRY Version 2\") with backslashes "
        "doubled, not a hive image holding data bytes verbatim");
    EXPECT_EQ(bytes->rfind("WINE REGISTRY Version 2", 0), 0u) << Printable(bytes->substr(0, 40));
    EXPECT_EQ(bytes->find(kDllPath), std::string::npos);
    EXPECT_NE(bytes->find("C:\\\\WINDOWS\\\\system32\\\\qzhook.dll"), std::string::npos);
  } else {
    EXPECT_NE(bytes->find(kDllPath), std::string::npos) << Printable(bytes->substr(0, 200));
  }
}

TEST_F(Hive, RegSaveKeyA_ExistingFile) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeBackupPrivilege"});
  WriteTextFile(File("exists.hiv"), "left from an earlier run");
  const Status status = reg().RegSaveKeyA(source.get(), File("exists.hiv"));
  const auto bytes = ReadFileBytes(File("exists.hiv"));
  ASSERT_TRUE(bytes);
  if (wine()) {
    Gap("RegSaveKeyA overwrites an existing file and succeeds (Windows: 183)");
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(bytes->find("left from an earlier run"), std::string::npos);
  } else {
    EXPECT_EQ(status, ERROR_ALREADY_EXISTS);
    EXPECT_EQ(*bytes, "left from an earlier run\r\n") << "the file must stay as it was";
  }
}

TEST_F(Hive, RegRestoreKeyA_NeedsRestorePrivilege) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source.get(), File("saved.hiv")), ERROR_SUCCESS);
  const HKey target = Create(scratch(), "Target");
  SetString(target, "Own", std::string("mine\0", 5));

  SetPrivileges({"SeBackupPrivilege"});
  const Status status = reg().RegRestoreKeyA(target, File("saved.hiv"), REG_FORCE_RESTORE);
  if (wine()) {
    Gap("RegRestoreKeyA is a stub: it succeeds without the restore privilege and restores nothing");
    EXPECT_EQ(status, ERROR_SUCCESS);
  } else {
    EXPECT_EQ(status, ERROR_PRIVILEGE_NOT_HELD);
  }
  // Either way the key is as it was.
  EXPECT_EQ(ReadValue(scratch(), "Target", "Own"), std::string("mine\0", 5));
  EXPECT_FALSE(ReadValue(scratch(), "Target", "Plain"));
}

TEST_F(Hive, RegRestoreKeyA_ReplacesSubtree) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source.get(), File("saved.hiv")), ERROR_SUCCESS);
  const HKey target = Create(scratch(), "Target");
  Create(target, "OnlyInTarget");
  SetString(target, "Own", std::string("mine\0", 5));

  const Status status = reg().RegRestoreKeyA(target, File("saved.hiv"), REG_FORCE_RESTORE);
  EXPECT_EQ(status, ERROR_SUCCESS);
  if (wine()) {
    Gap("RegRestoreKeyA returns success and leaves the key unchanged");
    EXPECT_EQ(ReadValue(scratch(), "Target", "Own"), std::string("mine\0", 5));
    EXPECT_TRUE(KeyExists(scratch(), "Target\\OnlyInTarget"));
    EXPECT_FALSE(ReadValue(scratch(), "Target", "AppInit_DLLs"));
  } else {
    EXPECT_EQ(ReadValue(scratch(), "Target", "AppInit_DLLs"), std::string(kDllPath) + '\0');
    EXPECT_EQ(ReadValue(scratch(), "Target", "Plain"), std::string("qzplain.dll\0", 12));
    EXPECT_TRUE(KeyExists(scratch(), "Target\\Sub"));
    EXPECT_FALSE(KeyExists(scratch(), "Target\\OnlyInTarget")) << "the old subtree must go";
    EXPECT_FALSE(ReadValue(scratch(), "Target", "Own"));
  }
  // The source is a copy's origin, not moved.
  EXPECT_EQ(ReadValue(scratch(), "Source", "Plain"), std::string("qzplain.dll\0", 12));
}

TEST_F(Hive, RegRestoreKeyA_CorruptFile) {
  UniqueKey source(reg());
  *source.put() = ArrangeSource(reg(), scratch());
  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source.get(), File("saved.hiv")), ERROR_SUCCESS);
  const auto saved = ReadFileBytes(File("saved.hiv"));
  ASSERT_TRUE(saved);
  WriteTextFile(File("truncated.hiv"), saved->substr(0, saved->size() / 2));
  WriteTextFile(File("junk.hiv"), "this is no hive at all");

  const HKey target = Create(scratch(), "Target");
  SetString(target, "Own", std::string("mine\0", 5));
  for (const char* name : {"truncated.hiv", "junk.hiv"}) {
    const Status status = reg().RegRestoreKeyA(target, File(name), REG_FORCE_RESTORE);
    if (wine()) {
      Gap(std::string("RegRestoreKeyA accepts a corrupt file (") + name + ") with success");
      EXPECT_EQ(status, ERROR_SUCCESS) << name;
    } else {
      EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT) << name;
    }
    EXPECT_EQ(ReadValue(scratch(), "Target", "Own"), std::string("mine\0", 5)) << name;
    EXPECT_FALSE(ReadValue(scratch(), "Target", "Plain")) << name;
  }
}

}  // namespace
}  // namespace dravlin::conformance
