// The machine's hive restore: a file of any bytes is either refused with 1015 and changes
// nothing, or restored into a tree that saves and restores again to the same tree. The first
// byte chooses whether the rest is taken as it is or wrapped in a correct header and checksum,
// so that the payload reader sees inputs that get past the checksum.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/key.h"

using namespace dravlin;
using platform::HKEY_LOCAL_MACHINE;

namespace {

std::uint32_t Crc32(std::string_view data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char ch : data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
}

bool SameTrees(const std::vector<sim::KeySnapshot>& a, const std::vector<sim::KeySnapshot>& b) {
  const auto sameValue = [](const sim::NamedValue& x, const sim::NamedValue& y) {
    return x.name == y.name && x.value == y.value;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](const auto& x, const auto& y) {
    return x.path == y.path && std::equal(x.values.begin(), x.values.end(), y.values.begin(),
                                          y.values.end(), sameValue);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool wrap = (data[0] & 1u) != 0;
  const std::uint32_t flags = (data[0] & 2u) != 0 ? 0u : platform::REG_FORCE_RESTORE;
  const std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string image;
  if (wrap) {
    image = "DRVHIVE1";
    PutU32(image, 1);
    PutU32(image, static_cast<std::uint32_t>(payload.size()));
    PutU32(image, Crc32(payload));
  }
  image += payload;

  // DOS-based: restoring needs no privilege there.
  fuzz::FuzzMachine machine("win98", [](sim::Machine& m) {
    m.SetString(HKEY_LOCAL_MACHINE, "Target", "Before", "restore");
    m.SetString(HKEY_LOCAL_MACHINE, "Target\\Sub", "Deep", "value");
    m.CreateKey(HKEY_LOCAL_MACHINE, "Copy");
  });
  sim::Machine& m = machine.m();
  m.WriteFile("C:\\hive.bin", image);
  m.Boot();
  const auto before = m.ExportTree(HKEY_LOCAL_MACHINE, "Target");

  platform::Registry& reg = m.services().registry;
  platform::UniqueKey target(reg);
  fuzz::Check(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Target", 0, platform::KEY_ALL_ACCESS,
                                target.put()) == 0,
              "open the target");
  const platform::Status restored = reg.RegRestoreKeyA(target.get(), "C:\\hive.bin", flags);
  if (restored != 0) {
    fuzz::Check(restored == platform::ERROR_REGISTRY_CORRUPT,
                "a refused image gives 1015, not " + std::to_string(restored));
    fuzz::Check(SameTrees(before, m.ExportTree(HKEY_LOCAL_MACHINE, "Target")),
                "a refused image changed the key");
    return 0;
  }
  const auto after = m.ExportTree(HKEY_LOCAL_MACHINE, "Target");
  fuzz::Check(reg.RegSaveKeyA(target.get(), "C:\\again.bin") == 0, "save the restored key");
  platform::UniqueKey copy(reg);
  fuzz::Check(
      reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Copy", 0, platform::KEY_ALL_ACCESS, copy.put()) == 0,
      "open the copy");
  fuzz::Check(reg.RegRestoreKeyA(copy.get(), "C:\\again.bin", platform::REG_FORCE_RESTORE) == 0,
              "a saved image is restored");
  fuzz::Check(SameTrees(after, m.ExportTree(HKEY_LOCAL_MACHINE, "Copy")),
              "save and restore changed the tree");
  return 0;
}
