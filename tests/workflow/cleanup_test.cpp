// The second step's clean-up: which Browser Helper Objects go, which Internet Explorer pages
// are deleted, and the text rules behind them.
#include <gtest/gtest.h>

#include <algorithm>

#include "scenario.h"
#include "workflow/frmGetAll.h"

namespace dravlin::scenario {
namespace {

const std::string kNul(1, '\0');

std::string Registration(const std::string& clsid) {
  return std::string(kBhoKey) + "\\" + clsid;
}

// A started program on XP whose clean-up procedures the tests call directly.
class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override { m.Boot(); }
  frmGetAll& Program() {
    if (!started) {
      s.Start();
      started = true;
    }
    return s.session().form();
  }
  void Page(platform::HKey root, const std::string& key, const std::string& name,
            const std::string& text) {
    m.SetString(root, key, name, text);
  }

  Scenario s;
  sim::Machine& m = s.machine();
  bool started = false;
};

// ---------------------------------------------------------------------------------------------
// Browser Helper Objects

TEST_F(Cleanup, WithoutAHijackedPageNoObjectIsTouched) {
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "http://www.example.com/");
  AddBho(m, "{A0000000-0000-0000-0000-000000000000}", "C:\\qz\\qzhook.dll");
  m.WriteFile("C:\\qz\\qzhook.dll", "MZ");
  const TreeMap before = WholeRegistry(m);
  Program().RemoveBhos();
  EXPECT_EQ(s.Log(), (Lines{s.Line(" BHO-DLL: (not found)")}));
  EXPECT_EQ(WholeRegistry(m), before);
  EXPECT_TRUE(m.FileExists("C:\\qz\\qzhook.dll"));
}

TEST_F(Cleanup, EveryObjectWhoseDllPathContainsTheNameGoesAndNoOtherOne) {
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://C:\\WINDOWS\\system32\\QZHOOK.DLL/qz.html");
  const std::vector<std::pair<std::string, std::string>> objects{
      {"{A1000000-0000-0000-0000-000000000000}", "C:\\Program Files\\Good\\good.dll"},
      {"{A2000000-0000-0000-0000-000000000000}", "c:\\windows\\system32\\qzhook.dll"},
      {"{A3000000-0000-0000-0000-000000000000}", "C:\\Program Files\\Other\\other.dll"},
      {"{A4000000-0000-0000-0000-000000000000}", "C:\\tools\\superqzhook.dll.bak"},
      {"{A5000000-0000-0000-0000-000000000000}", "C:\\gone\\qzhook.dll"},
      {"{A6000000-0000-0000-0000-000000000000}", "C:\\user\\qzhook.dll"},
  };
  // The last class is registered for the user alone: XP's HKCR shows it, and it goes through it.
  const std::string userClass = "Software\\Classes\\CLSID\\" + objects.back().first;
  for (const auto& [clsid, path] : objects) {
    AddBho(m, clsid, path);
    if (path != "C:\\gone\\qzhook.dll") m.WriteFile(path, "MZ");
  }
  m.DeleteKey(HKEY_CLASSES_ROOT, "CLSID\\" + objects.back().first);
  m.SetString(HKEY_CURRENT_USER, userClass + "\\InprocServer32", "", objects.back().second);
  Program().RemoveBhos();
  EXPECT_FALSE(m.KeyExists(HKEY_CURRENT_USER, userClass));

  Lines expected;
  for (const auto& [clsid, path] : objects) {
    const bool selected = path.find("qzhook") != std::string::npos;
    EXPECT_EQ(m.KeyExists(HKEY_LOCAL_MACHINE, Registration(clsid)), !selected) << clsid;
    EXPECT_EQ(m.KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + clsid), !selected) << clsid;
    if (path != "C:\\gone\\qzhook.dll") {
      EXPECT_EQ(m.FileExists(path), !selected) << path;
    }
    if (!selected) continue;
    const std::string stored = path + kNul + " ";
    expected.push_back(s.Line(" BHO: " + clsid + " " + stored));
    expected.push_back(s.Line(" BHO-deleted"));
    expected.push_back(s.Line(" BHO-CLSID-Key deleted"));
    expected.push_back(path == "C:\\gone\\qzhook.dll"
                           ? s.Line(" Error while deleting: " + stored)
                           : s.Line(" BHO-DLL: " + stored + " (deleted)"));
  }
  // Objects are worked through in the registry's order, which here is the order of creation.
  EXPECT_EQ(s.Log(), expected);
}

