// Saving keys to hive files and restoring them: the privileges they need, what the file holds,
// and what a restore does to the key. Wine's versions of both calls differ from Windows; those
// differences are named where they occur and Wine's own behaviour is checked instead.
#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

constexpr const char* kDllPath = "C:\\WINDOWS\\system32\\qzhook.dll";
const std::string kPlain("qzplain.dll\0", 12);
const std::string kMine("mine\0", 5);

// Arranges a small tree to save: a value with the DLL path, a value without backslashes, a
// subkey; and a target key with a value and a subkey of its own.
class Hive : public Conformance {
 protected:
  void SetUp() override {
    Conformance::SetUp();
    if (HasFatalFailure()) return;
    Create(scratch(), "Source\\Sub");
    source = Create(scratch(), "Source");
    SetString(source, "AppInit_DLLs", std::string(kDllPath) + '\0');
    SetString(source, "Plain", kPlain);
    target = Create(scratch(), "Target");
    Create(target, "OnlyInTarget");
    SetString(target, "Own", kMine);
  }
  // The target as arranged, untouched.
  void ExpectTargetKept(const std::string& context) {
    EXPECT_EQ(ReadValue(scratch(), "Target", "Own"), kMine) << context;
    EXPECT_TRUE(KeyExists(scratch(), "Target\\OnlyInTarget")) << context;
    EXPECT_FALSE(ReadValue(scratch(), "Target", "Plain")) << context;
  }
  HKey source = 0;
  HKey target = 0;
};

TEST_F(Hive, RegSaveKeyA) {
  // DOS-based Windows has no privileges to ask for.
  SetPrivileges({"SeRestorePrivilege"});
  EXPECT_EQ(reg().RegSaveKeyA(source, File("nobackup.hiv")),
            nt() ? ERROR_PRIVILEGE_NOT_HELD : ERROR_SUCCESS);
  if (wine()) {
    Gap("RegSaveKeyA refused for want of the backup privilege still leaves an empty file");
    std::int64_t length = -1;
    EXPECT_EQ(files().FileLen(File("nobackup.hiv"), &length), RT_OK);
    EXPECT_EQ(length, 0);
  } else {
    EXPECT_EQ(shell().PathFileExistsA(File("nobackup.hiv")), !nt());
  }

  // NT keeps string data as UTF-16 and saves it so; only DOS-based Windows' files hold the ANSI
  // bytes that a byte search finds:
  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-rrp/3d64dbea-f016-4373-8cac-e43bf343837d
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  const auto bytes = ReadFileBytes(File("saved.hiv"));
  ASSERT_TRUE(bytes);
  if (wine()) {
    EXPECT_NE(bytes->find("qzplain.dll"), std::string::npos) << Printable(bytes->substr(0, 200));
    Gap("RegSaveKeyA writes Wine's text format (\"WINE REGISTRY Version 2\") with backslashes "
        "doubled, not a hive image holding data bytes verbatim");
    EXPECT_EQ(bytes->rfind("WINE REGISTRY Version 2", 0), 0u) << Printable(bytes->substr(0, 40));
    EXPECT_EQ(bytes->find(kDllPath), std::string::npos);
    EXPECT_NE(bytes->find("C:\\\\WINDOWS\\\\system32\\\\qzhook.dll"), std::string::npos);
  } else {
    std::string wide;
    for (const char c : std::string(kDllPath)) wide += std::string{c, '\0'};
    EXPECT_EQ(bytes->find(kDllPath) != std::string::npos, !nt())
        << Printable(bytes->substr(0, 200));
    EXPECT_EQ(bytes->find(wide) != std::string::npos, nt());
  }

  WriteTextFile(File("exists.hiv"), "left from an earlier run");
  const Status status = reg().RegSaveKeyA(source, File("exists.hiv"));
  const auto existing = ReadFileBytes(File("exists.hiv"));
  ASSERT_TRUE(existing);
  if (wine()) {
    Gap("RegSaveKeyA overwrites an existing file and succeeds (Windows: 183)");
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(existing->find("left from an earlier run"), std::string::npos);
  } else {
    EXPECT_EQ(status, ERROR_ALREADY_EXISTS);
    EXPECT_EQ(*existing, "left from an earlier run\r\n") << "the file must stay as it was";
  }
}

