// The .reg reader and writer: what real exports contain, what hand-written files get wrong,
// and that the writer's output reads back to the very same data.
#include "platform/sim/persist/regfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

using dravlin::sim::persist::FormatError;
using dravlin::sim::persist::ParseRegFile;
using dravlin::sim::persist::ReadRegFile;
using dravlin::sim::persist::RegFile;
using dravlin::sim::persist::RegFormat;
using dravlin::sim::persist::RegKeyEntry;
using dravlin::sim::persist::RegValueEntry;
using dravlin::sim::persist::WriteRegedit4;
namespace platform = dravlin::platform;

using namespace std::string_literals;

std::string Utf16File(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (const char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// Expects a refusal at `line` whose message contains `what`.
void ExpectRefused(const std::string& text, int line, const std::string& what) {
  try {
    ParseRegFile(text, "registry.reg");
    ADD_FAILURE() << "accepted:\n" << text;
  } catch (const FormatError& e) {
    EXPECT_EQ(e.line(), line) << e.what();
    EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("registry.reg:" + std::to_string(line) + ": ", 0), 0u)
        << e.what();
  }
}

TEST(RegFileReader, ReadsEverySyntaxElementOfARegedit4Export) {
  const std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\WINDOWS\\\\say \\\"hi\\\"\"\r\n"
      "\"Count\"=dword:0000010a\r\n"
      "\"Blob\"=hex:01,ff,0A\r\n"
      "\"Expand\"=hex(2):25,41,25,00\r\n"
      "\"Multi\"=hex(7):61,00,62,\\\r\n"
      "    00,00\r\n"
      "\"Umlaut\"=\"\xE4\x80\"\r\n"
      "\"Gone\"=-\r\n"
      "  \r\n"
      "[HKLM\\SOFTWARE\\Short]\n"  // LF only, and the short root names
      "[hkcu\\Software\\x]\n"
      "[HKCR\\CLSID]\n"
      "[HKEY_USERS\\.DEFAULT]\n"
      "[-HKEY_CURRENT_USER\\Software\\Old]\n";
  const RegFile f = ParseRegFile(text, "t.reg");
  EXPECT_EQ(f.format, RegFormat::Regedit4);
  ASSERT_EQ(f.keys.size(), 6u);
  const RegKeyEntry& k = f.keys[0];
  EXPECT_EQ(k.path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test");
  EXPECT_EQ(k.line, 4);
  ASSERT_EQ(k.values.size(), 8u);
  EXPECT_EQ(k.values[0], (RegValueEntry{"", platform::REG_SZ, "default\0"s}));
  EXPECT_EQ(k.values[1], (RegValueEntry{"Path", platform::REG_SZ, "C:\\WINDOWS\\say \"hi\"\0"s}));
  EXPECT_EQ(k.values[2], (RegValueEntry{"Count", platform::REG_DWORD, "\x0a\x01\0\0"s}));
  EXPECT_EQ(k.values[3], (RegValueEntry{"Blob", platform::REG_BINARY, "\x01\xff\x0a"s}));
  // REGEDIT4 hex data stays raw bytes, even for string types.
  EXPECT_EQ(k.values[4], (RegValueEntry{"Expand", platform::REG_EXPAND_SZ, "%A%\0"s}));
  EXPECT_EQ(k.values[5], (RegValueEntry{"Multi", platform::REG_MULTI_SZ, "a\0b\0\0"s}));
  EXPECT_EQ(k.values[5].line, 10);
  EXPECT_EQ(k.values[6], (RegValueEntry{"Umlaut", platform::REG_SZ, "\xE4\x80\0"s}));
  EXPECT_TRUE(k.values[7].remove);
  EXPECT_EQ(k.values[7].name, "Gone");
  EXPECT_EQ(f.keys[1].path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Short");
  EXPECT_EQ(f.keys[2].path, "HKEY_CURRENT_USER\\Software\\x");
  EXPECT_EQ(f.keys[3].path, "HKEY_CLASSES_ROOT\\CLSID");
  EXPECT_EQ(f.keys[4].path, "HKEY_USERS\\.DEFAULT");
  EXPECT_TRUE(f.keys[5].remove);
  EXPECT_EQ(f.keys[5].path, "HKEY_CURRENT_USER\\Software\\Old");
  EXPECT_EQ(f.keys[5].line, 19);
}

TEST(RegFileReader, BlanksAroundTheEqualsSignAndShortDwordsAreAccepted) {
  const RegFile f = ParseRegFile("REGEDIT4\n[HKLM\\A]\n\"x\" = dword:1 ; one\n@ =hex:\n", "t");
  ASSERT_EQ(f.keys[0].values.size(), 2u);
  EXPECT_EQ(f.keys[0].values[0].data, "\x01\0\0\0"s);
  EXPECT_EQ(f.keys[0].values[1], (RegValueEntry{"", platform::REG_BINARY, ""}));
}

TEST(RegFileReader, ConvertsAVersion5Utf16ExportToWindows1252) {
  const std::string text = Utf16File(
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n"
      u"; \u4E2D\u6587 comments may hold anything\r\n"
      u"[HKEY_CURRENT_USER\\Software\\M\u00FCller]\r\n"
      u"\"Name\"=\"Gr\u00FC\u00DFe \u20AC\"\r\n"
      u"\"Exp\"=hex(2):25,00,e4,00,ac,20,00,00\r\n"
      u"\"Multi\"=hex(7):61,00,00,00,\\\r\n"
      u"  62,00,00,00,00,00\r\n"
      u"\"Sz\"=hex(1):41,00,00,00\r\n"
      u"\"Bin\"=hex:41,00,00\r\n");
  const RegFile f = ParseRegFile(text, "t.reg");
  EXPECT_EQ(f.format, RegFormat::Version5);
  ASSERT_EQ(f.keys.size(), 1u);
  EXPECT_EQ(f.keys[0].path, "HKEY_CURRENT_USER\\Software\\M\xFCller");
  const auto& v = f.keys[0].values;
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0].data,
            "Gr\xFC\xDF"
            "e \x80\0"s);
  EXPECT_EQ(v[1], (RegValueEntry{"Exp", platform::REG_EXPAND_SZ, "%\xE4\x80\0"s}));
  EXPECT_EQ(v[2], (RegValueEntry{"Multi", platform::REG_MULTI_SZ, "a\0b\0\0"s}));
  EXPECT_EQ(v[3], (RegValueEntry{"Sz", platform::REG_SZ, "A\0"s}));
  // Binary data is never text: it stays as it is.
  EXPECT_EQ(v[4], (RegValueEntry{"Bin", platform::REG_BINARY, "A\0\0"s}));
}

TEST(RegFileReader, Version5HeaderInAnAnsiFileStillMeansUtf16StringData) {
  const RegFile f = ParseRegFile(
      "Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"E\"=hex(2):43,00,3a,00,00,00\r\n"
      "\"S\"=\"\xE4\"\r\n",
      "t");
  EXPECT_EQ(f.keys[0].values[0].data, "C:\0"s);
  EXPECT_EQ(f.keys[0].values[1].data, "\xE4\0"s);
}

TEST(RegFileReader, Utf8WithMarkIsConvertedLikeUtf16) {
  const RegFile f =
      ParseRegFile("\xEF\xBB\xBFREGEDIT4\n[HKLM\\A]\n\"S\"=\"\xC3\xA4\xE2\x82\xAC\"\n", "t");
  EXPECT_EQ(f.keys[0].values[0].data, "\xE4\x80\0"s);
}

TEST(RegFileReader, RefusesCharactersWithoutAWindows1252Byte) {
  // In a string, in a key name, in hex(2) text; each names its line.
  ExpectRefused(Utf16File(u"REGEDIT4\r\n[HKLM\\A]\r\n\"S\"=\"\u4E2D\"\r\n"), 3, "Windows-1252");
  ExpectRefused(Utf16File(u"REGEDIT4\r\n\r\n[HKLM\\\u0100]\r\n"), 3, "Windows-1252");
  ExpectRefused(Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n"
                          u"\"E\"=hex(2):2d,4e,00,00\r\n"),
                3, "Windows-1252");
  ExpectRefused(Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n"
                          u"\"E\"=hex(7):41,00,\\\r\n  00\r\n"),
                3, "even number of bytes");
  ExpectRefused("\xEF\xBB\xBFREGEDIT4\n[HKLM\\A]\n\"S\"=\"\xC3\"\n", 3, "Windows-1252");
}

