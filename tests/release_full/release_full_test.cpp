// The whole release under Wine, from a machine that never had the client to a routine update:
// what lands in the install root, what runs afterwards, and what the log says.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/release/release_run.h"
#include "tests/support/win_test_support.h"

namespace {

const wchar_t* const kArchives[] = {L"ImgRes.zip", L"Drivers.zip", L"SoftQuorvane.zip"};

// Every file of the client archive stands in the install root, byte for byte.
void ExpectClientUnpacked(const std::vector<std::wstring>& clientFiles) {
  for (const std::wstring& name : clientFiles) {
    const std::string installed = Contents(InstalledFile(name));
    EXPECT_TRUE(installed == Contents(ReferenceClientFiles() + L"\\" + name))
        << Narrow(name) << ": " << installed.size() << " bytes";
  }
}

class ReleaseFull : public ::testing::Test {
 protected:
  void SetUp() override {
    clientFiles_ = ListFolder(ReferenceClientFiles());
    ASSERT_GE(clientFiles_.size(), 2u) << Narrow(ReferenceClientFiles());
    ResetInstall(false);
  }
  void TearDown() override { ResetInstall(false); }

  std::vector<std::wstring> clientFiles_;
};

TEST_F(ReleaseFull, FreshInstallUnpacksTheClientAndLaunchesIt) {
  ASSERT_EQ(RunReleaseTool(), 0);

  // The launched client is the unpacked one: its record names the executable it runs from.
  ASSERT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000));
  const std::vector<std::string> record = SplitLines(Contents(InstalledFile(L"QuorvaneSoftware.started")), "\r\n");
  ASSERT_EQ(record.size(), 2u);
  EXPECT_EQ(record[1], Narrow(InstalledFile(L"QuorvaneSoftware.exe")));

  for (const wchar_t* archive : kArchives)
    EXPECT_TRUE(Contents(InstalledFile(archive)) == Contents(BuildArtifact(std::wstring(L"payload/") + archive)))
        << Narrow(archive);
  ExpectClientUnpacked(clientFiles_);
  EXPECT_EQ(Contents(InstalledFile(L"ToolFiePath.txt")), Narrow(ReleaseToolPath()));

  // Nothing else: no temporary file, no log (the first run has no folder to open it in).
  std::vector<std::wstring> expected = clientFiles_;
  expected.insert(expected.end(), std::begin(kArchives), std::end(kArchives));
  expected.insert(expected.end(), {L"ToolFiePath.txt", L"QuorvaneSoftware.started"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListFolder(InstallRoot()), expected);
  EXPECT_EQ(ListFolder(AppDataFolder() + L"\\Quorvane"), std::vector<std::wstring>{L"Software"});
}

TEST_F(ReleaseFull, UpdateWithNoClientRunningLogsTheWholeSequence) {
  ASSERT_EQ(RunReleaseTool(), 0);
  ASSERT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000));
  EndLaunchedClients();
  ASSERT_TRUE(DeleteFileW(InstalledFile(L"QuorvaneSoftware.started").c_str()));
  ASSERT_TRUE(WriteFileBytes(InstalledFile(clientFiles_.back()), "an old library"));

  ASSERT_EQ(RunReleaseTool(), 0);

  // Milestone lines and payload lines interleaved exactly so.
  const std::string root = Narrow(InstallRoot());
  std::vector<ReleaseLogLine> log;
  ASSERT_TRUE(ReadReleaseLog(InstalledFile(L"ReleaseToolLog.txt"), log));
  std::vector<std::string> lines;
  for (const ReleaseLogLine& line : log) lines.push_back((line.milestone ? "" : "payload: ") + line.text);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "OnReleaseFile Begin",
                       "OnReleaseFile Close Old Process",
                       "OnReleaseFile Close Replace File",
                       "payload: ReleaseResFile ret = 1 iReCount = 0  " + root + "\\ImgRes.zip",
                       "payload: ReleaseResFile ret = 1 iReCount = 0  " + root + "\\Drivers.zip",
                       "payload: ReleaseResFile ret = 1 iReCount = 0  " + root + "\\SoftQuorvane.zip",
                       "Quorvane.zip UnZip",
                       "OnReleaseFile Client Run",
                       "OnReleaseFile End",
                   }));
  ExpectClientUnpacked(clientFiles_);
  EXPECT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000));
}

}  // namespace