TEST_F(Hive, RegRestoreKeyA) {
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  Status status = reg().RegRestoreKeyA(target, File("saved.hiv"), REG_FORCE_RESTORE);
  if (wine()) {
    Gap("RegRestoreKeyA is a stub: it succeeds without the restore privilege and restores nothing");
    EXPECT_EQ(status, ERROR_SUCCESS);
  } else {
    EXPECT_EQ(status, ERROR_PRIVILEGE_NOT_HELD);
  }
  ExpectTargetKept("without the restore privilege");

  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  const auto saved = ReadFileBytes(File("saved.hiv"));
  ASSERT_TRUE(saved);
  WriteTextFile(File("truncated.hiv"), saved->substr(0, saved->size() / 2));
  WriteTextFile(File("junk.hiv"), "this is no hive at all");
  for (const char* name : {"truncated.hiv", "junk.hiv"}) {
    status = reg().RegRestoreKeyA(target, File(name), REG_FORCE_RESTORE);
    if (wine()) {
      Gap(std::string("RegRestoreKeyA accepts a corrupt file (") + name + ") with success");
      EXPECT_EQ(status, ERROR_SUCCESS) << name;
    } else {
      EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT) << name;
    }
    ExpectTargetKept(name);
  }

  EXPECT_EQ(reg().RegRestoreKeyA(target, File("saved.hiv"), REG_FORCE_RESTORE), ERROR_SUCCESS);
  if (wine()) {
    Gap("RegRestoreKeyA returns success and leaves the key unchanged");
    ExpectTargetKept("restored under Wine");
  } else {
    EXPECT_EQ(ReadValue(scratch(), "Target", "AppInit_DLLs"), std::string(kDllPath) + '\0');
    EXPECT_EQ(ReadValue(scratch(), "Target", "Plain"), kPlain);
    EXPECT_TRUE(KeyExists(scratch(), "Target\\Sub"));
    EXPECT_FALSE(KeyExists(scratch(), "Target\\OnlyInTarget")) << "the old subtree must go";
    EXPECT_FALSE(ReadValue(scratch(), "Target", "Own"));
  }
  // The source is a copy's origin, not moved.
  EXPECT_EQ(ReadValue(scratch(), "Source", "Plain"), kPlain);
}

// Without REG_FORCE_RESTORE, any other handle at or below the key blocks the restore:
// https://learn.microsoft.com/en-us/windows/desktop/api/winreg/nf-winreg-regrestorekeya
TEST_F(Hive, RestoreWithoutForce) {
  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  UniqueKey fresh(reg()), other(reg());
  ASSERT_EQ(
      reg().RegCreateKeyExA(scratch(), "Fresh\\Below", 0, KEY_ALL_ACCESS, other.put(), nullptr),
      ERROR_SUCCESS);
  ASSERT_EQ(reg().RegOpenKeyExA(scratch(), "Fresh", 0, KEY_ALL_ACCESS, fresh.put()), ERROR_SUCCESS);
  const char* const blockers[] = {"Fresh\\Below", "Fresh"};
  for (const char* held : blockers) {
    ASSERT_EQ(reg().RegOpenKeyExA(scratch(), held, 0, KEY_READ, other.put()), ERROR_SUCCESS);
    const Status status = reg().RegRestoreKeyA(fresh.get(), File("saved.hiv"), 0);
    if (wine()) {
      Gap(std::string("RegRestoreKeyA without force succeeds with a handle open at ") + held);
      EXPECT_EQ(status, ERROR_SUCCESS);
    } else {
      EXPECT_EQ(status, ERROR_ACCESS_DENIED) << "a handle open at " << held;
      EXPECT_TRUE(KeyExists(scratch(), "Fresh\\Below")) << held;
    }
  }
  other.Close();
  EXPECT_EQ(reg().RegRestoreKeyA(fresh.get(), File("saved.hiv"), 0), ERROR_SUCCESS);
  if (!wine()) {
    EXPECT_EQ(ReadValue(scratch(), "Fresh", "Plain"), kPlain);
    EXPECT_FALSE(KeyExists(scratch(), "Fresh\\Below"));
  }
  // A missing file, a missing folder.
  const Status missing = reg().RegRestoreKeyA(fresh.get(), File("missing.hiv"), REG_FORCE_RESTORE);
  if (wine()) {
    Gap("RegRestoreKeyA of a missing file succeeds");
    EXPECT_EQ(missing, ERROR_SUCCESS);
  } else {
    EXPECT_EQ(missing, ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(reg().RegSaveKeyA(source, File("no folder\\saved.hiv")), ERROR_PATH_NOT_FOUND);
}

}  // namespace
}  // namespace dravlin::conformance