TEST(RegFileReader, RefusesMalformedLinesNamingLineAndExpectation) {
  const std::string h = "REGEDIT4\r\n";
  ExpectRefused("", 1, "expected 'REGEDIT4'");
  ExpectRefused("REGEDIT5\r\n", 1, "expected 'REGEDIT4'");
  ExpectRefused(h + "\"a\"=\"b\"\r\n", 2, "key line");
  ExpectRefused(h + "[HKLM\\A\r\n", 2, "expected ']'");
  ExpectRefused(h + "[HKEY_CURRENT_CONFIG\\A]\r\n", 2, "'HKEY_CURRENT_CONFIG'");
  ExpectRefused(h + "[HKLM\\A\\\\B]\r\n", 2, "between backslashes");
  ExpectRefused(h + "[HKLM\\A\\]\r\n", 2, "between backslashes");
  ExpectRefused(h + "[HKLM\\A]\r\nfoo=1\r\n", 3, "start of the line");
  ExpectRefused(h + "[HKLM\\A]\r\n\"name\" \"x\"\r\n", 3, "expected '=' after value name");
  ExpectRefused(h + "[HKLM\\A]\r\n\"name=\"x\"\r\n", 3, "expected '=' after value name");
  ExpectRefused(h + "[HKLM\\A]\r\n\"name\r\n", 3, "close the value name");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=\"abc\r\n", 3, "close the string");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=\"C:\\WINDOWS\"\r\n", 3, "after a backslash");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=\"a\" b\r\n", 3, "end of the line");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=dword:\r\n", 3, "hexadecimal digits");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=dword:123456789\r\n", 3, "at most 8");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=dword:12x\r\n", 3, "end of the line");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:01,zz\r\n", 3, "hexadecimal byte");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:01,,02\r\n", 3, "hexadecimal byte");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:012\r\n", 3, "','");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex(2:00\r\n", 3, "hex(n):");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex(123456789):00\r\n", 3, "hex(n):");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=text\r\n", 3, "after '='");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=-x\r\n", 3, "end of the line");
  ExpectRefused(h + "[-HKLM\\A]\r\n\"n\"=\"x\"\r\n", 3, "key deletion");
  // A fault on a continuation line is reported on that line, not on the value's first.
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:01,\\\r\n  02,\\\r\n  g0\r\n", 5, "hexadecimal byte");
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:01,\\", 3, "continuation line");
  // A missing comma before the line break joins two bytes into an invalid one.
  ExpectRefused(h + "[HKLM\\A]\r\n\"n\"=hex:01,02\\\r\n  03\r\n", 4, "','");
}