TEST_F(Cleanup, UnreadableObjectPathIsNeverTakenForAFile) {
  // The page points into a DLL called "rr"; an object without a readable path reads "Error",
  // which contains it.
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://C:\\x\\rr/qz.html");
  const std::string clsid = "{E0000000-0000-0000-0000-000000000000}";
  m.CreateKey(HKEY_LOCAL_MACHINE, Registration(clsid));
  m.CreateKey(HKEY_CLASSES_ROOT, "CLSID\\" + clsid);
  m.WriteFile("C:\\Error", "not a DLL");
  m.WriteFile("C:\\Program Files\\Dravlin\\Error", "not a DLL");
  m.WriteFile("C:\\WINDOWS\\system32\\Error", "not a DLL");
  Program().RemoveBhos();
  EXPECT_EQ(s.Log(),
            (Lines{s.Line(" BHO: " + clsid + " Error"), s.Line(" BHO-deleted"),
                   s.Line(" BHO-CLSID-Key deleted"), s.Line(" Error while deleting: Error")}));
  EXPECT_EQ(std::count(m.CallLog().begin(), m.CallLog().end(), "PathFileExistsA"), 0)
      << "not even looked for";
  EXPECT_TRUE(m.FileExists("C:\\Error"));
  EXPECT_TRUE(m.FileExists("C:\\Program Files\\Dravlin\\Error"));
  EXPECT_TRUE(m.FileExists("C:\\WINDOWS\\system32\\Error"));
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, Registration(clsid)));
}

TEST_F(Cleanup, KeysThatCannotBeDeletedAreLoggedAndTheRestIsStillDone) {
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://C:\\x\\qzhook.dll/qz.html");
  const std::string clsid = "{F0000000-0000-0000-0000-000000000000}";
  AddBho(m, clsid, "C:\\qz\\qzhook.dll");
  m.WriteFile("C:\\qz\\qzhook.dll", "MZ");
  // A subkey this account may not delete keeps both keys in place on NT.
  m.CreateKey(HKEY_LOCAL_MACHINE, Registration(clsid) + "\\Locked");
  m.DenyAccess(HKEY_LOCAL_MACHINE, Registration(clsid) + "\\Locked");
  m.CreateKey(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\Locked");
  m.DenyAccess(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\Locked");
  Program().RemoveBhos();
  const std::string stored = "C:\\qz\\qzhook.dll" + kNul + " ";
  // The backup cannot read the locked subkeys either: it keeps the rest and says so.
  EXPECT_EQ(s.Log(), (Lines{s.Line(" BHO: " + clsid + " " + stored),
                            s.Line(" Error while backing up: HKLM\\" + Registration(clsid)),
                            s.Line(" Error while deleting BHO"),
                            s.Line(" Error while backing up: HKCR\\CLSID\\" + clsid),
                            "Error while deleting BHO-CLSID-Key",
                            s.Line(" BHO-DLL: " + stored + " (deleted)")}));
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, Registration(clsid)));
  EXPECT_FALSE(m.FileExists("C:\\qz\\qzhook.dll"));
  // The class's server key, which went, is in the backup.
  const auto kept = m.ReadFile(Program().BackupFolder() + "\\removed.reg");
  ASSERT_TRUE(kept);
  EXPECT_NE(kept->find("\\InprocServer32]\r\n@=\"C:\\\\qz\\\\qzhook.dll\""), std::string::npos)
      << *kept;
}

