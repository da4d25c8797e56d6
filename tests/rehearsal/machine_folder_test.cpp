// Machine folders: settings, registry and drive load as written, refusals name the file and
// line and leave the input alone, a saved folder loads back to the same machine, and the
// differences between two states read as a user would want them.
#include "platform/sim/persist/machine_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
namespace platform = dravlin::platform;
using dravlin::sim::Machine;
using dravlin::sim::NamedValue;
using dravlin::sim::RegValue;
using dravlin::sim::TempFolder;
using namespace dravlin::sim::persist;
using namespace std::string_literals;

constexpr platform::HKey HKLM = platform::HKEY_LOCAL_MACHINE;
constexpr platform::HKey HKCU = platform::HKEY_CURRENT_USER;

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs f, expecting a FormatError whose message starts with prefix and contains what.
template <typename F>
void ExpectRefusal(F f, const std::string& prefix, const std::string& what) {
  try {
    f();
    ADD_FAILURE() << "accepted; expected " << prefix << " ... " << what;
  } catch (const FormatError& e) {
    const std::string msg = e.what();
    EXPECT_EQ(msg.rfind(prefix, 0), 0u) << msg;
    EXPECT_NE(msg.find(what), std::string::npos) << msg;
  }
}

const char* kJson = R"({
  "comment": "an infected XP",
  "version": "winxp",
  "language": "Deutsch",
  "clock": "2026-12-06T09:30:15",
  "administrator": false,
  "privileges": [{"name": "SeShutdownPrivilege", "enabled": true}],
  "exePath": "C:\\Tools\\dravlin.exe",
  "systemDirectory": "C:\\WIN\\system32",
  "undeletable": ["C:\\WIN\\system32\\busy.dll"],
  "attributes": {"C:\\WIN\\system32\\evil.dll": "hidden, system"},
  "hijacker": {"dll": "C:\\WIN\\system32\\evil.dll", "blank": "space"}
}
)";

const char* kReg =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\r\n"
    "\"AppInit_DLLs\"=\"C:\\\\WIN\\\\system32\\\\evil.dll\"\r\n"
    "\"Raw\"=hex(1):00,20,00\r\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\Main]\r\n"
    "\"Start Page\"=\"res://C:\\\\WIN\\\\system32\\\\evil.dll/qz.html\"\r\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\r\n"
    "@=\"x\"\r\n";

fs::path MakeFolder(const fs::path& dir) {
  Write(dir / "machine.json", kJson);
  Write(dir / "registry.reg", kReg);
  Write(dir / "c" / "WIN" / "system32" / "evil.dll", "MZevil");
  Write(dir / "c" / "WIN" / "system32" / "busy.dll", "MZbusy");
  return dir;
}

