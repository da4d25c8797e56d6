// Whole runs of the program over hostile contents: megabyte values, ten thousand objects,
// over-long names, a huge key file. The program must not crash or balloon, must log a failure as
// its two-line entry, and must not lose a byte of the Windows key or of the service entry. The
// sweeps of interrupted and faulted runs are in convergence_test.cpp.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "regfile/regfile.h"
#include "sim/persist/machine_folder.h"
#include "support/scenario.h"
#include "workflow/texts.h"

namespace dravlin::reliability {
namespace {

using namespace scenario;  // NOLINT: the rig's names read best unqualified
using platform::HKEY_CLASSES_ROOT;
namespace persist = sim::persist;

// How a run ended, as the user can tell.
enum class Outcome { Restart, Disinfected, NotInfected, CleanupError, None };

enum class Road { XpInfected, Win98Infected, XpClean };
bool IsNt(Road road) {
  return road != Road::Win98Infected;
}

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct RunResult {
  Outcome outcome = Outcome::None;
  bool crashed = false;
  std::vector<std::string> log;  // lines this run added to the activity log
};

// One value of the Windows key: its place below the key, its name and its bytes.
struct KeptValue {
  std::string path, name;
  sim::RegValue value;
};

bool Holds(const std::vector<sim::KeySnapshot>& tree, const KeptValue& kept) {
  return std::any_of(tree.begin(), tree.end(), [&](const sim::KeySnapshot& key) {
    return Fold(key.path) == Fold(kept.path) &&
           std::any_of(key.values.begin(), key.values.end(), [&](const sim::NamedValue& v) {
             return Fold(v.name) == Fold(kept.name) && v.value == kept.value;
           });
  });
}

// A booted machine on a private drive C:, arranged for one road.
class Rig : public Scenario {
 public:
  // The registry of each road is roads/<road>.reg: the Windows key holds every common type,
  // NULs inside data and subkeys two deep, so that a lost subtree or byte shows; the hijacker's
  // pages point into its DLL, and one object loads a file of the DLL's name.
  explicit Rig(Road road) : Scenario(IsNt(road) ? "winxp" : "win98") {
    sim::Machine& m = machine_;
    const std::string dll = IsNt(road) ? kXpDll : k98Dll;
    const char* name = road == Road::XpInfected ? "xp-infected"
                       : IsNt(road)             ? "xp-clean"
                                                : "98-infected";
    persist::ApplyRegistry(
        regfile::ReadRegFile(std::string(DRAVLIN_ROADS_DIR "/") + name + ".reg", name), m);
    m.WriteFile("C:\\Program Files\\Good\\good.dll", "MZ");
    if (road != Road::XpClean) {
      m.WriteFile(dll, "MZ hijacker");
      m.WriteFile("C:\\Program Files\\QzBar\\" + dll.substr(dll.rfind('\\') + 1), "MZ object");
      m.SetHijacker(sim::HijackerSettings{dll, IsNt(road) ? '\0' : ' '});
    }
    m.Boot();
    for (const auto& key : m.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey)) {
      for (const auto& v : key.values) {
        if (!key.path.empty() || Fold(v.name) != "appinit_dlls") {
          kept_.push_back({key.path, v.name, v.value});
        }
      }
    }
  }

  static constexpr const char* kHijackedObject = "{DEADBEEF-0000-4000-8000-000000000001}";
  static constexpr const char* kGoodObject = "{11111111-2222-3333-4444-555555555555}";

  // The user starts the program, clicks start if the window offers it, and closes the window.
  // arm runs after the process started, before its first call.
  RunResult RunByHand(const std::function<void()>& arm = {}) {
    machine_.StartProgram();
    return Run(arm);
  }
  // Windows restarts and the program starts again (from RunOnce or by the user alike).
  RunResult RunAfterRestart(const std::function<void()>& arm = {}) {
    (void)machine_.Reboot();
    return Run(arm);
  }

