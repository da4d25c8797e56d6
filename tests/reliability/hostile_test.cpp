// Hostile contents: megabyte values, ten thousand browser objects, names longer than Windows
// allows, a huge key file, and machine folders whose files are cut short, binary or huge. The
// program must not crash or balloon, and its rules must still pick exactly what they should.
// How the time grows with these sizes is measured in bench/, not here.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "harness.h"
#include "platform/sim/persist/machine_folder.h"

namespace dravlin::reliability {
namespace {

namespace fs = std::filesystem;

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

void AddObject(sim::Machine& m, const std::string& clsid, const std::string& dll) {
  m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
  m.SetString(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", "", dll);
}

bool ObjectRegistered(const sim::Machine& m, const std::string& clsid) {
  return m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + clsid);
}

// ---------------------------------------------------------------------------------------------
// AppInit_DLLs

TEST(HostileAutoLoadValue, FiveMegabytesOfBlanksIsParkedIntactAndComesBackEmptied) {
  Rig rig(Road::XpClean);
  sim::Machine& m = rig.machine();
  const std::string blanks = std::string(5u << 20, ' ') + std::string(1, '\0');
  m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, blanks);

  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs"),
            (sim::RegValue{platform::REG_SZ, blanks}));

  // Blanks name no DLL: the second step puts the key back with the value emptied.
  const RunResult second = rig.RunAfterRestart();
  EXPECT_EQ(second.outcome, Outcome::CleanupError);
  EXPECT_TRUE(rig.LiveKeyComplete());
  EXPECT_TRUE(rig.Missing().empty());
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs"),
            (sim::RegValue{platform::REG_SZ, ""}));
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

TEST(HostileAutoLoadValue, FiveMegabytesOfTextIsNotInfectedAndChangesNothing) {
  Rig rig(Road::XpClean);
  sim::Machine& m = rig.machine();
  std::string text(5u << 20, 'x');
  for (std::size_t i = 0; i < text.size(); i += 7) text[i] = ' ';
  m.SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", platform::REG_SZ, text);
  const auto before = m.ExportTree(HKEY_LOCAL_MACHINE, "");

  EXPECT_EQ(rig.RunByHand().outcome, Outcome::NotInfected);
  const auto after = m.ExportTree(HKEY_LOCAL_MACHINE, "");
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].path, before[i].path);
    ASSERT_EQ(after[i].values.size(), before[i].values.size()) << before[i].path;
    for (std::size_t j = 0; j < before[i].values.size(); ++j) {
      EXPECT_EQ(after[i].values[j].value, before[i].values[j].value) << before[i].path;
    }
  }
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

TEST(HostileAutoLoadValue, KeyNestedDeeperThanAHiveHoldsStaysWhereItIs) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  std::string deepest = kLiveKey;
  for (int i = 0; i < 600; ++i) deepest += "\\Nest";
  m.SetString(HKEY_LOCAL_MACHINE, deepest, "Bottom", "kept");

  // The copy through a hive file cannot carry it: the failure is logged, nothing moves.
  const RunResult first = rig.RunByHand();
  EXPECT_EQ(first.outcome, Outcome::Restart);
  EXPECT_GT(first.errorEntries, 0u) << ::testing::PrintToString(first.log);
  EXPECT_TRUE(first.errorEntriesWellFormed);
  EXPECT_TRUE(rig.LiveKeyComplete());
  EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, deepest, "Bottom"),
            (sim::RegValue{platform::REG_SZ, std::string("kept\0", 5)}));
  EXPECT_TRUE(rig.Missing().empty());
}

// ---------------------------------------------------------------------------------------------
// Browser Helper Objects

