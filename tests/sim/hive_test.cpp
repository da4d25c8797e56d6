// Saving keys to hive files and restoring them: privileges, file rules, the image itself and
// its reader's behaviour on damaged or hostile input.
#include <random>

#include "fixture.h"
#include "platform/sim/internal.h"

namespace dravlin::sim::testing {
namespace {

class SimHive : public SimTest {
 protected:
  void SetUp() override {
    m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", "Path", REG_SZ,
               std::string("C:\\WINDOWS\\system32\\bad.dll\0", 29));
    m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", "Num", REG_DWORD, std::string("\1\0\0\0", 4));
    m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src\\Sub\\Deep", "", REG_BINARY,
               std::string("\0\xff", 2));
  }
  Status Save(const std::string& path, const std::string& file) {
    UniqueKey k(reg);
    if (Status st = reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, k.put()))
      return st;
    return reg.RegSaveKeyA(k.get(), file);
  }
  Status Restore(const std::string& path, const std::string& file,
                 std::uint32_t flags = REG_FORCE_RESTORE) {
    UniqueKey k(reg);
    if (Status st =
            reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, k.put(), nullptr))
      return st;
    return reg.RegRestoreKeyA(k.get(), file, flags);
  }
};

TEST_F(SimHive, SaveNeedsTheEnabledBackupPrivilegeOnNtOnly) {
  EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, Save("SOFTWARE\\Src", "C:\\h.hiv")) << "held but not enabled";
  EXPECT_FALSE(m.FileExists("C:\\h.hiv"));
  Enable({"SeBackupPrivilege"});
  EXPECT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));

  Machine dos(dir.path() / "dos");
  dos.SetVersionPreset("win98");
  dos.SetValue(HKEY_LOCAL_MACHINE, "Software\\K", "v", REG_SZ, "x");
  UniqueKey k(dos.services().registry);
  ASSERT_EQ(0u, dos.services().registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\K", 0,
                                                      KEY_ALL_ACCESS, k.put()));
  EXPECT_EQ(0u, dos.services().registry.RegSaveKeyA(k.get(), "c:\\HjRuOn.txt"));
  EXPECT_TRUE(dos.FileExists("C:\\hjruon.TXT"));
}

TEST_F(SimHive, SaveRefusesAnExistingFileAndAMissingFolder) {
  Enable({"SeBackupPrivilege"});
  m.WriteFile("C:\\RegTemp.txt", "old");
  EXPECT_EQ(ERROR_ALREADY_EXISTS, Save("SOFTWARE\\Src", "C:\\regtemp.TXT"));
  EXPECT_EQ("old", *m.ReadFile("C:\\RegTemp.txt"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Save("SOFTWARE\\Src", "C:\\no\\such\\h.hiv"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Save("SOFTWARE\\Src", "D:\\h.hiv"));
}

TEST_F(SimHive, TheImageHoldsEveryValueVerbatim) {
  Enable({"SeBackupPrivilege"});
  ASSERT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));
  const std::string image = *m.ReadFile("C:\\h.hiv");
  EXPECT_NE(std::string::npos, image.find("C:\\WINDOWS\\system32\\bad.dll"));
  EXPECT_NE(std::string::npos, image.find(std::string("\0\xff", 2)));
}

TEST_F(SimHive, RestoreWithForceReplacesTheWholeSubtree) {
  Enable({"SeBackupPrivilege", "SeRestorePrivilege"});
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "OnlyTarget", REG_SZ, "x");
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\TargetSub", "v", REG_SZ, "y");
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Sub", "stale", REG_SZ, "z");
  UniqueKey staleHandle(reg);
  ASSERT_EQ(0u, reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\TargetSub", 0, KEY_READ,
                                  staleHandle.put()));
  ASSERT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));
  ASSERT_EQ(0u, Restore("SOFTWARE\\Dst", "C:\\h.hiv"));

  EXPECT_EQ(m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src").size(),
            m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst").size());
  const auto src = m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src");
  const auto dst = m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst");
  for (std::size_t i = 0; i < src.size() && i < dst.size(); ++i) {
    EXPECT_EQ(src[i].path, dst[i].path);
    ASSERT_EQ(src[i].values.size(), dst[i].values.size());
    for (std::size_t j = 0; j < src[i].values.size(); ++j) {
      EXPECT_EQ(src[i].values[j].name, dst[i].values[j].name);
      EXPECT_EQ(src[i].values[j].value, dst[i].values[j].value);
    }
  }
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "OnlyTarget"));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\TargetSub"));
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Sub", "stale"));
  std::string out;
  EXPECT_EQ(ERROR_KEY_DELETED, Query(staleHandle.get(), "v", 4, &out));
  // The source stays: a restore copies.
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src\\Sub\\Deep"));
}

