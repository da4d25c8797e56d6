// Tokens, SIDs and privileges as the administrator check, the key renaming and the restart
// use them.
#include <algorithm>
#include <iostream>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Security = Conformance;

const std::array<std::uint8_t, 6> kNtAuthority = {0, 0, 0, 0, 0, 5};

SidBytes Sid(platform::Security& sec, std::uint8_t count, std::uint32_t s0, std::uint32_t s1) {
  SidBytes sid;
  EXPECT_TRUE(sec.AllocateAndInitializeSid(kNtAuthority, count, s0, s1, 0, 0, 0, 0, 0, 0, &sid));
  return sid;
}

TEST_F(Security, GetTokenInformation_TokenGroups) {
  Handle token = kSentinel;
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_NE(token, kSentinel);

  // The size query fails with 122 and reports the size needed.
  std::uint32_t needed = kSentinel;
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, nullptr, 0, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_NE(needed, kSentinel);
  ASSERT_GT(needed, 4u);

  // One byte short is still too small, and the buffer is left alone.
  TokenGroups groups;
  groups.Groups.push_back({{0xbd}, kSentinel});
  std::uint32_t length = kSentinel;
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, &groups, needed - 1, &length));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, needed);
  ASSERT_EQ(groups.Groups.size(), 1u);
  EXPECT_EQ(groups.Groups[0].Attributes, kSentinel);

  ASSERT_TRUE(sec().GetTokenInformation(token, TokenGroupsClass, &groups, needed, &length));
  EXPECT_EQ(length, TokenGroupsByteSize(groups));
  ASSERT_FALSE(groups.Groups.empty());
  for (const auto& group : groups.Groups) EXPECT_TRUE(sec().IsValidSid(group.Sid));

  const SidBytes admins = Sid(sec(), 2, 32, 544);
  const auto admin = std::find_if(groups.Groups.begin(), groups.Groups.end(),
                                  [&](const SidAndAttributes& g) { return g.Sid == admins; });
  const auto expected = target().RunsAsAdministrator();
  if (wine()) {
    Gap("the process token always holds S-1-5-32-544 (attributes 0xF): no run as a "
        "non-administrator can be had");
    ASSERT_NE(admin, groups.Groups.end());
    EXPECT_EQ(admin->Attributes, 0xFu);
  } else if (expected) {
    EXPECT_EQ(admin != groups.Groups.end(), *expected);
  } else {
    std::cout << "administrators group " << (admin != groups.Groups.end() ? "held" : "not held")
              << " (not known in advance here)" << std::endl;
  }
  EXPECT_TRUE(kernel().CloseHandle(token));
}

TEST_F(Security, OpenThreadToken_WithoutImpersonation) {
  // A thread that impersonates no one has no token of its own: callers fall back to the
  // process token.
  Handle token = kSentinel;
  EXPECT_FALSE(sec().OpenThreadToken(kernel().GetCurrentThread(), TOKEN_QUERY, true, &token));
  EXPECT_EQ(kernel().GetLastError(), 1008u) << "ERROR_NO_TOKEN";
  EXPECT_EQ(token, kSentinel);
}

TEST_F(Security, AllocateAndInitializeSid) {
  SidBytes sid = Sid(sec(), 2, 32, 544);
  const SidBytes expected = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(sid, expected);
  EXPECT_TRUE(sec().IsValidSid(sid));

  const SidBytes same = sid;
  const SidBytes users = Sid(sec(), 2, 32, 545);
  const SidBytes shorter = Sid(sec(), 1, 32, 0);
  EXPECT_TRUE(sec().EqualSid(sid, same));
  EXPECT_FALSE(sec().EqualSid(sid, users));
  EXPECT_FALSE(sec().EqualSid(sid, shorter));

  // Malformed bytes are not a SID.
  EXPECT_FALSE(sec().IsValidSid({}));
  EXPECT_FALSE(sec().IsValidSid(SidBytes(expected.begin(), expected.end() - 1)));
  SidBytes badRevision = expected;
  badRevision[0] = 2;
  EXPECT_FALSE(sec().IsValidSid(badRevision));

  sec().FreeSid(sid);
  EXPECT_TRUE(sec().IsValidSid(same)) << "freeing one SID leaves copies alone";
}

TEST_F(Security, LookupPrivilegeValueA) {
  Luid backup, restore, shutdown;
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &backup));
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &restore));
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown));
  // Windows' well-known values.
  EXPECT_EQ(backup, (Luid{17, 0}));
  EXPECT_EQ(restore, (Luid{18, 0}));
  EXPECT_EQ(shutdown, (Luid{19, 0}));
  Luid anyCase;
  EXPECT_TRUE(sec().LookupPrivilegeValueA(nullptr, "sebackupprivilege", &anyCase));
  EXPECT_EQ(anyCase, backup);

  Luid unknown{kSentinel, 0x5bd};
  EXPECT_FALSE(sec().LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &unknown));
  EXPECT_EQ(kernel().GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  EXPECT_EQ(unknown, (Luid{kSentinel, 0x5bd}));
}

TEST_F(Security, AdjustTokenPrivileges) {
  Handle token = 0;
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(),
                                     TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  Luid backup, createToken;
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &backup));
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeCreateTokenPrivilege", &createToken));
  const HKey key = Create(scratch(), "ToSave");

  // Enabling a held privilege: success, last error 0, and the privilege works.
  TokenPrivileges enable;
  enable.Privileges.push_back({backup, SE_PRIVILEGE_ENABLED});
  ASSERT_TRUE(sec().AdjustTokenPrivileges(token, false, &enable, 0));
  EXPECT_EQ(kernel().GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(reg().RegSaveKeyA(key, File("one.hiv")), ERROR_SUCCESS);

  // Disable-all ignores the record and switches everything off.
  ASSERT_TRUE(sec().AdjustTokenPrivileges(token, true, &enable, 28));
  EXPECT_EQ(reg().RegSaveKeyA(key, File("two.hiv")), ERROR_PRIVILEGE_NOT_HELD);

  // A privilege the account lacks: the call still succeeds, with 1300, and the held one
  // beside it is enabled.
  TokenPrivileges mixed;
  mixed.Privileges.push_back({createToken, SE_PRIVILEGE_ENABLED});
  mixed.Privileges.push_back({backup, SE_PRIVILEGE_ENABLED});
  EXPECT_TRUE(sec().AdjustTokenPrivileges(token, false, &mixed, 0));
  EXPECT_EQ(kernel().GetLastError(), ERROR_NOT_ALL_ASSIGNED);
  EXPECT_EQ(reg().RegSaveKeyA(key, File("three.hiv")), ERROR_SUCCESS);

  // Attributes 0 disable just that privilege.
  TokenPrivileges disable;
  disable.Privileges.push_back({backup, 0});
  EXPECT_TRUE(sec().AdjustTokenPrivileges(token, false, &disable, 0));
  EXPECT_EQ(kernel().GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(reg().RegSaveKeyA(key, File("four.hiv")), ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_TRUE(kernel().CloseHandle(token));
}

}  // namespace
}  // namespace dravlin::conformance
