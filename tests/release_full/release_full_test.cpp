// The whole release under Wine, from a machine that never had the client to a routine update:
// what lands in the install root, what runs afterwards, and what the log says.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/release/release_run.h"
#include "tests/support/win_test_support.h"

namespace {

const wchar_t* const kArchives[] = {L"ImgRes.zip", L"Drivers.zip", L"SoftQuorvane.zip"};

std::string Utf8(const std::wstring& text) {
  std::string utf8(text.size() * 3, '\0');
  utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                                  static_cast<int>(utf8.size()), nullptr, nullptr));
  return utf8;
}

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
  // It runs in the install root, so its relative paths and DLL search never reach the tool's folder.
  const std::vector<std::string> record = SplitLines(Contents(InstalledFile(L"QuorvaneSoftware.started")), "\r\n");
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[1], Utf8(InstalledFile(L"QuorvaneSoftware.exe")));
  EXPECT_EQ(record[2], Utf8(InstallRoot()));

  for (const wchar_t* archive : kArchives)
    EXPECT_TRUE(Contents(InstalledFile(archive)) == Contents(BuildArtifact(std::wstring(L"payload/") + archive)))
        << Narrow(archive);
  ExpectClientUnpacked(clientFiles_);
  EXPECT_EQ(Contents(InstalledFile(L"ToolFiePath.txt")), Narrow(ReleaseToolPath()));

  // Nothing else: no temporary file, no log (the first run has no folder to open it in).
  std::vector<std::wstring> expected = clientFiles_;
  expected.insert(expected.end(), std::begin(kArchives), std::end(kArchives));
  expected.insert(expected.end(), {L"ToolFiePath.txt", L"QuorvaneSoftware.started", L"Quorvane.qvrecord"});
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

// APPDATA as users have it: a profile name that the ANSI code page holds only as a look-alike
// ("Lukasz" is another user) or not at all, and one at Windows' path limit. Each case runs with a
// client running; the release installs in exactly that APPDATA, or, where no usable install root
// exists, stops nothing and writes nothing but its log.
TEST_F(ReleaseFull, EveryProfileGetsItsOwnInstallOrNoneWithTheClientLeftRunning) {
  const std::wstring users = L"C:\\users\\";
  // The client executable's temporary name, the install's longest path, is APPDATA + 45 characters.
  std::wstring atLimit = users + L"qv_limit";
  while (atLimit.size() + 1 + 100 <= 259 - 45) atLimit += L"\\" + std::wstring(100, L'p');
  atLimit += L"\\" + std::wstring(259 - 45 - atLimit.size() - 1, L'q');
  const struct {
    const char* what;
    std::wstring profile;
    std::wstring appData;
    std::string logRoot;  // the install root as the payload lines show it
    bool installs;
  } cases[] = {
      {"best-fit letter", users + L"\u0141ukasz", users + L"\u0141ukasz\\AppData\\Roaming",
       "C:\\users\\?ukasz\\AppData\\Roaming\\Quorvane\\Software", true},
      {"no ANSI form", users + L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439",
       users + L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439\\AppData\\Roaming",
       "C:\\users\\???????\\AppData\\Roaming\\Quorvane\\Software", true},
      {"at the path limit", users + L"qv_limit", atLimit, Narrow(atLimit) + "\\Quorvane\\Software", true},
      {"one beyond it", users + L"qv_limit", atLimit + L"r", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    {
      AppDataOverride profile(c.appData);
      ASSERT_EQ(AppDataFolder(), c.appData);
      ResetInstall(true);  // with a log to read
      ChildProcess client;
      ASSERT_TRUE(StartRunningClient(client));

      ASSERT_EQ(RunReleaseTool(), c.installs ? 0 : 4);  // 4: the install root was refused

      std::vector<std::string> lines;
      std::vector<ReleaseLogLine> log;
      ASSERT_TRUE(ReadReleaseLog(InstalledFile(L"ReleaseToolLog.txt"), log));
      for (const ReleaseLogLine& line : log) lines.push_back(line.text);
      if (c.installs) {
        EXPECT_TRUE(client.Wait(20000)) << "the running client was not stopped";
        ExpectClientUnpacked(clientFiles_);
        EXPECT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000));
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(lines[3], "ReleaseResFile ret = 1 iReCount = 0  " + c.logRoot + "\\ImgRes.zip");
        EXPECT_EQ(lines.back(), "OnReleaseFile End");
      } else {
        EXPECT_TRUE(client.IsRunning()) << "a client was stopped with no release to follow";
        EXPECT_EQ(lines, (std::vector<std::string>{"OnReleaseFile Begin", "OnReleaseFile Install Root Refused",
                                                   "OnReleaseFile Client Run", "OnReleaseFile End"}));
        EXPECT_EQ(ListFolder(InstallRoot()), std::vector<std::wstring>{L"ReleaseToolLog.txt"});
      }
      client.End();
      ResetInstall(false);
    }
    EXPECT_FALSE(PathExists(users + L"Lukasz")) << "the install went to a look-alike profile";
    RemoveTree(c.profile);
  }
}

}  // namespace
