// The rehearsal program: each shipped machine gives the transcript kept beside this test, a run
// never changes its input, --out writes a machine that carries on where the run stopped, and bad
// input is refused before anything is run or written.
//
// To accept new transcripts after a deliberate change, run with DRAVLIN_UPDATE_GOLDEN=1 and
// review the difference.
#include "app/rehearsal/rehearsal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/persist/machine_folder.h"

namespace {

namespace fs = std::filesystem;
namespace rh = dravlin::rehearsal;
using dravlin::sim::TempFolder;

const fs::path kSource = DRAVLIN_SOURCE_DIR;
const fs::path kMachines = kSource / "machines";
const fs::path kGolden = kSource / "tests" / "rehearsal" / "golden";

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every file of a folder tree with its bytes, by relative path.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) out[fs::relative(e.path(), root).generic_string()] = Read(e.path());
  }
  return out;
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result RunWith(const std::vector<std::string>& args) {
  const rh::ParsedArgs parsed = rh::ParseArgs(args);
  EXPECT_EQ(parsed.error, "");
  std::ostringstream out;
  std::ostringstream err;
  const int status = rh::Run(parsed.options, out, err);
  return {status, out.str(), err.str()};
}

class ShippedMachine : public testing::TestWithParam<std::string> {};

std::string NameOf(const testing::TestParamInfo<std::string>& param) {
  std::string n = param.param;
  for (char& c : n) {
    if (c == '-') c = '_';
  }
  return n;
}

