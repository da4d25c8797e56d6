// Hostile contents: megabyte values, ten thousand browser objects, names longer than Windows
// allows, a huge key file, and machine folders whose files are cut short, binary or huge. The
// program must not crash or balloon, and its rules must still pick exactly what they should.
// How the time grows with these sizes is measured in bench/, not here.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <tuple>

#include "app/rehearsal/machine_changes.h"
#include "harness.h"
#include "platform/sim/persist/machine_folder.h"

namespace dravlin::reliability {
namespace {

namespace fs = std::filesystem;
namespace persist = sim::persist;
namespace rehearsal = dravlin::rehearsal;

// A ceiling for the whole test process, sanitizers included (these tests peak at 130 to 420 MB
// under ASan): a text copied once per character, or a list that never ends, goes far beyond it.
constexpr long kPeakMemoryCeilingMb = 1024;

long PeakMemoryMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(gen() & 0xFFu);
  return bytes;
}

std::string Clsid(std::size_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "{00000000-0000-4000-8000-%012zu}", n);
  return text;
}

bool Registered(const sim::Machine& m, const std::string& clsid) {
  return m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
}

// Runs the steps of the road, one per expected outcome, and checks what every hostile road must
// keep: no crash, error entries complete, nothing of the Windows key or the service entry lost,
// memory bounded. between(i) runs after the i-th restart, before the program starts.
std::vector<RunResult> Drive(Rig& rig, const std::vector<Outcome>& outcomes,
                             const std::function<void(std::size_t)>& between = {}) {
  std::vector<RunResult> runs;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const auto arm = [&] {
      if (between) between(i);
    };
    runs.push_back(i == 0 ? rig.RunByHand() : rig.RunAfterRestart(arm));
    EXPECT_FALSE(runs.back().crashed);
    EXPECT_TRUE(runs.back().errorEntriesWellFormed);
    EXPECT_EQ(runs.back().outcome, outcomes[i]) << ::testing::PrintToString(runs.back().log);
  }
  EXPECT_TRUE(rig.Missing().empty()) << Describe(rig.Missing());
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
  return runs;
}

const std::vector<Outcome> kTwoSteps = {Outcome::Restart, Outcome::Disinfected};
const std::string kHijackedObject = "{DEADBEEF-0000-4000-8000-000000000001}";
const std::string kGoodObject = "{11111111-2222-3333-4444-555555555555}";

TEST(HostileContents, FiveMegabyteAutoLoadValues) {
  // Blanks name no DLL: the key is parked intact, and the second step puts it back with the
  // value emptied.
  Rig blank(Road::XpClean);
  const sim::RegValue blanks{platform::REG_SZ, std::string(5u << 20, ' ') + '\0'};
  blank.machine().SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", blanks.type, blanks.data);
  Drive(blank, {Outcome::Restart, Outcome::CleanupError}, [&](std::size_t) {
    EXPECT_FALSE(blank.machine().KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
    EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs"), blanks);
  });
  EXPECT_TRUE(blank.LiveKeyComplete());
  EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs"),
            (sim::RegValue{platform::REG_SZ, ""}));

  // Text is not the hidden entry: not infected, and nothing changes.
  Rig text(Road::XpClean);
  std::string words(5u << 20, 'x');
  for (std::size_t i = 0; i < words.size(); i += 7) words[i] = ' ';
  text.machine().SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, words);
  const auto before = rehearsal::SnapshotRegistry(text.machine());
  Drive(text, {Outcome::NotInfected});
  const auto changes = rehearsal::DiffRegistry(before, rehearsal::SnapshotRegistry(text.machine()));
  EXPECT_TRUE(changes.empty()) << rehearsal::FormatRegistryChanges(changes);
}