TEST_F(Cleanup, ObjectNamedOnlyByBlanksIsLeftAlone) {
  // Its trimmed name would make the key paths name the parent keys themselves.
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "res://C:\\x\\rr/qz.html");
  m.CreateKey(HKEY_LOCAL_MACHINE, Registration("  "));
  AddBho(m, "{B0000000-0000-0000-0000-000000000000}", "C:\\Program Files\\Good\\good.dll");
  const TreeMap before = WholeRegistry(m);
  Program().RemoveBhos();
  EXPECT_TRUE(s.Log().empty());
  EXPECT_EQ(WholeRegistry(m), before);
}

// ---------------------------------------------------------------------------------------------
// Internet Explorer pages

TEST_F(Cleanup, BadPagesAreDeletedUnderBothRootsAndLoggedWithTheStoredText) {
  const std::string ie = "Software\\Microsoft\\Internet Explorer";
  Page(HKEY_CURRENT_USER, ie, "SearchURL", "http://x/QZ.HTML?q=");               // row 8, capitals
  Page(HKEY_CURRENT_USER, ie + "\\SearchURL", "\"\"", "http://x%2Fqz.html");     // row 11, escaped
  Page(HKEY_CURRENT_USER, ie + "\\SearchURL", "", "http://x/qz.html");           // not a row
  Page(HKEY_CURRENT_USER, kIeMain, "Start Page", "http://www.example.com/");     // good
  Page(HKEY_LOCAL_MACHINE, kIeMain, "Default_Page_URL", "  res://x/qz.html  ");  // row 5
  Page(HKEY_LOCAL_MACHINE, ie + "\\Search", "CustomizeSearch", "res://y/qz.html");  // row 10
  frmGetAll& program = Program();
  program.RepairIePages(false);
  EXPECT_TRUE(s.Log().empty()) << "the read pass logs nothing";
  EXPECT_EQ(program.IePageValues()[8], "http://x/QZ.HTML?q=" + kNul);
  EXPECT_EQ(program.IePageValues()[11], "http://x/qz.html" + kNul);
  EXPECT_EQ(program.IePageValues()[4], "http://www.example.com/" + kNul);
  EXPECT_EQ(program.IePageValues()[13 + 5], "res://x/qz.html  " + kNul);
  EXPECT_EQ(program.IePageValues()[1], "Error");
  // Pages that change between the passes are quoted as the read pass stored them.
  Page(HKEY_CURRENT_USER, kIeMain, "HomeOldQZ", "http://evil/qz.html");
  Page(HKEY_LOCAL_MACHINE, ie + "\\Search", "CustomizeSearch", "res://changed/qz.html");

  program.RepairIePages(true);
  EXPECT_EQ(
      s.Log(),
      (Lines{
          s.Line(" Bad IE-pages found:"),
          "deleted: HKCU\\Software\\Microsoft\\Internet Explorer\\Main, HomeOldQZ: not found",
          "deleted: HKCU\\Software\\Microsoft\\Internet Explorer, SearchURL: http://x/QZ.HTML?q=" +
              kNul,
          "deleted: HKCU\\Software\\Microsoft\\Internet Explorer\\SearchURL, \"\": "
          "http://x/qz.html" +
              kNul,
          "deleted: HKLM\\Software\\Microsoft\\Internet Explorer\\Main, Default_Page_URL: "
          "res://x/qz.html  " +
              kNul,
          "deleted: HKLM\\Software\\Microsoft\\Internet Explorer\\Search, CustomizeSearch: "
          "res://y/qz.html" +
              kNul}));
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, ie, "SearchURL"));
  EXPECT_FALSE(m.GetValue(HKEY_CURRENT_USER, ie + "\\SearchURL", "\"\""));
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, ie + "\\SearchURL", ""));
  EXPECT_TRUE(m.GetValue(HKEY_CURRENT_USER, kIeMain, "Start Page"));
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, kIeMain, "Default_Page_URL"));
  EXPECT_FALSE(m.GetValue(HKEY_LOCAL_MACHINE, ie + "\\Search", "CustomizeSearch"));
}