  // Each value of the Windows key and its subkeys (but the key's own AppInit_DLLs) is in the
  // live key itself (none on Windows 98, which has no such key).
  bool LiveKeyComplete() const {
    const auto live = machine_.ExportTree(HKEY_LOCAL_MACHINE, kLiveKey);
    return std::all_of(kept_.begin(), kept_.end(),
                       [&](const auto& kept) { return Holds(live, kept); });
  }
  // The key live and whole with AppInit_DLLs empty, nothing parked, the DLL gone (NT).
  bool Disinfected() const {
    return !machine_.FileExists(kXpDll) && !machine_.KeyExists(HKEY_LOCAL_MACHINE, kParkedKey) &&
           machine_.GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs") ==
               sim::RegValue{platform::REG_SZ, ""} &&
           LiveKeyComplete();
  }

 private:
  RunResult Run(const std::function<void()>& arm) {
    RunResult r;
    const std::size_t logBefore = Log().size(), boxesBefore = machine_.MessageBoxes().size();
    const std::size_t exitsBefore = machine_.ExitWindowsCalls().size();
    std::unique_ptr<simrun::Session> session;
    std::string title;
    try {
      if (arm) arm();
      session = std::make_unique<simrun::Session>(machine_);
      if (session->CanClick(platform::Control::CB_start))
        session->Click(platform::Control::CB_start);
      title = machine_.Control(platform::Control::Form).text;
      session->Close();
      session.reset();  // the process ends: whatever the program still holds is released now
    } catch (const sim::ProgramCrash&) {
      r.crashed = true;
    }
    r.crashed = r.crashed || machine_.ProgramDead();
    // A session that ended abruptly is released with the rig, not while the machine runs on.
    if (session) sessions_.push_back(std::move(session));
    if (title.empty()) title = machine_.Control(platform::Control::Form).text;
    const std::vector<std::string> all = Log();
    r.log.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, all.size())),
                 all.end());

    const auto logged = [&](std::string_view suffix) {
      return std::any_of(r.log.begin(), r.log.end(),
                         [&](const auto& l) { return l.ends_with(suffix); });
    };
    const auto& boxes = machine_.MessageBoxes();
    const auto shown = [&](std::string_view prefix) {
      return std::any_of(boxes.begin() + static_cast<std::ptrdiff_t>(boxesBefore), boxes.end(),
                         [&](const auto& b) { return b.text.rfind(prefix, 0) == 0; });
    };
    if (machine_.ExitWindowsCalls().size() > exitsBefore || logged(texts::kRestartLogLine) ||
        shown(texts::RestartMessage(false, true)) || shown(texts::RestartMessage(false, false))) {
      r.outcome = Outcome::Restart;
    } else if (shown(texts::DisinfectedMessage(false)) || logged(texts::kCleanedLogLine)) {
      r.outcome = Outcome::Disinfected;
    } else if (shown(texts::CleanupErrorMessage(false))) {
      r.outcome = Outcome::CleanupError;
    } else if (logged(texts::kNotInfectedLogLine) ||
               title.find(texts::NotInfectedMarker(false)) != std::string::npos) {
      r.outcome = Outcome::NotInfected;
    }
    return r;
  }

  std::vector<KeptValue> kept_;
};

// ---------------------------------------------------------------------------------------------
// Hostile contents: megabyte values, ten thousand objects, over-long names, a huge key file.
// No crash, no ballooning, and the rules still pick exactly what they should. How time grows with
// these sizes is measured in bench/.

// A ceiling for the whole process, sanitizers included (these tests peak at 130 to 420 MB under
// ASan): a text copied once per character, or a list that never ends, goes far beyond it.
long PeakMemoryMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}
constexpr long kPeakMemoryCeilingMb = 1024;

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(gen() & 0xFFu);
  return bytes;
}

// Runs one step per expected outcome; between(i) runs after a restart, before the program.
std::vector<RunResult> Drive(Rig& rig, const std::vector<Outcome>& outcomes,
                             const std::function<void()>& between = {}) {
  std::vector<RunResult> runs;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    runs.push_back(i == 0 ? rig.RunByHand() : rig.RunAfterRestart(between));
    EXPECT_FALSE(runs.back().crashed);
    EXPECT_EQ(runs.back().outcome, outcomes[i]) << ::testing::PrintToString(runs.back().log);
  }
  EXPECT_TRUE(rig.LiveKeyComplete());
  EXPECT_LT(PeakMemoryMb(), kPeakMemoryCeilingMb);
  return runs;
}
const std::vector<Outcome> kTwoSteps = {Outcome::Restart, Outcome::Disinfected};

