// The finder and the killer against real processes: copies of the sleeper helper (32-bit, and the
// 64-bit build whose module list a 32-bit process cannot read), started under names that match, in
// temporary folders. Every copy also watches this test process, so none outlives it even if a test
// dies midway.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "process/process_finder.h"
#include "tests/process/taskkill_wait.h"
#include "tests/support/win_test_support.h"

namespace {

constexpr DWORD kReadyTimeoutMs = 120000;  // hang guard only
constexpr DWORD kEndTimeoutMs = 15000;
constexpr int kPathCut = 259;  // characters of a module path that the finder compares
const wchar_t kSleeper[] = L"tests/process/process_sleeper.exe";
const wchar_t kSleeper64[] = L"tests/process/process_sleeper64.exe";
const wchar_t* const kSleepers[] = {kSleeper, kSleeper64};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

DWORD IdOf(const ScopedHandle& process) { return process.IsValid() ? GetProcessId(process.Get()) : 0; }

bool ModuleListReadable(HANDLE process) {
  HMODULE module;
  DWORD needed;
  return K32EnumProcessModules(process, &module, sizeof module, &needed);
}

// A started process shows its module list only once the loader has mapped it; a 64-bit one never
// shows it here, and is ready once its image has a name (which may be longer than MAX_PATH).
bool WaitUntilReadable(HANDLE process, bool is64Bit) {
  const ULONGLONG deadline = GetTickCount64() + kReadyTimeoutMs;
  std::vector<wchar_t> image(32768);
  for (;;) {
    DWORD length = static_cast<DWORD>(image.size());
    if (is64Bit ? QueryFullProcessImageNameW(process, 0, image.data(), &length) != FALSE : ModuleListReadable(process))
      return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

// The system's process list, in its order.
std::vector<DWORD> ListProcessIds() {
  std::vector<DWORD> ids(4096);
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) bytes = 0;
  ids.resize(bytes / sizeof(DWORD));
  return ids;
}

// Processes left behind by other tests would be found before ours: end them first.
void EndStrays(const char* name) {
  for (int i = 0; i < 20; ++i) {
    ScopedHandle stray = FindProcessByName(name);
    if (!stray.IsValid()) return;
    KillProcess(std::move(stray));
  }
}

class ProcessFinder : public testing::Test {
 protected:
  void SetUp() override {
    EndStrays("quorvanesoftware");
    static int serial = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ =
        std::wstring(temp) + L"qvfind-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    ASSERT_TRUE(CreateFolders(folder_));
  }
  void TearDown() override {
    for (ChildProcess& child : children_) child.End();
    EndStrays(Narrow(folder_).c_str());  // a planted or stand-in command that ran
    WaitForTaskkills();
    RemoveTree(L"\\\\?\\" + folder_);  // the prefix reaches paths beyond 260 characters
  }

  // Copies the sleeper to folder_\relativePath, or to startFolder\relativePath when given, and
  // starts it there.
  ChildProcess& StartCopy(const std::wstring& relativePath, const std::wstring& startFolder = L"",
                          const wchar_t* sleeper = kSleeper) {
    const std::wstring path = (startFolder.empty() ? folder_ : startFolder) + L"\\" + relativePath;
    const size_t slash = path.rfind(L'\\');
    EXPECT_TRUE(CreateFolders(path.substr(0, slash)));
    EXPECT_TRUE(CopyFileTo(BuildArtifact(sleeper), L"\\\\?\\" + path));
    children_.emplace_back();
    ChildProcess& child = children_.back();
    const std::wstring arguments = L"--watch " + std::to_wstring(GetCurrentProcessId()) + L" --lifetime 120";
    if (startFolder.empty()) {
      EXPECT_TRUE(child.Start(path, arguments));
    } else {
      // Windows refuses to start a program by a path of 260 characters or more, but not by a short
      // path relative to the current folder; the process still reports its full long path.
      wchar_t saved[MAX_PATH];
      GetCurrentDirectoryW(MAX_PATH, saved);
      EXPECT_TRUE(SetCurrentDirectoryW(startFolder.c_str()));
      EXPECT_TRUE(child.Start(relativePath, arguments));
      SetCurrentDirectoryW(saved);
    }
    EXPECT_TRUE(WaitUntilReadable(child.Handle(), sleeper == kSleeper64));
    if (sleeper == kSleeper64) {
      EXPECT_FALSE(ModuleListReadable(child.Handle())) << "the case needs the other path";
    }
    return child;
  }

  std::wstring folder_;
  std::deque<ChildProcess> children_;  // a deque keeps the references StartCopy hands out
};

struct MatchCase {
  const wchar_t* executable;  // below the case's folder
  const char* name;           // the search text
  bool matches;
};

const MatchCase kMatchCases[] = {
    {L"QuorvaneSoftware.exe", "QuorvaneSoftware.exe", true},
    {L"QuorvaneSoftware.exe", "QUORVANESOFTWARE.EXE", true},
    {L"OLDQUORVANESOFTWARE.EXE", "QuorvaneSoftware.exe", true},
    {L"QuorvaneSoftware.exe.files\\sample.exe", "QuorvaneSoftware.exe", true},
    {L"QuorvaneSoftwar.exe", "QuorvaneSoftware.exe", false},
    {L"Quorvane Software.exe", "QuorvaneSoftware.exe", false},
    // Only ASCII letters fold: A-umlaut (0xC4 in code page 1252) matches itself, not a-umlaut (0xE4).
    {L"quorvanesoftware\u00C4.exe", "QUORVANESOFTWARE\xC4.EXE", true},
    {L"quorvanesoftware\u00C4.exe", "quorvanesoftware\xE4.exe", false},
};

TEST_F(ProcessFinder, MatchesAnywhereInThePathIgnoringAsciiCase) {
  ASSERT_EQ(GetACP(), 1252u) << "the non-ASCII cases are written for code page 1252";
  for (const wchar_t* sleeper : kSleepers) {
    for (const MatchCase& c : kMatchCases) {
      SCOPED_TRACE(Narrow(sleeper) + " as " + Narrow(c.executable) + " searched as " + c.name);
      ChildProcess& child = StartCopy(c.executable, L"", sleeper);
      ScopedHandle found = FindProcessByName(c.name);
      if (c.matches) {
        EXPECT_EQ(IdOf(found), child.Id());
      } else {
        EXPECT_FALSE(found.IsValid()) << "found process " << IdOf(found);
      }
      child.End();
    }
  }
}

TEST_F(ProcessFinder, ReturnsMatchesInTheSystemsListOrder) {
  for (int i = 0; i < 3; ++i) StartCopy(L"copy" + std::to_wstring(i) + L"\\QuorvaneSoftware.exe");
  for (size_t round = 0; round < children_.size(); ++round) {
    std::vector<DWORD> ours;
    for (DWORD id : ListProcessIds()) {
      for (const ChildProcess& child : children_)
        if (child.IsRunning() && child.Id() == id) ours.push_back(id);
    }
    ASSERT_EQ(ours.size(), children_.size() - round);
    ScopedHandle found = FindProcessByName("QuorvaneSoftware.exe");
    ASSERT_EQ(IdOf(found), ours.front()) << "round " << round;
    KillProcess(std::move(found));
    for (ChildProcess& child : children_) {
      if (child.Id() == ours.front()) {
        ASSERT_TRUE(child.Wait(kEndTimeoutMs));
      }
    }
  }
  EXPECT_FALSE(FindProcessByName("QuorvaneSoftware.exe").IsValid());
}

TEST_F(ProcessFinder, ComparesOnlyTheFirst259CharactersOfALongPath) {
  // A folder of 245 characters: its executable's full path is 266 long and is cut in the name.
  std::wstring deep = folder_;
  while (deep.size() < 245) deep += L"\\" + std::wstring(std::min<size_t>(100, 245 - deep.size() - 1), L'd');
  ASSERT_EQ(deep.size(), 245u);
  const std::string path = Narrow(deep + L"\\QuorvaneSoftware.exe");
  ASSERT_GT(path.size(), static_cast<size_t>(kPathCut));
  for (const wchar_t* sleeper : kSleepers) {
    SCOPED_TRACE(Narrow(sleeper));
    ChildProcess& child = StartCopy(L"QuorvaneSoftware.exe", deep, sleeper);
    EXPECT_FALSE(FindProcessByName("QuorvaneSoftware.exe").IsValid());
    EXPECT_EQ(IdOf(FindProcessByName(Upper(path.substr(0, kPathCut)).c_str())), child.Id());
    // 259 characters again, but the last of them lies beyond the cut.
    EXPECT_FALSE(FindProcessByName(path.substr(1, kPathCut).c_str()).IsValid());
    // Longer names are refused, not cut: cut to 259 characters these two would match.
    EXPECT_FALSE(FindProcessByName((path.substr(0, kPathCut) + "!").c_str()).IsValid());
    EXPECT_FALSE(FindProcessByName((path.substr(0, kPathCut) + std::string(1000, '!')).c_str()).IsValid());
    child.End();
  }
}

TEST_F(ProcessFinder, FindsItsOwnProcessWhenItsPathMatches) {
  char own[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, own, MAX_PATH), 0u);
  EXPECT_EQ(IdOf(FindProcessByName(Upper(own).c_str())), GetCurrentProcessId());
  EXPECT_TRUE(FindProcessByName("").IsValid()) << "an empty name matches the first readable process";
  EXPECT_FALSE(FindProcessByName(nullptr).IsValid());
}

TEST_F(ProcessFinder, SearchingEnablesTheDebugPrivilege) {
  FindProcessByName("QuorvaneSoftware.exe");
  HANDLE rawToken = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken));
  ScopedHandle token(rawToken);
  LUID debug;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug));
  PRIVILEGE_SET wanted = {1, PRIVILEGE_SET_ALL_NECESSARY, {{debug, 0}}};
  BOOL enabled = FALSE;
  ASSERT_TRUE(PrivilegeCheck(token.Get(), &wanted, &enabled));
  EXPECT_TRUE(enabled);
}

