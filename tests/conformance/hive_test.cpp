// Saving keys to hive files and restoring them: the privileges they need, what the file holds,
// what a restore does to the key. Wine's versions of both calls differ from Windows; each
// difference is named where it occurs and Wine's own behaviour checked instead.
#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

constexpr const char* kDllPath = "C:\\WINDOWS\\system32\\qzhook.dll";
const std::string kPlain("qzplain.dll\0", 12);
const std::string kMine("mine\0", 5);

// A source with the DLL path, a value without backslashes and a subkey; a target with a value
// and a subkey of its own.
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
  void ExpectTargetKept(const std::string& context) {
    EXPECT_EQ(ReadValue(scratch(), "Target", "Own"), kMine) << context;
    EXPECT_TRUE(KeyExists(scratch(), "Target\\OnlyInTarget")) << context;
    EXPECT_FALSE(ReadValue(scratch(), "Target", "Plain")) << context;
  }
  // Checks a call's status where Wine is known to answer success instead.
  void ExpectStatus(Status got, Status windows, const std::string& gap) {
    if (wine()) {
      Gap(gap);
      EXPECT_EQ(got, ERROR_SUCCESS) << gap;
    } else {
      EXPECT_EQ(got, windows) << gap;
    }
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
    EXPECT_EQ(ReadFileBytes(File("nobackup.hiv")), "");
  } else {
    EXPECT_EQ(shell().PathFileExistsA(File("nobackup.hiv")), !nt());
  }
  // NT keeps string data as UTF-16 and saves it so; only DOS-based Windows' files hold the ANSI
  // bytes that a byte search finds:
  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-rrp/3d64dbea-f016-4373-8cac-e43bf343837d
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  const std::string bytes = ReadFileBytes(File("saved.hiv")).value_or("");
  if (wine()) {
    EXPECT_NE(bytes.find("qzplain.dll"), std::string::npos);
    Gap("RegSaveKeyA writes Wine's text format (\"WINE REGISTRY Version 2\") with backslashes "
        "doubled, not a hive image holding data bytes verbatim");
    EXPECT_EQ(bytes.rfind("WINE REGISTRY Version 2", 0), 0u);
    EXPECT_EQ(bytes.find(kDllPath), std::string::npos);
    EXPECT_NE(bytes.find("C:\\\\WINDOWS\\\\system32\\\\qzhook.dll"), std::string::npos);
  } else {
    std::string wide;
    for (const char c : std::string(kDllPath)) wide += std::string{c, '\0'};
    EXPECT_EQ(bytes.find(kDllPath) != std::string::npos, !nt());
    EXPECT_EQ(bytes.find(wide) != std::string::npos, nt());
  }

  WriteTextFile(File("exists.hiv"), "left from an earlier run");
  const Status status = reg().RegSaveKeyA(source, File("exists.hiv"));
  const std::string existing = ReadFileBytes(File("exists.hiv")).value_or("");
  ExpectStatus(status, ERROR_ALREADY_EXISTS,
               "RegSaveKeyA overwrites an existing file and succeeds (Windows: 183)");
  EXPECT_EQ(existing == "left from an earlier run\r\n", !wine()) << "the file must stay as it was";
  EXPECT_EQ(reg().RegSaveKeyA(source, File("no folder\\saved.hiv")), ERROR_PATH_NOT_FOUND);
}

TEST_F(Hive, RegRestoreKeyA) {
  SetPrivileges({"SeBackupPrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  ExpectStatus(reg().RegRestoreKeyA(target, File("saved.hiv"), REG_FORCE_RESTORE),
               ERROR_PRIVILEGE_NOT_HELD,
               "RegRestoreKeyA is a stub: it succeeds without the restore privilege and restores "
               "nothing");
  ExpectTargetKept("without the restore privilege");

  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  const std::string saved = ReadFileBytes(File("saved.hiv")).value_or("");
  WriteTextFile(File("truncated.hiv"), saved.substr(0, saved.size() / 2));
  WriteTextFile(File("junk.hiv"), "this is no hive at all");
  for (const char* name : {"truncated.hiv", "junk.hiv"}) {
    ExpectStatus(reg().RegRestoreKeyA(target, File(name), REG_FORCE_RESTORE),
                 ERROR_REGISTRY_CORRUPT,
                 std::string("RegRestoreKeyA accepts a corrupt file (") + name + ") with success");
    ExpectTargetKept(name);
  }
  ExpectStatus(reg().RegRestoreKeyA(target, File("missing.hiv"), REG_FORCE_RESTORE),
               ERROR_FILE_NOT_FOUND, "RegRestoreKeyA of a missing file succeeds");

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
  EXPECT_EQ(ReadValue(scratch(), "Source", "Plain"), kPlain) << "the source stays";
}

// Without REG_FORCE_RESTORE, any other handle at or below the key blocks the restore:
// https://learn.microsoft.com/en-us/windows/desktop/api/winreg/nf-winreg-regrestorekeya
TEST_F(Hive, RestoreWithoutForce) {
  SetPrivileges({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(reg().RegSaveKeyA(source, File("saved.hiv")), ERROR_SUCCESS);
  const HKey fresh = Create(scratch(), "Fresh");
  UniqueKey other(reg());
  ASSERT_EQ(
      reg().RegCreateKeyExA(scratch(), "Fresh\\Below", 0, KEY_ALL_ACCESS, other.put(), nullptr),
      ERROR_SUCCESS);
  for (const char* held : {"Fresh\\Below", "Fresh"}) {
    ASSERT_EQ(reg().RegOpenKeyExA(scratch(), held, 0, KEY_READ, other.put()), ERROR_SUCCESS);
    ExpectStatus(
        reg().RegRestoreKeyA(fresh, File("saved.hiv"), 0), ERROR_ACCESS_DENIED,
        std::string("RegRestoreKeyA without force succeeds with a handle open at ") + held);
    EXPECT_TRUE(KeyExists(scratch(), "Fresh\\Below")) << held;
  }
  other.Close();
  EXPECT_EQ(reg().RegRestoreKeyA(fresh, File("saved.hiv"), 0), ERROR_SUCCESS);
  if (!wine()) {
    EXPECT_EQ(ReadValue(scratch(), "Fresh", "Plain"), kPlain);
    EXPECT_FALSE(KeyExists(scratch(), "Fresh\\Below"));
  }
}

}  // namespace
}  // namespace dravlin::conformance
