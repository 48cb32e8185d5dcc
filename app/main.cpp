// Entry point of the release tool: a GUI program that never shows a window.
#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "app/release_lock.h"
#include "app/release_sequence.h"
#include "platform/system_function.h"
#include "process/tray_sweep.h"

namespace {

constexpr int kTitleString = 101;
constexpr int kWindowClassString = 109;
constexpr int kLargeIcon = 107;
constexpr int kSmallIcon = 108;
constexpr int kMenu = 109;
constexpr int kStringCapacity = 100;

// A test build waits less for another release, so that a test can see it give up; the shipped tool
// reads no arguments and no configuration, so only a build can change it.
#ifdef QUORVANE_TEST_OTHER_RELEASE_WAIT_MS
constexpr DWORD kWaitForOtherRelease = QUORVANE_TEST_OTHER_RELEASE_WAIT_MS;
#else
constexpr DWORD kWaitForOtherRelease = kOtherReleaseWaitMs;
#endif

// The C runtime's abort (after an allocation failed, for instance) ends the process with 3, which
// a caller reads as "a client process survived the stop phase". It ends with 1 instead, the status
// the release itself never gives.
void EndAbortedRun(int) { std::_Exit(1); }

// From now on a DLL loaded by name (by this tool, or by Windows and the shell on its behalf) comes
// from the system folder only, never from the tool's own folder (often a Downloads folder) or the
// current folder. The tool's own imports (kernel32, advapi32, msvcrt, user32) were mapped before
// this runs: KnownDLLs on Windows, and DLLs that Wine always takes from itself (README). shell32,
// which Wine would map with its dependencies from beside the tool, is loaded only later, by its
// full path. SetDefaultDllDirectories is looked up because Windows 7 has it only with KB2533623;
// without it, SetDllDirectoryW(L"") at least takes the current folder out of the search.
void RestrictDllSearchToSystemFolder() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories =
      LookUpFunction<SetDefaultDllDirectoriesCall>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryW(L"");
}

// No window of the class is ever created, so this never runs; the default handling serves.
LRESULT CALLBACK ReleaseToolWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterReleaseToolClass(HINSTANCE instance, const wchar_t* className) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ReleaseToolWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kLargeIcon));
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = MAKEINTRESOURCEW(kMenu);
  windowClass.lpszClassName = className;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(kSmallIcon));
  RegisterClassExW(&windowClass);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystemFolder();  // first: before anything can load a DLL by name
  std::signal(SIGABRT, EndAbortedRun);
  DeclareDpiAwareness();
  wchar_t title[kStringCapacity] = L"";
  wchar_t className[kStringCapacity] = L"";
  LoadStringW(instance, kTitleString, title, kStringCapacity);
  LoadStringW(instance, kWindowClassString, className, kStringCapacity);
  RegisterReleaseToolClass(instance, className);
  OnReleaseFile(kWaitForOtherRelease);
}
