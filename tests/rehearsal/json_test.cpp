// --json tells the same run as the transcript: each record is checked against the line the
// transcript prints for it. (check_json.py checks the documents against their schema.)
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/rehearsal/rehearsal.h"

namespace {

namespace fs = std::filesystem;
namespace rh = dravlin::rehearsal;
using Json = nlohmann::ordered_json;

const fs::path kSource = DRAVLIN_SOURCE_DIR;

std::pair<int, std::string> RunOnce(std::vector<std::string> args) {
  const rh::ParsedArgs parsed = rh::ParseArgs(args);
  EXPECT_EQ(parsed.error, "");
  std::ostringstream out, err;
  const int status = rh::Run(parsed.options, out, err);
  return {status, out.str()};
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The lines of the transcript that start with one of the prefixes, in order.
std::vector<std::string> Starting(const std::vector<std::string>& lines,
                                  std::initializer_list<std::string> prefixes) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    for (const std::string& p : prefixes) {
      if (l.rfind(p, 0) == 0) out.push_back(l);
    }
  }
  return out;
}

class JsonReport : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(JsonReport, AgreesWithTheTranscriptOfTheSameRun) {
  const auto [textStatus, text] = RunOnce(GetParam());
  std::vector<std::string> args = GetParam();
  args.push_back("--json");
  const auto [jsonStatus, json] = RunOnce(args);
  EXPECT_EQ(jsonStatus, textStatus);
  const Json doc = Json::parse(json);
  const std::vector<std::string> lines = LinesOf(text);
  EXPECT_EQ(doc["exitStatus"], textStatus);
  EXPECT_EQ(lines[0], "Dravlin rehearsal on " + doc["machine"]["label"].get<std::string>());
  if (!doc["machine"]["inferred"].is_null()) {
    for (const Json& item : doc["machine"]["inferred"]["items"]) {
      EXPECT_NE(text.find(item["value"].get<std::string>() + "\n"), std::string::npos) << item;
    }
  }

  // Boots, boxes, restarts and closed windows, in order.
  std::vector<std::string> boots, boxes, restarts, closed;
  for (const Json& boot : doc["boots"]) {
    boots.push_back("Boot " + std::to_string(boot["number"].get<int>()));
    for (const Json& e : boot["events"]) {
      if (e["kind"] == "messageBox") {
        for (const Json& l : e["lines"]) boxes.push_back("    | " + l.get<std::string>());
      } else if (e["kind"] == "restartRequested") {
        restarts.push_back("  Restart requested: ExitWindowsEx " +
                           e["flagNames"].get<std::string>() + ", " +
                           e["method"].get<std::string>() + " method");
        restarts.back() += e["accepted"].get<bool>() ? "accepted" : "refused";
      } else if (e["kind"] == "windowClosed") {
        closed.push_back("  Window closed; the program has ended");
      }
    }
  }
  EXPECT_EQ(Starting(lines, {"Boot "}), boots);
  EXPECT_EQ(Starting(lines, {"    | "}), boxes);
  std::vector<std::string> restartLines;
  for (const std::string& l : Starting(lines, {"  Restart requested: "})) {
    const bool accepted = l.size() >= 8 && l.substr(l.size() - 8) == "accepted";
    restartLines.push_back(l.substr(0, l.find(" method") + 7) +
                           (accepted ? "accepted" : "refused"));
  }
  EXPECT_EQ(restartLines, restarts);
  EXPECT_EQ(Starting(lines, {"  Window closed"}), closed);

  // The log, line for line.
  std::vector<std::string> log;
  for (const Json& l : doc["log"]["lines"]) log.push_back("  " + l.get<std::string>());
  const auto logAt = std::find(lines.begin(), lines.end(),
                               "Activity log " + doc["log"]["path"].get<std::string>());
  ASSERT_NE(logAt, lines.end());
  // The section ends at the blank line; a log line shows as at least its indent.
  EXPECT_EQ(std::vector<std::string>(logAt + 1, std::find(logAt + 1, lines.end(), "")), log);

  // One record per change, each on the transcript's line for it.
  const auto changeLines = Starting(
      lines,
      {"  key added:", "  key removed:", "  value added:", "  value removed:", "  value changed:"});
  ASSERT_EQ(changeLines.size(), doc["registryChanges"].size());
  for (std::size_t i = 0; i < changeLines.size(); ++i) {
    const Json& c = doc["registryChanges"][i];
    std::string expected = c["key"].get<std::string>();
    if (!c["value"].is_null()) {
      const std::string name = c["value"];
      expected += name.empty() ? " @" : " \"" + name + "\"";
    }
    EXPECT_NE(changeLines[i].find(expected), std::string::npos) << changeLines[i];
    if (!c["before"].is_null() && c["change"] == "valueRemoved") {
      EXPECT_NE(changeLines[i].find("(was " + c["before"]["shown"].get<std::string>()),
                std::string::npos);
    }
  }
  const auto fileLines = Starting(lines, {"  file added:", "  file deleted:", "  file changed:"});
  ASSERT_EQ(fileLines.size(), doc["fileChanges"].size());
  for (std::size_t i = 0; i < fileLines.size(); ++i) {
    const Json& c = doc["fileChanges"][i];
    EXPECT_EQ(fileLines[i].substr(0, 17 + c["path"].get<std::string>().size()),
              "  file " + c["change"].get<std::string>() + ":" +
                  std::string(9 - c["change"].get<std::string>().size(), ' ') +
                  c["path"].get<std::string>());
  }

  const Json& outcome = doc["outcome"];
  const std::string last = Starting(lines, {"Outcome: "}).at(0);
  if (!outcome["lastMessage"].is_null()) {
    EXPECT_EQ(last.rfind(
                  "Outcome: last message \"" + outcome["lastMessage"].get<std::string>() + "\"", 0),
              0u)
        << last;
  }
  EXPECT_NE(last.find(std::to_string(outcome["boots"].get<int>()) + " boot"), std::string::npos);
  EXPECT_EQ(outcome["programEnded"].get<bool>(),
            last.find("the program has ended") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, JsonReport,
    testing::Values(std::vector<std::string>{},
                    std::vector<std::string>{(kSource / "machines" / "win98").string()},
                    std::vector<std::string>{
                        (kSource / "tests" / "scenarios" / "exports" / "xp-whole.reg").string(),
                        "--clock", "2026-12-06T10:15:00", "--hijacker-dll",
                        "C:\\WINDOWS\\system32\\msqz\u00FCb32.dll"},
                    std::vector<std::string>{(kSource / "machines" / "xp-no-admin").string(),
                                             "--clicks", "start,close,start"}));

}  // namespace