TEST(RegFileReader, ReadsFromDiskAndNamesAMissingFile) {
  const auto dir = std::filesystem::temp_directory_path() / "persist_regfile_test";
  std::filesystem::create_directories(dir);
  const auto path = dir / "registry.reg";
  {
    std::ofstream out(path, std::ios::binary);
    out << "REGEDIT4\r\n[HKLM\\A]\r\n@=\"x\"\r\n";
  }
  EXPECT_EQ(ReadRegFile(path, "m/registry.reg").keys.at(0).values.at(0).data, "x\0"s);
  std::filesystem::remove_all(dir);
  try {
    ReadRegFile(path, "m/registry.reg");
    ADD_FAILURE() << "a missing file was read";
  } catch (const FormatError& e) {
    EXPECT_EQ(e.line(), 0);
    EXPECT_EQ(std::string(e.what()).rfind("m/registry.reg: ", 0), 0u) << e.what();
  }
}

TEST(RegFileReader, LongInputStaysLinear) {
  // 200,000 continuation lines and a 4 MB line: each would take minutes if the reader were
  // quadratic in them. The fault on the last line must still be found on that line.
  std::string text = "REGEDIT4\n[HKLM\\A]\n\"n\"=hex:00,\\\n";
  const int kLines = 200000;
  for (int i = 0; i < kLines; ++i) text += "  01,02,\\\n";
  text += "  zz\n";
  ExpectRefused(text, 4 + kLines, "hexadecimal byte");

  std::string wide = "REGEDIT4\n[HKLM\\A]\n\"n\"=\"" + std::string(4'000'000, 'a') + "\"\n";
  EXPECT_EQ(ParseRegFile(wide, "t").keys[0].values[0].data.size(), 4'000'001u);
}

