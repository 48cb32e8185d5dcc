// The release tool run for real under Wine, each case in a clean install root.
#include <gtest/gtest.h>

#include "tests/release/release_run.h"
#include "tests/support/win_test_support.h"

namespace {

const std::vector<std::string> kNoClientRunning = {
    "OnReleaseFile Begin", "OnReleaseFile Close Old Process", "OnReleaseFile Close Replace File",
    "Quorvane.zip UnZip",  "OnReleaseFile Client Run",        "OnReleaseFile End",
};

class ReleaseFrame : public ::testing::Test {
 protected:
  void TearDown() override { ResetInstall(false); }
};

// The log opens before the payload phase creates the install root, so a first run has none.
TEST_F(ReleaseFrame, FirstRunWithoutInstallRootInstallsWithoutALog) {
  ResetInstall(false);
  EXPECT_EQ(RunReleaseTool(), 0);
  EXPECT_FALSE(ReadReleaseLog().exists);
  for (const wchar_t* archive : {L"ImgRes.zip", L"Drivers.zip", L"SoftQuorvane.zip"})
    EXPECT_TRUE(PathExists(InstallRoot() + L"\\" + archive)) << Narrow(archive);
  std::string toolPath;
  EXPECT_TRUE(ReadFileBytes(InstallRoot() + L"\\ToolFiePath.txt", toolPath));
  EXPECT_EQ(toolPath, Narrow(ReleaseToolPath()));
  EXPECT_TRUE(WaitForFile(InstallRoot() + L"\\QuorvaneSoftware.started", 20000));  // the unpacked client
}

TEST_F(ReleaseFrame, RunLogsEveryMilestoneRecordsItsPathAndLaunchesTheClient) {
  ResetInstall(true);
  ASSERT_TRUE(CopyFileTo(SampleClientPath(L"QuorvaneSoftware.exe"), InstallRoot() + L"\\QuorvaneSoftware.exe"));

  EXPECT_EQ(RunReleaseTool(), 0);

  const ReleaseLog log = ReadReleaseLog();
  ASSERT_TRUE(log.exists);
  EXPECT_EQ(log.messages, kNoClientRunning);
  EXPECT_TRUE(log.malformed.empty()) << log.malformed.front();
  const std::string root = Narrow(InstallRoot());
  EXPECT_EQ(log.payloadLines, (std::vector<std::string>{
                                  "ReleaseResFile ret = 1 iReCount = 0  " + root + "\\ImgRes.zip",
                                  "ReleaseResFile ret = 1 iReCount = 0  " + root + "\\Drivers.zip",
                                  "ReleaseResFile ret = 1 iReCount = 0  " + root + "\\SoftQuorvane.zip",
                              }));

  std::string toolPath;
  ASSERT_TRUE(ReadFileBytes(InstallRoot() + L"\\ToolFiePath.txt", toolPath));
  EXPECT_EQ(toolPath, Narrow(ReleaseToolPath()));  // exactly the path: no line end

  // The client notes its start beside itself: proof that the shell verb reached it.
  EXPECT_TRUE(WaitForFile(InstallRoot() + L"\\QuorvaneSoftware.started", 20000));
}

// The close request goes to the windows of the client's classes, whatever the program's name:
// these samples are named so that no kill targets them, so only the request can end them.
TEST_F(ReleaseFrame, RunningClientWindowsReceiveTheCloseRequestAndExit) {
  ResetInstall(true);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"close_request_samples";
  RemoveTree(folder);
  ASSERT_TRUE(CreateFolders(folder));
  struct Sample {
    const wchar_t* built;
    const wchar_t* copy;
    const wchar_t* windowClass;
  } samples[] = {{L"QuorvaneSoftware.exe", L"SoftWindowSample.exe", L"Qel_Rw_Soft_UI"},
                 {L"QelSoftClient.exe", L"ToluWindowSample.exe", L"Qel_Rw_Tolu_UI"}};
  ChildProcess running[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(CopyFileTo(SampleClientPath(samples[i].built), folder + L"\\" + samples[i].copy));
    ASSERT_TRUE(running[i].Start(folder + L"\\" + samples[i].copy));
    ASSERT_NE(WaitForWindowClass(samples[i].windowClass, 20000), nullptr) << samples[i].copy;
  }

  EXPECT_EQ(RunReleaseTool(), 0);

  for (int i = 0; i < 2; ++i) {
    DWORD exitCode = 1;
    EXPECT_TRUE(running[i].Wait(20000, &exitCode)) << samples[i].copy << " ignored the close request";
    EXPECT_EQ(exitCode, 0u);
    std::wstring closed = folder + L"\\" + samples[i].copy;
    closed.replace(closed.size() - 4, 4, L".closed");
    EXPECT_TRUE(PathExists(closed)) << Narrow(closed);
  }
  for (ChildProcess& child : running) child.End();
  RemoveTree(folder);
}

TEST_F(ReleaseFrame, NoClientWindowIsFine) {
  ResetInstall(true);
  ASSERT_EQ(FindWindowW(L"Qel_Rw_Soft_UI", nullptr), nullptr);
  ASSERT_EQ(FindWindowW(L"Qel_Rw_Tolu_UI", nullptr), nullptr);
  EXPECT_EQ(RunReleaseTool(), 0);
  EXPECT_EQ(ReadReleaseLog().messages, kNoClientRunning);
}

}  // namespace
