// The backup puts back what a disinfection removed and changed: all of it (removed.reg, then
// changed-reg.txt and every copy under the name and with the attributes restore.txt gives),
// byte for byte, or one add-on by itself without the hijacker. Only what could be kept goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/rehearsal/machine_changes.h"
#include "platform/kernel.h"
#include "sim/persist/machine_folder.h"
#include "sim/run/simrun.h"
#include "workflow/texts.h"

namespace {

namespace fs = std::filesystem;
namespace persist = dravlin::sim::persist;
namespace rehearsal = dravlin::rehearsal;
namespace texts = dravlin::texts;
using dravlin::platform::Control;
using dravlin::platform::HKEY_CLASSES_ROOT;
using dravlin::platform::HKEY_CURRENT_USER;
using dravlin::platform::HKEY_LOCAL_MACHINE;
using dravlin::sim::Machine;

const fs::path kSource = DRAVLIN_SOURCE_DIR;
const std::string kHijackerClass = "{4A1B2C3D-0001-4E5F-8A9B-0C1D2E3F4A5B}";
const std::string kMatchClass = "{4A1B2C3D-0002-4E5F-8A9B-0C1D2E3F4A5B}";
const std::string kBho =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";

// The class of the name-match object loaded with what a .reg file finds hard to carry: quotes
// and backslashes in names, NULs and Windows-1252 inside strings, a string without its
// terminator, REG_MULTI_SZ, REG_EXPAND_SZ, REG_BINARY with 00 and FF, an empty value name, and a
// second DLL of the hijacker's name from another folder.
void AddAwkwardValues(Machine& m) {
  const std::string cls = "CLSID\\" + kMatchClass;
  m.SetValue(HKEY_CLASSES_ROOT, cls, "Gr\xfc\xdf\"e\\", 1, std::string("a\0b\xe4\x80\0", 6));
  m.SetValue(HKEY_CLASSES_ROOT, cls, "Unterminated", 1, "no NUL");
  m.SetValue(HKEY_CLASSES_ROOT, cls, "Bytes", 3, std::string("\x00\xff\x00", 3));
  m.SetValue(HKEY_CLASSES_ROOT, cls + "\\Deeper\\Still", "List", 7, std::string("x\0\xff\0\0", 5));
  m.SetValue(HKEY_CLASSES_ROOT, cls + "\\Deeper", "", 2, std::string("%windir%\\\x80\0", 11));
  m.SetValue(HKEY_LOCAL_MACHINE, kBho + kMatchClass, "Tab\there", 4,
             std::string("\x01\x02\x03", 3));
  m.SetValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main", "Start Page", 1,
             std::string("res://C:\\WINDOWS\\system32\\qzbar.dll/qz.html\0\xe9t\xe9\0", 48));
  m.SetString(HKEY_CLASSES_ROOT, "CLSID\\" + kHijackerClass + "\\InprocServer32", "",
              "C:\\Program Files\\QZ Search\\qzbar.dll");
  m.WriteFile("C:\\Program Files\\QZ Search\\qzbar.dll", std::string("MZ\0second", 9));
}

std::unique_ptr<persist::LoadedMachine> Load(const std::string& folder) {
  auto loaded = persist::LoadMachineFolder(kSource / folder);
  Machine& m = loaded->machine();
  if (folder == "machines/default") AddAwkwardValues(m);
  if (folder.ends_with("win2000-user-class")) {
    // The same class also machine-wide, for another program: it must stay where it is.
    m.SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\" + kHijackerClass, "",
                "Print Helper");
    m.SetString(HKEY_LOCAL_MACHINE,
                "SOFTWARE\\Classes\\CLSID\\" + kHijackerClass + "\\InprocServer32", "",
                "C:\\WINNT\\system32\\prnhelp.dll");
  }
  return loaded;
}

bool Shown(const Machine& m, const std::string& text) {
  return std::any_of(m.MessageBoxes().begin(), m.MessageBoxes().end(),
                     [&](const auto& box) { return box.text == text; });
}

// Both steps, and more starts by the user while a run ends in the clean-up error box.
void Disinfect(Machine& m, bool german) {
  dravlin::simrun::Session(m).Click(Control::CB_start);
  for (auto& run : dravlin::simrun::Reboot(m)) run->Click(Control::CB_start);
  for (int start = 0; start < 3 && !Shown(m, texts::DisinfectedMessage(german)); ++start) {
    m.StartProgram();
    dravlin::simrun::Session(m).Click(Control::CB_start);
  }
  ASSERT_TRUE(Shown(m, texts::DisinfectedMessage(german)));
}

std::set<std::string> BackupFolders(const Machine& m) {
  std::set<std::string> folders;
  for (const auto& file : m.ListFiles()) {
    const auto at = file.find("\\dravlin-backup-");
    if (at != std::string::npos) folders.insert(file.substr(0, file.find('\\', at + 1)));
  }
  return folders;
}

void Import(Machine& m, const std::string& file) {
  persist::ApplyRegistry(persist::ReadRegFile(*m.HostPath(file), file), m);
}

