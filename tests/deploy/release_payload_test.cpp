// The payload walk over tables of the tests' own and over the real table, against the test
// executable's resources (which lack id 137, so the skin archive's row always fails).
#include "deploy/release_payload.h"

#include "tests/deploy/deploy_test_support.h"

namespace {

using Lines = std::vector<std::string>;
constexpr PayloadEntry kEndRow = {nullptr, nullptr, 0, 0, nullptr};

std::string PayloadLine(int ret, int count, const std::wstring& target) {
  return "ReleaseResFile ret = " + std::to_string(ret) + " iReCount = " + std::to_string(count) + "  " + Narrow(target);
}

// The lines of a row that fails every attempt: each reports the attempt before it.
Lines FailedRowLines(const std::wstring& target) {
  Lines lines = {PayloadLine(0, 0, target)};
  for (int count = 0; count < kPayloadRetries; ++count) lines.push_back(PayloadLine(0, count, target));
  return lines;
}

Lines Concatenated(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class PayloadWalk : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    appData_ = Path(L"AppData");
    ASSERT_TRUE(CreateFolders(Path(L"AppData")));
  }
  // Runs the walk with a log of its own and answers the log's lines; each must end in LF alone.
  Lines Walk(const PayloadEntry* table) {
    FILE* log = std::fopen(NarrowPath(L"log.txt").c_str(), "wb");
    EXPECT_NE(log, nullptr);
    if (table == nullptr)
      ReleasePayload(log, appData_.c_str());
    else
      ReleasePayloadRows(log, appData_.c_str(), table);
    std::fclose(log);
    const std::string text = Contents(Path(L"log.txt"));
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    return SplitLines(text, "\n");
  }
  std::wstring Target(const std::wstring& relative) const { return Path(L"AppData\\" + relative); }

  std::wstring appData_;
};

TEST_F(PayloadWalk, WritesRowsOfReleaseModeInOrderAndStopsAtTheEndRow) {
  const PayloadEntry table[] = {
      {L"\\Root\\Sub\\first.zip", "ZIP", kDriversId, kReleaseModeOnRelease, ""},
      {L"\\Root\\other-mode.zip", "ZIP", kClientId, 1, ""},
      {L"\\Root\\second.zip", "ZIP", kOtherId, kReleaseModeOnRelease, ""},
      kEndRow,
      {L"\\Root\\beyond.zip", "ZIP", kClientId, kReleaseModeOnRelease, ""},
  };
  EXPECT_EQ(Walk(table), (Lines{PayloadLine(1, 0, appData_ + L"\\Root\\Sub\\first.zip"),
                                PayloadLine(1, 0, appData_ + L"\\Root\\second.zip")}));
  EXPECT_EQ(Contents(Target(L"Root\\Sub\\first.zip")), OwnResource(kDriversId));
  EXPECT_EQ(Contents(Target(L"Root\\second.zip")), OwnResource(kOtherId));
  EXPECT_EQ(ListFolder(Target(L"Root")), (std::vector<std::wstring>{L"Sub", L"second.zip"}));
}

TEST_F(PayloadWalk, FailingRowIsTriedElevenTimesLeftAsItWasAndTheWalkGoesOn) {
  ASSERT_TRUE(CreateFolders(Target(L"Root")));
  ASSERT_TRUE(WriteFileBytes(Target(L"Root\\missing.zip"), "earlier archive"));
  const PayloadEntry table[] = {
      {L"\\Root\\missing.zip", "ZIP", kAbsentId, kReleaseModeOnRelease, ""},
      {L"\\Root\\next.zip", "ZIP", kOtherId, kReleaseModeOnRelease, ""},
      kEndRow,
  };
  EXPECT_EQ(Walk(table), Concatenated({FailedRowLines(appData_ + L"\\Root\\missing.zip"),
                                       {PayloadLine(1, 0, appData_ + L"\\Root\\next.zip")}}));
  EXPECT_EQ(Contents(Target(L"Root\\missing.zip")), "earlier archive");
  EXPECT_EQ(Contents(Target(L"Root\\next.zip")), OwnResource(kOtherId));
  EXPECT_EQ(ListFolder(Target(L"Root")), (std::vector<std::wstring>{L"missing.zip", L"next.zip"}));
}

// Retrying cannot make a file into a folder: one failed line and no attempt.
TEST_F(PayloadWalk, FolderThatCannotBeCreatedFailsItsRowAtOnce) {
  ASSERT_TRUE(WriteFileBytes(Target(L"Root"), "a file where the folder should be"));
  const PayloadEntry table[] = {{L"\\Root\\Sub\\first.zip", "ZIP", kDriversId, kReleaseModeOnRelease, ""}, kEndRow};
  EXPECT_EQ(Walk(table), Lines{PayloadLine(0, 0, appData_ + L"\\Root\\Sub\\first.zip")});
  EXPECT_EQ(Contents(Target(L"Root")), "a file where the folder should be");
}

// Cut at 260 characters the target would name another file: one failed line with the whole path,
// no attempt and no retry, since the path cannot get shorter.
TEST_F(PayloadWalk, TargetThatDoesNotFitIsNotAttempted) {
  const std::wstring relative = L"\\Root\\" + std::wstring(260 - appData_.size(), L'n') + L".zip";
  const PayloadEntry table[] = {{relative.c_str(), "ZIP", kDriversId, kReleaseModeOnRelease, ""}, kEndRow};
  EXPECT_EQ(Walk(table), Lines{PayloadLine(0, 0, appData_ + relative)});
  EXPECT_TRUE(ListFolder(Path(L"AppData")).empty());
}

TEST_F(PayloadWalk, PhaseCreatesTheInstallRootAndDeletesTheOldSkinArchiveFirst) {
  const std::wstring root = appData_ + L"\\Quorvane\\Software";
  const Lines expected = Concatenated({FailedRowLines(root + L"\\ImgRes.zip"),
                                       {PayloadLine(1, 0, root + L"\\Drivers.zip")},
                                       {PayloadLine(1, 0, root + L"\\SoftQuorvane.zip")}});
  EXPECT_EQ(Walk(nullptr), expected);
  EXPECT_EQ(Contents(Target(L"Quorvane\\Software\\Drivers.zip")), OwnResource(kDriversId));
  EXPECT_EQ(Contents(Target(L"Quorvane\\Software\\SoftQuorvane.zip")), OwnResource(kClientId));

  // Its new copy cannot be written here, so only the deletion can have removed the old one.
  ASSERT_TRUE(WriteFileBytes(Target(L"Quorvane\\Software\\ImgRes.zip"), "old skin"));
  EXPECT_EQ(Walk(nullptr), expected);
  EXPECT_EQ(ListFolder(Target(L"Quorvane\\Software")),
            (std::vector<std::wstring>{L"Drivers.zip", L"SoftQuorvane.zip"}));
}

}  // namespace
