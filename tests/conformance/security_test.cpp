// Tokens, SIDs and privileges as the administrator check, the key renaming and the restart
// use them.
#include <algorithm>
#include <vector>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Security = Conformance;

SidBytes Sid(platform::Security& sec, std::uint8_t count, std::uint32_t s0, std::uint32_t s1) {
  SidBytes sid;
  EXPECT_TRUE(
      sec.AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, count, s0, s1, 0, 0, 0, 0, 0, 0, &sid));
  return sid;
}

TEST_F(Security, TokenGroups) {
  // A thread that impersonates no one has no token of its own (1008): callers fall back to the
  // process token.
  Handle token = kSentinel;
  EXPECT_FALSE(sec().OpenThreadToken(kernel().GetCurrentThread(), TOKEN_QUERY, true, &token));
  EXPECT_EQ(kernel().GetLastError(), 1008u);
  EXPECT_EQ(token, kSentinel);
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(), TOKEN_QUERY, &token));
  // The size query fails with 122 and reports the size needed; one byte short is still too
  // small, and the buffer is left alone.
  std::uint32_t needed = kSentinel, length = kSentinel;
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, nullptr, 0, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  TokenGroups groups;
  groups.Groups.push_back({{0xbd}, kSentinel});
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, &groups, needed - 1, &length));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(groups.Groups.size() + groups.Groups[0].Attributes, 1 + kSentinel);
  ASSERT_TRUE(sec().GetTokenInformation(token, TokenGroupsClass, &groups, needed, &length));
  // The 32-bit layout: the count, a SID pointer and attributes per group, then the SIDs.
  std::uint32_t size = 4;
  for (const auto& group : groups.Groups) {
    EXPECT_TRUE(sec().IsValidSid(group.Sid));
    size += 8 + static_cast<std::uint32_t>(group.Sid.size());
  }
  EXPECT_EQ(length, size);
  const SidBytes admins = Sid(sec(), 2, 32, 544);
  const auto admin = std::find_if(groups.Groups.begin(), groups.Groups.end(),
                                  [&](const SidAndAttributes& g) { return g.Sid == admins; });
  if (wine()) {
    Gap("the process token always holds S-1-5-32-544 (attributes 0xF): no run as a "
        "non-administrator can be had");
    ASSERT_NE(admin, groups.Groups.end());
    EXPECT_EQ(admin->Attributes, 0xFu);
  } else if (const auto expected = target().RunsAsAdministrator()) {
    EXPECT_EQ(admin != groups.Groups.end(), *expected);
  }
  EXPECT_TRUE(kernel().CloseHandle(token));
}

TEST_F(Security, SidsAndPrivilegeNames) {
  SidBytes sid = Sid(sec(), 2, 32, 544);
  const SidBytes expected = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(sid, expected);
  const SidBytes copy = sid;
  EXPECT_TRUE(sec().EqualSid(sid, copy));
  EXPECT_FALSE(sec().EqualSid(sid, Sid(sec(), 2, 32, 545)));
  EXPECT_FALSE(sec().EqualSid(sid, Sid(sec(), 1, 32, 0)));
  // Malformed bytes are not a SID: empty, cut short, another revision.
  SidBytes badRevision = expected;
  badRevision[0] = 2;
  for (const SidBytes& bad :
       {SidBytes{}, SidBytes(expected.begin(), expected.end() - 1), badRevision}) {
    EXPECT_FALSE(sec().IsValidSid(bad)) << bad.size();
  }
  sec().FreeSid(sid);
  EXPECT_TRUE(sec().IsValidSid(copy)) << "freeing one SID leaves copies alone";

  // Windows' well-known values, found in any case.
  const std::pair<const char*, Luid> known[] = {{"SeBackupPrivilege", {17, 0}},
                                                {"serestoreprivilege", {18, 0}},
                                                {"SeShutdownPrivilege", {19, 0}}};
  for (const auto& [name, value] : known) {
    Luid luid;
    ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, name, &luid)) << name;
    EXPECT_EQ(luid, value) << name;
  }
  Luid unknown{kSentinel, 0x5bd};
  EXPECT_FALSE(sec().LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &unknown));
  EXPECT_EQ(kernel().GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  EXPECT_EQ(unknown, (Luid{kSentinel, 0x5bd}));
}

// Each token handle carries the access it was opened with: adjusting needs
// TOKEN_ADJUST_PRIVILEGES, reading the groups TOKEN_QUERY; handle 0 is no token (6). Each step's
// effect shows in whether a key can be saved, which needs the backup privilege.
TEST_F(Security, AdjustTokenPrivileges) {
  Handle token = 0, queryOnly = 0;
  ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
  ASSERT_TRUE(
      sec().OpenProcessToken(kernel().GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  Luid backup, createToken;
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &backup));
  ASSERT_TRUE(sec().LookupPrivilegeValueA(nullptr, "SeCreateTokenPrivilege", &createToken));
  const LuidAndAttributes on{backup, SE_PRIVILEGE_ENABLED}, off{backup, 0},
      lacking{createToken, SE_PRIVILEGE_ENABLED};
  for (const Handle refused : {queryOnly, Handle{0}}) {
    const TokenPrivileges state{{on}};
    EXPECT_FALSE(sec().AdjustTokenPrivileges(refused, false, &state, 0));
    EXPECT_EQ(kernel().GetLastError(), refused ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  }
  std::uint32_t needed = 0;
  EXPECT_FALSE(sec().GetTokenInformation(token, TokenGroupsClass, nullptr, 0, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_ACCESS_DENIED);

  struct Step {
    const char* what;
    bool disableAll;
    std::vector<LuidAndAttributes> privileges;
    Status lastError;
    Status save;
  };
  const Step steps[] = {
      {"enable a held one", false, {on}, ERROR_SUCCESS, ERROR_SUCCESS},
      {"disable all, ignoring the record", true, {on}, ERROR_SUCCESS, ERROR_PRIVILEGE_NOT_HELD},
      // Success with 1300, and the held one beside the lacking one is enabled.
      {"one lacking", false, {lacking, on}, ERROR_NOT_ALL_ASSIGNED, ERROR_SUCCESS},
      {"attributes 0 disable just that one", false, {off}, ERROR_SUCCESS, ERROR_PRIVILEGE_NOT_HELD},
  };
  const HKey key = Create(scratch(), "ToSave");
  int file = 0;
  for (const Step& step : steps) {
    const TokenPrivileges state{step.privileges};
    EXPECT_TRUE(sec().AdjustTokenPrivileges(token, step.disableAll, &state, 0)) << step.what;
    if (!step.disableAll) {
      EXPECT_EQ(kernel().GetLastError(), step.lastError) << step.what;
    }
    EXPECT_EQ(reg().RegSaveKeyA(key, File("step" + std::to_string(++file) + ".hiv")), step.save)
        << step.what;
  }
  EXPECT_TRUE(kernel().CloseHandle(token));
  EXPECT_TRUE(kernel().CloseHandle(queryOnly));
}

}  // namespace
}  // namespace dravlin::conformance
