// The rehearsal program: each shipped machine gives the transcript kept beside this test, a run
// never changes its input, --out writes the machine as the run left it, and bad input is refused
// before anything is run or written.
//
// To accept new transcripts after a deliberate change, run with DRAVLIN_UPDATE_GOLDEN=1 and
// review the difference.
#include "app/rehearsal/rehearsal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/ansi_names.h"
#include "sim/machine.h"

namespace {

namespace fs = std::filesystem;
namespace rh = dravlin::rehearsal;
using dravlin::sim::TempFolder;

const fs::path kSource = DRAVLIN_SOURCE_DIR;
const fs::path kMachines = kSource / "machines";
const fs::path kGolden = kSource / "tests" / "rehearsal" / "golden";

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file of a folder tree with its bytes, by relative path; a file alone is "".
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  if (fs::is_regular_file(root)) return {{"", Read(root)}};
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

struct Row {
  std::string name;
  fs::path machine;
  std::vector<std::string> options;
};
void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

// golden/runs.tsv: name, machine folder, options; each run's transcript is golden/<name>.txt.
std::vector<Row> Rows() {
  std::vector<Row> rows;
  std::istringstream table(Read(kGolden / "runs.tsv"));
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Row r;
    std::string folder;
    std::getline(fields, r.name, '\t');
    std::getline(fields, folder, '\t');
    r.machine = kSource / folder;
    for (std::string option; fields >> option;) r.options.push_back(option);
    rows.push_back(r);
  }
  return rows;
}

class GoldenRun : public testing::TestWithParam<Row> {};

