// The tray sweep against a stand-in shell (stand_in_shell.exe) in a process of its own, as the real
// shell is: the sweep's sends cross processes, and a hung toolbar sits in another thread.
//
// Keeping Wine's own tray out: Wine's explorer owns a hidden "Shell_TrayWnd" (without a
// "TrayNotifyWnd") on the session's desktop, which FindWindowW could answer instead of the
// stand-in's, and which would be a taskbar in the cases that have none. So each case runs on a
// private desktop (CreateDesktopW): the stand-in is started on it and the sweep runs on a thread
// attached to it (SetThreadDesktop); window lookups see that desktop's windows only. Wine also
// starts an explorer with such a window for every new desktop; the stand-in moves that one under a
// window of its own, where it is no longer top level. Every case checks that the only top-level
// "Shell_TrayWnd" left on its desktop is the stand-in's (or none), and that the session's shell
// is still in place.
#include "process/tray_sweep.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/win_test_support.h"

namespace {

constexpr DWORD kHangGuardMs = 30000;  // a sweep that waits for a hung shell fails instead of hanging

struct Move {
  std::string toolbar;
  unsigned x, y;
  unsigned long wParam;
  bool operator==(const Move& other) const {
    return toolbar == other.toolbar && x == other.x && y == other.y && wParam == other.wParam;
  }
};
std::ostream& operator<<(std::ostream& out, const Move& move) {
  return out << move.toolbar << "(" << move.x << "," << move.y << " w" << move.wParam << ")";
}

// One toolbar's full row: x = 1 to width - 1, at half the height.
struct Row {
  const char* toolbar;
  int width, height;
};

std::vector<Move> RowMoves(const std::vector<Row>& rows) {
  std::vector<Move> moves;
  for (const Row& row : rows)
    for (int x = 1; x < row.width; ++x) moves.push_back({row.toolbar, unsigned(x), unsigned(row.height / 2), 0});
  return moves;
}

// "" when the moves are the expected ones, else the counts and the first difference.
std::string Difference(const std::vector<Move>& got, const std::vector<Move>& expected) {
  if (got == expected) return "";
  size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  std::ostringstream text;
  text << got.size() << " moves, expected " << expected.size() << "; first difference at #" << i << ": ";
  if (i < got.size()) text << "got " << got[i] << " ";
  if (i < expected.size()) text << "expected " << expected[i];
  return text.str();
}

struct StandInWindow {
  HWND window;
  int width, height;
};

struct SweepOutcome {
  std::string failure;  // why the case could not be run; empty when it ran
  std::vector<Move> moves;
  std::map<std::string, StandInWindow> windows;
  ULONGLONG elapsedMs = 0;
  int foreignTaskbars = 0;  // top-level "Shell_TrayWnd" windows on the desktop not of the stand-in
  int ownTaskbars = 0;
  bool sessionShellKept = false;  // the session desktop's first "Shell_TrayWnd" stayed the same
};

SweepOutcome Failed(const std::string& why) {
  SweepOutcome outcome;
  outcome.failure = why;
  return outcome;
}

void ParseRecord(const std::string& text, SweepOutcome& outcome, bool& ready) {
  ready = false;
  outcome.moves.clear();
  for (const std::string& line : SplitLines(text, "\n")) {
    char label[64];
    unsigned long a = 0, b = 0;
    int width = 0, height = 0;
    if (std::sscanf(line.c_str(), "move %63s %lx %lu", label, &a, &b) == 3)
      outcome.moves.push_back({label, unsigned(a & 0xFFFF), unsigned(a >> 16), b});
    else if (std::sscanf(line.c_str(), "window %63s %lx %d %d", label, &a, &width, &height) == 4)
      outcome.windows[label] = {reinterpret_cast<HWND>(a), width, height};
    else if (line == "ready")
      ready = true;
  }
}

class PrivateDesktop {
 public:
  explicit PrivateDesktop(const std::wstring& name)
      : name_(name), desktop_(CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr)) {}
  ~PrivateDesktop() {
    if (desktop_ != nullptr) CloseDesktop(desktop_);
  }
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;
  HDESK Get() const { return desktop_; }
  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
  HDESK desktop_;
};

struct SweepThread {
  HDESK desktop;
  DWORD standInId;
  SweepOutcome* outcome;
  bool attached;
};

