// A stand-in for the shell's notification area, for the tray sweep tests.
//
//   stand_in_shell.exe RECORD-FILE WINDOW...
//   WINDOW = label=Class@parent[,WIDTHxHEIGHT][,shown][,hang=N]   (parent "-": top level)
//
// Builds the windows in the given order (a parent before its children), each top-level window
// with its children on a thread of its own, so one tree can hang while another answers. Each
// window is at 0,0, hidden unless "shown", 100x30 unless sized. Every WM_MOUSEMOVE any of them
// receives is appended to RECORD-FILE as "move LABEL LPARAM-HEX WPARAM" (flushed at once, in the
// order received). "hang=N": after recording its Nth move the window's thread stops answering for
// kHangMs. When all windows exist, each is written as "window LABEL HWND-HEX W H" (its
// window-rectangle size), then "ready".
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/scoped_handle.h"

namespace {

// More than twice the sweep's 250 ms wait for one move, so the sweep cannot tell this from a shell
// that never answers again (even when both toolbars hang, one after the other); but if it went on
// sending to the toolbar after the time-out, the later moves would reach the window once it answers
// again and show up in the record (Wine drops a timed-out move that was never picked up).
constexpr DWORD kHangMs = 600;

struct WindowPlan {
  std::wstring label, className, parent;
  int width = 100, height = 30;
  bool shown = false;
  long hangAt = 0;
  size_t tree = 0;  // index of its top-level window
  HWND window = nullptr;
  long moves = 0;
};

std::vector<WindowPlan> g_windows;
FILE* g_record = nullptr;
CRITICAL_SECTION g_recordLock;

void Record(const char* format, ...) {
  EnterCriticalSection(&g_recordLock);
  va_list args;
  va_start(args, format);
  std::vfprintf(g_record, format, args);
  va_end(args);
  std::fflush(g_record);
  LeaveCriticalSection(&g_recordLock);
}

LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* plan = reinterpret_cast<WindowPlan*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message != WM_MOUSEMOVE || plan == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  Record("move %ls %08lx %lu\n", plan->label.c_str(), static_cast<unsigned long>(lParam),
         static_cast<unsigned long>(wParam));
  ++plan->moves;
  if (plan->moves == plan->hangAt) Sleep(kHangMs);
  return 0;
}

size_t FindPlan(const std::wstring& label) {
  for (size_t i = 0; i < g_windows.size(); ++i)
    if (g_windows[i].label == label) return i;
  return g_windows.size();
}

bool ParsePlan(const wchar_t* text, WindowPlan& plan) {
  std::wstring rest = text;
  const size_t equals = rest.find(L'='), at = rest.find(L'@');
  if (equals == std::wstring::npos || at == std::wstring::npos || at < equals) return false;
  plan.label = rest.substr(0, equals);
  plan.className = rest.substr(equals + 1, at - equals - 1);
  rest = rest.substr(at + 1) + L",";
  plan.parent = rest.substr(0, rest.find(L','));
  for (size_t start = rest.find(L',') + 1; start < rest.size();) {
    const size_t end = rest.find(L',', start);
    const std::wstring option = rest.substr(start, end - start);
    start = end + 1;
    if (option == L"shown")
      plan.shown = true;
    else if (option.rfind(L"hang=", 0) == 0)
      plan.hangAt = std::wcstol(option.c_str() + 5, nullptr, 10);
    else if (std::swscanf(option.c_str(), L"%dx%d", &plan.width, &plan.height) != 2)
      return false;
  }
  if (plan.parent == L"-") return true;
  const size_t parent = FindPlan(plan.parent);
  if (parent == g_windows.size()) return false;  // parents come first
  plan.tree = g_windows[parent].tree;
  return true;
}