TEST(HostileObjects, OfTenThousandObjectsExactlyTheThreeMatchingOnesGo) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  // The road registers one matching object ({DEADBEEF-...}, listed last) and one ordinary one.
  // Two more match: the first in the list and one in the middle; the rest are ordinary.
  const std::map<std::size_t, std::string> matching = {
      {0, "C:\\Program Files\\Other\\QZHOOK.DLL"},
      {5000, "C:\\WINDOWS\\Downloaded Program Files\\qzhook.dll"}};
  for (std::size_t i = 0; i < 9998; ++i) {
    const auto match = matching.find(i);
    if (match != matching.end()) {
      AddObject(m, Clsid(i), match->second);
      m.WriteFile(match->second, "MZ");
    } else {
      AddObject(m, Clsid(i), "C:\\Program Files\\Vendor " + std::to_string(i) + "\\plugin.dll");
    }
  }
  ASSERT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 10000u);

  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart);
  EXPECT_EQ(rig.RunAfterRestart().outcome, Outcome::Disinfected);
  EXPECT_TRUE(rig.Disinfected());
  EXPECT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 9997u);
  for (const auto& [i, dll] : matching) {
    EXPECT_FALSE(ObjectRegistered(m, Clsid(i))) << i;
    EXPECT_FALSE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + Clsid(i))) << i;
    EXPECT_FALSE(m.FileExists(dll)) << dll;
  }
  // Listed after nearly ten thousand others: a list cut short leaves it in place.
  EXPECT_FALSE(ObjectRegistered(m, "{DEADBEEF-0000-4000-8000-000000000001}"));
  EXPECT_TRUE(ObjectRegistered(m, "{11111111-2222-3333-4444-555555555555}"));
  EXPECT_TRUE(ObjectRegistered(m, Clsid(9997)));
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

TEST(HostileObjects, NamesLongerThanWindowsAllowsAreLeftAloneAndTheRestIsCleaned) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  // Windows keeps key names to 255 characters; a registry edited offline may hold longer ones.
  std::vector<std::string> longNames;
  for (char c = 'A'; c < 'A' + 20; ++c) {
    longNames.push_back("{" + std::string(298, c) + "}");
    AddObject(m, longNames.back(), kXpDll);
  }

  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart);
  EXPECT_EQ(rig.RunAfterRestart().outcome, Outcome::Disinfected);
  EXPECT_TRUE(rig.Disinfected());
  // The names cannot be read back in full, so they are neither matched nor deleted.
  for (const std::string& name : longNames) EXPECT_TRUE(ObjectRegistered(m, name));
  EXPECT_FALSE(ObjectRegistered(m, "{DEADBEEF-0000-4000-8000-000000000001}"));
  EXPECT_TRUE(ObjectRegistered(m, "{11111111-2222-3333-4444-555555555555}"));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kBhoKey));
}

// ---------------------------------------------------------------------------------------------
// Start pages

TEST(HostilePages, MegabytePagesOfPercentRunsAreDecodedAndOnlyTheHijackedOneGoes) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  std::string percents(1u << 20, '%');
  std::string halfEscapes;
  while (halfEscapes.size() < (1u << 20)) halfEscapes += "%4%%%41%g%";
  std::string escapes;
  while (escapes.size() < (1u << 20)) escapes += "%25%2";
  m.SetString(HKEY_CURRENT_USER, kIeMain, "Search Bar", percents);
  m.SetString(HKEY_CURRENT_USER, kIeMain, "Default_Page_URL", halfEscapes);
  m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "Default_Search_URL", escapes);
  // Hijacked, behind a megabyte of escapes that decode to more percent signs.
  m.SetString(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ", escapes + "%2Fqz.html");

  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart);
  EXPECT_EQ(rig.RunAfterRestart().outcome, Outcome::Disinfected);
  EXPECT_TRUE(rig.Disinfected());
  EXPECT_EQ(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Search Bar")->data.size(), percents.size() + 1);
  EXPECT_EQ(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Default_Page_URL")->data,
            halfEscapes + std::string(1, '\0'));
  EXPECT_TRUE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "Default_Search_URL").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "HomeOldQZ").has_value());
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page").has_value());
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

// ---------------------------------------------------------------------------------------------
// The DOS key file