TEST(MachineJson, ReadsEverySetting) {
  const MachineDescription d = ParseMachineJson(kJson, "machine.json");
  EXPECT_EQ(d.versionName, "winxp");
  EXPECT_EQ(d.version.platformId, platform::VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(d.version.major, 5u);
  EXPECT_EQ(d.version.minor, 1u);
  EXPECT_EQ(d.locale.nativeLanguage, "Deutsch");
  // German pictures follow from the language unless given.
  EXPECT_EQ(d.locale.shortDate, "dd.MM.yyyy");
  EXPECT_EQ(d.locale.longTime, "HH:mm:ss");
  ASSERT_TRUE(d.clock.has_value());
  EXPECT_EQ(d.clock->wYear, 2026);
  EXPECT_EQ(d.clock->wDay, 6);
  EXPECT_EQ(d.clock->wSecond, 15);
  EXPECT_EQ(d.administrator, std::optional<bool>(false));
  ASSERT_TRUE(d.privileges.has_value());
  EXPECT_TRUE(d.privileges->at(0).enabledByDefault);
  EXPECT_EQ(d.exePath, "C:\\Tools\\dravlin.exe");
  ASSERT_EQ(d.attributes.size(), 1u);
  EXPECT_EQ(d.attributes[0].second,
            platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM);
  ASSERT_TRUE(d.hijacker.has_value());
  EXPECT_EQ(d.hijacker->blank, ' ');
}

TEST(MachineJson, ExplicitVersionFieldsRefineAPreset) {
  const auto d = ParseMachineJson(
      R"({"version": {"preset": "win2000", "csd": ""}, "groups": [{"sid": "S-1-5-32-545"}]})",
      "m.json");
  EXPECT_EQ(d.version.major, 5u);
  EXPECT_EQ(d.version.minor, 0u);
  EXPECT_EQ(d.version.csd, "");
  ASSERT_TRUE(d.groups.has_value());
  EXPECT_EQ(d.groups->at(0).Sid, Machine::UsersSid());
  const auto e = ParseMachineJson(
      R"({"version": {"platformId": 1, "major": 4, "minor": 10, "build": 67766446}})", "m.json");
  EXPECT_EQ(e.version.platformId, 1u);
  EXPECT_EQ(e.version.build, 67766446u);
  EXPECT_EQ(e.versionName, "");
}

TEST(MachineJson, RefusalsNameTheLineAndTheField) {
  ExpectRefusal([] { ParseMachineJson("{\n  \"version\": \"winxx\"\n}", "m.json"); },
                "m.json:2: ", "unknown Windows version 'winxx'");
  ExpectRefusal([] { ParseMachineJson("{\n\"language\": \"x\",\n\"colour\": 1}", "m.json"); },
                "m.json:3: ", "unknown field");
  ExpectRefusal([] { ParseMachineJson("{\n\"clock\": \"2026-02-30T00:00:00\"}", "m.json"); },
                "m.json:2: ", "YYYY-MM-DDTHH:MM:SS");
  ExpectRefusal([] { ParseMachineJson("{\n\"language\": \"x\"\n\"clock\": 1}", "m.json"); },
                "m.json:3: ", "syntax error");
  ExpectRefusal([] { ParseMachineJson(R"({"administrator": true, "groups": []})", "m.json"); },
                "m.json:1: ", "not both");
  ExpectRefusal([] { ParseMachineJson(R"({"groups": [{"sid": "S-1-x"}]})", "m.json"); },
                "m.json:1: ", "expected a SID");
  ExpectRefusal([] { ParseMachineJson(R"({"attributes": {"C:\\a": "hidden,blue"}})", "m.json"); },
                "m.json:1: ", "unknown attribute 'blue'");
  ExpectRefusal([] { ParseMachineJson(R"({"hijacker": {"dll": "x", "blank": "tab"}})", "m.json"); },
                "m.json:1: ", "\"nul\" or \"space\"");
  ExpectRefusal([] { ParseMachineJson(R"({"version": {"major": 5}})", "m.json"); },
                "m.json:1: ", "platformId, major, minor and build");
  ExpectRefusal([] { ParseMachineJson("[1]", "m.json"); }, "m.json:1: ", "JSON object");
}

TEST(MachineSid, ConvertsBothWays) {
  platform::SidBytes sid;
  ASSERT_TRUE(ParseSid("S-1-5-32-544", &sid));
  EXPECT_EQ(sid, Machine::AdminSid());
  EXPECT_EQ(SidToString(sid), "S-1-5-32-544");
  EXPECT_FALSE(ParseSid("S-1-5", &sid));      // no sub-authority
  EXPECT_FALSE(ParseSid("S-2-5-32", &sid));   // revision
  EXPECT_FALSE(ParseSid("S-1-5-32-", &sid));  // empty part
  EXPECT_FALSE(ParseSid("S-1-5-4294967296", &sid));
}

TEST(MachineFolder, LoadsSettingsRegistryAndAPrivateCopyOfTheDrive) {
  const TempFolder tmp;
  const fs::path dir = MakeFolder(tmp.path() / "m");
  const auto loaded = LoadMachineFolder(dir);
  Machine& m = loaded->machine();
  EXPECT_TRUE(m.IsNtBased());
  EXPECT_EQ(m.Locale().nativeLanguage, "Deutsch");
  EXPECT_EQ(m.Clock().wMinute, 30);
  EXPECT_EQ(m.ExePath(), "C:\\Tools\\dravlin.exe");
  EXPECT_EQ(m.SystemDirectory(), "C:\\WIN\\system32");
  ASSERT_TRUE(m.Hijacker().has_value());
  EXPECT_EQ(m.Hijacker()->dllPath, "C:\\WIN\\system32\\evil.dll");
  const auto appInit =
      m.GetValue(HKLM, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "AppInit_DLLs");
  ASSERT_TRUE(appInit.has_value());
  EXPECT_EQ(appInit->data, "C:\\WIN\\system32\\evil.dll\0"s);
  EXPECT_EQ(
      m.GetValue(HKLM, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "Raw")->data,
      "\0 \0"s);
  // HKCR lands in its real home.
  EXPECT_TRUE(m.KeyExists(HKLM, "SOFTWARE\\Classes\\CLSID\\{1}"));
  EXPECT_EQ(m.ReadFile("C:\\WIN\\system32\\evil.dll"), std::optional<std::string>("MZevil"));
  EXPECT_TRUE(m.IsUndeletable("C:\\win\\SYSTEM32\\busy.dll"));
  EXPECT_EQ(m.FileAttributes("C:\\WIN\\system32\\evil.dll") &
                (platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM),
            platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM);

  // What the run does to the drive stays in the private copy.
  EXPECT_TRUE(m.RemoveFile("C:\\WIN\\system32\\evil.dll"));
  EXPECT_TRUE(m.WriteFile("C:\\new.txt", "x"));
  EXPECT_EQ(Read(dir / "c" / "WIN" / "system32" / "evil.dll"), "MZevil");
  EXPECT_FALSE(fs::exists(dir / "c" / "new.txt"));
  EXPECT_EQ(Read(dir / "registry.reg"), kReg);
}

TEST(MachineFolder, AppliesDeletionsInFileOrderAndReadsAUtf16Export) {
  const TempFolder tmp;
  const fs::path dir = MakeFolder(tmp.path() / "m");
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Gone]\r\n\"a\"=\"1\"\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Gone\\Child]\r\n"
      u"[-HKEY_CURRENT_USER\\Software\\Gone]\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Kept]\r\n\"x\"=\"1\"\r\n\"y\"=\"M\u00fcller\"\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Kept]\r\n\"x\"=-\r\n"
      u"\"e\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n";
  std::string bytes = "\xFF\xFE";
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  Write(dir / "registry.reg", bytes);
  const auto loaded = LoadMachineFolder(dir);
  Machine& m = loaded->machine();
  EXPECT_FALSE(m.KeyExists(HKCU, "Software\\Gone"));
  EXPECT_FALSE(m.GetValue(HKCU, "Software\\Kept", "x").has_value());
  EXPECT_EQ(m.GetValue(HKCU, "Software\\Kept", "y")->data, "M\xFCller\0"s);
  EXPECT_EQ(m.GetValue(HKCU, "Software\\Kept", "e")->data, "%TEMP%\0"s);
  EXPECT_EQ(m.GetValue(HKCU, "Software\\Kept", "e")->type, platform::REG_EXPAND_SZ);
}