RegFile SampleFile() {
  RegFile f;
  RegKeyEntry k;
  k.path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
  k.values = {
      {"", platform::REG_SZ, "default\0"s},
      {"Plain", platform::REG_SZ, "C:\\WINDOWS\\x \"q\" ; [not a key]\xE4\xFF\0"s},
      {"Empty", platform::REG_SZ, "\0"s},
      {"NoData", platform::REG_SZ, ""},
      {"Stealth", platform::REG_SZ, "\0\0\0\0\0 \0"s},
      {"NoTerminator", platform::REG_SZ, "abc"},
      {"TwoTerminators", platform::REG_SZ, "abc\0\0"s},
      {"Control", platform::REG_SZ, "a\x01\tb\x7f\0"s},
      {"Exp", platform::REG_EXPAND_SZ, "%SystemRoot%\\x\0"s},
      {"Multi", platform::REG_MULTI_SZ, "a\0b\0\0"s},
      {"Dw", platform::REG_DWORD, "\x78\x56\x34\x12"s},
      {"ShortDw", platform::REG_DWORD, "\x01\x02"s},
      {"Big", platform::REG_BINARY, std::string(1000, '\xAB')},
      {"None", platform::REG_NONE, ""},
      {"Qword", 0xb, "\1\2\3\4\5\6\7\0"s},
      {"Odd type", 0x12345678, "z"},
      {"Back\\slash \"quoted\"", platform::REG_SZ, "v\0"s},
      {"Removed", 0, "", true},
  };
  f.keys.push_back(k);
  f.keys.push_back(RegKeyEntry{"HKEY_CURRENT_USER\\Software\\Empty key", false, {}, 0});
  f.keys.push_back(RegKeyEntry{"HKEY_CLASSES_ROOT\\CLSID\\{x}", true, {}, 0});
  f.keys.push_back(RegKeyEntry{"HKEY_USERS", false, {{"u", platform::REG_SZ, "1\0"s}}, 0});
  // A very long name pushes the first byte of a hex list to the wrapping column at once.
  f.keys.push_back(RegKeyEntry{
      "HKLM\\L", false, {{std::string(90, 'n'), platform::REG_BINARY, std::string(30, '\1')}}, 0});
  return f;
}

TEST(RegFileWriter, WhatItWritesReadsBackToTheSameData) {
  const RegFile original = SampleFile();
  const std::string text = WriteRegedit4(original);
  const RegFile back = ParseRegFile(text, "out.reg");
  EXPECT_EQ(back.format, RegFormat::Regedit4);
  ASSERT_EQ(back.keys.size(), original.keys.size());
  for (std::size_t i = 0; i < original.keys.size(); ++i) {
    ASSERT_EQ(back.keys[i].values.size(), original.keys[i].values.size()) << i;
    for (std::size_t j = 0; j < original.keys[i].values.size(); ++j) {
      EXPECT_EQ(back.keys[i].values[j], original.keys[i].values[j])
          << "value " << original.keys[i].values[j].name;
    }
  }
  // Root spellings come back in their long form.
  EXPECT_EQ(back.keys[4].path, "HKEY_LOCAL_MACHINE\\L");
  RegFile expected = original;
  expected.keys[4].path = "HKEY_LOCAL_MACHINE\\L";
  EXPECT_TRUE(back.keys == expected.keys);
  // Writing is deterministic: a second round gives the same text.
  EXPECT_EQ(WriteRegedit4(back), text);
}

TEST(RegFileWriter, WritesReadableFormsAndWrapsLongLines) {
  const std::string text = WriteRegedit4(SampleFile());
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE", 0), 0u);
  EXPECT_NE(text.find("\r\n@=\"default\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Plain\"=\"C:\\\\WINDOWS\\\\x \\\"q\\\" ; [not a key]\xE4\xFF\"\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"Empty\"=\"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"NoData\"=hex(1):\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Stealth\"=hex(1):00,00,00,00,00,20,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"NoTerminator\"=hex(1):61,62,63\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Control\"=hex(1):61,01,09,62,7f,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Dw\"=dword:12345678\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"ShortDw\"=hex(4):01,02\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Qword\"=hex(b):01,"), std::string::npos);
  EXPECT_NE(text.find("\"Odd type\"=hex(12345678):7a\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Removed\"=-\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n[-HKEY_CLASSES_ROOT\\CLSID\\{x}]\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Big\"=hex:ab,ab,"), std::string::npos);
  std::size_t start = 0;
  int continued = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "every line ends with CR LF";
    const std::string line = text.substr(start, end - start);
    if (line.find("nnnnnnnn") == std::string::npos) {
      EXPECT_LE(line.size(), 80u) << line;
    }
    if (!line.empty() && line.back() == '\\') {
      ++continued;
      EXPECT_EQ(line[line.size() - 2], ',') << line;
    }
    start = end + 2;
  }
  EXPECT_GE(continued, 1000 * 3 / 78);
}

TEST(RegFileWriter, RefusesWhatTheFormatCannotCarry) {
  RegFile f;
  f.keys.push_back(RegKeyEntry{"HKLM\\A", false, {{"two\nlines", platform::REG_SZ, "x\0"s}}, 0});
  EXPECT_THROW(WriteRegedit4(f), std::invalid_argument);
  f.keys[0] = RegKeyEntry{"HKEY_CURRENT_CONFIG\\A", false, {}, 0};
  EXPECT_THROW(WriteRegedit4(f), std::invalid_argument);
  f.keys[0] = RegKeyEntry{"HKLM\\A", true, {{"v", platform::REG_SZ, "x\0"s}}, 0};
  EXPECT_THROW(WriteRegedit4(f), std::invalid_argument);
}

}  // namespace
