// The .reg reader and writer and machine folders: what real exports contain, what hand-written
// files get wrong, that a saved folder reads back to the same machine, and that differences
// between two states read as a user wants.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/rehearsal/machine_changes.h"
#include "platform/registry.h"
#include "regfile/regfile.h"
#include "sim/persist/machine_folder.h"

namespace {

namespace fs = std::filesystem;
namespace platform = dravlin::platform;
using dravlin::sim::Machine;
using dravlin::sim::RegValue;
using dravlin::sim::TempFolder;
using namespace dravlin::sim::persist;
using namespace dravlin::rehearsal;
using namespace std::string_literals;

std::string Utf16File(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (const char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// Runs f, expecting a FormatError whose message starts with prefix and contains what.
template <typename F>
void ExpectRefusal(F f, const std::string& prefix, const std::string& what) {
  try {
    f();
    ADD_FAILURE() << "accepted; expected " << prefix << " ... " << what;
  } catch (const FormatError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
  }
}

// What each element of the syntax reads as is shown by the golden saved folder of a machine
// whose registry uses them all.
TEST(RegFile, Utf8FileWithItsMarkBecomesWindows1252) {
  const RegFile u8 =
      ParseRegFile("\xEF\xBB\xBFREGEDIT4\n[HKLM\\A]\n\"S\"=\"\xC3\xA4\xE2\x82\xAC\"\n", "t");
  EXPECT_EQ(u8.keys[0].values[0].data, "\xE4\x80\0"s);
}

TEST(RegFile, RefusesMalformedInputNamingFileLineAndExpectation) {
  const std::string h = "REGEDIT4\r\n[HKLM\\A]\r\n";
  const struct {
    std::string text;
    int line;
    const char* what;
  } cases[] = {
      {"", 1, "expected 'REGEDIT4'"},
      {"REGEDIT4\r\n\"a\"=\"b\"\r\n", 2, "key line"},
      {"REGEDIT4\r\n[HKLM\\A\r\n", 2, "expected ']'"},
      {"REGEDIT4\r\n[HKLM\\A\\\\B]\r\n", 2, "between backslashes"},
      {h + "\"name\" \"x\"\r\n", 3, "expected '=' after value name"},
      {h + "\"n\"=\"C:\\WINDOWS\"\r\n", 3, "after a backslash"},
      {h + "\"n\"=dword:123456789\r\n", 3, "at most 8"},
      {h + "\"n\"=hex:01,zz\r\n", 3, "hexadecimal byte"},
      {h + "\"n\"=text\r\n", 3, "after '='"},
      {"REGEDIT4\r\n[-HKLM\\A]\r\n\"n\"=\"x\"\r\n", 3, "key deletion"},
      // A fault on a continuation line is reported on that line, not on the value's first.
      {h + "\"n\"=hex:01,\\\r\n  02,\\\r\n  g0\r\n", 5, "hexadecimal byte"},
      {h + "\"n\"=hex:01,\\", 3, "continuation line"},
      // A missing comma before the line break joins two bytes into an invalid one.
      {h + "\"n\"=hex:01,02\\\r\n  03\r\n", 4, "','"},
      {h + "\"n\"=\"a\0b\"\r\n"s, 3, "without NUL"},
      {Utf16File(u"REGEDIT4\r\n[HKLM\\A]\r\n\"n\"=\"a\u0000b\"\r\n"s), 3, "without NUL"},
      {Utf16File(u"REGEDIT4\r\n[HKLM\\A]\r\n\u0000"s), 3, "without NUL"},
      // A surrogate written as UTF-8 is not UTF-8.
      {"\xEF\xBB\xBFREGEDIT4\r\n[HKLM\\A]\r\n\"\xED\xA0\x80\"=\"\"\r\n", 3, "UTF-8 text"},
      {"\xEF\xBB\xBFREGEDIT4\r\n[HKLM\\A]\r\n\"n\"=\"\xC3\"\r\n", 3, "UTF-8 text"},
      {Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n"
                 u"\"E\"=hex(7):41,00,\\\r\n  00\r\n"),
       3, "even number of bytes"},
  };
  for (const auto& c : cases) {
    ExpectRefusal([&] { ParseRegFile(c.text, "registry.reg"); },
                  "registry.reg:" + std::to_string(c.line) + ": ", c.what);
  }
}

// The folder's saved registry.reg and machine.json are compared in full by the golden runs; here:
// what is saved loads back to the same machine, and a save never lands on other files.
TEST(MachineFolder, SavedFolderLoadsTheSameAndNothingElseIsSavedOver) {
  const TempFolder tmp;
  const auto loaded =
      LoadMachineFolder(fs::path(DRAVLIN_SOURCE_DIR) / "tests" / "scenarios" / "odd-values");
  Machine& m = loaded->machine();
  const fs::path out = tmp.path() / "out";
  SaveMachineFolder(m, out);
  const auto second = LoadMachineFolder(out);
  Machine& n = second->machine();
  const auto regDiff = DiffRegistry(SnapshotRegistry(m), SnapshotRegistry(n));
  EXPECT_TRUE(regDiff.empty()) << FormatRegistryChanges(regDiff);
  const auto fileDiff = DiffFiles(SnapshotFiles(m), SnapshotFiles(n));
  EXPECT_TRUE(fileDiff.empty()) << FormatFileChanges(fileDiff);
  EXPECT_EQ(WriteMachineJson(n), WriteMachineJson(m));  // every setting

  // A line break in a name would start a new line of the file.
  EXPECT_THROW(
      WriteRegedit4(RegFile{
          RegFormat::Regedit4, {{"HKLM\\A", false, {{"a\nb", platform::REG_SZ, "x\0"s}}, 0}}, {}}),
      dravlin::regfile::WriteError);
  // Saving again over a machine folder is fine; over anything else it is refused untouched.
  SaveMachineFolder(n, out);
  fs::create_directory(tmp.path() / "docs");
  std::ofstream(tmp.path() / "docs" / "letter.txt") << "keep me";
  ExpectRefusal([&] { SaveMachineFolder(n, tmp.path() / "docs"); },
                (tmp.path() / "docs").string() + ": ", "letter.txt");
  EXPECT_FALSE(fs::exists(tmp.path() / "docs" / "registry.reg"));
}

// What the golden transcripts do not show: names that differ in case only, control characters
// and a long text in a value, a removed subtree, a change of attributes.
TEST(MachineDiff, ReportsChangesReadably) {
  const auto sz = [](const std::string& data) { return RegValue{platform::REG_SZ, data}; };
  RegistrySnapshot before{{
      {"HKEY_LOCAL_MACHINE\\W", {{"Keep", sz("k\0"s)}, {"Long", sz(std::string(40000, 'a'))}}},
      {"HKEY_LOCAL_MACHINE\\BHO\\{1}", {{"", sz("x\0"s)}}},
      {"HKEY_LOCAL_MACHINE\\BHO\\{1}\\Deep", {}},
  }};
  RegistrySnapshot after{{
      {"HKEY_LOCAL_MACHINE\\w", {{"KEEP", sz("k\0"s)}, {"New", sz("\x01\tM\xFC\x80"s)}}},
  }};
  const std::string text = FormatRegistryChanges(DiffRegistry(before, after));
  EXPECT_EQ(text.substr(0, text.find("(was REG_SZ \"aaa")),
            "  key removed:   HKEY_LOCAL_MACHINE\\BHO\\{1}\n"
            "  value removed: HKEY_LOCAL_MACHINE\\W \"Long\" ");
  EXPECT_NE(text.find("(40000 bytes)"), std::string::npos) << text;
  EXPECT_LT(text.size(), 1000u);  // the long text is cut short
  EXPECT_NE(
      text.find(
          "  value added:   HKEY_LOCAL_MACHINE\\W \"New\" = REG_SZ \"\\x01\\x09M\u00fc\u20ac\" "
          "(no terminating NUL)\n"),
      std::string::npos)
      << text;
  const FileSnapshot filesBefore{{"C:\\c.txt", {"1", 0x20}}, {"C:\\Same.txt", {"s", 0x20}}};
  const FileSnapshot filesAfter{{"C:\\c.txt", {"1", 0x22}}, {"C:\\same.TXT", {"s", 0x20}}};
  EXPECT_EQ(FormatFileChanges(DiffFiles(filesBefore, filesAfter)),
            "  file changed:  C:\\c.txt (attributes none -> hidden)\n");
}

}  // namespace
