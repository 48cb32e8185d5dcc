#include "process/process_finder.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "app/release_names.h"

namespace {

constexpr DWORD kMaxProcessIds = 4096;  // the id list offered to the enumeration: 16384 bytes
// Query and read for the module path and the process id, terminate for the kill, synchronize for
// the wait after it; nothing more, so the open succeeds wherever these few rights are granted.
constexpr DWORD kFinderAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE;
constexpr DWORD kKillWaitMs = 2000;
constexpr int kCommandLineCapacity = 64;

// Set by the first search of the run, whether or not the privilege could be enabled.
bool debugPrivilegeTried = false;

// Fixed ASCII rule, independent of the locale: only 'A'..'Z' change; bytes from 0x80 stay as
// they are, so letters of the code page match only in the same case.
void LowerAscii(char* text) {
  for (; *text != 0; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text + ('a' - 'A'));
  }
}

// The lower-cased full path of the process's main executable (the first module of its list);
// false when the list or the path can't be read (a 64-bit or protected process, one just ending).
// A path of 260 characters or more comes back cut to its first 259.
bool ReadMainModulePath(HANDLE process, char (&path)[kPathCapacity]) {
  HMODULE mainModule = nullptr;
  DWORD needed = 0;
  // Room for exactly one module: the list is longer, but its first entry is the executable.
  if (!K32EnumProcessModules(process, &mainModule, sizeof mainModule, &needed)) return false;
  if (K32GetModuleFileNameExA(process, mainModule, path, kPathCapacity) == 0) return false;
  path[kPathCapacity - 1] = 0;  // older systems leave a cut path unterminated
  LowerAscii(path);
  return true;
}

}  // namespace

void EnableDebugPrivilege() {
  debugPrivilegeTried = true;
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken)) return;
  ScopedHandle token(rawToken);
  TOKEN_PRIVILEGES privileges = {};
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) return;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
}

ScopedHandle FindProcessByName(const char* name) {
  if (!debugPrivilegeTried) EnableDebugPrivilege();
  // A name that can't fit the search buffer with its terminator matches nothing (never cut).
  if (name == nullptr || strnlen(name, kPathCapacity) >= static_cast<size_t>(kPathCapacity)) return ScopedHandle();

  DWORD ids[kMaxProcessIds];
  DWORD bytes = 0;
  DWORD count = 0;
  if (K32EnumProcesses(ids, sizeof ids, &bytes)) count = bytes / sizeof ids[0];
  if (count > kMaxProcessIds) count = kMaxProcessIds;

  char searchText[kPathCapacity];
  std::strcpy(searchText, name);
  LowerAscii(searchText);

  for (DWORD i = 0; i < count; ++i) {
    // Fails for processes that have ended, that deny access, and for the idle process (id 0).
    ScopedHandle process(OpenProcess(kFinderAccess, FALSE, ids[i]));
    if (!process.IsValid()) continue;
    char modulePath[kPathCapacity];
    if (!ReadMainModulePath(process.Get(), modulePath)) continue;
    if (std::strstr(modulePath, searchText) != nullptr) return process;
  }
  return ScopedHandle();
}

void KillProcess(ScopedHandle process) {
  if (!process.IsValid()) return;
  TerminateProcess(process.Get(), 0);  // a failure here is covered by the command that follows

  // The system command ends what TerminateProcess could not; it runs beside the tool, unwatched.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started = {};
  char commandLine[kCommandLineCapacity];  // writable: CreateProcessA may change it
  std::snprintf(commandLine, sizeof commandLine, "TASKKILL /PID %d /F", static_cast<int>(GetProcessId(process.Get())));
  if (CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    ScopedHandle commandProcess(started.hProcess);
    ScopedHandle commandThread(started.hThread);  // closed first: declared last
  }

  // A process that outlives the wait is simply found again by the caller's next search.
  WaitForSingleObject(process.Get(), kKillWaitMs);
}  // the handle closes here