// The copies restore.txt lists: "  name.removed   [tag]", then where it goes back and the
// attributes it had. only: a part of the tag, or empty for all.
int CopyBack(Machine& m, const std::string& folder, const std::string& only) {
  std::istringstream notes(m.ReadFile(folder + "\\restore.txt").value_or(""));
  std::vector<std::string> lines;
  for (std::string line; std::getline(notes, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  int copied = 0;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    const auto tag = lines[i].find(".removed   [");
    if (lines[i].rfind("  ", 0) != 0 || tag == std::string::npos) continue;
    if (lines[i].find(only, tag) == std::string::npos) continue;
    const std::string backAs =
        "      zur\xfc"
        "ck als / back as: ";
    const std::string attributes = "      Attribute / attributes: ";
    EXPECT_EQ(lines[i + 1].rfind(backAs, 0), 0u) << lines[i + 1];
    EXPECT_EQ(lines[i + 2].rfind(attributes, 0), 0u) << lines[i + 2];
    const std::string target = lines[i + 1].substr(backAs.size());
    const auto kept = m.ReadFile(folder + "\\" + lines[i].substr(2, tag + 8 - 2));
    EXPECT_TRUE(kept && m.WriteFile(target, *kept)) << lines[i];
    std::uint32_t bits = 0;
    for (const char letter : lines[i + 2].substr(attributes.size())) {
      for (const auto& [name, bit] : {std::pair{'R', 0x1u}, {'H', 0x2u}, {'S', 0x4u}, {'A', 0x20u}})
        bits |= letter == name ? bit : 0u;
    }
    m.SetFileAttributes(target, bits);
    ++copied;
  }
  return copied;
}

std::vector<rehearsal::FileChange> ForeignFileChanges(const rehearsal::FileSnapshot& before,
                                                      const Machine& m) {
  std::vector<rehearsal::FileChange> out;
  for (auto& change : rehearsal::DiffFiles(before, rehearsal::SnapshotFiles(m))) {
    // The log and the backup are the program's report.
    if (change.path.find("dravlin.log") == std::string::npos &&
        change.path.find("\\dravlin-backup-") == std::string::npos)
      out.push_back(std::move(change));
  }
  return out;
}

class Backup : public testing::TestWithParam<std::string> {};

TEST_P(Backup, AllOfItOrOneAddOnByteForByte) {
  const auto loaded = Load(GetParam());
  Machine& m = loaded->machine();
  m.Boot();
  const bool german = m.Locale().nativeLanguage == "Deutsch";
  const auto registry = rehearsal::SnapshotRegistry(m);
  const auto files = rehearsal::SnapshotFiles(m);
  const std::string matchDll =
      m.GetValue(HKEY_CLASSES_ROOT, "CLSID\\" + kMatchClass + "\\InprocServer32", "")->data;
  Disinfect(m, german);
  const auto folders = BackupFolders(m);
  ASSERT_EQ(folders.size(), 1u) << "one backup per disinfection";
  const std::string folder = *folders.begin();
  const auto log = m.ReadFile(m.ExePath().substr(0, m.ExePath().rfind('\\')) + "\\dravlin.log");
  EXPECT_NE(log.value_or("").find(texts::BackupLogLine(german, folder)), std::string::npos);
  m.SaveSnapshot();

  // One add-on, the one removed only for its DLL's name: it is back as it was, and nothing of
  // the hijacker is.
  Import(m, folder + "\\BHO-" + kMatchClass + ".reg");
  EXPECT_EQ(CopyBack(m, folder, "[nur Namensgleichheit"), 1);
  for (const auto& change : rehearsal::DiffRegistry(registry, m)) {
    EXPECT_EQ(change.key.find(kMatchClass), std::string::npos)
        << rehearsal::FormatRegistryChanges({change});
  }
  EXPECT_TRUE(m.FileExists(matchDll.c_str()));
  EXPECT_FALSE(m.FileExists(m.Hijacker()->dllPath));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, kBho + kHijackerClass) &&
               !m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\" + kHijackerClass));

  // Everything: the machine of before, whole.
  m.RestoreSnapshot();
  Import(m, folder + "\\removed.reg");
  Import(m, folder + "\\changed-reg.txt");
  EXPECT_GE(CopyBack(m, folder, ""), 2);
  std::vector<rehearsal::RegChange> left;
  for (auto& change : rehearsal::DiffRegistry(registry, m)) {
    // The one exception: on DOS-based Windows the hijacker's own start entry reads as NULs
    // while its DLL is loaded, which it is when the entry has to go.
    const bool hiddenEntry = change.key.ends_with("\\RunServicesOnce") && change.before &&
                             change.before->data.find(m.Hijacker()->dllPath) != std::string::npos;
    if (!hiddenEntry) left.push_back(std::move(change));
  }
  EXPECT_TRUE(left.empty()) << rehearsal::FormatRegistryChanges(left);
  const auto changed = ForeignFileChanges(files, m);
  EXPECT_TRUE(changed.empty()) << rehearsal::FormatFileChanges(changed);
}