TEST(HostileContents, WindowsKeyNestedDeeperThanAHiveImageHolds) {
  Rig rig(Road::XpInfected);
  std::string deepest = kLiveKey;
  for (int i = 0; i < 600; ++i) deepest += "\\Nest";
  rig.machine().SetString(HKEY_LOCAL_MACHINE, deepest, "Bottom", "kept");
  // The copy through a hive file cannot carry it: the failure is logged, nothing moves.
  const auto runs = Drive(rig, {Outcome::Restart});
  EXPECT_GT(runs[0].errorEntries, 0u) << ::testing::PrintToString(runs[0].log);
  EXPECT_TRUE(rig.LiveKeyComplete());
  EXPECT_EQ(rig.machine().GetValue(HKEY_LOCAL_MACHINE, deepest, "Bottom"),
            (sim::RegValue{platform::REG_SZ, std::string("kept\0", 5)}));
}

TEST(HostileContents, OfTenThousandObjectsExactlyTheThreeMatchingOnesGo) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  // The road registers one matching object (listed last) and one ordinary one. Two more match:
  // the first in the list and one in the middle; the rest are ordinary.
  const std::map<std::size_t, std::string> matching = {
      {0, "C:\\Program Files\\Other\\QZHOOK.DLL"},
      {5000, "C:\\WINDOWS\\Downloaded Program Files\\qzhook.dll"}};
  for (std::size_t i = 0; i < 9998; ++i) {
    const auto match = matching.find(i);
    AddBho(m, Clsid(i),
           match != matching.end()
               ? match->second
               : "C:\\Program Files\\Vendor " + std::to_string(i) + "\\plugin.dll");
    if (match != matching.end()) m.WriteFile(match->second, "MZ");
  }
  ASSERT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 10000u);
  Drive(rig, kTwoSteps);
  EXPECT_TRUE(rig.Disinfected());
  EXPECT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 9997u);
  for (const auto& [i, dll] : matching) {
    EXPECT_FALSE(Registered(m, Clsid(i))) << i;
    EXPECT_FALSE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + Clsid(i))) << i;
    EXPECT_FALSE(m.FileExists(dll)) << dll;
  }
  // Listed after nearly ten thousand others: a list cut short leaves it in place.
  EXPECT_FALSE(Registered(m, kHijackedObject));
  EXPECT_TRUE(Registered(m, kGoodObject));
  EXPECT_TRUE(Registered(m, Clsid(9997)));
}

TEST(HostileContents, ObjectNamesLongerThanWindowsAllowsAreLeftAlone) {
  Rig rig(Road::XpInfected);
  // Windows keeps key names to 255 characters; a registry edited offline may hold longer ones.
  // They cannot be read back in full, so they are neither matched nor deleted.
  std::vector<std::string> longNames;
  for (char c = 'A'; c < 'A' + 20; ++c) {
    longNames.push_back("{" + std::string(298, c) + "}");
    AddBho(rig.machine(), longNames.back(), kXpDll);
  }
  Drive(rig, kTwoSteps);
  EXPECT_TRUE(rig.Disinfected());
  for (const std::string& name : longNames) EXPECT_TRUE(Registered(rig.machine(), name));
  EXPECT_FALSE(Registered(rig.machine(), kHijackedObject));
  EXPECT_TRUE(Registered(rig.machine(), kGoodObject));
}

TEST(HostileContents, MegabytePagesOfPercentRunsAreDecodedAndOnlyTheHijackedOneGoes) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  const auto repeat = [](const std::string& unit) {
    std::string out;
    while (out.size() < (1u << 20)) out += unit;
    return out;
  };
  const std::tuple<platform::HKey, const char*, std::string> kept[] = {
      {HKEY_CURRENT_USER, "Search Bar", repeat("%")},
      {HKEY_CURRENT_USER, "Default_Page_URL", repeat("%4%%%41%g%")},
      {HKEY_LOCAL_MACHINE, "Default_Search_URL", repeat("%25%2")}};
  for (const auto& [root, name, page] : kept) m.SetString(root, kIeMain, name, page);
  // Hijacked, behind a megabyte of escapes that decode to more percent signs.
  m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ", repeat("%25%2") + "%2Fqz.html");
  Drive(rig, kTwoSteps);
  EXPECT_TRUE(rig.Disinfected());
  for (const auto& [root, name, page] : kept) {
    EXPECT_EQ(m.GetValue(root, kIeMain, name), (sim::RegValue{platform::REG_SZ, page + '\0'}));
  }
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
}