TEST(HostileContents, FiveMegabytesOfBlanksInTheAutoLoadValue) {
  // Blanks name no DLL: the key is parked intact, and put back with the value emptied.
  Rig blank(Road::XpClean);
  const sim::RegValue blanks{platform::REG_SZ, std::string(5u << 20, ' ') + '\0'};
  blank.machine().SetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs", blanks.type, blanks.data);
  Drive(blank, {Outcome::Restart, Outcome::CleanupError}, [&] {
    EXPECT_FALSE(blank.machine().KeyExists(HKEY_LOCAL_MACHINE, kLiveKey));
    EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kParkedKey, "AppInit_DLLs"), blanks);
  });
  EXPECT_TRUE(blank.LiveKeyComplete());
  EXPECT_EQ(blank.machine().GetValue(HKEY_LOCAL_MACHINE, kLiveKey, "AppInit_DLLs"),
            (sim::RegValue{platform::REG_SZ, ""}));
}

// Ten thousand objects, names longer than Windows allows, and megabyte pages of percent runs:
// exactly the matching objects and the hijacked pages go.
TEST(HostileContents, HugeObjectListsLongNamesAndMegabytePages) {
  Rig rig(Road::XpInfected);
  sim::Machine& m = rig.machine();
  const auto clsid = [](std::size_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "{00000000-0000-4000-8000-%012zu}", n);
    return std::string(text);
  };
  const auto registered = [&](const std::string& id) {
    return m.KeyExists(HKEY_LOCAL_MACHINE, std::string(kBhoKey) + "\\" + id);
  };
  // The road registers one matching object (listed last) and one ordinary one. Two more match:
  // the first in the list and one in the middle.
  const std::map<std::size_t, std::string> matching = {
      {0, "C:\\Program Files\\Other\\QZHOOK.DLL"},
      {5000, "C:\\WINDOWS\\Downloaded Program Files\\qzhook.dll"}};
  for (std::size_t i = 0; i < 9998; ++i) {
    const auto match = matching.find(i);
    AddBho(m, clsid(i),
           match != matching.end() ? match->second
                                   : "C:\\Program Files\\Vendor " + std::to_string(i) + "\\p.dll");
    if (match != matching.end()) m.WriteFile(match->second, "MZ");
  }
  // Windows keeps key names to 255 characters; an offline-edited registry may hold longer ones.
  // They cannot be read back in full, so they are neither matched nor deleted.
  std::vector<std::string> longNames;
  for (char c = 'A'; c < 'A' + 20; ++c) {
    longNames.push_back("{" + std::string(298, c) + "}");
    AddBho(m, longNames.back(), kXpDll);
  }
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
  EXPECT_EQ(m.ListSubkeys(HKEY_LOCAL_MACHINE, kBhoKey).size(), 10000u + 20u - 3u);
  for (const auto& [i, dll] : matching) {
    EXPECT_FALSE(registered(clsid(i))) << i;
    EXPECT_FALSE(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + clsid(i))) << i;
    EXPECT_FALSE(m.FileExists(dll)) << dll;
  }
  // Listed after nearly ten thousand others: a list cut short leaves it in place.
  EXPECT_FALSE(registered(Rig::kHijackedObject));
  EXPECT_TRUE(registered(Rig::kGoodObject) && registered(clsid(9997)));
  for (const std::string& name : longNames) EXPECT_TRUE(registered(name));
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
  Drive(rig, kTwoSteps, [&] { ASSERT_TRUE(rig.machine().WriteFile(kKeyFile, image)); });
  EXPECT_FALSE(rig.machine().FileExists(k98Dll));
  EXPECT_FALSE(rig.machine().FileExists(kKeyFile));
  EXPECT_TRUE(rig.machine().KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

}  // namespace
}  // namespace dravlin::reliability