TEST(HostileKeyFile, TwentyMegabytesWithThePathNearTheEndStillFindsAndDeletesTheDll) {
  Rig rig(Road::Win98Infected);
  sim::Machine& m = rig.machine();
  EXPECT_EQ(rig.RunByHand().outcome, Outcome::Restart);
  // Replaced before the second step: megabytes without the system folder, then the entry.
  std::string image = RandomBytes(20u << 20, 42);
  for (char& c : image) {
    if (c == ':') c = ';';
  }
  image += std::string("rundll32.exe ") + k98Dll + ",Start";
  ASSERT_TRUE(m.WriteFile(kKeyFile, image));

  const RunResult second = rig.RunAfterRestart();
  EXPECT_EQ(second.outcome, Outcome::Disinfected);
  EXPECT_FALSE(m.FileExists(k98Dll));
  EXPECT_FALSE(m.FileExists(kKeyFile));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

// ---------------------------------------------------------------------------------------------
// Machine folders

class HostileMachineFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(fs::path(DRAVLIN_MACHINES_DIR) / "default", folder_.path(),
             fs::copy_options::recursive);
  }
  fs::path File(const char* name) const { return folder_.path() / name; }
  std::string Read(const char* name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const char* name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  // Loads the folder: true when it loaded, false when it was refused as malformed. Anything
  // else (another exception, a crash) fails the test.
  bool Loads() const {
    try {
      auto loaded = sim::persist::LoadMachineFolder(folder_.path());
      return loaded != nullptr;
    } catch (const sim::persist::FormatError& e) {
      EXPECT_FALSE(std::string(e.what()).empty());
      return false;
    }
  }

  sim::TempFolder folder_;
};

TEST_F(HostileMachineFolder, EveryTruncationOfEitherFileIsRefusedOrLoaded) {
  ASSERT_TRUE(Loads());
  for (const char* name : {"machine.json", "registry.reg"}) {
    const std::string whole = Read(name);
    std::size_t refused = 0;
    const std::size_t step = whole.size() > 2000 ? 7 : 1;
    for (std::size_t cut = 0; cut < whole.size(); cut += step) {
      Write(name, whole.substr(0, cut));
      if (!Loads()) ++refused;
    }
    Write(name, whole);
    // Most cuts break the syntax; a .reg file cut at a line end is still a valid file.
    EXPECT_GT(refused, 0u) << name;
  }
  EXPECT_TRUE(Loads());
}

TEST_F(HostileMachineFolder, BinaryFilesAreRefused) {
  for (const char* name : {"machine.json", "registry.reg"}) {
    const std::string whole = Read(name);
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
      Write(name, RandomBytes(4096 * seed, seed));
      EXPECT_FALSE(Loads()) << name << " seed " << seed;
    }
    // A valid file with random bytes and a NUL where its second line (or token) begins.
    const std::size_t at = whole.find('\n') + 1;
    Write(name, whole.substr(0, at) + "\x01" + RandomBytes(64, 99) + '\0' + whole.substr(at));
    EXPECT_FALSE(Loads()) << name;
    Write(name, whole);
  }
}

TEST_F(HostileMachineFolder, HugeFilesLoadOrAreRefusedWithinBoundedMemory) {
  // A registry export of twenty thousand keys loads whole.
  std::string reg = Read("registry.reg");
  for (int i = 0; i < 20000; ++i) {
    reg += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key" + std::to_string(i) +
           "]\r\n\"Value\"=\"" + std::string(64, 'v') + "\"\r\n";
  }
  Write("registry.reg", reg);
  {
    auto loaded = sim::persist::LoadMachineFolder(folder_.path());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->machine().ListSubkeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bulk").size(), 20000u);
  }
  // One value line of eight megabytes.
  Write("registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Huge]\r\n\"Value\"=\"" +
                            std::string(8u << 20, 'h') + "\"\r\n");
  EXPECT_TRUE(Loads());
  // Eight megabytes of hex digits without a single line break, a machine.json with an
  // eight-megabyte comment, and one of a million opening brackets.
  Write("registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Huge]\r\n\"V\"=hex:" +
                            std::string(8u << 20, 'f'));
  EXPECT_FALSE(Loads());
  Write("registry.reg", "REGEDIT4\r\n");
  Write("machine.json", "{\"comment\": \"" + std::string(8u << 20, 'c') + "\"}");
  EXPECT_TRUE(Loads());
  Write("machine.json", std::string(1u << 20, '['));
  EXPECT_FALSE(Loads());
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
}

}  // namespace
}  // namespace dravlin::reliability
