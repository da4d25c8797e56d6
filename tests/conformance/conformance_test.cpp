// The platform calls the modules rely on, one test per section of calls.txt: the fixture, the
// interpreter of that table, and the tests. Longer than our other files on purpose: the
// interpreter's verbs are one class sharing the fixture's handles, and splitting it would only
// scatter that state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

inline bool Untouched(const char* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size,
                     [](char c) { return static_cast<std::uint8_t>(c) == kFill; });
}

// The call sequences of calls.txt, built in as text so that the Windows build carries
// them too.
inline constexpr const char* kCases =
#include "calls.inc"
    ;

// Words, and quoted data with \0, \xHH and \" decoded (marked by a leading '"').
inline std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == ' ') {
      ++i;
    } else if (line[i] != '"') {
      const auto end = std::min(line.find(' ', i), line.size());
      out.push_back(line.substr(i, end - i));
      i = end;
    } else {
      std::string data = "\"";
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '0') {
          data += '\0', ++i;
        } else if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
          data += '"', ++i;
        } else if (line.compare(i, 2, "\\x") == 0 && i + 3 < line.size() &&
                   std::isxdigit(static_cast<unsigned char>(line[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(line[i + 3]))) {
          data += static_cast<char>(std::stoul(line.substr(i + 2, 2), nullptr, 16)), i += 3;
        } else {
          data += line[i];
        }
      }
      out.push_back(data);
      ++i;
    }
  }
  return out;
}

// Each test runs in a fresh target with a scratch registry key below HKCU (removed before and
// after) and a scratch folder, arranging and cleaning up through the platform under test.
class Conformance : public ::testing::Test {
 protected:
  platform::Registry& reg() { return target_->services().registry; }
  platform::Security& sec() { return target_->services().security; }
  platform::Kernel& kernel() { return target_->services().kernel; }
  platform::Shell& shell() { return target_->services().shell; }
  platform::Files& files() { return target_->services().files; }
  Target& target() { return *target_; }
  bool wine() const { return target_->wine; }
  bool nt() const { return target_->version.value_or(ExpectedVersion{2}).platformId == 2; }
  HKey scratch() const { return scratch_->get(); }