DWORD WINAPI RunSweep(void* parameter) {
  auto* run = static_cast<SweepThread*>(parameter);
  run->attached = SetThreadDesktop(run->desktop) != FALSE;
  if (!run->attached) return 1;
  for (HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr); tray != nullptr;
       tray = FindWindowExW(nullptr, tray, L"Shell_TrayWnd", nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(tray, &owner);
    ++(owner == run->standInId ? run->outcome->ownTaskbars : run->outcome->foreignTaskbars);
  }
  const ULONGLONG start = GetTickCount64();
  RefreshTrayIcons();
  run->outcome->elapsedMs = GetTickCount64() - start;
  return 0;
}

// Builds the stand-in's windows on a fresh private desktop, runs RefreshTrayIcons there and
// collects what the stand-in's windows received.
SweepOutcome SweepStandIn(const std::wstring& windows) {
  static int caseNumber = 0;
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++caseNumber);
  SweepOutcome outcome;
  PrivateDesktop desktop(L"QuorvaneTraySweep" + tag);
  if (desktop.Get() == nullptr) return Failed("CreateDesktopW failed: " + std::to_string(GetLastError()));

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring recordPath = std::wstring(temp) + L"quorvane_tray_" + tag + L".txt";
  DeleteFileW(recordPath.c_str());
  const HWND sessionTaskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
  ChildProcess standIn;
  if (!standIn.Start(BuildArtifact(L"tests/tray/stand_in_shell.exe"), L"\"" + recordPath + L"\" " + windows,
                     desktop.Name()))
    return Failed("the stand-in shell did not start");

  std::string record;
  bool ready = false;
  for (ULONGLONG deadline = GetTickCount64() + 20000; !ready && standIn.IsRunning() && GetTickCount64() < deadline;
       Sleep(20)) {
    ReadFileBytes(recordPath, record);
    ParseRecord(record, outcome, ready);
  }
  if (!ready) return Failed("the stand-in shell did not build its windows");
  outcome.sessionShellKept = FindWindowW(L"Shell_TrayWnd", nullptr) == sessionTaskbar;

  SweepThread run = {desktop.Get(), standIn.Id(), &outcome, false};
  ScopedHandle thread(CreateThread(nullptr, 0, RunSweep, &run, 0, nullptr));
  if (WaitForSingleObject(thread.Get(), kHangGuardMs) != WAIT_OBJECT_0) {
    standIn.End();  // fails the sweep's pending send, so the thread can end
    WaitForSingleObject(thread.Get(), INFINITE);
    return Failed("the sweep did not end within the hang guard");
  }
  if (!run.attached) return Failed("SetThreadDesktop failed");

  // A move the sweep gave up on may still be handled once the stand-in answers again: wait until
  // every window of the stand-in has handled all that was sent to it before reading the record.
  for (const auto& window : outcome.windows) {
    DWORD_PTR reply = 0;
    SendMessageTimeoutW(window.second.window, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &reply);
  }
  ReadFileBytes(recordPath, record);
  ParseRecord(record, outcome, ready);
  standIn.End();
  DeleteFileW(recordPath.c_str());
  return outcome;
}

struct SweepCase {
  const char* name;
  const wchar_t* windows;
  std::vector<Row> rows;  // what the sweep must send, in order
};

// The windows of the usual shell; a case adds or leaves out what it is about.
#define TASKBAR L"tray=Shell_TrayWnd@- notify=TrayNotifyWnd@tray "
#define PAGER TASKBAR L"pager=SysPager@notify "
#define OVERFLOW_WINDOW L" over=NotifyIconOverflowWindow@- "

