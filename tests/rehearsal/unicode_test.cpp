// Names and texts beyond ASCII: what the ANSI calls see of names the code page lacks, machine
// folders whose settings and drive are UTF-8 on the host, and what a save writes for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/rehearsal/machine_changes.h"
#include "platform/ansi_names.h"
#include "platform/key.h"
#include "sim/machine.h"
#include "sim/persist/machine_folder.h"

namespace {

namespace fs = std::filesystem;
using dravlin::sim::Machine;
using dravlin::sim::TempFolder;
using namespace dravlin::sim::persist;
using namespace std::string_literals;
namespace platform = dravlin::platform;

std::string Utf16File(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (const char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Two keys whose names both read "??" through the ANSI calls (a program of another locale
// made them), a value name of the same kind, and string data the code page lacks.
const std::string kExport = Utf16File(
    u"Windows Registry Editor Version 5.00\r\n\r\n"
    u"[HKEY_CURRENT_USER\\Software\\\u4E2D\u6587]\r\n\r\n"
    u"[HKEY_CURRENT_USER\\Software\\Plain]\r\n\"\u540D\"=\"a\u4E2Db\"\r\n"
    u"\"Multi\"=hex(7):16,04,00,00,78,00,00,00,00,00\r\n"
    u"\"Pair\"=hex(2):25,00,3d,d8,00,de,00,00\r\n"
    u"\"Lone\"=hex(1):00,d8,00,00\r\n"
    u"\"NoEnd\"=hex(1):16,04\r\n\r\n"
    u"[HKEY_CURRENT_USER\\Software\\\u65E5\u672C]\r\n"
    u"\"T\"=hex(2):e4,00,2d,4e,00,00\r\n\r\n"
    u"[HKEY_CURRENT_USER\\Software\\M\u00FCller \U0001F600]\r\n");

TEST(HeldNames, StayDistinctAndReadAsQuestionMarksThroughTheAnsiCalls) {
  const RegFile file = ParseRegFile(kExport, "export.reg");
  EXPECT_EQ(file.notes.heldKeyNames, 3u);
  EXPECT_EQ(file.notes.heldValueNames, 1u);
  EXPECT_EQ(file.notes.ansiData, 6u);
  Machine m;
  ApplyRegistry(file, m);
  EXPECT_EQ(m.ListSubkeys(platform::HKEY_CURRENT_USER, "Software").size(), 4u);

  auto& reg = m.services().registry;
  platform::UniqueKey software(reg);
  ASSERT_EQ(reg.RegOpenKeyExA(platform::HKEY_CURRENT_USER, "Software", 0, platform::KEY_READ,
                              software.put()),
            platform::ERROR_SUCCESS);
  std::vector<std::string> names;
  for (std::uint32_t i = 0;; ++i) {
    char name[256];
    std::uint32_t size = sizeof name;
    if (reg.RegEnumKeyExA(software.get(), i, name, &size) != platform::ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  // The supplementary character is one '?', as Windows shows it.
  EXPECT_EQ(names, (std::vector<std::string>{"??", "??", "M\xFCller ?", "Plain"}));
  std::uint32_t subKeys = 0, maxSub = 0;
  ASSERT_EQ(reg.RegQueryInfoKeyA(software.get(), &subKeys, &maxSub, nullptr, nullptr, nullptr),
            platform::ERROR_SUCCESS);
  EXPECT_EQ(maxSub, 8u);
  // No ANSI name reaches them.
  platform::UniqueKey none(reg);
  EXPECT_EQ(reg.RegOpenKeyExA(software.get(), "??", 0, platform::KEY_READ, none.put()),
            platform::ERROR_FILE_NOT_FOUND);

  // The value name reads '?', its data '?' where the code page has no byte.
  platform::UniqueKey key(reg);
  ASSERT_EQ(reg.RegOpenKeyExA(platform::HKEY_CURRENT_USER, "Software\\Plain", 0, platform::KEY_READ,
                              key.put()),
            platform::ERROR_SUCCESS);
  char valueName[16];
  std::uint32_t nameSize = sizeof valueName;
  std::uint8_t data[16];
  std::uint32_t dataSize = sizeof data;
  ASSERT_EQ(reg.RegEnumValueA(key.get(), 0, valueName, &nameSize, nullptr, data, &dataSize),
            platform::ERROR_SUCCESS);
  EXPECT_EQ(std::string(valueName, nameSize), "?");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataSize), "a?b\0"s);
  std::string japanese;
  platform::AppendWideChar(japanese, 0x65E5);
  platform::AppendWideChar(japanese, 0x672C);
  EXPECT_EQ(m.GetValue(platform::HKEY_CURRENT_USER, "Software\\" + japanese, "T")->data,
            "\xE4?\0"s);
  // A pair of surrogates is one character, so one '?'.
  EXPECT_EQ(m.GetValue(platform::HKEY_CURRENT_USER, "Software\\Plain", "Pair")->data, "%?\0"s);

  // The transcript shows names and data as Windows keeps them.
  const auto changes = dravlin::rehearsal::DiffRegistry({}, m);
  const std::string text = dravlin::rehearsal::FormatRegistryChanges(changes);
  EXPECT_NE(text.find("key added:     HKEY_CURRENT_USER\\Software\\\u4E2D\u6587\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("HKEY_CURRENT_USER\\Software\\Plain \"\u540D\" = REG_SZ \"a\u4E2Db\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("M\u00FCller \U0001F600"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Multi\" = REG_MULTI_SZ \"\u0416\\0x\\0\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Pair\" = REG_EXPAND_SZ \"%\U0001F600\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Lone\" = REG_SZ \"\\ud800\""), std::string::npos) << text;
}

TEST(HeldNames, ASavedMachineKeepsThemInVersion5) {
  const TempFolder tmp;
  Machine m(tmp.path() / "drive");
  ApplyRegistry(ParseRegFile(kExport, "export.reg"), m);
  SaveMachineFolder(m, tmp.path() / "out");
  const std::string saved = Read(tmp.path() / "out" / "registry.reg");
  ASSERT_EQ(saved.substr(0, 2), "\xFF\xFE");
  const RegFile back = ParseRegFile(saved, "registry.reg");
  EXPECT_EQ(back.format, RegFormat::Version5);
  Machine n;
  ApplyRegistry(back, n);
  const auto diff = dravlin::rehearsal::DiffRegistry(dravlin::rehearsal::SnapshotRegistry(m), n);
  EXPECT_TRUE(diff.empty()) << dravlin::rehearsal::FormatRegistryChanges(diff);
  // REGEDIT4 cannot carry them.
  EXPECT_THROW(WriteRegedit4(ExportRegistry(m)), dravlin::regfile::WriteError);
  // String data alone needs Version 5.00 too.
  Machine d(tmp.path() / "drive-d");
  ApplyRegistry(
      ParseRegFile(Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\Plain]\r\n\"v\"=\"\u4E2D\"\r\n"),
                   "d.reg"),
      d);
  SaveMachineFolder(d, tmp.path() / "data");
  EXPECT_EQ(Read(tmp.path() / "data" / "registry.reg").substr(0, 2), "\xFF\xFE");
  EXPECT_THROW(WriteRegedit4(ExportRegistry(d)), dravlin::regfile::WriteError);
}

// Windows compares names without regard to case in every script, not only in the code page.
TEST(HeldNames, CompareWithoutRegardToCase) {
  const RegFile file =
      ParseRegFile(Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\\u03A9mega]\r\n"
                             u"\"a\"=\"1\"\r\n\"\u03A3\"=\"x\"\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\\u03C9MEGA]\r\n"
                             u"\"b\"=\"2\"\r\n\"\u03C2\"=\"y\"\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\\u0416\u0443\u043A]\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\\u0436\u0423\u041A]\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\\u0160koda]\r\n"),
                   "export.reg");
  Machine m;
  ApplyRegistry(file, m);
  std::string omega;
  platform::AppendWideChar(omega, 0x03A9);
  omega += "mega";
  EXPECT_EQ(m.ListSubkeys(platform::HKEY_CURRENT_USER, "Software").size(), 3u);
  // One key, and one value named by capital and final small sigma.
  EXPECT_EQ(m.ListValues(platform::HKEY_CURRENT_USER, "Software\\" + omega).size(), 3u);
  auto& reg = m.services().registry;
  platform::UniqueKey key(reg);
  EXPECT_EQ(reg.RegOpenKeyExA(platform::HKEY_CURRENT_USER, "Software\\\x9AKODA", 0,
                              platform::KEY_READ, key.put()),
            platform::ERROR_SUCCESS);
}