// An --out folder named OUT is a fresh one; its machine.json and registry.reg are golden too, as
// golden/<name>.<file>.
TEST_P(GoldenRun, TranscriptMatchesTheGoldenFile) {
  const Row& row = GetParam();
  const auto before = Tree(row.machine);
  const TempFolder tmp;
  const fs::path out = tmp.path() / "out";
  std::vector<std::string> args{row.machine.string()};
  for (const auto& o : row.options) args.push_back(o == "OUT" ? out.string() : o);
  const Result r = RunWith(args);
  EXPECT_EQ(r.status, rh::kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  // Every section is UTF-8, whatever code page the machine's names and texts are held in.
  bool utf8 = false;
  (void)dravlin::platform::Utf8ToAnsi(r.out, &utf8);
  EXPECT_TRUE(utf8) << row.name;
  std::map<std::string, std::string> outputs{{".txt", r.out}};
  if (fs::exists(out)) {
    outputs[".txt"].replace(r.out.find(out.string()), out.string().size(), "OUT");
    for (const char* file : {"machine.json", "registry.reg"})
      outputs["." + std::string(file)] = Read(out / file);
  }
  for (const auto& [suffix, text] : outputs) {
    const fs::path golden = kGolden / (row.name + suffix);
    if (std::getenv("DRAVLIN_UPDATE_GOLDEN") != nullptr)
      std::ofstream(golden, std::ios::binary) << text;
    EXPECT_EQ(text, Read(golden)) << row.name << " differs from " << golden;
  }
  // The run worked on a copy: the folder is byte for byte as it was.
  EXPECT_EQ(Tree(row.machine), before);
}

INSTANTIATE_TEST_SUITE_P(Runs, GoldenRun, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<Row>& p) {
                           std::string n = p.param.name;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST(Rehearsal, BuiltInMachineIsTheDefaultFolder) {
  const TempFolder tmp;
  rh::WriteDefaultMachine(tmp.path());
  EXPECT_EQ(Tree(tmp.path()), Tree(kMachines / "default"));
}

// A restart Windows refuses (a token without the shutdown privilege) is told as refused, with
// the method the program used, and the machine does not restart.
TEST(Rehearsal, RefusedRestartIsToldAsRefused) {
  const TempFolder tmp;
  const fs::path machine = tmp.path() / "m";
  fs::copy(kMachines / "default", machine, fs::copy_options::recursive);
  std::string json = Read(machine / "machine.json");
  json.insert(json.find('{') + 1,
              "\n  \"privileges\": [{\"name\": \"SeBackupPrivilege\"}, "
              "{\"name\": \"SeRestorePrivilege\"}],");
  std::ofstream(machine / "machine.json", std::ios::binary) << json;
  const Result r = RunWith({machine.string()});
  EXPECT_NE(r.out.find("NT-based method (shutdown privilege enabled first), refused by Windows\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("\nBoot 2\n"), std::string::npos);
}

TEST(Rehearsal, OptionsAreReadInEitherFormAndBadOnesRefused) {
  const auto p = rh::ParseArgs({"m", "--clicks", " Start , close ", "--lang=EN", "--os=win98"});
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.options.clicks, (std::vector<std::string>{"start", "close"}));
  EXPECT_EQ(p.options.lang, std::optional<std::string>("en"));
  EXPECT_EQ(p.options.os, std::optional<std::string>("win98"));
  EXPECT_TRUE(rh::ParseArgs({"--clicks="}).options.clicks.empty());
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--lang", "fr"},
                                              {"--clicks", "start,restart"},
                                              {"--out"},
                                              {"--verbose"},
                                              {"a", "b"}}) {
    EXPECT_NE(rh::ParseArgs(bad).error, "") << bad[0];
  }
}

// A refusal: status 2, a message naming the file, line and what is wrong on stderr, no
// transcript, nothing written.
TEST(Rehearsal, RefusesBadMachinesBeforeRunning) {
  const TempFolder tmp;
  const fs::path out = tmp.path() / "out";
  const fs::path bad = tmp.path() / "bad";
  const auto expectRefused = [&](const fs::path& machine, const std::string& message) {
    const Result r = RunWith({machine.string(), "--out", out.string()});
    EXPECT_EQ(r.status, rh::kExitBadInput);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("dravlin-sim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
  };
  expectRefused(tmp.path() / "missing", "no such machine folder");

  // A Version 5.00 export that broke off mid-line, half-way through a character.
  std::string cut = "\xFF\xFE";
  for (const char c : std::string(
           "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"V\"=\"ab"))
    cut += {c, '\0'};
  cut += 'c';
  const struct {
    const char* file;
    std::string bytes;  // "<fifo>", "<dir>", "<none>": a pipe, a folder, no file
    std::string message;
  } cases[] = {
      {"registry.reg", cut, "registry.reg:4: "},
      {"registry.reg", "<none>", "registry.reg: missing"},
      {"registry.reg", "<dir>", "registry.reg: expected a regular file"},
      // A pipe on the drive would block a reader for ever.
      {"c/stuck", "<fifo>", "stuck: expected a regular file"},
      {"machine.json", "{\n  \"version\": \"win7\"\n}",
       "machine.json:2: \"version\": unknown Windows"},
      {"machine.json", "{\n\"language\": \"x\",\n\"colour\": 1}",
       "machine.json:3: \"colour\": unknown field"},
      {"machine.json", "{\n\"language\": \"x\"\n\"clock\": 1}", "machine.json:3: syntax error"},
      {"machine.json", std::string(1u << 20, '['), "machine.json:1: syntax error"},  // no recursion
      {"machine.json", "{\n\"clock\": \"2026-02-30T00:00:00\"}", "YYYY-MM-DDTHH:MM:SS"},
      {"machine.json", R"({"administrator": true, "groups": []})", "not both"},
      {"machine.json", R"({"groups": [{"sid": "S-1-x"}]})", "expected a SID"},
      {"machine.json", R"({"hijacker": {"dll": "x", "blank": "tab"}})", "\"nul\" or \"space\""},
      {"machine.json", R"({"version": {"major": 5}})", "platformId, major, minor and build"},
      {"machine.json", R"({"undeletable": ["C:\\missing.dll"]})", "C:\\missing.dll"},
  };
  for (const auto& c : cases) {
    fs::remove_all(bad);
    fs::copy(kMachines / "default", bad, fs::copy_options::recursive);
    const fs::path file = bad / c.file;
    fs::remove(file);
    if (c.bytes == "<fifo>") {
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    } else if (c.bytes == "<dir>") {
      fs::create_directory(file);
    } else if (c.bytes != "<none>") {
      std::ofstream(file, std::ios::binary) << c.bytes;
    }
    SCOPED_TRACE(c.file + (": " + c.bytes.substr(0, 60)));
    expectRefused(bad, c.message);
  }

  // A wrong --out is refused before the run, and what it holds is left alone.
  std::ofstream(tmp.path() / "notes.txt") << "mine";
  const Result r = RunWith({(kMachines / "default").string(), "--out", tmp.path().string()});
  EXPECT_EQ(r.status, rh::kExitBadInput);
  EXPECT_NE(r.err.find("found '"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(tmp.path() / "c"));
  EXPECT_EQ(Read(tmp.path() / "notes.txt"), "mine");
}

// Progress is shown on err only; the transcript stays the same.
TEST(Rehearsal, ProgressLeavesTheTranscriptAlone) {
  rh::Options options;
  options.machineDir = kMachines / "default";
  std::ostringstream plain;
  std::ostringstream none;
  ASSERT_EQ(rh::Run(options, plain, none), rh::kExitOk);
  options.progress = true;
  options.progressAfter = std::chrono::milliseconds(0);
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(rh::Run(options, out, err), rh::kExitOk);
  EXPECT_EQ(out.str(), plain.str());
  EXPECT_EQ(none.str(), "");
  EXPECT_NE(err.str().find("reading " + (*options.machineDir / "registry.reg").string() + ": 100%"),
            std::string::npos)
      << err.str();
}

}  // namespace
