#include "install/release_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "tests/support/win_test_support.h"

namespace {

struct PrefixCase {
  SYSTEMTIME time;
  const char* expected;
};

TEST(FormatLogPrefix, PadsEveryFieldToItsWidth) {
  const PrefixCase cases[] = {
      {{2026, 2, 0, 3, 9, 5, 7, 7}, "2026-02-03 09:05:07.007: "},
      {{2026, 12, 0, 31, 23, 59, 59, 999}, "2026-12-31 23:59:59.999: "},
      {{999, 1, 0, 1, 0, 0, 0, 0}, "0999-01-01 00:00:00.000: "},
  };
  for (const PrefixCase& c : cases) {
    char prefix[kLogPrefixCapacity];
    std::memset(prefix, 'x', sizeof prefix);
    FormatLogPrefix(c.time, prefix);
    EXPECT_STREQ(prefix, c.expected);
    // The rest of the buffer is zeroed, not left as it was.
    for (size_t i = std::strlen(c.expected); i < sizeof prefix; ++i) ASSERT_EQ(prefix[i], 0) << i;
  }
}

class ReleaseLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    path_ = std::wstring(folder) + L"release_log_test.txt";
    RemoveTree(path_);
  }
  void TearDown() override { RemoveTree(path_); }
  std::string Contents() {
    std::string bytes;
    ReadFileBytes(path_, bytes);
    return bytes;
  }
  std::wstring path_;
};

TEST_F(ReleaseLogFile, MilestoneLinesCarryTimeMessageAndLastErrorWithCrLf) {
  FILE* log = OpenLog(path_.c_str());
  ASSERT_NE(log, nullptr);
  SetLastError(0);
  WriteLog(log, "OnReleaseFile Begin");
  SetLastError(ERROR_ACCESS_DENIED);
  WriteLog(log, "OnReleaseFile End");
  // Each line reaches the file before the stream is closed: a killed run keeps its log.
  const std::string beforeClose = Contents();
  CloseLog(log);

  const std::regex format(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:  OnReleaseFile Begin ErrorCode:0\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:  OnReleaseFile End ErrorCode:5\r\n");
  EXPECT_TRUE(std::regex_match(beforeClose, format)) << beforeClose;
  EXPECT_EQ(Contents(), beforeClose);
}

// The old log may be a hard link to a file elsewhere (which the user can make, and an elevated
// run would then overwrite): the new log takes its name and the other file stays as it was.
TEST_F(ReleaseLogFile, OpeningReplacesTheLogOfTheLastRunAndNeverWritesThroughALink) {
  const std::wstring elsewhere = path_ + L".elsewhere";
  ASSERT_TRUE(WriteFileBytes(elsewhere, std::string(5000, 'x')));
  ASSERT_TRUE(CreateHardLinkW(path_.c_str(), elsewhere.c_str(), nullptr));
  FILE* log = OpenLog(path_.c_str());
  ASSERT_NE(log, nullptr);
  WriteLog(log, "one");
  CloseLog(log);
  EXPECT_EQ(Contents().find('x'), std::string::npos);
  EXPECT_EQ(SplitLines(Contents(), "\r\n").size(), 1u);
  std::string other;
  EXPECT_TRUE(ReadFileBytes(elsewhere, other));
  EXPECT_EQ(other, std::string(5000, 'x'));
  EXPECT_FALSE(PathExists(path_ + L".tmp"));
  RemoveTree(elsewhere);
}

TEST_F(ReleaseLogFile, NullStreamOrMessageWritesNothing) {
  WriteLog(nullptr, "nothing");
  CloseLog(nullptr);
  FILE* log = OpenLog(path_.c_str());
  ASSERT_NE(log, nullptr);
  WriteLog(log, nullptr);
  CloseLog(log);
  EXPECT_EQ(Contents(), "");
}

TEST(OpenLog, MissingFolderGivesNoStreamAndNoFile) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring missing = std::wstring(folder) + L"no_such_release_folder";
  RemoveTree(missing);
  EXPECT_EQ(OpenLog((missing + L"\\ReleaseToolLog.txt").c_str()), nullptr);
  EXPECT_FALSE(PathExists(missing));
}

}  // namespace