// machine.json is UTF-8 and so are the host's file names; the machine holds both in the code
// page, so that a DLL path with an umlaut names the file on the drive and in the registry.
TEST(MachineFolder, SettingsAndFileNamesAreHeldInTheCodePage) {
  const TempFolder tmp;
  const fs::path folder = tmp.path() / "m";
  fs::create_directories(folder / "c" / "WINDOWS" / "system32");
  std::ofstream(folder / "c" / "WINDOWS" / "system32" / "qz\u00FCber.dll") << "MZ";
  std::ofstream(folder / "machine.json")
      << R"({"version": "winxp", "hijacker": {"dll": "C:\\WINDOWS\\system32\\qzüber.dll"},)"
      << R"( "attributes": {"C:\\WINDOWS\\system32\\qzüber.dll": "hidden"}})";
  std::ofstream(folder / "registry.reg") << "REGEDIT4\r\n";
  const auto loaded = LoadMachineFolder(folder);
  Machine& m = loaded->machine();
  const std::string dll =
      "C:\\WINDOWS\\system32\\qz\xFC"
      "ber.dll";
  EXPECT_EQ(m.Hijacker()->dllPath, dll);
  EXPECT_EQ(m.ListFiles(), std::vector<std::string>{dll});
  EXPECT_EQ(m.FileAttributes(dll) & platform::FILE_ATTRIBUTE_HIDDEN,
            platform::FILE_ATTRIBUTE_HIDDEN);
  // A file the program makes gets a UTF-8 name on the host.
  ASSERT_TRUE(m.WriteFile("C:\\\xC4rger.txt", "x"));
  EXPECT_TRUE(fs::exists(m.DriveRoot() / "\u00C4rger.txt"));
  EXPECT_NE(WriteMachineJson(m).find("qz\u00FCber.dll"), std::string::npos);

  std::ofstream(folder / "machine.json") << R"({"exePath": "C:\\\u4E2D.exe"})";
  EXPECT_THROW(LoadMachineFolder(folder), FormatError);
}

}  // namespace
