#include "process/tray_sweep.h"

#include "platform/system_function.h"

namespace {

// Every move is bounded, so a shell that has stopped answering cannot hold the release: each waits
// at most kMoveTimeoutMs for the shell's window thread, and a toolbar whose move times out or fails
// (the window or its process is gone) gets no further moves. A hung shell thus costs one time-out
// per toolbar, 0.5 s for both. A responsive shell answers a move in microseconds on Windows and in
// at most about 10 ms under Wine on a loaded machine (measured), far inside the time-out.
constexpr UINT kMoveTimeoutMs = 250;

// SMTO_BLOCK: this thread owns no windows, so nothing should be dispatched while it waits.
// SMTO_ABORTIFHUNG: a window thread the system already knows as hung is not waited for at all.
// SMTO_ERRORONEXIT: a shell that exits while handling the move is a failure, not a delivery.
constexpr UINT kSendFlags = SMTO_BLOCK | SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT;

// Window classes of the shell's notification area.
constexpr wchar_t kTaskbarClass[] = L"Shell_TrayWnd";
constexpr wchar_t kNotifyClass[] = L"TrayNotifyWnd";
constexpr wchar_t kPagerClass[] = L"SysPager";
constexpr wchar_t kToolbarClass[] = L"ToolbarWindow32";
constexpr wchar_t kOverflowClass[] = L"NotifyIconOverflowWindow";

// Client coordinates as WM_MOUSEMOVE carries them: the low 16 bits of x, then of y.
LPARAM PackPoint(int x, int y) {
  const DWORD low = static_cast<DWORD>(x) & 0xFFFFu;
  const DWORD high = static_cast<DWORD>(y) & 0xFFFFu;
  return static_cast<LPARAM>(low | (high << 16));
}

// A rectangle's extent as a signed 32-bit value, wrapping instead of overflowing.
int Extent(LONG from, LONG to) { return static_cast<int>(static_cast<DWORD>(to) - static_cast<DWORD>(from)); }

// The first direct child of that class. Lookups read the window tree only; they send the shell
// nothing, so a hung shell cannot block them.
HWND FindFirstChild(HWND parent, const wchar_t* className) {
  return FindWindowExW(parent, nullptr, className, nullptr);
}

HWND FindTaskbarToolbar() {
  HWND taskbar = FindWindowW(kTaskbarClass, nullptr);
  if (taskbar == nullptr) return nullptr;
  HWND notify = FindFirstChild(taskbar, kNotifyClass);
  if (notify == nullptr) return nullptr;
  // The icons live under the pager when there is one; a pager without a toolbar means no
  // taskbar toolbar, not a second look under the notification window.
  HWND pager = FindFirstChild(notify, kPagerClass);
  return FindFirstChild(pager != nullptr ? pager : notify, kToolbarClass);
}

// The overflow window holds the icons that do not fit the taskbar; it counts shown or hidden.
HWND FindOverflowToolbar() {
  HWND overflow = FindWindowW(kOverflowClass, nullptr);
  if (overflow == nullptr) return nullptr;
  return FindFirstChild(overflow, kToolbarClass);
}

}  // namespace

void DeclareDpiAwareness() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  // Windows 10 1703 and later: per-monitor awareness, version 2.
  using SetContextCall = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  const auto setContext = LookUpFunction<SetContextCall>(user32, "SetProcessDpiAwarenessContext");
  if (setContext != nullptr && setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) return;
  // Windows 8.1 and 10 before 1703: per-monitor awareness from shcore.dll, from the system folder.
  using SetAwarenessCall = HRESULT(WINAPI*)(int);
  constexpr int kPerMonitorAware = 2;  // PROCESS_PER_MONITOR_DPI_AWARE
  HMODULE shcore = LoadSystemLibrary(L"shcore.dll");
  const auto setAwareness = LookUpFunction<SetAwarenessCall>(shcore, "SetProcessDpiAwareness");
  if (setAwareness != nullptr && SUCCEEDED(setAwareness(kPerMonitorAware))) return;
  // Windows 7 and Vista: system awareness, which is all there is with one DPI for every monitor.
  using SetAwareCall = BOOL(WINAPI*)();
  const auto setAware = LookUpFunction<SetAwareCall>(user32, "SetProcessDPIAware");
  if (setAware != nullptr) setAware();
}

void SweepToolbar(HWND toolbar) {
  RECT rect;
  if (!GetWindowRect(toolbar, &rect)) return;  // the window has just gone
  // The window rectangle stands in for the client area; only its size matters.
  const int width = Extent(rect.left, rect.right);
  const int y = Extent(rect.top, rect.bottom) / 2;

  for (int x = 1; x < width; ++x) {
    DWORD_PTR reply = 0;
    if (!SendMessageTimeoutW(toolbar, WM_MOUSEMOVE, 0, PackPoint(x, y), kSendFlags, kMoveTimeoutMs, &reply)) return;
  }
}

void RefreshTrayIcons() {
  HWND taskbarToolbar = FindTaskbarToolbar();
  if (taskbarToolbar != nullptr) SweepToolbar(taskbarToolbar);
  HWND overflowToolbar = FindOverflowToolbar();
  if (overflowToolbar != nullptr) SweepToolbar(overflowToolbar);
}
