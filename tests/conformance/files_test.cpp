// The runtime's numbered files, as the activity log and the key-file search use them.
#include "conformance/conformance.h"

namespace dravlin::conformance {
namespace {

using namespace platform;

using Files = Conformance;
using Regional = Conformance;

TEST_F(Files, AppendCreatesAndAppends) {
  const std::string path = File("activity.log");
  const int first = files().FreeFile();
  EXPECT_EQ(first, 1);
  ASSERT_EQ(files().OpenForAppend(first, path), RT_OK);
  EXPECT_EQ(files().FreeFile(), 2) << "the lowest number not in use";
  EXPECT_EQ(files().OpenForAppend(first, File("other.log")), RT_FILE_ALREADY_OPEN);
  EXPECT_EQ(files().PrintLine(first, "first"), RT_OK);
  ASSERT_EQ(files().Close(first), RT_OK);
  EXPECT_EQ(files().FreeFile(), 1);

  // A second opening writes after what is there.
  ASSERT_EQ(files().OpenForAppend(1, path), RT_OK);
  EXPECT_EQ(files().PrintLine(1, std::string("sec\0ond", 7)), RT_OK);
  ASSERT_EQ(files().Close(1), RT_OK);
  EXPECT_EQ(ReadFileBytes(path), std::string("first\r\nsec\0ond\r\n", 16));
  std::int64_t length = -1;
  EXPECT_EQ(files().FileLen(path, &length), RT_OK);
  EXPECT_EQ(length, 16);
}

TEST_F(Files, BinaryRead) {
  const std::string path = File("key.hiv");
  WriteTextFile(path, "0123456789");
  ASSERT_EQ(files().OpenForBinaryRead(1, path), RT_OK);
  std::string head(4, '\xbd');
  ASSERT_EQ(files().Get(1, &head), RT_OK);
  EXPECT_EQ(head, "0123");
  std::string rest(8, '\xbd');
  ASSERT_EQ(files().Get(1, &rest), RT_OK);
  EXPECT_EQ(rest, "456789\r\n") << "reading goes on from the position reached";
  EXPECT_EQ(files().Close(1), RT_OK);

  EXPECT_EQ(files().OpenForBinaryRead(1, File("missing.hiv")), RT_FILE_NOT_FOUND);
  EXPECT_EQ(files().OpenForBinaryRead(1, File("no folder\\missing.hiv")), RT_PATH_NOT_FOUND);
  EXPECT_EQ(files().FreeFile(), 1) << "a failed open holds no number";
}

TEST_F(Files, ExistsLengthAndKill) {
  const std::string path = File("victim.dll");
  EXPECT_FALSE(files().FileExists(path));
  std::int64_t length = -1;
  EXPECT_EQ(files().FileLen(path, &length), RT_FILE_NOT_FOUND);
  EXPECT_EQ(length, -1);
  EXPECT_EQ(files().Kill(path), RT_FILE_NOT_FOUND);

  WriteTextFile(path, "MZ");
  EXPECT_TRUE(files().FileExists(path));
  EXPECT_FALSE(files().FileExists(target().ScratchFolder())) << "a folder is not a file";
  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(files().Kill(path), RT_PATH_FILE_ACCESS_ERROR);
  EXPECT_TRUE(files().FileExists(path));
  ASSERT_TRUE(kernel().SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(files().Kill(path), RT_OK);
  EXPECT_FALSE(files().FileExists(path));
  EXPECT_EQ(files().OpenForAppend(1, File("no folder\\x.log")), RT_PATH_NOT_FOUND);
}

TEST_F(Regional, ExplicitAndUserFormats) {
  // Explicit pictures format the same everywhere.
  SystemTime time;
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 6;
  time.wDayOfWeek = 0;
  time.wHour = 21;
  time.wMinute = 5;
  time.wSecond = 9;
  char buffer[64];
  EXPECT_EQ(regional().GetDateFormatA(LOCALE_USER_DEFAULT, 0, &time, "dd.MM.yyyy", buffer, 64), 11);
  EXPECT_STREQ(buffer, "06.12.2026");
  EXPECT_EQ(regional().GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, "HH:mm:ss", buffer, 64), 9);
  EXPECT_STREQ(buffer, "21:05:09");
  // The user's own formats give some text, counted with its NUL.
  const int date =
      regional().GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, buffer, 64);
  ASSERT_GT(date, 1);
  EXPECT_EQ(std::string(buffer).size() + 1, static_cast<std::size_t>(date));

  SystemTime now;
  regional().GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2000);
  EXPECT_GE(now.wMonth, 1);
  EXPECT_LE(now.wMonth, 12);
}

}  // namespace
}  // namespace dravlin::conformance