TEST_F(ProcessFinder, HandsOutAHandleWithTheKillRightsOnly) {
  ChildProcess& child = StartCopy(L"QuorvaneSoftware.exe");
  ScopedHandle found = FindProcessByName("QuorvaneSoftware.exe");
  ASSERT_EQ(IdOf(found), child.Id());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(found.Get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  EXPECT_EQ(WaitForSingleObject(found.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));  // may wait
  SetLastError(0);
  EXPECT_FALSE(SetPriorityClass(found.Get(), HIGH_PRIORITY_CLASS));  // may not change the process
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  KillProcess(std::move(found));
  DWORD exitCode = 1;
  ASSERT_TRUE(child.Wait(kEndTimeoutMs, &exitCode));
  EXPECT_EQ(exitCode, 0u) << "TerminateProcess ends it with exit code 0";
  EXPECT_FALSE(FindProcessByName("QuorvaneSoftware.exe").IsValid());
}

// A TASKKILL.exe beside the starting program or in the current folder is what a search for the
// bare name would start (Wine searches as Windows does). Without the terminate right only the
// system's command can end the target; a planted copy that ran would still be running.
TEST_F(ProcessFinder, PlantedTaskkillNeverRunsAndTheSystemsEndsTheProcess) {
  wchar_t own[MAX_PATH], saved[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
  *wcsrchr(own, L'\\') = 0;
  GetCurrentDirectoryW(MAX_PATH, saved);
  for (const std::wstring& folder : {std::wstring(own), folder_}) {  // beside the test; the current folder
    const std::wstring planted = folder + L"\\TASKKILL.exe";
    ASSERT_TRUE(CopyFileTo(BuildArtifact(kSleeper64), planted));
    ChildProcess& child = StartCopy(L"QuorvaneSoftware.exe", L"", kSleeper64);
    ScopedHandle limited(OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, child.Id()));
    const HANDLE raw = limited.Get();
    SetCurrentDirectoryW(folder_.c_str());
    KillProcess(std::move(limited));
    SetCurrentDirectoryW(saved);
    const bool handleKept = GetProcessId(raw) == child.Id();  // before a new handle can take its value
    // A command slower than the wait must still find the target's id taken.
    EXPECT_TRUE(handleKept || !FindProcessByName("\\taskkill.exe").IsValid()) << "a TASKKILL outlived the handle";
    EXPECT_TRUE(child.Wait(kEndTimeoutMs)) << "the system's TASKKILL did not end the process";
    if (handleKept) CloseHandle(raw);
    EXPECT_FALSE(FindProcessByName(Narrow(planted).c_str()).IsValid()) << "the planted TASKKILL ran";
    EndStrays(Narrow(planted).c_str());
    EXPECT_TRUE(RemoveTree(planted));
  }
}

TEST_F(ProcessFinder, HandleOfATargetStaysOpenWhileItsCommandStillRuns) {
  ChildProcess& child = StartCopy(L"QuorvaneSoftware.exe", L"", kSleeper64);
  const std::wstring slowCommand = folder_ + L"\\taskkill.exe";  // a sleeper: outlives the 2000 ms wait
  ASSERT_TRUE(CopyFileTo(BuildArtifact(kSleeper64), slowCommand));
  ScopedHandle found = FindProcessByName("QuorvaneSoftware.exe");
  const HANDLE raw = found.Get();
  KillProcessWithCommand(std::move(found), Narrow(slowCommand).c_str());
  EXPECT_EQ(GetProcessId(raw), child.Id()) << "the target's handle was closed while its command ran";
  ASSERT_TRUE(child.Wait(kEndTimeoutMs));
  CloseHandle(raw);
  EXPECT_TRUE(FindProcessByName(Narrow(slowCommand).c_str()).IsValid()) << "the command was not started by its path";
}  // TearDown ends the command

}  // namespace
