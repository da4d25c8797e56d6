// The machine's hive restore: a file of any bytes is either refused with 1015 and changes
// nothing, or restored into a tree that saves and restores again to the same tree. The first
// byte chooses whether the rest is taken as it is or wrapped in a correct header and checksum,
// so that the payload reader sees inputs that get past the checksum.
#include <array>
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

// A tree as (path, values) pairs, paths below the walked key.
std::vector<sim::KeySnapshot> Tree(const sim::Machine& m, const std::string& path) {
  return m.ExportTree(HKEY_LOCAL_MACHINE, path);
}

bool SameTrees(const std::vector<sim::KeySnapshot>& a, const std::vector<sim::KeySnapshot>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].path != b[i].path || a[i].values.size() != b[i].values.size()) return false;
    for (std::size_t j = 0; j < a[i].values.size(); ++j) {
      if (a[i].values[j].name != b[i].values[j].name ||
          !(a[i].values[j].value == b[i].values[j].value)) {
        return false;
      }
    }
  }
  return true;
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
  const auto before = Tree(m, "Target");

  platform::Registry& reg = m.services().registry;
  platform::UniqueKey target(reg);
  fuzz::Check(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Target", 0, platform::KEY_ALL_ACCESS,
                                target.put()) == 0,
              "open the target");
  const platform::Status restored = reg.RegRestoreKeyA(target.get(), "C:\\hive.bin", flags);
  if (restored != 0) {
    fuzz::Check(restored == platform::ERROR_REGISTRY_CORRUPT,
                "a refused image gives 1015, not " + std::to_string(restored));
    fuzz::Check(SameTrees(before, Tree(m, "Target")), "a refused image changed the key");
    return 0;
  }
  const auto after = Tree(m, "Target");
  fuzz::Check(reg.RegSaveKeyA(target.get(), "C:\\again.bin") == 0, "save the restored key");
  platform::UniqueKey copy(reg);
  fuzz::Check(
      reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Copy", 0, platform::KEY_ALL_ACCESS, copy.put()) == 0,
      "open the copy");
  fuzz::Check(reg.RegRestoreKeyA(copy.get(), "C:\\again.bin", platform::REG_FORCE_RESTORE) == 0,
              "a saved image is restored");
  fuzz::Check(SameTrees(after, Tree(m, "Copy")), "save and restore changed the tree");
  return 0;
}
