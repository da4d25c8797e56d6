// The runtime's numbered files, as the activity log and the key-file search use them, and the
// locale texts the log and the start-up read.
#include <cstring>

#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Files = Conformance;

TEST_F(Files, AppendThenReadBack) {
  const std::string path = File("activity.log");
  std::int64_t length = -1;
  EXPECT_EQ(files().FileLen(path, &length), RT_FILE_NOT_FOUND);
  EXPECT_EQ(length, -1);
  EXPECT_EQ(files().OpenForBinaryRead(1, path), RT_FILE_NOT_FOUND);
  EXPECT_EQ(files().OpenForBinaryRead(1, File("no folder\\x.hiv")), RT_PATH_NOT_FOUND);
  EXPECT_EQ(files().OpenForAppend(1, File("no folder\\x.log")), RT_PATH_NOT_FOUND);
  EXPECT_EQ(files().FreeFile(), 1) << "a failed open holds no number";
  ASSERT_EQ(files().OpenForAppend(1, path), RT_OK);
  EXPECT_EQ(files().FreeFile(), 2) << "the lowest number not in use";
  EXPECT_EQ(files().OpenForAppend(1, File("other.log")), RT_FILE_ALREADY_OPEN);
  EXPECT_EQ(files().PrintLine(1, "first"), RT_OK);
  ASSERT_EQ(files().Close(1), RT_OK);
  // A second opening writes after what is there; NULs go through; reading goes on from the
  // position reached.
  WriteTextFile(path, std::string("sec\0ond", 7));
  EXPECT_EQ(files().FileLen(path, &length), RT_OK);
  EXPECT_EQ(length, 16);
  ASSERT_EQ(files().OpenForBinaryRead(1, path), RT_OK);
  std::string head(4, '\xbd'), rest(12, '\xbd');
  ASSERT_EQ(files().Get(1, &head), RT_OK);
  ASSERT_EQ(files().Get(1, &rest), RT_OK);
  EXPECT_EQ(files().Close(1), RT_OK);
  EXPECT_EQ(head + rest, std::string("first\r\nsec\0ond\r\n", 16));
}

TEST_F(Files, LocaleTexts) {
  char buffer[64];
  std::memset(buffer, kFill, sizeof buffer);
  const int needed =
      kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, nullptr, 0);
  ASSERT_GT(needed, 1);
  ASSERT_EQ(
      kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buffer, sizeof buffer),
      needed);
  EXPECT_EQ(std::strlen(buffer) + 1, static_cast<std::size_t>(needed)) << "counted with its NUL";
  EXPECT_EQ(static_cast<std::uint8_t>(buffer[needed]), kFill);
  EXPECT_EQ(kernel().GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNATIVELANGNAME, buffer, 1), 0);
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // Explicit pictures format the same everywhere; the user's own give some text.
  const SystemTime time{2026, 12, 0, 6, 21, 5, 9, 0};
  EXPECT_EQ(regional().GetDateFormatA(LOCALE_USER_DEFAULT, 0, &time, "dd.MM.yyyy", buffer, 64), 11);
  EXPECT_STREQ(buffer, "06.12.2026");
  EXPECT_EQ(regional().GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, "HH:mm:ss", buffer, 64), 9);
  EXPECT_STREQ(buffer, "21:05:09");
  const int date =
      regional().GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, buffer, 64);
  ASSERT_GT(date, 1);
  EXPECT_EQ(std::strlen(buffer) + 1, static_cast<std::size_t>(date));
}

}  // namespace
}  // namespace dravlin::conformance