TEST_F(SimHive, RestoreNeedsTheRestorePrivilegeAndAnIntactFile) {
  Enable({"SeBackupPrivilege"});
  ASSERT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "keep", REG_SZ, "x");
  EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, Restore("SOFTWARE\\Dst", "C:\\h.hiv"));
  Enable({"SeRestorePrivilege"});
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Restore("SOFTWARE\\Dst", "C:\\missing.hiv"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Restore("SOFTWARE\\Dst", "C:\\nodir\\h.hiv"));

  const std::string image = *m.ReadFile("C:\\h.hiv");
  m.WriteFile("C:\\cut.hiv", image.substr(0, image.size() - 3));
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, Restore("SOFTWARE\\Dst", "C:\\cut.hiv"));
  std::string flipped = image;
  flipped[flipped.size() / 2] ^= 0x40;
  m.WriteFile("C:\\flip.hiv", flipped);
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, Restore("SOFTWARE\\Dst", "C:\\flip.hiv"));
  m.WriteFile("C:\\text.hiv", "REGEDIT4\r\n");
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, Restore("SOFTWARE\\Dst", "C:\\text.hiv"));
  // Nothing changed by the refused restores.
  EXPECT_EQ("x", m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "keep")->data);
  EXPECT_EQ(1u, m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst").size());
}

TEST_F(SimHive, RestoreWithoutForceIsBlockedByOpenSubkeys) {
  Enable({"SeBackupPrivilege", "SeRestorePrivilege"});
  ASSERT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Busy", "v", REG_SZ, "x");
  UniqueKey busy(reg);
  ASSERT_EQ(0u,
            reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Busy", 0, KEY_READ, busy.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Restore("SOFTWARE\\Dst", "C:\\h.hiv", 0));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Busy"));
  busy.Close();
  EXPECT_EQ(0u, Restore("SOFTWARE\\Dst", "C:\\h.hiv", 0));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Busy"));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Sub\\Deep"));
  EXPECT_EQ(0u, m.OpenKeyHandles());
}

// Builds an image with a correct header around any payload, so the reader's inner checks
// are what gets exercised.
std::string Framed(const std::string& payload) {
  detail::Key empty;
  std::string header = detail::WriteHive(empty).substr(0, 8);
  auto put = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put(1);
  put(static_cast<std::uint32_t>(payload.size()));
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : payload) {
    crc ^= ch;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  put(crc ^ 0xFFFFFFFFu);
  return header + payload;
}

std::string U32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

TEST(SimHiveReader, RejectsHostileLengthsCountsAndNames) {
  // A well-framed empty key parses.
  EXPECT_TRUE(detail::ReadHive(Framed(U32(0) + U32(0) + U32(0))).has_value());
  // Counts far beyond the input, a name length beyond the input, endless nesting.
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0) + U32(0xFFFFFFFF) + U32(0))));
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0) + U32(0) + U32(0x7FFFFFFF))));
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0xFFFFFFF0))));
  std::string nested;
  for (int i = 0; i < 2000; ++i) nested += U32(1) + "k" + U32(0) + U32(1);
  EXPECT_FALSE(detail::ReadHive(Framed(nested)));
  // Subkey names with a backslash, empty, or twice under one key.
  EXPECT_FALSE(
      detail::ReadHive(Framed(U32(0) + U32(0) + U32(1) + U32(3) + "a\\b" + U32(0) + U32(0))));
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0) + U32(0) + U32(1) + U32(0) + U32(0) + U32(0))));
  const std::string child = U32(1) + "a" + U32(0) + U32(0);
  const std::string childUpper = U32(1) + "A" + U32(0) + U32(0);
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0) + U32(0) + U32(2) + child + childUpper)));
  // Trailing bytes after the tree.
  EXPECT_FALSE(detail::ReadHive(Framed(U32(0) + U32(0) + U32(0) + "x")));
}

TEST(SimHiveReader, RoundTripsAndSurvivesRandomDamage) {
  detail::Key root;
  root.name = "Windows";
  root.values.push_back({"AppInit_DLLs", {REG_SZ, std::string("a\0b\0", 4)}});
  root.values.push_back({"", {REG_DWORD, std::string(4, '\0')}});
  root.Add("Sub")->Add("Deeper")->values.push_back({"x", {99, std::string(1000, 'z')}});
  const std::string image = detail::WriteHive(root);
  auto back = detail::ReadHive(image);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(detail::WriteHive(**back), image);

  std::mt19937 rng(12345);
  for (int i = 0; i < 2000; ++i) {
    std::string damaged = image;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) damaged[rng() % damaged.size()] = static_cast<char>(rng());
    if (rng() % 2) damaged.resize(rng() % damaged.size());
    if (damaged == image) continue;
    EXPECT_FALSE(detail::ReadHive(damaged).has_value()) << "edit " << i;
  }
}

}  // namespace
}  // namespace dravlin::sim::testing
