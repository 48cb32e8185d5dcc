// Stand-in for a client process in the process tests: it does nothing until it is ended, until
// the process it watches has ended, or until its lifetime runs out, so no copy outlives its test.
// Arguments: [--watch <process id>] [--lifetime <seconds>] [--window <class>]
// With --window it owns a hidden top-level window of that class that ignores every message, the
// client's close request included.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/scoped_handle.h"

namespace {

constexpr DWORD kDefaultLifetimeSeconds = 120;

LRESULT CALLBACK IgnoringWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

void CreateIgnoringWindow(const char* className) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = IgnoringWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);
  CreateWindowExA(0, className, "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, windowClass.hInstance,
                  nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  DWORD watchedId = 0;
  DWORD lifetimeSeconds = kDefaultLifetimeSeconds;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--watch") == 0) watchedId = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--lifetime") == 0) lifetimeSeconds = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--window") == 0) CreateIgnoringWindow(argv[i + 1]);
  }
  ScopedHandle watched(watchedId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, watchedId) : nullptr);
  if (watchedId != 0 && !watched.IsValid()) return 2;  // the watched process is already gone
  HANDLE waitFor = watched.Get();

  const ULONGLONG end = GetTickCount64() + lifetimeSeconds * 1000ULL;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return 0;
    const DWORD waited =
        MsgWaitForMultipleObjects(waitFor ? 1 : 0, &waitFor, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    if (waitFor != nullptr && waited == WAIT_OBJECT_0) return 0;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
}