bool CreatePlannedWindow(WindowPlan& plan) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = StandInProc;
  windowClass.lpszClassName = plan.className.c_str();
  RegisterClassW(&windowClass);  // fails harmlessly when the class is already there
  const bool topLevel = plan.parent == L"-";
  const DWORD style = (topLevel ? WS_POPUP : WS_CHILD) | (plan.shown ? WS_VISIBLE : 0);
  HWND parent = topLevel ? nullptr : g_windows[FindPlan(plan.parent)].window;
  plan.window = CreateWindowExW(0, plan.className.c_str(), L"", style, 0, 0, plan.width, plan.height, parent, nullptr,
                                nullptr, &plan);
  return plan.window != nullptr;
}

struct TreeThread {
  HDESK desktop;
  size_t tree;
  ScopedHandle built;
  bool ok;
};

DWORD WINAPI RunTree(void* parameter) {
  auto* thread = static_cast<TreeThread*>(parameter);
  // Wine puts a new thread on the session's desktop, not on the process's: join the main thread's.
  thread->ok = SetThreadDesktop(thread->desktop) != FALSE;
  for (WindowPlan& plan : g_windows)
    if (plan.tree == thread->tree && !CreatePlannedWindow(plan)) thread->ok = false;
  SetEvent(thread->built.Get());
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

bool OnDefaultDesktop() {
  wchar_t name[64] = L"";
  GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof name, nullptr);
  return std::wcscmp(name, L"Default") == 0;
}

HWND FindForeignTray() {
  for (HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr); tray != nullptr;
       tray = FindWindowExW(nullptr, tray, L"Shell_TrayWnd", nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(tray, &owner);
    if (owner != GetCurrentProcessId()) return tray;
  }
  return nullptr;
}

// Wine starts an explorer for every desktop, and it owns a hidden "Shell_TrayWnd" without a
// notification window. On the test's private desktop that window would be found before or instead
// of ours, so it is moved under a hidden window of ours: no longer top level, FindWindowW skips it.
// It appears as the desktop comes up (measured: at once); waits at most 3 s for it. Never done on
// the default desktop, whose shell belongs to the session.
void ParkForeignTrays(HWND parking) {
  if (OnDefaultDesktop()) return;
  GetDesktopWindow();  // brings the desktop, and with it Wine's explorer, up
  bool parkedOne = false;
  for (int attempt = 0; attempt < 150; ++attempt) {
    HWND foreign = FindForeignTray();
    if (foreign != nullptr && SetParent(foreign, parking) != nullptr) {
      parkedOne = true;
      continue;
    }
    if (parkedOne) return;
    Sleep(20);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  for (int i = 2; i < argc; ++i) {
    WindowPlan plan;
    plan.tree = g_windows.size();
    if (!ParsePlan(argv[i], plan)) return 2;
    g_windows.push_back(plan);
  }
  g_record = _wfopen(argv[1], L"wb");  // "\n" line ends
  if (g_record == nullptr) return 3;
  InitializeCriticalSection(&g_recordLock);

  WindowPlan parkingPlan;
  parkingPlan.label = L"parking";
  parkingPlan.className = L"QuorvaneStandInParking";
  parkingPlan.parent = L"-";
  if (!CreatePlannedWindow(parkingPlan)) return 4;
  ParkForeignTrays(parkingPlan.window);

  std::vector<TreeThread> threads;
  for (size_t i = 0; i < g_windows.size(); ++i)
    if (g_windows[i].tree == i)
      threads.push_back({GetThreadDesktop(GetCurrentThreadId()), i,
                         ScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)), false});
  for (TreeThread& thread : threads) ScopedHandle(CreateThread(nullptr, 0, RunTree, &thread, 0, nullptr));
  for (TreeThread& thread : threads) {
    WaitForSingleObject(thread.built.Get(), INFINITE);
    if (!thread.ok) return 4;
  }
  for (const WindowPlan& plan : g_windows) {
    RECT rect;
    GetWindowRect(plan.window, &rect);
    Record("window %ls %08lx %ld %ld\n", plan.label.c_str(), static_cast<unsigned long>(HandleToULong(plan.window)),
           rect.right - rect.left, rect.bottom - rect.top);
  }
  Record("ready\n");
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