  void SetUp() override {
    target_ = MakeTarget();
    ASSERT_TRUE(DeleteTree(HKEY_CURRENT_USER, kScratchKey))
        << "stale scratch key on " << target_->name;
    ASSERT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey));
    scratch_.emplace(reg());
    ASSERT_EQ(reg().RegCreateKeyExA(HKEY_CURRENT_USER, kScratchKey, 0, KEY_ALL_ACCESS,
                                    scratch_->put(), nullptr),
              ERROR_SUCCESS);
    SetPrivileges({});
  }

  void TearDown() override {
    handles_.clear();  // before the target goes
    for (const auto& [name, token] : tokens_) kernel().CloseHandle(token);
    if (scratch_) scratch_.reset();
    SetPrivileges({});
    EXPECT_TRUE(DeleteTree(HKEY_CURRENT_USER, kScratchKey));
    EXPECT_TRUE(DeleteTree(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + kClassesKey));
    target_.reset();
  }

  // Where the platform is known to differ from Windows: named in the output; the test then
  // checks the platform's own behaviour, so a change shows up.
  void Gap(const std::string& what) {
    std::cout << "[ WINE GAP ] " << target_->name << " differs from Windows: " << what << std::endl;
  }

  std::optional<std::string> ReadValue(HKey parent, const std::string& path,
                                       const std::string& name) {
    UniqueKey key(reg());
    std::uint32_t size = 0;
    if (reg().RegOpenKeyExA(parent, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        reg().RegQueryValueExA(key.get(), name, nullptr, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::string data(size, '\0');
    const auto bytes = reinterpret_cast<std::uint8_t*>(data.data());
    if (size > 0 && reg().RegQueryValueExA(key.get(), name, nullptr, bytes, &size) != 0) {
      return std::nullopt;
    }
    return data.substr(0, size);
  }

  bool KeyExists(HKey parent, const std::string& path) {
    UniqueKey key(reg());
    return reg().RegOpenKeyExA(parent, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
  }

  bool DeleteTree(HKey parent, const std::string& path) {  // true when gone
    {
      UniqueKey key(reg());
      const Status open = reg().RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, key.put());
      if (open == ERROR_FILE_NOT_FOUND) return true;
      if (open != ERROR_SUCCESS) return false;
      std::vector<std::string> children;
      for (std::uint32_t i = 0;; ++i) {
        char name[256];
        std::uint32_t length = sizeof name;
        if (reg().RegEnumKeyExA(key.get(), i, name, &length) != ERROR_SUCCESS) break;
        children.emplace_back(name, length);
      }
      for (const auto& child : children) DeleteTree(key.get(), child);
    }
    const auto slash = path.rfind('\\');
    const bool nested = slash != std::string::npos;
    UniqueKey above(reg());
    if (!nested || reg().RegOpenKeyExA(parent, path.substr(0, slash), 0, KEY_ALL_ACCESS,
                                       above.put()) == ERROR_SUCCESS) {
      reg().RegDeleteKeyA(nested ? above.get() : parent, nested ? path.substr(slash + 1) : path);
    }
    return !KeyExists(parent, path);
  }

  std::string File(const std::string& name) const {  // in the scratch folder
    return target_->scratchFolder + "\\" + name;
  }

  void WriteTextFile(const std::string& path, const std::string& line) {
    const int number = files().FreeFile();
    ASSERT_EQ(files().OpenForAppend(number, path), RT_OK) << path;
    EXPECT_EQ(files().PrintLine(number, line), RT_OK);
    EXPECT_EQ(files().Close(number), RT_OK);
  }

  std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::int64_t length = 0;
    const int number = files().FreeFile();
    if (files().FileLen(path, &length) != RT_OK ||
        files().OpenForBinaryRead(number, path) != RT_OK) {
      return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    const RtError got = files().Get(number, &bytes);
    files().Close(number);
    return got == RT_OK ? std::optional(bytes) : std::nullopt;
  }

  // All privileges disabled, then the named ones enabled.
  void SetPrivileges(const std::vector<std::string>& enabled) {
    if (!nt()) return;  // DOS-based Windows has no tokens and needs no privilege
    Handle token = 0;
    ASSERT_TRUE(sec().OpenProcessToken(kernel().GetCurrentProcess(),
                                       TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    EXPECT_TRUE(Adjust(token, true, {}));
    if (!enabled.empty()) {
      EXPECT_TRUE(Adjust(token, false, enabled));
      EXPECT_EQ(kernel().GetLastError(), ERROR_SUCCESS) << "a privilege is not held";
    }
    kernel().CloseHandle(token);
  }
  // Privileges by name; "-" before a name disables it.
  bool Adjust(Handle token, bool disableAll, const std::vector<std::string>& names) {
    TokenPrivileges state;
    for (const std::string& name : names) {
      const bool off = name.front() == '-';
      Luid luid;
      EXPECT_TRUE(sec().LookupPrivilegeValueA(nullptr, name.substr(off), &luid)) << name;
      state.Privileges.push_back({luid, off ? 0u : SE_PRIVILEGE_ENABLED});
    }
    return sec().AdjustTokenPrivileges(token, disableAll, &state, 0);
  }

  void Run(const std::string& section) {
    std::istringstream in(kCases);
    std::string line;
    bool inside = false, ran = false;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (line[0] == '[') {
        inside = line == "[" + section + "]";
        continue;
      }
      if (!inside) continue;
      SCOPED_TRACE(line);
      ran = true;
      std::vector<std::string> t = Tokens(line);
      bool applies = true;
      for (; t[0].back() == ':'; t.erase(t.begin())) applies = When(t[0]) && applies;
      if (!applies) continue;
      const auto eq = std::find(t.begin(), t.end(), "=");
      Step(std::vector<std::string>(t.begin(), eq),
           eq == t.end() ? std::vector<std::string>{} : std::vector<std::string>(eq + 1, t.end()));
      if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(ran) << "no section " << section;
  }

 private:
  bool When(const std::string& when) {
    const auto version = target().version;
    const bool merges =
        !wine() &&
        (!version || (version->platformId == VER_PLATFORM_WIN32_NT && version->major >= 5));
    // The shells before 2000 and ME know no id for the system folder.
    const bool oldShell = version && version->major == 4 &&
                          (version->platformId == VER_PLATFORM_WIN32_NT || version->minor < 90);
    const std::map<std::string, bool> known = {{"nt:", nt()},           {"9x:", !nt()},
                                               {"wine:", wine()},       {"windows:", !wine()},
                                               {"merges:", merges},     {"nomerge:", !merges},
                                               {"oldshell:", oldShell}, {"newshell:", !oldShell}};
    EXPECT_TRUE(known.count(when)) << when;
    return known.count(when) && known.at(when);
  }
  std::uint32_t Number(const std::string& word) {
    const auto bar = word.find('|');
    const std::string pick = bar == std::string::npos ? word
                             : nt()                   ? word.substr(0, bar)
                                                      : word.substr(bar + 1);
    if (pick == "read") return KEY_READ;
    if (pick == "all") return KEY_ALL_ACCESS;
    return static_cast<std::uint32_t>(std::stoul(pick));
  }
  HKey Key(const std::string& word) {
    const std::map<std::string, HKey> roots = {{"scratch", scratch()},
                                               {"HKCU", HKEY_CURRENT_USER},
                                               {"HKLM", HKEY_LOCAL_MACHINE},
                                               {"HKCR", HKEY_CLASSES_ROOT},
                                               {"0", 0}};
    if (roots.count(word)) return roots.at(word);
    EXPECT_TRUE(handles_.count(word)) << "no handle " << word;
    return handles_.count(word) ? handles_.at(word).get() : 0;
  }
  Handle Token(const std::string& word) { return word == "0" ? 0 : tokens_[word]; }
  static std::string Data(const std::string& token) { return token.substr(1); }
  std::string Path(const std::string& token) {
    return Data(token) == "." ? target().scratchFolder : File(Data(token));
  }
  // A call's boolean answer, and the last error after a refusal.
  void Refusal(bool done, const std::vector<std::string>& want) {
    EXPECT_EQ(done, Number(want.at(0)) == 1);
    if (want.size() > 1) {
      EXPECT_EQ(kernel().GetLastError(), Number(want[1]));
    }
  }

  using Args = std::vector<std::string>;
  using Verb = void (Conformance::*)(const Args&, const Args&);

  // One call of calls.txt: its verb names the member that makes it and checks the answer.
  void Step(const Args& a, const Args& want) {
    static const std::map<std::string, Verb> kVerbs = {
        {"open", &Conformance::VerbOpenKey},
        {"create", &Conformance::VerbOpenKey},
        {"set", &Conformance::VerbSetValue},
        {"read", &Conformance::VerbReadValue},
        {"query", &Conformance::VerbQueryValue},
        {"enumkey", &Conformance::VerbEnumKey},
        {"enumvalue", &Conformance::VerbEnumValue},
        {"info", &Conformance::VerbQueryInfo},
        {"delvalue", &Conformance::VerbDeleteValue},
        {"delkey", &Conformance::VerbDeleteKey},
        {"exists", &Conformance::VerbKeyExists},
        {"save", &Conformance::VerbSaveKey},
        {"close", &Conformance::VerbCloseKey},
        {"restore", &Conformance::VerbRestoreKey},
        {"privileges", &Conformance::VerbPrivileges},
        {"writefile", &Conformance::VerbWriteFile},
        {"halve", &Conformance::VerbHalve},
        {"filebytes", &Conformance::VerbFileBytes},
        {"contains", &Conformance::VerbContains},
        {"file", &Conformance::VerbFileExists},
        {"isfile", &Conformance::VerbFileExists},
        {"attributes", &Conformance::VerbAttributes},
        {"setattributes", &Conformance::VerbSetAttributes},
        {"deletefile", &Conformance::VerbDeleteFile},
        {"mkdir", &Conformance::VerbMakeFolder},
        {"copy", &Conformance::VerbCopyFile},
        {"kill", &Conformance::VerbKill},
        {"hold", &Conformance::VerbHold},
        {"rtopen", &Conformance::VerbRuntimeOpen},
        {"rtclose", &Conformance::VerbRuntimeClose},
        {"print", &Conformance::VerbPrint},
        {"freefile", &Conformance::VerbFreeFile},
        {"filelen", &Conformance::VerbFileLen},
        {"get", &Conformance::VerbGet},
        {"shortpath", &Conformance::VerbShortPath},
        {"groups", &Conformance::VerbGroups},
        {"threadtoken", &Conformance::VerbThreadToken},
        {"version", &Conformance::VerbVersion},
        {"systemfolder", &Conformance::VerbSystemFolder},
        {"exitwindows", &Conformance::VerbExitWindows},
        {"message", &Conformance::VerbMessage},
        {"token", &Conformance::VerbOpenToken},
        {"adjust", &Conformance::VerbAdjust},
        {"restrict", &Conformance::VerbRestrict},
        {"deltree", &Conformance::VerbDeleteTree},
        {"gap", &Conformance::VerbNamedGap},
    };
    const auto verb = kVerbs.find(a[0]);
    if (verb == kVerbs.end()) {
      ADD_FAILURE() << "unknown call " << a[0];
      return;
    }
    (this->*verb->second)(a, want);
  }

  void VerbOpenKey(const Args& a, const Args& want) {
    const std::string& op = a[0];
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    HKey key = kSentinel;
    std::uint32_t disposition = kSentinel;
    const std::uint32_t sam = a[3] == "old" ? 0 : Number(a[3]);
    const Status got =
        op == "create"  ? reg().RegCreateKeyExA(Key(a[1]), Data(a[2]), 0, sam, &key, &disposition)
        : a[3] == "old" ? reg().RegOpenKeyA(Key(a[1]), Data(a[2]), &key)
                        : reg().RegOpenKeyExA(Key(a[1]), Data(a[2]), 0, sam, &key);
    status(got);
    if (got != ERROR_SUCCESS) {
      EXPECT_EQ(key, kSentinel) << "a failed call must not touch the handle";
      return;
    }
    if (want.size() > 1) {
      EXPECT_EQ(disposition, want[1] == "new" ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY);
    }
    UniqueKey owned(reg());
    *owned.put() = key;
    if (a.size() > 5) handles_.insert_or_assign(a[5], std::move(owned));
  }

  void VerbSetValue(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    const std::string bytes = Data(a[4]);
    status(reg().RegSetValueExA(Key(a[1]), Data(a[2]), Number(a[3]),
                                reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                static_cast<std::uint32_t>(bytes.size())));
  }

  void VerbReadValue(const Args& a, const Args& want) {
    const auto got = ReadValue(Key(a[1]), Data(a[2]), Data(a[3]));
    if (want.at(0) == "missing") {
      EXPECT_FALSE(got);
    } else {
      EXPECT_EQ(got, Data(want[0]));
    }
  }

  void VerbQueryValue(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    char buffer[16];
    std::memset(buffer, kFill, sizeof buffer);
    std::uint32_t type = kSentinel, size = a[3] == "-" ? kSentinel : Number(a[3]);
    const Status got = reg().RegQueryValueExA(
        Key(a[1]), Data(a[2]), &type,
        a[3] == "-" ? nullptr : reinterpret_cast<std::uint8_t*>(buffer), &size);
    status(got);
    if (want.size() > 1) {
      EXPECT_EQ(size, Number(want[1]));
    }
    if (want.size() > 2) {
      EXPECT_EQ(type, Number(want[2]));
    }
    const std::string kept = want.size() > 3 ? Data(want[3]) : "";
    EXPECT_EQ(std::string(buffer, kept.size()), kept);
    EXPECT_TRUE(Untouched(buffer + kept.size(), sizeof buffer - kept.size()));
  }

  void VerbEnumKey(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    char name[32];
    std::memset(name, kFill, sizeof name);
    std::uint32_t length = Number(a[3]);
    const Status got = reg().RegEnumKeyExA(Key(a[1]), Number(a[2]), name, &length);
    status(got);
    if (got == ERROR_SUCCESS && want.size() == 1) return;  // the name is not checked here
    const std::string kept = want.size() > 1 ? Data(want[1]) : "";
    if (want.size() > 1) {
      EXPECT_EQ(std::string(name, kept.size() + 1), kept + '\0');
      EXPECT_EQ(length, kept.size());
    }
    const std::size_t after = want.size() > 1 ? kept.size() + 1 : 0;
    EXPECT_TRUE(Untouched(name + after, sizeof name - after));
  }

  void VerbEnumValue(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    char name[32];
    std::uint8_t data[32];
    std::uint32_t length = Number(a[3]), size = a[4] == "-" ? 0 : Number(a[4]);
    status(reg().RegEnumValueA(Key(a[1]), Number(a[2]), name, &length, nullptr,
                               a[4] == "-" ? nullptr : data, &size));
    if (want.size() > 1) {
      EXPECT_EQ(size, Number(want[1]));
    }
  }

  void VerbQueryInfo(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    std::uint32_t n[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    status(reg().RegQueryInfoKeyA(Key(a[1]), &n[0], &n[1], &n[2], &n[3], &n[4]));
    for (std::size_t i = 1; i < want.size() && i < 5; ++i) {
      EXPECT_EQ(n[i - 1], Number(want[i])) << "field " << i;
    }
    if (want.size() > 6) {
      EXPECT_GE(n[4], Number(want[5]));
      EXPECT_LE(n[4], Number(want[6]));
    }
  }

  void VerbDeleteValue(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    status(reg().RegDeleteValueA(Key(a[1]), Data(a[2])));
  }

  void VerbDeleteKey(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    status(reg().RegDeleteKeyA(Key(a[1]), Data(a[2])));
  }

  void VerbKeyExists(const Args& a, const Args& want) {
    EXPECT_EQ(KeyExists(Key(a[1]), Data(a[2])), Number(want.at(0)) == 1);
  }

  void VerbSaveKey(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    status(reg().RegSaveKeyA(Key(a[1]), File(Data(a[2]))));
  }

  void VerbCloseKey(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    const auto named = handles_.find(a[1]);
    status(named == handles_.end() ? reg().RegCloseKey(Key(a[1])) : named->second.Close());
  }

  void VerbRestoreKey(const Args& a, const Args& want) {
    const auto status = [&](Status got) { EXPECT_EQ(got, Number(want.at(0))); };
    status(reg().RegRestoreKeyA(Key(a[1]), File(Data(a[2])), Number(a[3])));
  }

  void VerbPrivileges(const Args& a, const Args& /*want*/) {
    std::vector<std::string> names(a.begin() + 1, a.end());
    SetPrivileges(names);
  }

  void VerbWriteFile(const Args& a, const Args& /*want*/) {
    WriteTextFile(File(Data(a[1])), Data(a[2]));
  }

  void VerbHalve(const Args& a, const Args& /*want*/) {
    const std::string bytes = ReadFileBytes(File(Data(a[1]))).value_or("");
    WriteTextFile(File(Data(a[2])), bytes.substr(0, bytes.size() / 2));
  }

  void VerbFileBytes(const Args& a, const Args& want) {
    EXPECT_EQ(ReadFileBytes(File(Data(a[1]))), Data(want.at(0)));
  }

  void VerbContains(const Args& a, const Args& want) {
    const std::string bytes = ReadFileBytes(File(Data(a[1]))).value_or("");
    std::string text = Data(a[2]), wide;
    for (const char c : text) wide += std::string{c, '\0'};
    const std::string how = a.size() > 3 ? a[3] : "";
    const auto at = bytes.find(how == "utf16" ? wide : text);
    EXPECT_EQ(how == "first" ? at == 0 : at != std::string::npos, Number(want.at(0)) == 1);
  }

  void VerbFileExists(const Args& a, const Args& want) {
    const std::string& op = a[0];
    const std::string path = Path(a[1]);
    EXPECT_EQ(op == "file" ? shell().PathFileExistsA(path) : files().FileExists(path),
              Number(want.at(0)) == 1);
  }

  void VerbAttributes(const Args& a, const Args& want) {
    EXPECT_EQ(kernel().GetFileAttributesA(Path(a[1])) & Number(a[2]), Number(want.at(0)));
  }

  void VerbSetAttributes(const Args& a, const Args& want) {
    Refusal(kernel().SetFileAttributesA(Path(a[1]), Number(a[2])), want);
  }

  void VerbDeleteFile(const Args& a, const Args& want) {
    Refusal(kernel().DeleteFileA(Path(a[1])), want);
  }

  void VerbMakeFolder(const Args& a, const Args& want) {
    Refusal(kernel().CreateDirectoryA(Path(a[1])), want);
  }

  void VerbCopyFile(const Args& a, const Args& want) {
    Refusal(kernel().CopyFileA(Path(a[1]), Path(a[2]), Number(a[3]) == 1), want);
  }

  void VerbKill(const Args& a, const Args& want) {
    EXPECT_EQ(files().Kill(Path(a[1])), static_cast<RtError>(Number(want.at(0))));
  }

  void VerbHold(const Args& a, const Args& /*want*/) {
    EXPECT_TRUE(target().HoldFile(Path(a[1]), a[2] == "mapped"));
  }

  void VerbRuntimeOpen(const Args& a, const Args& want) {
    const int number = static_cast<int>(Number(a[1]));
    EXPECT_EQ(a[3] == "append" ? files().OpenForAppend(number, Path(a[2]))
                               : files().OpenForBinaryRead(number, Path(a[2])),
              static_cast<RtError>(Number(want.at(0))));
  }

  void VerbRuntimeClose(const Args& a, const Args& /*want*/) {
    EXPECT_EQ(files().Close(static_cast<int>(Number(a[1]))), RT_OK);
  }

  void VerbPrint(const Args& a, const Args& /*want*/) {
    EXPECT_EQ(files().PrintLine(static_cast<int>(Number(a[1])), Data(a[2])), RT_OK);
  }

  void VerbFreeFile(const Args& /*a*/, const Args& want) {
    EXPECT_EQ(files().FreeFile(), static_cast<int>(Number(want.at(0))));
  }

  void VerbFileLen(const Args& a, const Args& want) {
    std::int64_t length = kSentinel;
    EXPECT_EQ(files().FileLen(Path(a[1]), &length), static_cast<RtError>(Number(want.at(0))));
    EXPECT_EQ(length, want.size() > 1 ? Number(want[1]) : kSentinel);
  }

  void VerbGet(const Args& a, const Args& want) {
    std::string bytes(Number(a[2]), static_cast<char>(kFill));
    EXPECT_EQ(files().Get(static_cast<int>(Number(a[1])), &bytes), RT_OK);
    EXPECT_EQ(bytes, Data(want.at(0)));
  }

  void VerbShortPath(const Args& a, const Args& want) {
    char buffer[300];
    const std::string path = Path(a[1]);
    const std::uint32_t needed = kernel().GetShortPathNameA(path, buffer, 4);
    EXPECT_EQ(needed > 4, Number(want.at(0)) == 1);
    if (needed <= 4) {
      EXPECT_EQ(kernel().GetLastError(), Number(want.at(1)));
      return;
    }
    const std::uint32_t written = kernel().GetShortPathNameA(path, buffer, needed);
    ASSERT_EQ(written + 1, needed);
    const std::string shortPath(buffer, written);
    const std::string last = shortPath.substr(shortPath.rfind('\\') + 1);
    const auto dot = std::min(last.find('.'), last.size());
    EXPECT_TRUE(shortPath.find(' ') == std::string::npos && dot <= 8 && last.size() - dot <= 4)
        << shortPath;
    EXPECT_TRUE(files().FileExists(shortPath)) << shortPath;
    if (want.size() > 1) {
      EXPECT_EQ(last, Data(want[1]));
    }
  }

  // the process token's groups, S-1-5-32-544 among them
  void VerbGroups(const Args& a, const Args& want) {
    std::uint32_t needed = kSentinel, length = kSentinel;
    EXPECT_FALSE(sec().GetTokenInformation(Token(a[1]), TokenGroupsClass, nullptr, 0, &needed));
    EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    TokenGroups groups;
    ASSERT_TRUE(sec().GetTokenInformation(Token(a[1]), TokenGroupsClass, &groups, needed, &length));
    // The 32-bit layout: the count, a SID pointer and attributes per group, then the SIDs.
    std::uint32_t size = 4;
    for (const auto& group : groups.Groups) {
      EXPECT_TRUE(sec().IsValidSid(group.Sid));
      size += 8 + static_cast<std::uint32_t>(group.Sid.size());
    }
    EXPECT_EQ(length, size);
    SidBytes admins, users;
    ASSERT_TRUE(
        sec().AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins));
    ASSERT_TRUE(
        sec().AllocateAndInitializeSid({0, 0, 0, 0, 0, 5}, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
    EXPECT_FALSE(sec().EqualSid(admins, users));
    const auto admin =
        std::find_if(groups.Groups.begin(), groups.Groups.end(),
                     [&](const SidAndAttributes& g) { return sec().EqualSid(g.Sid, admins); });
    ASSERT_NE(admin, groups.Groups.end());
    if (!want.empty()) {
      EXPECT_EQ(admin->Attributes, Number(want[0]));
    }
  }

  void VerbThreadToken(const Args& /*a*/, const Args& want) {
    Handle token = kSentinel;
    Refusal(sec().OpenThreadToken(kernel().GetCurrentThread(), TOKEN_QUERY, true, &token), want);
    EXPECT_EQ(token, kSentinel);
  }

  void VerbVersion(const Args& /*a*/, const Args& /*want*/) {
    OsVersionInfo info;
    info.dwMajorVersion = info.dwMinorVersion = info.dwBuildNumber = info.dwPlatformId = kSentinel;
    ASSERT_TRUE(kernel().GetVersionExA(&info));
    const auto version = target().version;
    EXPECT_EQ(info.dwPlatformId, version.value_or(ExpectedVersion{2}).platformId);
    if (version) {
      EXPECT_EQ(std::tie(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber),
                std::tie(version->major, version->minor, version->build));
    }
  }

  void VerbSystemFolder(const Args& /*a*/, const Args& want) {
    char buffer[300];
    const std::uint32_t length = kernel().GetSystemDirectoryA(buffer, sizeof buffer);
    ASSERT_GT(length, 3u);
    const std::string system(buffer, length);
    std::memset(buffer, kFill, sizeof buffer);
    EXPECT_EQ(kernel().GetSystemDirectoryA(buffer, 4), length + 1);
    EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), kFill);
    ItemIdList list = 0;
    const bool located = shell().SHGetSpecialFolderLocation(0, CSIDL_SYSTEM, &list) == 0;
    EXPECT_EQ(located, Number(want.at(0)) == 1);
    if (!located) return;
    ASSERT_TRUE(shell().SHGetPathFromIDListA(list, buffer));
    shell().CoTaskMemFree(list);
    const std::string viaShell(buffer);
    EXPECT_TRUE(std::equal(viaShell.begin(), viaShell.end(), system.begin(), system.end(),
                           [](char x, char y) { return std::toupper(x) == std::toupper(y); }))
        << viaShell << " / " << system;
  }

  void VerbExitWindows(const Args& /*a*/, const Args& want) {
    Refusal(target_->services().ui.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0), want);
  }

  void VerbMessage(const Args& a, const Args& want) {
    char buffer[256];
    std::memset(buffer, kFill, sizeof buffer);
    const std::uint32_t count =
        kernel().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, Number(a[1]), 0, buffer, Number(a[2]));
    EXPECT_EQ(count, Number(want.at(0)));
    if (count == 0) {
      EXPECT_EQ(kernel().GetLastError(), Number(want.at(1)));
    }
    const std::string text = count == 0 ? "" : Data(want.at(1)) + '\0';
    EXPECT_EQ(std::string(buffer, text.size()), text);
    EXPECT_TRUE(Untouched(buffer + text.size(), sizeof buffer - text.size()));
  }

  void VerbOpenToken(const Args& a, const Args& want) {
    Handle token = 0;
    Refusal(sec().OpenProcessToken(kernel().GetCurrentProcess(), Number(a[1]), &token), want);
    tokens_[a[3]] = token;
  }

  void VerbAdjust(const Args& a, const Args& want) {
    const bool all = a[2] == "all";
    Refusal(Adjust(Token(a[1]), all, {a.begin() + (all ? 3 : 2), a.end()}), want);
  }

  void VerbRestrict(const Args& a, const Args& /*want*/) {
    EXPECT_TRUE(target().RestrictKey(Key(a[1]), Data(a[2]), Number(a[3])));
  }

  void VerbDeleteTree(const Args& a, const Args& /*want*/) {
    EXPECT_TRUE(DeleteTree(Key(a[1]), Data(a[2])));
  }

  void VerbNamedGap(const Args& a, const Args& /*want*/) { Gap(Data(a[1])); }

  std::unique_ptr<Target> target_;
  std::optional<UniqueKey> scratch_;
  std::map<std::string, UniqueKey> handles_;
  std::map<std::string, Handle> tokens_;
};

// One test per section: section [Registry.OpenCreateDelete] runs as
// RegistryCalls.OpenCreateDelete, so the suites' names stay clear of the platform's interfaces.
#define DRAVLIN_CALLS(family, name) \
  TEST_F(family##Calls, name) {     \
    Run(#family "." #name);         \
  }

class RegistryCalls : public Conformance {};
class HiveCalls : public Conformance {};
class KernelCalls : public Conformance {};
class FilesCalls : public Conformance {};
class SecurityCalls : public Conformance {};

DRAVLIN_CALLS(Registry, OpenCreateDelete)
DRAVLIN_CALLS(Registry, ValuesKeepTheirBytes)
DRAVLIN_CALLS(Registry, RegQueryValueExA)
DRAVLIN_CALLS(Registry, RegEnumKeyExA)
DRAVLIN_CALLS(Registry, RegEnumValueAndQueryInfo)
DRAVLIN_CALLS(Registry, DeadHandles)
DRAVLIN_CALLS(Registry, AccessRights)
DRAVLIN_CALLS(Registry, ClassesRoot)
DRAVLIN_CALLS(Hive, RegSaveKeyA)
DRAVLIN_CALLS(Hive, RegRestoreKeyA)
DRAVLIN_CALLS(Hive, RestoreWithoutForce)
DRAVLIN_CALLS(Kernel, FilesOnDisk)
DRAVLIN_CALLS(Kernel, FolderAndCopy)
DRAVLIN_CALLS(Kernel, FilesInUse)
DRAVLIN_CALLS(Kernel, ExitWindowsExWithoutThePrivilege)
DRAVLIN_CALLS(Kernel, FormatMessageA)
DRAVLIN_CALLS(Files, AppendThenReadBack)
DRAVLIN_CALLS(Kernel, GetShortPathNameA)
DRAVLIN_CALLS(Kernel, VersionAndSystemFolder)
DRAVLIN_CALLS(Security, AdjustTokenPrivileges)
DRAVLIN_CALLS(Security, TokenGroups)

}  // namespace
}  // namespace dravlin::conformance