TEST(MachineFolder, RefusesBadInputNamingFileAndLine) {
  const TempFolder tmp;
  ExpectRefusal([&] { LoadMachineFolder(tmp.path() / "nothing"); },
                (tmp.path() / "nothing").string() + ": ", "no such machine folder");

  const fs::path dir = MakeFolder(tmp.path() / "m");
  Write(dir / "registry.reg", "REGEDIT4\r\n[HKLM\\A]\r\n\"x\"\"y\"\r\n");
  ExpectRefusal([&] { LoadMachineFolder(dir); },
                (dir / "registry.reg").string() + ":3: ", "expected '=' after value name");

  Write(dir / "registry.reg", kReg);
  Write(dir / "machine.json", "{\"version\": \"windows7\"}");
  ExpectRefusal([&] { LoadMachineFolder(dir); },
                (dir / "machine.json").string() + ":1: ", "unknown Windows version 'windows7'");

  Write(dir / "machine.json", R"({"undeletable": ["C:\\missing.dll"]})");
  ExpectRefusal([&] { LoadMachineFolder(dir); },
                (dir / "machine.json").string() + ":1: ", "C:\\missing.dll");

  Write(dir / "machine.json", "{}");
  fs::remove(dir / "registry.reg");
  fs::create_directory(dir / "registry.reg");
  ExpectRefusal([&] { LoadMachineFolder(dir); }, (dir / "registry.reg").string() + ": ",
                "regular file");
  fs::remove(dir / "registry.reg");
  ExpectRefusal([&] { LoadMachineFolder(dir); }, (dir / "registry.reg").string() + ": ", "missing");
}

