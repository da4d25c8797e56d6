// Hive images on the simulated drive: a restore refuses anything damaged and changes nothing;
// the reader survives hostile lengths, counts, names and random damage.
#include <random>

#include "fixture.h"
#include "platform/sim/internal.h"

namespace dravlin::sim::testing {
namespace {

using SimHive = SimTest;

TEST_F(SimHive, RestoreRefusesDamagedImagesAndKeepsTheKey) {
  Enable({"SeBackupPrivilege", "SeRestorePrivilege"});
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src\\Sub", "", REG_BINARY, std::string("\0\xff", 2));
  m.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "keep", REG_SZ, "x");
  ASSERT_EQ(0u, Save("SOFTWARE\\Src", "C:\\h.hiv"));
  const std::string image = *m.ReadFile("C:\\h.hiv");
  std::string flipped = image;
  flipped[flipped.size() / 2] ^= 0x40;  // one bit
  const std::pair<const char*, std::string> damaged[] = {
      {"C:\\cut.hiv", image.substr(0, image.size() - 3)},
      {"C:\\flip.hiv", flipped},
      {"C:\\text.hiv", "REGEDIT4\r\n"},
      {"C:\\empty.hiv", ""},
  };
  for (const auto& [file, bytes] : damaged) {
    m.WriteFile(file, bytes);
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, Restore("SOFTWARE\\Dst", file)) << file;
  }
  EXPECT_EQ("x", m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst", "keep")->data);
  EXPECT_EQ(1u, m.ExportTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst").size());
  // The intact image restores, and holds the data bytes verbatim.
  EXPECT_NE(std::string::npos, image.find(std::string("\0\xff", 2)));
  ASSERT_EQ(0u, Restore("SOFTWARE\\Dst", "C:\\h.hiv"));
  EXPECT_EQ(std::string("\0\xff", 2),
            m.GetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dst\\Sub", "")->data);
}

std::string U32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

// An image with a correct header and checksum around any payload, so the reader's inner checks
// are what gets exercised.
std::string Framed(const std::string& payload) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : payload) {
    crc ^= ch;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return detail::WriteHive(detail::Key{}).substr(0, 8) + U32(1) +
         U32(static_cast<std::uint32_t>(payload.size())) + U32(crc ^ 0xFFFFFFFFu) + payload;
}

TEST(SimHiveReader, RejectsHostileLengthsCountsAndNames) {
  // A key is: name length, name, value count, values, subkey count, subkeys.
  const std::string none = U32(0) + U32(0) + U32(0);
  EXPECT_TRUE(detail::ReadHive(Framed(none)).has_value());
  // A complete tree 2,000 keys deep.
  std::string nested = U32(0) + U32(0) + U32(1);
  for (int i = 0; i < 2000; ++i) nested += U32(1) + "k" + U32(0) + U32(1);
  nested += U32(1) + "k" + U32(0) + U32(0);
  const auto child = [](const std::string& name) { return U32(1) + name + U32(0) + U32(0); };
  const std::string hostile[] = {
      U32(0) + U32(0xFFFFFFFF) + U32(0),  // counts far beyond the input
      U32(0) + U32(0) + U32(0x7FFFFFFF),
      U32(0xFFFFFFF0),  // a name longer than the input
      nested,           // nesting deeper than any real key
      // Subkey names with a backslash, empty, or twice under one key.
      U32(0) + U32(0) + U32(1) + U32(3) + "a\\b" + U32(0) + U32(0),
      U32(0) + U32(0) + U32(1) + U32(0) + U32(0) + U32(0),
      U32(0) + U32(0) + U32(2) + child("a") + child("A"),
      none + "x",  // trailing bytes after the tree
  };
  for (const auto& payload : hostile) {
    EXPECT_FALSE(detail::ReadHive(Framed(payload)).has_value()) << payload.size();
  }
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
