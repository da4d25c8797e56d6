// Percent decoding and the DLL name behind a hijacked page, driven through a machine: the
// input, cut at line feeds, fills the 26 Internet Explorer page values (13 under each root) and
// the DLL paths of two registered browser objects. After the object removal and the page
// repair, exactly the values whose decoded text holds the hijacker's page are gone, the DLL
// name came from such a page, and exactly the objects whose DLL path holds that name are gone.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sim/run/simrun.h"
#include "workflow/frmGetAll.h"

using namespace dravlin;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

namespace {

struct Page {
  const char* subKey;
  const char* name;
};
// The rows the program inspects below "Software\Microsoft\Internet Explorer". Written out here
// rather than taken from the program's table: the oracle must not take the program's word for
// which values are the pages.
constexpr std::array<Page, 13> kPages = {{
    {"\\Main", "Search Bar"},
    {"\\Main", "Search Page"},
    {"\\Main", "SearchAssistant"},
    {"\\Main", "Start Page"},
    {"\\Main", "Default_Page_URL"},
    {"\\Main", "Default_Search_URL"},
    {"\\Main", "HomeOldQZ"},
    {"", "SearchURL"},
    {"\\Search", "SearchAssistant"},
    {"\\Search", "CustomizeSearch"},
    {"\\SearchURL", "\"\""},
    {"", "SearchAssistant"},
    {"", "CustomizeSearch"},
}};
constexpr const char* kIe = "Software\\Microsoft\\Internet Explorer";
constexpr const char* kBho =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr std::array<const char*, 2> kClsids = {"{DEADBEEF-0000-4000-8000-000000000001}",
                                                "{11111111-2222-3333-4444-555555555555}"};

struct Slot {
  platform::HKey root;
  const std::string* key;
  const char* name;
  const std::string* data;  // the input's part
};

const std::string& PagePath(std::size_t row) {
  static const std::array<std::string, 13> paths = [] {
    std::array<std::string, 13> out;
    for (std::size_t i = 0; i < 13; ++i) out[i] = std::string(kIe) + kPages[i].subKey;
    return out;
  }();
  return paths[row];
}

std::string ObjectKey(std::size_t i) {
  return std::string(kBho) + "\\" + kClsids[i];
}
std::string ClassKey(std::size_t i) {
  return std::string("CLSID\\") + kClsids[i] + "\\InprocServer32";
}
constexpr std::array<const char*, 2> kObjectPaths = {"C:\\Program Files\\QzBar\\qzhook.dll",
                                                     "C:\\Program Files\\Good\\good.dll"};

// Both objects are registered on every machine; an input may change the DLL paths.
void RegisterObjects(sim::Machine& m) {
  for (std::size_t i = 0; i < 2; ++i) {
    m.CreateKey(HKEY_LOCAL_MACHINE, ObjectKey(i));
    m.SetValue(HKEY_CLASSES_ROOT, ClassKey(i), "", platform::REG_SZ, kObjectPaths[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> parts = fuzz::Split(input, '\n', 28);

  fuzz::FuzzMachine machine("winxp", RegisterObjects);
  sim::Machine& m = machine.m();
  std::vector<Slot> slots;
  slots.reserve(26);
  for (std::size_t i = 0; i < parts.size() && i < 26; ++i) {
    if (parts[i].empty()) continue;
    Slot slot{i < 13 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, &PagePath(i % 13),
              kPages[i % 13].name, &parts[i]};
    m.SetValue(slot.root, *slot.key, slot.name, platform::REG_SZ, *slot.data);
    slots.push_back(slot);
  }
  std::array<std::string, 2> objectPaths = {kObjectPaths[0], kObjectPaths[1]};
  for (std::size_t i = 0; i < 2; ++i) {
    if (parts.size() <= 26 + i) continue;
    objectPaths[i] = parts[26 + i];
    m.SetValue(HKEY_CLASSES_ROOT, ClassKey(i), "", platform::REG_SZ, objectPaths[i]);
  }
  m.Boot();

  simrun::Session session(m);
  frmGetAll& form = session.form();
  form.RemoveBhos();
  form.RepairIePages(true);
  const std::string dllName = form.PageDllName();
  session.Close();

  bool nameFromAPage = dllName.empty();
  const std::string namedPage = "\\" + dllName + "/qz.html";
  for (const Slot& slot : slots) {
    const std::string decoded = frmGetAll::UrlDecode(fuzz::ReadForm(platform::REG_SZ, *slot.data));
    fuzz::Check(decoded.size() <= slot.data->size() + 1, "decoding never lengthens a text");
    const bool bad = frmGetAll::FindText(decoded, "/qz.html", false) > 0;
    fuzz::Check(m.GetValue(slot.root, *slot.key, slot.name).has_value() == !bad,
                bad ? std::string("a hijacked page was kept: ") + slot.name
                    : std::string("a harmless page was deleted: ") + slot.name);
    if (!dllName.empty() && frmGetAll::FindText(decoded, namedPage, false) > 0) {
      nameFromAPage = true;
    }
  }
  fuzz::Check(nameFromAPage, "the DLL name does not stand before the page in any value");
  fuzz::Check(dllName.find('\\') == std::string::npos, "a DLL name holds no backslash");

  for (std::size_t i = 0; i < 2; ++i) {
    const std::string read = fuzz::ReadForm(platform::REG_SZ, objectPaths[i]);
    const bool match = !dllName.empty() && frmGetAll::FindText(read, dllName, false) > 0;
    fuzz::Check(m.KeyExists(HKEY_LOCAL_MACHINE, ObjectKey(i)) == !match,
                match ? "a matching object was kept" : "an object that does not match was removed");
  }
  return 0;
}