TEST(HostileContents, TwentyMegabyteKeyFileWithThePathNearTheEnd) {
  Rig rig(Road::Win98Infected);
  // Replaced before the second step: megabytes without the system folder, then the entry.
  std::string image = RandomBytes(20u << 20, 42);
  std::replace(image.begin(), image.end(), ':', ';');
  image += std::string("rundll32.exe ") + k98Dll + ",Start";
  Drive(rig, kTwoSteps,
        [&](std::size_t) { ASSERT_TRUE(rig.machine().WriteFile(kKeyFile, image)); });
  EXPECT_FALSE(rig.machine().FileExists(k98Dll));
  EXPECT_FALSE(rig.machine().FileExists(kKeyFile));
  EXPECT_TRUE(rig.machine().KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

// Machine folders cut short, binary or huge: each loads or is refused as malformed (a
// FormatError); anything else, another exception or a crash, fails.
TEST(HostileMachineFolder, TruncatedBinaryAndHugeFilesLoadOrAreRefusedWithinBoundedMemory) {
  const sim::TempFolder folder;
  fs::copy(fs::path(DRAVLIN_MACHINES_DIR) / "default", folder.path(), fs::copy_options::recursive);
  const auto read = [&](const std::string& name) {
    std::ifstream in(folder.path() / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(folder.path() / name, std::ios::binary | std::ios::trunc) << bytes;
  };
  const auto loads = [&] {
    try {
      return persist::LoadMachineFolder(folder.path()) != nullptr;
    } catch (const persist::FormatError& e) {
      EXPECT_FALSE(std::string(e.what()).empty());
      return false;
    }
  };
  const std::map<std::string, std::string> whole = {{"machine.json", read("machine.json")},
                                                    {"registry.reg", read("registry.reg")}};
  struct Case {
    std::string file;
    std::string bytes;
    std::optional<bool> loads;  // none: either, as long as nothing else happens
  };
  std::vector<Case> cases;
  for (const auto& [name, text] : whole) {
    for (std::size_t cut = 0; cut<text.size(); cut += text.size()> 2000 ? 7 : 1) {
      cases.push_back({name, text.substr(0, cut), cut == 0 ? std::optional(false) : std::nullopt});
    }
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
      cases.push_back({name, RandomBytes(4096 * seed, seed), false});
    }
    // Random bytes and a NUL where the second line begins.
    const std::size_t at = text.find('\n') + 1;
    cases.push_back(
        {name, text.substr(0, at) + "\x01" + RandomBytes(64, 99) + '\0' + text.substr(at), false});
  }
  std::string bulk = whole.at("registry.reg");  // twenty thousand keys load whole
  for (int i = 0; i < 20000; ++i) {
    bulk += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key" + std::to_string(i) +
            "]\r\n\"Value\"=\"" + std::string(64, 'v') + "\"\r\n";
  }
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Huge]\r\n";
  cases.push_back(
      {"registry.reg", head + "\"V\"=\"" + std::string(8u << 20, 'h') + "\"\r\n", true});
  // Eight megabytes of hex digits without a single line break.
  cases.push_back({"registry.reg", head + "\"V\"=hex:" + std::string(8u << 20, 'f'), false});
  cases.push_back({"machine.json", "{\"comment\": \"" + std::string(8u << 20, 'c') + "\"}", true});
  cases.push_back({"machine.json", std::string(1u << 20, '['), false});

  for (const auto& c : cases) {
    write(c.file, c.bytes);
    const bool loaded = loads();
    EXPECT_TRUE(!c.loads || loaded == *c.loads) << c.file << ": " << c.bytes.substr(0, 80);
    write(c.file, whole.at(c.file));
  }
  EXPECT_TRUE(loads());
  write("registry.reg", bulk);
  EXPECT_EQ(persist::LoadMachineFolder(folder.path())
                ->machine()
                .ListSubkeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bulk")
                .size(),
            20000u);
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

}  // namespace
}  // namespace dravlin::reliability
