// The sample client programs that the default payload carries: each keeps a hidden window of its
// class, records its start beside itself, and ends with exit code 0 on exactly the close request.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/win_test_support.h"

namespace {

constexpr UINT kCloseRequest = 0x0658;

struct SampleProgram {
  const wchar_t* baseName;
  const wchar_t* windowClass;
};
constexpr SampleProgram kPrograms[] = {{L"QuorvaneSoftware", L"Qel_Rw_Soft_UI"}, {L"QelSoftClient", L"Qel_Rw_Tolu_UI"}};

std::string Utf8(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(length > 0 ? length - 1 : 0, '\0');
  if (length > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], length, nullptr, nullptr);
  return utf8;
}

// The record appears whole, but may replace an earlier one: wait for the expected text.
std::string WaitForRecord(const std::wstring& path, const std::string& expected, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  std::string content;
  while (!(ReadFileBytes(path, content) && content == expected) && GetTickCount64() < deadline) Sleep(20);
  return content;
}

struct WindowSearch {
  const wchar_t* windowClass;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  wchar_t className[64] = L"";
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->processId && GetClassNameW(window, className, 64) &&
      lstrcmpW(className, search->windowClass) == 0)
    search->found = window;
  return search->found == nullptr;
}

// The top-level window of the class that belongs to the process (FindWindowW could answer another's).
HWND TopLevelWindowOf(DWORD processId, const wchar_t* windowClass) {
  WindowSearch search = {windowClass, processId, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The record's last line: a started program inherits this process's working folder.
std::string WorkingFolder() {
  wchar_t folder[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, folder);
  return Utf8(folder) + "\r\n";
}

class SampleClient : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    // A folder name outside the ANSI range shows that the record's path is real UTF-8.
    folder_ = std::wstring(temp) + L"quorvane sample \u00e9\u6837";
    RemoveTree(folder_);
    ASSERT_TRUE(CreateFolders(folder_));
  }
  void TearDown() override { RemoveTree(folder_); }

  std::wstring folder_;
};

TEST_F(SampleClient, RecordsItsStartAndClosesOnlyOnTheExactRequest) {
  for (const SampleProgram& program : kPrograms) {
    SCOPED_TRACE(Narrow(program.baseName));
    const std::wstring executable = folder_ + L"\\" + program.baseName + L".exe";
    ASSERT_TRUE(CopyFileTo(BuildArtifact(std::wstring(L"sample/") + program.baseName + L".exe"), executable));
    ChildProcess client;
    ASSERT_TRUE(client.Start(executable));
    const std::string record = std::to_string(client.Id()) + "\r\n" + Utf8(executable) + "\r\n" + WorkingFolder();
    EXPECT_EQ(WaitForRecord(folder_ + L"\\" + program.baseName + L".started", record, 20000), record);

    HWND window = TopLevelWindowOf(client.Id(), program.windowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowW(program.windowClass, nullptr), window);
    EXPECT_FALSE(IsWindowVisible(window));

    // The same message with other parameters is not the close request.
    PostMessageW(window, kCloseRequest, 1, 0);
    PostMessageW(window, kCloseRequest, 0, 1);
    EXPECT_FALSE(client.Wait(500));
    EXPECT_FALSE(PathExists(folder_ + L"\\" + program.baseName + L".closed"));

    PostMessageW(window, kCloseRequest, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(client.Wait(20000, &exitCode)) << "still running after the close request";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(WaitForRecord(folder_ + L"\\" + program.baseName + L".closed", record, 0), record);
  }
}

// Written in place, the record was empty for a moment, and a reader could find it so. Written under
// another name and renamed, it needs no write access to the earlier record, which a reader may hold.
TEST_F(SampleClient, ReplacesTheRecordOfAnEarlierRunWithoutWritingInPlace) {
  const std::wstring executable = folder_ + L"\\QuorvaneSoftware.exe";
  const std::wstring started = folder_ + L"\\QuorvaneSoftware.started";
  ASSERT_TRUE(CopyFileTo(BuildArtifact(L"sample/QuorvaneSoftware.exe"), executable));
  ASSERT_TRUE(WriteFileBytes(started, std::string(4000, 'x') + "\r\n"));
  ScopedHandle reader(CreateFileW(started.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.IsValid());
  ChildProcess client;
  ASSERT_TRUE(client.Start(executable));
  ASSERT_NE(WaitForWindowClass(kPrograms[0].windowClass, 20000), nullptr);
  Sleep(500);  // the record is written right after the window: the client tries while it is held
  reader.Reset();
  const std::string record = std::to_string(client.Id()) + "\r\n" + Utf8(executable) + "\r\n" + WorkingFolder();
  EXPECT_EQ(WaitForRecord(started, record, 20000), record);
}

}  // namespace