INSTANTIATE_TEST_SUITE_P(Machines, Backup,
                         testing::Values("machines/default", "machines/xp-german", "machines/win98",
                                         "tests/scenarios/win2000-user-class"),
                         [](const auto& param) {
                           std::string name = param.param.substr(param.param.rfind('/') + 1);
                           std::erase(name, '-');
                           return name;
                         });

// A name with a line break has no .reg form, on any Windows: the object stays whole, the log
// names it, and the run does not say disinfected.
TEST(Backup, AnObjectThatCannotBeKeptStaysWhole) {
  const auto loaded = Load("machines/win98");
  Machine& m = loaded->machine();
  const std::string cls = "SOFTWARE\\Classes\\CLSID\\" + kMatchClass;
  m.SetString(HKEY_LOCAL_MACHINE, cls, "two\r\nlines", "x");
  m.Boot();
  const auto registry = rehearsal::SnapshotRegistry(m);
  dravlin::simrun::Session(m).Click(Control::CB_start);
  for (auto& run : dravlin::simrun::Reboot(m)) run->Click(Control::CB_start);
  EXPECT_FALSE(Shown(m, texts::DisinfectedMessage(false)));
  EXPECT_TRUE(Shown(m, texts::CleanupErrorMessage(false)));
  for (const auto& change : rehearsal::DiffRegistry(registry, m)) {
    EXPECT_EQ(change.key.find(kMatchClass), std::string::npos)
        << rehearsal::FormatRegistryChanges({change});
  }
  EXPECT_TRUE(m.FileExists("C:\\Program Files\\QZ Search\\sqzbar.dll"));
  const std::string log = m.ReadFile("C:\\Program Files\\Dravlin\\dravlin.log").value_or("");
  EXPECT_NE(log.find(" Error while backing up: HKLM\\" + cls), std::string::npos) << log;
  EXPECT_NE(log.find(texts::LeftOverLogLine(false,
                                            "HKLM\\Software\\Microsoft\\Windows\\"
                                            "CurrentVersion\\Explorer\\Browser Helper "
                                            "Objects\\" +
                                                kMatchClass)),
            std::string::npos)
      << log;
  EXPECT_FALSE(m.FileExists(m.Hijacker()->dllPath));
}

// Started from a read-only share: nothing can be written beside the program (not even the log),
// so the backup goes to the one fixed folder on C:, and the second step still keeps before it
// deletes.
TEST(Backup, FromAFolderThatCannotBeWrittenItGoesToTheFixedFolderOnC) {
  const auto loaded = Load("machines/default");
  Machine& m = loaded->machine();
  m.SetReadOnlyFolder("C:\\Program Files\\Dravlin");
  m.Boot();
  const auto files = rehearsal::SnapshotFiles(m);
  dravlin::simrun::Session(m).Click(Control::CB_start);
  for (auto& run : dravlin::simrun::Reboot(m)) run->Click(Control::CB_start);

  const auto folders = BackupFolders(m);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders.begin()->rfind("C:\\Dravlin-Backup\\dravlin-backup-", 0), 0u);
  EXPECT_GE(CopyBack(m, *folders.begin(), ""), 3);
  const auto changed = ForeignFileChanges(files, m);
  EXPECT_TRUE(changed.empty()) << rehearsal::FormatFileChanges(changed);
}

// A virus scanner takes away whatever is written beside the program or in the fallback folder,
// after the writes succeeded: only what is read back counts as kept, so nothing goes but the
// hijacker DLL.
TEST(Backup, WhatIsTakenAwayAfterWritingIsNotTakenForKept) {
  const auto loaded = Load("machines/default");
  Machine& m = loaded->machine();
  // Objects without their DLLs: only the registry copies stand between them and deletion.
  for (const char* dll :
       {"C:\\Program Files\\QZ Search\\sqzbar.dll", "C:\\Program Files\\QZ Search\\qzbar.dll",
        "C:\\WINDOWS\\system32\\qzbar.dll"})
    m.RemoveFile(dll);
  m.Boot();
  const auto registry = rehearsal::SnapshotRegistry(m);
  const auto files = rehearsal::SnapshotFiles(m);
  dravlin::simrun::Session(m).Click(Control::CB_start);
  m.SetSweptFolder("C:\\Program Files\\Dravlin");
  m.SetSweptFolder("C:\\Dravlin-Backup");
  for (auto& run : dravlin::simrun::Reboot(m)) run->Click(Control::CB_start);
  EXPECT_TRUE(Shown(m, texts::CleanupErrorMessage(false)));
  EXPECT_FALSE(Shown(m, texts::DisinfectedMessage(false)));
  for (const auto& change : rehearsal::DiffRegistry(registry, m)) {
    EXPECT_NE(change.key.find("\\Windows NT\\CurrentVersion\\Windows"), std::string::npos)
        << rehearsal::FormatRegistryChanges({change});
  }
  const auto changed = ForeignFileChanges(files, m);
  ASSERT_EQ(changed.size(), 1u) << rehearsal::FormatFileChanges(changed);
  EXPECT_EQ(changed[0].path, m.Hijacker()->dllPath);
}

}  // namespace