TEST_P(ShippedMachine, TranscriptMatchesTheGoldenFile) {
  const fs::path dir = kMachines / GetParam();
  const auto before = Tree(dir);
  const Result r = RunWith({dir.string()});
  EXPECT_EQ(r.status, rh::kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  const fs::path golden = kGolden / (GetParam() + ".txt");
  if (std::getenv("DRAVLIN_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << r.out;
  }
  EXPECT_EQ(r.out, Read(golden)) << "transcript of " << GetParam() << " differs from " << golden;
  // The run worked on a copy: the folder is byte for byte as it was.
  EXPECT_EQ(Tree(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Machines, ShippedMachine,
                         testing::Values("default", "xp-german", "win2000", "win98", "xp-clean",
                                         "xp-no-admin"),
                         NameOf);

TEST(Rehearsal, BuiltInMachineIsTheDefaultFolder) {
  const TempFolder tmp;
  rh::WriteDefaultMachine(tmp.path());
  EXPECT_EQ(Tree(tmp.path()), Tree(kMachines / "default"));
  // And it runs to the same transcript, apart from the line naming the machine.
  const Result builtIn = RunWith({});
  const Result folder = RunWith({(kMachines / "default").string()});
  ASSERT_EQ(builtIn.status, rh::kExitOk) << builtIn.err;
  const auto body = [](const std::string& s) { return s.substr(s.find('\n')); };
  EXPECT_EQ(body(builtIn.out), body(folder.out));
  EXPECT_EQ(builtIn.out.rfind("Dravlin rehearsal on the built-in default machine\n", 0), 0u);
}

TEST(Rehearsal, SavedMachineCarriesOnWhereTheRunStopped) {
  const TempFolder tmp;
  const fs::path half = tmp.path() / "after-first-step";
  // First step only: the restart happens, the program starts again and is left open.
  const Result first = RunWith({"--clicks", "start", "--out", half.string()});
  ASSERT_EQ(first.status, rh::kExitOk) << first.err;
  EXPECT_NE(first.out.find("Restart requested"), std::string::npos);
  EXPECT_NE(first.out.find("key added:     HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows "
                           "NT\\CurrentVersion\\Windows_Hijacked\n"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("The clicks are done; the window stays open."), std::string::npos);

  // The saved machine starts in the second step: the complete-disinfection caption at once,
  // and one click finishes the job.
  const Result second = RunWith({half.string(), "--clicks", "start,close"});
  ASSERT_EQ(second.status, rh::kExitOk) << second.err;
  EXPECT_NE(second.out.find("CB_start   \"Complete disinfection\" [enabled]"), std::string::npos)
      << second.out;
  EXPECT_NE(second.out.find("Your computer now is disinfected!!!"), std::string::npos)
      << second.out;
  EXPECT_NE(second.out.find("file deleted:  C:\\WINDOWS\\system32\\qzbar.dll"), std::string::npos);
  // The log of both runs is one file, as on a real machine.
  EXPECT_NE(second.out.find("Dravlin started v1.07"), std::string::npos);

  const fs::path done = tmp.path() / "done";
  ASSERT_EQ(RunWith({half.string(), "--clicks", "start", "--out", done.string()}).status,
            rh::kExitOk);
  const auto loaded = dravlin::sim::persist::LoadMachineFolder(done);
  const auto appInit = loaded->machine().GetValue(
      dravlin::platform::HKEY_LOCAL_MACHINE,
      "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "AppInit_DLLs");
  ASSERT_TRUE(appInit.has_value());
  EXPECT_EQ(appInit->data.find_first_not_of('\0'), std::string::npos);
  EXPECT_FALSE(loaded->machine().FileExists("C:\\WINDOWS\\system32\\msqz32.dll"));
  EXPECT_TRUE(loaded->machine().FileExists("C:\\Program Files\\Page Tools\\ptbho.dll"));
  // A clean machine now: the next first step finds nothing.
  const Result third = RunWith({done.string(), "--clicks", "start"});
  EXPECT_NE(third.out.find("not infected"), std::string::npos) << third.out;
}

TEST(Rehearsal, OverridesChangeLanguageAndVersion) {
  const Result de = RunWith({"--lang", "de", "--clicks", "start"});
  EXPECT_EQ(de.status, rh::kExitOk);
  EXPECT_NE(de.out.find("Language:       Deutsch"), std::string::npos);
  EXPECT_NE(de.out.find("CB_start   \"Desinfektion starten\" [enabled]"), std::string::npos);
  EXPECT_NE(de.out.find("06.12.2026 10:15:00 Dravlin started"), std::string::npos) << de.out;

  // As Windows 98 the infected XP registry has no RunServicesOnce key: start-up takes the first
  // step as done, and the restart is the DOS-based one (no force flag) where one is asked for.
  const Result w98 = RunWith({"--os", "win98", "--clicks", "start,close"});
  EXPECT_EQ(w98.status, rh::kExitOk);
  EXPECT_NE(w98.out.find("Windows 98 (win98), 4.10 build 1998, DOS-based"), std::string::npos);
  EXPECT_NE(w98.out.find("Version code:   2"), std::string::npos);
  EXPECT_NE(w98.out.find("CB_start   \"Complete disinfection\""), std::string::npos) << w98.out;

  const Result nt4 = RunWith({"--os=nt4", "--clicks="});
  EXPECT_NE(nt4.out.find("Version code:   5"), std::string::npos);
  EXPECT_NE(nt4.out.find("Clicks: (none)"), std::string::npos);
}

TEST(Rehearsal, ParsesItsCommandLine) {
  auto p = rh::ParseArgs(
      {"m", "--clicks", " Start , close ", "--lang=EN", "--os", "WinXP", "--out", "o"});
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.options.machineDir, std::optional<fs::path>("m"));
  EXPECT_EQ(p.options.clicks, (std::vector<std::string>{"start", "close"}));
  EXPECT_EQ(p.options.lang, std::optional<std::string>("en"));
  EXPECT_EQ(p.options.os, std::optional<std::string>("winxp"));
  EXPECT_EQ(p.options.outDir, std::optional<fs::path>("o"));
  EXPECT_TRUE(rh::ParseArgs({"--help"}).help);
  EXPECT_EQ(rh::ParseArgs({}).options.clicks,
            (std::vector<std::string>{"start", "start", "close"}));

  EXPECT_NE(rh::ParseArgs({"--os", "win7"}).error.find("unknown Windows version 'win7'"),
            std::string::npos);
  EXPECT_NE(rh::ParseArgs({"--lang", "fr"}).error, "");
  EXPECT_NE(rh::ParseArgs({"--clicks", "start,restart"}).error.find("'restart'"),
            std::string::npos);
  EXPECT_NE(rh::ParseArgs({"--out"}).error, "");
  EXPECT_NE(rh::ParseArgs({"--verbose"}).error, "");
  EXPECT_NE(rh::ParseArgs({"a", "b"}).error, "");
}

// A refusal: status 2, a message naming what is wrong on stderr, no transcript, nothing written.
void ExpectRefused(const std::vector<std::string>& args, const std::string& message,
                   const fs::path& notWritten) {
  const Result r = RunWith(args);
  EXPECT_EQ(r.status, rh::kExitBadInput);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("dravlin-sim: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(notWritten)) << notWritten;
}

TEST(Rehearsal, RefusesBadMachinesBeforeRunning) {
  const TempFolder tmp;
  const fs::path out = tmp.path() / "out";
  ExpectRefused({(tmp.path() / "missing").string(), "--out", out.string()},
                "no such machine folder", out);

  const fs::path bad = tmp.path() / "bad";
  fs::copy(kMachines / "default", bad, fs::copy_options::recursive);
  std::string reg = Read(bad / "registry.reg");
  reg.replace(reg.find("\"Spooler\"=\"yes\""), 15, "\"Spooler\" \"yes\"");
  std::ofstream(bad / "registry.reg", std::ios::binary) << reg;
  ExpectRefused({bad.string(), "--out", out.string()},
                (bad / "registry.reg").string() + ":7: expected '=' after value name", out);

  fs::copy_file(kMachines / "default" / "registry.reg", bad / "registry.reg",
                fs::copy_options::overwrite_existing);
  std::ofstream(bad / "machine.json") << "{\n  \"version\": \"win7\"\n}\n";
  ExpectRefused({bad.string(), "--out", out.string()},
                (bad / "machine.json").string() + ":2: \"version\": unknown Windows version", out);

  fs::copy_file(kMachines / "default" / "machine.json", bad / "machine.json",
                fs::copy_options::overwrite_existing);
  ASSERT_EQ(mkfifo((bad / "c" / "stuck").c_str(), 0600), 0);
  ExpectRefused({bad.string(), "--out", out.string()}, "stuck: expected a regular file", out);
  fs::remove(bad / "c" / "stuck");

  // A wrong --out is refused before the run, and what it holds is left alone.
  std::ofstream(tmp.path() / "notes.txt") << "mine";
  ExpectRefused({bad.string(), "--out", tmp.path().string()}, "found '", tmp.path() / "c");
  EXPECT_EQ(Read(tmp.path() / "notes.txt"), "mine");
}

}  // namespace