TEST_F(Cleanup, DllNameComesFromTheFirstQualifyingSlot) {
  struct Case {
    std::string hkcuStart;   // slot 4
    std::string hklmSearch;  // slot 15
    std::string expected;
  };
  const std::vector<Case> cases{
      {"res://C:\\a\\first.dll/qz.html", "res://C:\\b\\second.dll/qz.html", "first.dll"},
      {"http://www.example.com/", "res://C:\\b\\second.dll/qz.html", "second.dll"},
      {"res://C:\\a\\one.dll/qz.html#C:\\b\\two.dll/QZ.html", "", "two.dll"},  // the last one
      {"res://nofolder.dll/qz.html", "res://C:\\b\\second.dll/qz.html", "second.dll"},
      {"/qz.html\\x", "res://C:\\b\\second.dll/qz.html", "second.dll"},  // begins with it
      {"res://C:\\a\\/qz.html", "res://C:\\b\\second.dll/qz.html", ""},  // empty name, stop
  };
  for (const Case& c : cases) {
    Scenario t;
    auto& tm = t.machine();
    tm.Boot();
    if (!c.hkcuStart.empty()) tm.SetString(HKEY_CURRENT_USER, kIeMain, "Start Page", c.hkcuStart);
    if (!c.hklmSearch.empty())
      tm.SetString(HKEY_LOCAL_MACHINE, kIeMain, "Search Page", c.hklmSearch);
    frmGetAll& program = t.Start().form();
    program.RepairIePages(false);
    program.GetPageDllName();
    EXPECT_EQ(program.PageDllName(), c.expected) << c.hkcuStart;
  }
}

// ---------------------------------------------------------------------------------------------
// Text rules

TEST(TextRules, UrlDecodeTurnsEscapesIntoBytesOnceAndLeavesStrayPercentSigns) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"%41", "A"},
      {"%2541", "%41"},  // one pass only
      {"  a%20b  ", "a b"},
      {"%20x%20", " x "},  // blanks made by decoding stay
      {"x%2f%2Fy", "x//y"},
      {"%00", std::string(1, '\0')},
      {std::string("a\0 ", 3), std::string("a\0", 2)},  // a NUL at the end stays
      {"end%4", "end\x04"},                             // a single trailing digit decodes
      {"%4G", "\x04G"},                                 // only hexadecimal digits are consumed
      {"100%", "100%"},
      {"50% off", "50% off"},
      {"%zz", "%zz"},
      {"%%41", "%A"},
      {"%zz%41%", "%zzA%"},  // a stray percent does not stop the later escapes
      {"%", "%"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(frmGetAll::UrlDecode(in), out) << in;
}

TEST(TextRules, FindTextIgnoresCaseAndFindsFirstOrLast) {
  EXPECT_EQ(frmGetAll::FindText("a/QZ.html b/qz.HTML", "/qz.html", false), 2);
  EXPECT_EQ(frmGetAll::FindText("a/QZ.html b/qz.HTML", "/qz.html", true), 12);
  EXPECT_EQ(frmGetAll::FindText("nothing", "/qz.html", false), 0);
  EXPECT_EQ(frmGetAll::FindText("", "/qz.html", true), 0);
  // Registry text is ANSI: accented capitals of Windows-1252 match their small letters.
  EXPECT_EQ(frmGetAll::FindText("x\xC4\xD6\xDC/Qz", "\xE4\xF6\xFC/qZ", false), 2);
}

TEST(TextRules, DegenerateMegabyteTextsAreSearchedWithoutQuadraticTime) {
  // Naive search would compare about 10^12 characters here.
  const std::string haystack = std::string(2 << 20, 'a') + "b";
  const std::string needle = std::string(1 << 20, 'a') + "b";
  EXPECT_EQ(frmGetAll::FindText(haystack, needle, false), (1 << 20) + 1);
  EXPECT_EQ(frmGetAll::FindText(haystack, needle, true), (1 << 20) + 1);
  EXPECT_EQ(frmGetAll::FindText(haystack, needle + "c", false), 0);
  const std::string escapes = [] {
    std::string e;
    for (int i = 0; i < (1 << 20); ++i) e += "%41";
    return e;
  }();
  EXPECT_EQ(frmGetAll::UrlDecode(escapes), std::string(1 << 20, 'A'));
}

}  // namespace
}  // namespace dravlin::scenario
