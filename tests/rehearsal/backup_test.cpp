// The backup of the second step puts everything back: after the step, importing removed.reg
// with the machine folders' reader and copying the kept files home gives the registry and the
// files of before the step, byte for byte. Only what the step repairs on purpose stays repaired:
// the NT Windows key back in place with an empty AppInit_DLLs, the DOS service key emptied.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "app/rehearsal/machine_changes.h"
#include "app/simrun/simrun.h"
#include "platform/sim/persist/machine_folder.h"

namespace {

namespace fs = std::filesystem;
namespace persist = dravlin::sim::persist;
namespace rehearsal = dravlin::rehearsal;
using dravlin::platform::Control;
using dravlin::platform::HKEY_CLASSES_ROOT;
using dravlin::platform::HKEY_CURRENT_USER;
using dravlin::platform::HKEY_LOCAL_MACHINE;

const fs::path kMachines = fs::path(DRAVLIN_SOURCE_DIR) / "machines";

// What the step deletes on the default machine, loaded with NULs inside strings, Windows-1252 names
// and text, quotes and backslashes, strings without a terminator, a subkey, and two DLLs of one
// name.
void AddAwkwardValues(dravlin::sim::Machine& m) {
  m.SetString(HKEY_CLASSES_ROOT, "CLSID\\{4A1B2C3D-0002-4E5F-8A9B-0C1D2E3F4A5B}\\InprocServer32",
              "", "C:\\Program Files\\QZ Search\\qzbar.dll");
  m.WriteFile("C:\\Program Files\\QZ Search\\qzbar.dll", std::string("MZ\0second", 9));
  const std::string clsid = "{4A1B2C3D-0001-4E5F-8A9B-0C1D2E3F4A5B}";
  const std::string cls = "CLSID\\" + clsid;
  m.SetValue(HKEY_CLASSES_ROOT, cls, "Gr\xfc\xdf\"e\\", 1, std::string("a\0b\xe4\x80\0", 6));
  m.SetValue(HKEY_CLASSES_ROOT, cls, "Unterminated", 1, "no NUL");
  m.SetValue(HKEY_CLASSES_ROOT, cls + "\\Deeper\\Still", "List", 7, std::string("x\0\xff\0\0", 5));
  m.SetValue(HKEY_CLASSES_ROOT, cls + "\\Deeper", "", 2, std::string("%windir%\\\x80\0", 11));
  m.SetValue(
      HKEY_LOCAL_MACHINE,
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" + clsid,
      "Tab\there", 4, std::string("\x01\x02\x03", 3));
  m.SetValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main", "Start Page", 1,
             std::string("res://C:\\WINDOWS\\system32\\qzbar.dll/qz.html\0\xe9t\xe9\0", 48));
}

// The files restore.txt lists: "  name.removed  ->  C:\original".
void CopyBack(dravlin::sim::Machine& m, const std::string& folder) {
  std::istringstream notes(m.ReadFile(folder + "\\restore.txt").value_or(""));
  int copied = 0;
  for (std::string line; std::getline(notes, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto arrow = line.find("  ->  ");
    if (line.rfind("  ", 0) != 0 || arrow == std::string::npos) continue;
    const auto kept = m.ReadFile(folder + "\\" + line.substr(2, arrow - 2));
    ASSERT_TRUE(kept) << line;
    ASSERT_TRUE(m.WriteFile(line.substr(arrow + 6), *kept)) << line;
    ++copied;
  }
  EXPECT_GT(copied, 0);
}

bool RepairedOnPurpose(const std::string& key) {
  for (const char* part : {"\\Windows NT\\CurrentVersion\\Windows", "\\RunServicesOnce"}) {
    if (key.find(part) != std::string::npos) return true;
  }
  return false;
}

class BackupRestores : public testing::TestWithParam<std::string> {};

TEST_P(BackupRestores, EverythingTheSecondStepDeleted) {
  const auto loaded = persist::LoadMachineFolder(kMachines / GetParam());
  auto& m = loaded->machine();
  if (GetParam() == "default") AddAwkwardValues(m);
  m.Boot();
  dravlin::simrun::Session(m).Click(Control::CB_start);
  auto after = dravlin::simrun::Reboot(m);
  ASSERT_EQ(after.size(), 1u);
  const auto registry = rehearsal::SnapshotRegistry(m);
  const auto files = rehearsal::SnapshotFiles(m);
  after[0]->Click(Control::CB_start);
  after[0]->Close();

  const std::string folder = after[0]->form().BackupFolder();
  ASSERT_FALSE(folder.empty());
  persist::ApplyRegistry(persist::ReadRegFile(*m.HostPath(folder + "\\removed.reg"), "removed.reg"),
                         m);
  CopyBack(m, folder);

  std::vector<rehearsal::RegChange> left;
  for (auto& change : rehearsal::DiffRegistry(registry, rehearsal::SnapshotRegistry(m))) {
    if (!RepairedOnPurpose(change.key)) left.push_back(std::move(change));
  }
  EXPECT_TRUE(left.empty()) << rehearsal::FormatRegistryChanges(left);
  std::vector<rehearsal::FileChange> changed;
  for (auto& change : rehearsal::DiffFiles(files, rehearsal::SnapshotFiles(m))) {
    // The log and the backup are new; a file put back by hand has the attributes it gets.
    const bool ours = change.path.find("\\Dravlin\\") != std::string::npos;
    const bool attributesOnly = change.kind == rehearsal::FileChange::Kind::Changed &&
                                change.detail.find("content") == std::string::npos;
    if (!ours && !attributesOnly) changed.push_back(std::move(change));
  }
  EXPECT_TRUE(changed.empty()) << rehearsal::FormatFileChanges(changed);
}

INSTANTIATE_TEST_SUITE_P(Machines, BackupRestores, testing::Values("default", "xp-german", "win98"),
                         [](const auto& param) {
                           std::string name = param.param;
                           std::erase(name, '-');
                           return name;
                         });

}  // namespace