const SweepCase kCases[] = {
    {"PagerToolbarThenHiddenOverflowToolbar",
     PAGER L"bar=ToolbarWindow32@pager,300x24" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,121x41",
     {{"bar", 300, 24}, {"obar", 121, 41}}},
    {"ShownOverflowWindow",
     PAGER L"bar=ToolbarWindow32@pager,2x7 over=NotifyIconOverflowWindow@-,shown "
           L"obar=ToolbarWindow32@over,301x40",
     {{"bar", 2, 7}, {"obar", 301, 40}}},
    {"NotifyWindowWithoutPagerHasItsToolbarSwept", TASKBAR L"bar=ToolbarWindow32@notify,250x31", {{"bar", 250, 31}}},
    {"PagerWithoutToolbarGetsNoSecondTry",
     PAGER L"bar=ToolbarWindow32@notify,200x20" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,50x10",
     {{"obar", 50, 10}}},
    {"NoTaskbar", OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,90x1", {{"obar", 90, 1}}},
    {"TaskbarWithoutNotifyWindow",
     L"tray=Shell_TrayWnd@- bar=ToolbarWindow32@tray,100x20" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,60x13",
     {{"obar", 60, 13}}},
    {"OnlyFirstToolbarChildOfEachParent",
     PAGER L"bar=ToolbarWindow32@pager,150x22 "
           L"bar2=ToolbarWindow32@pager,"
           L"150x22" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,70x9 obar2=ToolbarWindow32@over,70x9",
     {{"bar", 150, 22}, {"obar", 70, 9}}},
    {"WidthsZeroAndOneGetNoMove",
     PAGER L"bar=ToolbarWindow32@pager,0x24" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,1x24",
     {}},
    {"WidthTwoGetsOneMove",
     PAGER L"bar=ToolbarWindow32@pager,1x5" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,2x0",
     {{"obar", 2, 0}}},
    {"OverflowWindowWithoutToolbar", PAGER L"bar=ToolbarWindow32@pager,40x16" OVERFLOW_WINDOW, {{"bar", 40, 16}}},
    {"NoShellAtAll", L"", {}},
};

class TraySweepLayout : public ::testing::TestWithParam<SweepCase> {};

TEST_P(TraySweepLayout, SendsExactlyTheRowsOfTheToolbarsItFinds) {
  const SweepCase& layout = GetParam();
  SweepOutcome outcome = SweepStandIn(layout.windows);
  ASSERT_EQ(outcome.failure, "");
  const bool hasTaskbar = std::wstring(layout.windows).find(L"Shell_TrayWnd") != std::wstring::npos;
  EXPECT_EQ(outcome.foreignTaskbars, 0) << "a taskbar not of the stand-in is on the test's desktop";
  EXPECT_EQ(outcome.ownTaskbars, hasTaskbar ? 1 : 0);
  EXPECT_TRUE(outcome.sessionShellKept) << "the stand-in's windows reached the session's desktop";
  // The sizes asked for are the sizes Wine gave (it could have enlarged the narrow ones).
  for (const Row& row : layout.rows) {
    EXPECT_EQ(outcome.windows[row.toolbar].width, row.width) << row.toolbar;
    EXPECT_EQ(outcome.windows[row.toolbar].height, row.height) << row.toolbar;
  }
  EXPECT_EQ(Difference(outcome.moves, RowMoves(layout.rows)), "") << "sweep took " << outcome.elapsedMs << " ms";
}

INSTANTIATE_TEST_SUITE_P(Shells, TraySweepLayout, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SweepCase>& info) { return info.param.name; });

// The sweep's bound (tray_sweep.cpp): a toolbar that does not answer a move within 250 ms gets no
// more moves. The stand-in's hung toolbar answers again after 600 ms, so moves sent to it after its
// time-out would show in the record: a sweep without time-outs would wait for the hung toolbar and
// then send it its whole row; one that never came back would meet the hang guard (30 s). Its time
// grows with the machine's load, so it is shown, not checked.

TEST(TraySweepHang, HungTaskbarToolbarIsLeftAndTheOverflowToolbarIsStillSwept) {
  SweepOutcome outcome = SweepStandIn(
      PAGER L"bar=ToolbarWindow32@pager,300x24,hang=5" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,121x41");
  ASSERT_EQ(outcome.failure, "");
  std::vector<Move> expected = RowMoves({{"bar", 6, 24}});  // x = 1 to 5; the 5th is answered too late
  const std::vector<Move> overflowRow = RowMoves({{"obar", 121, 41}});
  expected.insert(expected.end(), overflowRow.begin(), overflowRow.end());
  EXPECT_EQ(Difference(outcome.moves, expected), "") << "sweep took " << outcome.elapsedMs << " ms";
}

TEST(TraySweepHang, HungShellCostsOneTimeOutPerToolbar) {
  SweepOutcome outcome = SweepStandIn(
      PAGER L"bar=ToolbarWindow32@pager,300x24,hang=1" OVERFLOW_WINDOW L"obar=ToolbarWindow32@over,121x41,hang=1");
  ASSERT_EQ(outcome.failure, "");
  EXPECT_EQ(Difference(outcome.moves, RowMoves({{"bar", 2, 24}, {"obar", 2, 41}})), "")
      << "sweep took " << outcome.elapsedMs << " ms";
}

}  // namespace
