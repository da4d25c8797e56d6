// The user guide in the release (docs/guide/README.TXT, LIESMICH.TXT) quotes the program: every
// message box it shows ("    | " lines) must be one of the program's boxes word for word, every
// log line it shows ("    > " lines, "<...>" for what a run fills in) must be written by the
// program, and the text must be what Notepad on Windows 95 shows whole: Windows-1252, lines under
// 76 characters.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "workflow/texts.h"

namespace dravlin {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start <= text.size();) {
    const auto end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Characters of a UTF-8 line, or -1 when one of them has no place in Windows-1252 (printable ASCII
// and Latin-1 only: the guide needs no more).
long Windows1252Length(const std::string& line) {
  long count = 0;
  for (std::size_t i = 0; i < line.size(); ++count) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < line.size()) {
      const auto next = static_cast<unsigned char>(line[i + 1]);
      if (next < 0x80 || next > 0xBF || (c == 0xC2 && next < 0xA0)) return -1;
      i += 2;
    } else {
      return -1;
    }
  }
  return count;
}

std::string WorkflowSources() {
  std::string all;
  for (const auto& entry : fs::directory_iterator(fs::path(DRAVLIN_SOURCE_DIR) / "src/workflow")) {
    const auto extension = entry.path().extension();
    if (extension == ".cpp" || extension == ".h") all += ReadAll(entry.path());
  }
  return all;
}

class Guide : public ::testing::TestWithParam<const char*> {};

TEST_P(Guide, QuotesOnlyTheProgramsOwnTextsAndFitsNotepad) {
  const bool german = std::string(GetParam()) == "LIESMICH.TXT";
  const std::string text = ReadAll(fs::path(DRAVLIN_SOURCE_DIR) / "docs/guide" / GetParam());
  ASSERT_FALSE(text.empty());
  const std::vector<std::string> boxes = {
      texts::RestartMessage(german, true), texts::RestartMessage(german, false),
      texts::DisinfectedMessage(german),   texts::CleanupErrorMessage(german),
      texts::NoAdminMessage(german),       texts::KeyNotFoundMessage(german)};
  const std::string sources = WorkflowSources();
  std::set<std::string> quotedBoxes;
  std::string box;
  bool inBox = false;
  const auto endBox = [&] {
    if (!inBox) return;
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), box), boxes.end()) << "not a box:\n" << box;
    quotedBoxes.insert(box);
    box.clear();
    inBox = false;
  };
  int number = 0;
  for (const std::string& line : Lines(text)) {
    ++number;
    const long length = Windows1252Length(line);
    EXPECT_GE(length, 0) << GetParam() << ":" << number << ": not Windows-1252 text";
    EXPECT_LT(length, 76) << GetParam() << ":" << number;
    if (line.rfind("    |", 0) == 0) {
      box += (inBox ? "\r\n" : "") + line.substr(line.size() > 5 ? 6 : 5);
      inBox = true;
      continue;
    }
    endBox();
    if (line.rfind("    > ", 0) != 0) continue;
    // A log line: each fixed piece stands in the program's sources; the version is its label.
    std::string quote = line.substr(6);
    if (const auto at = quote.find(texts::VersionLabel()); at != std::string::npos) {
      quote.replace(at, texts::VersionLabel().size(), "<>");
    }
    std::size_t start = 0;
    while (start < quote.size()) {
      const auto open = std::min(quote.find('<', start), quote.size());
      const std::string piece = quote.substr(start, open - start);
      const auto first = piece.find_first_not_of(' ');
      if (first != std::string::npos) {
        const std::string fixed = piece.substr(first, piece.find_last_not_of(' ') - first + 1);
        EXPECT_NE(sources.find(fixed), std::string::npos)
            << GetParam() << ":" << number << ": the program writes no \"" << fixed << "\"";
      }
      start = open == quote.size() ? open : quote.find('>', open) + 1;
    }
  }
  endBox();
  EXPECT_EQ(quotedBoxes.size(), boxes.size()) << "every message box is explained";
  EXPECT_NE(text.find('"' + texts::CompleteCaption(german) + '"'), std::string::npos);
  // The title's suffix without its arrow and exclamation mark.
  const std::string suffix = texts::NotInfectedSuffix(german);
  EXPECT_NE(text.find('"' + suffix.substr(4, suffix.size() - 6) + '"'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, Guide, ::testing::Values("README.TXT", "LIESMICH.TXT"),
                         [](const auto& guide) { return std::string(guide.param).substr(0, 6); });

}  // namespace
}  // namespace dravlin