TEST(MachineFolder, RefusesDriveEntriesItCannotCopyWithoutHanging) {
  const TempFolder tmp;
  const fs::path dir = MakeFolder(tmp.path() / "m");
  // A pipe would block a reader forever; a dangling link cannot be read at all.
  ASSERT_EQ(mkfifo((dir / "c" / "pipe").c_str(), 0600), 0);
  ExpectRefusal([&] { LoadMachineFolder(dir); }, (dir / "c" / "pipe").string(),
                "regular file or folder");
  fs::remove(dir / "c" / "pipe");
  fs::create_symlink(dir / "c" / "gone", dir / "c" / "link");
  ExpectRefusal([&] { LoadMachineFolder(dir); }, (dir / "c" / "link").string(), "");
}

TEST(MachineFolder, SavedFolderLoadsBackToTheSameMachine) {
  const TempFolder tmp;
  const auto first = LoadMachineFolder(MakeFolder(tmp.path() / "m"));
  Machine& m = first->machine();
  m.SetValue(HKCU, "Software\\Odd", "nul inside", platform::REG_SZ, "a\0b\0"s);
  m.SetValue(HKCU, "Software\\Odd", "", platform::REG_BINARY, std::string(300, '\x7f'));
  m.CreateKey(HKCU, "Software\\Empty\\Leaf");
  m.WriteFile("C:\\Program Files\\Dravlin\\dravlin.log", "line\r\n");

  const fs::path out = tmp.path() / "out";
  SaveMachineFolder(m, out);
  const auto second = LoadMachineFolder(out);
  Machine& n = second->machine();
  EXPECT_TRUE(DiffRegistry(SnapshotRegistry(m), SnapshotRegistry(n)).empty())
      << FormatRegistryChanges(DiffRegistry(SnapshotRegistry(m), SnapshotRegistry(n)));
  EXPECT_TRUE(n.KeyExists(HKCU, "Software\\Empty\\Leaf"));
  EXPECT_TRUE(DiffFiles(SnapshotFiles(m), SnapshotFiles(n)).empty())
      << FormatFileChanges(DiffFiles(SnapshotFiles(m), SnapshotFiles(n)));
  EXPECT_TRUE(n.IsUndeletable("C:\\WIN\\system32\\busy.dll"));
  EXPECT_EQ(n.Version().build, m.Version().build);
  EXPECT_EQ(n.Locale().shortDate, m.Locale().shortDate);
  EXPECT_EQ(n.TokenGroups().size(), m.TokenGroups().size());
  EXPECT_EQ(n.ExePath(), m.ExePath());
  EXPECT_EQ(n.Hijacker()->blank, ' ');
  EXPECT_EQ(n.Clock().wSecond, m.Clock().wSecond);
  EXPECT_EQ(Read(out / "registry.reg").rfind("REGEDIT4\r\n", 0), 0u);

  // Saving again over a machine folder is fine; over anything else it is refused untouched.
  SaveMachineFolder(n, out);
  Write(tmp.path() / "docs" / "letter.txt", "keep me");
  ExpectRefusal([&] { SaveMachineFolder(n, tmp.path() / "docs"); },
                (tmp.path() / "docs").string() + ": ", "letter.txt");
  EXPECT_FALSE(fs::exists(tmp.path() / "docs" / "registry.reg"));
}

std::vector<NamedValue> Values(std::initializer_list<std::pair<const char*, std::string>> list) {
  std::vector<NamedValue> out;
  for (const auto& [name, data] : list) out.push_back({name, RegValue{platform::REG_SZ, data}});
  return out;
}

TEST(RegistryDiff, ReportsKeysAndValuesAddedRemovedAndChanged) {
  RegistrySnapshot before;
  before.keys = {
      {"HKEY_LOCAL_MACHINE\\W", Values({{"AppInit_DLLs", "\0\0\0\0 \0"s}, {"Keep", "k\0"s}})},
      {"HKEY_LOCAL_MACHINE\\W\\Sub", Values({{"Gone", "g\0"s}})},
      {"HKEY_LOCAL_MACHINE\\BHO", {}},
      {"HKEY_LOCAL_MACHINE\\BHO\\{1}", Values({{"", "x\0"s}})},
      {"HKEY_LOCAL_MACHINE\\BHO\\{1}\\Deep", {}},
      {"HKEY_CURRENT_USER\\Main", Values({{"Start Page", "res://x/qz.html\0"s}})},
  };
  RegistrySnapshot after;
  after.keys = {
      {"HKEY_LOCAL_MACHINE\\w", Values({{"appinit_dlls", "\0"s}, {"KEEP", "k\0"s}})},
      {"HKEY_LOCAL_MACHINE\\W\\Sub", {}},
      {"HKEY_LOCAL_MACHINE\\BHO", {}},
      {"HKEY_CURRENT_USER\\Main", Values({{"New", "\x01"s}})},
      {"HKEY_CURRENT_USER\\Added", Values({{"v", "1\0"s}})},
      {"HKEY_CURRENT_USER\\Added\\Child", {}},
  };
  const auto changes = DiffRegistry(before, after);
  const std::string text = FormatRegistryChanges(changes);
  EXPECT_EQ(text,
            "  key added:     HKEY_CURRENT_USER\\Added\n"
            "  value added:   HKEY_CURRENT_USER\\Added \"v\" = REG_SZ \"1\"\n"
            "  key added:     HKEY_CURRENT_USER\\Added\\Child\n"
            "  value removed: HKEY_CURRENT_USER\\Main \"Start Page\" (was REG_SZ "
            "\"res://x/qz.html\")\n"
            "  value added:   HKEY_CURRENT_USER\\Main \"New\" = REG_SZ \"\\x01\" "
            "(no terminating NUL)\n"
            "  key removed:   HKEY_LOCAL_MACHINE\\BHO\\{1}\n"
            "  value changed: HKEY_LOCAL_MACHINE\\W \"AppInit_DLLs\"\n"
            "                 from REG_SZ \"\\0\\0\\0\\0 \"\n"
            "                 to   REG_SZ \"\"\n"
            "  value removed: HKEY_LOCAL_MACHINE\\W\\Sub \"Gone\" (was REG_SZ \"g\")\n")
      << text;
  EXPECT_EQ(FormatRegistryChanges(DiffRegistry(before, before)), "  (no change)\n");
}

TEST(RegistryDiff, DescribesDataReadably) {
  EXPECT_EQ(DescribeValue({platform::REG_SZ, "M\xFCller \x80\0"s}),
            "REG_SZ \"M\u00fcller \u20ac\"");
  EXPECT_EQ(DescribeValue({platform::REG_EXPAND_SZ, "a\tb\x7f\0"s}),
            "REG_EXPAND_SZ \"a\\x09b\\x7f\"");
  EXPECT_EQ(DescribeValue({platform::REG_MULTI_SZ, "a\0b\0\0"s}), "REG_MULTI_SZ \"a\\0b\\0\"");
  EXPECT_EQ(DescribeValue({platform::REG_DWORD, "\x0a\0\0\0"s}), "REG_DWORD 0x0000000a (10)");
  EXPECT_EQ(DescribeValue({platform::REG_DWORD, "\x0a"s}), "REG_DWORD 0a");
  EXPECT_EQ(DescribeValue({platform::REG_BINARY, ""}), "REG_BINARY (empty)");
  EXPECT_EQ(DescribeValue({0x20, "\xff"s}), "type 0x00000020 ff");
  const std::string longText = DescribeValue({platform::REG_SZ, std::string(40000, 'a') + '\0'});
  EXPECT_LT(longText.size(), 300u);
  EXPECT_NE(longText.find("(40001 bytes)"), std::string::npos);
}

TEST(FileDiff, ReportsDeletedAddedAndChangedFiles) {
  FileSnapshot before{{"C:\\A.dll", {"MZ", 0x20}},
                      {"C:\\b.txt", {"1", 0x20}},
                      {"C:\\c.txt", {"1", 0x20}},
                      {"C:\\Same.txt", {"s", 0x20}}};
  FileSnapshot after{{"C:\\b.txt", {"2", 0x20}},
                     {"C:\\c.txt", {"1", 0x22}},
                     {"C:\\same.TXT", {"s", 0x20}},
                     {"C:\\log.txt", {"abc", 0x20}}};
  EXPECT_EQ(FormatFileChanges(DiffFiles(before, after)),
            "  file deleted:  C:\\A.dll\n"
            "  file changed:  C:\\b.txt (content)\n"
            "  file changed:  C:\\c.txt (attributes none -> hidden)\n"
            "  file added:    C:\\log.txt (3 bytes)\n");
}

}  // namespace
