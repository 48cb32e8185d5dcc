#include "process/process_finder.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "install/release_names.h"

namespace {

constexpr DWORD kMaxProcessIds = 4096;  // the id list offered to the enumeration: 16384 bytes
// Query and read for the module path and the process id, terminate for the kill, synchronize for
// the wait after it; nothing more, so the open succeeds wherever these few rights are granted.
constexpr DWORD kFinderAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE;
constexpr DWORD kKillWaitMs = 2000;
constexpr int kCommandLineCapacity = 64;
// 32767 UTF-16 units of the longest path, each up to two bytes in a double-byte code page.
constexpr DWORD kLongestAnsiPath = 2 * 32767 + 1;
constexpr char kTaskkillProgram[] = "taskkill.exe";

// Set by the first search of the run, whether or not the privilege could be enabled.
bool debugPrivilegeTried = false;

// Fixed ASCII rule, independent of the locale: only 'A'..'Z' change; bytes from 0x80 stay as
// they are, so letters of the code page match only in the same case.
void LowerAscii(char* text) {
  for (; *text != 0; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text + ('a' - 'A'));
  }
}

// The executable's path as the module list gives it: the first module of the list is the
// executable. Fails for a process just ending, a protected one, and on Windows for a 64-bit process
// seen from this 32-bit tool (ERROR_PARTIAL_COPY); Wine fails it too, with another code.
bool ReadPathFromModuleList(HANDLE process, char (&path)[kPathCapacity]) {
  HMODULE mainModule = nullptr;
  DWORD needed = 0;
  // Room for exactly one module: the list is longer, but its first entry is the executable.
  if (!K32EnumProcessModules(process, &mainModule, sizeof mainModule, &needed)) return false;
  if (K32GetModuleFileNameExA(process, mainModule, path, kPathCapacity) == 0) return false;
  path[kPathCapacity - 1] = 0;  // older systems leave a cut path unterminated
  return true;
}

// The executable's path as the process object gives it, whatever its bitness. Unlike the module
// list this call refuses a buffer that is too small instead of cutting, so it reads into room for
// the longest path there is (32767 UTF-16 units, up to two bytes each in the ANSI code page) and
// cuts the copy to 259 characters, as the module list's answer is cut.
bool ReadPathFromImageName(HANDLE process, char (&path)[kPathCapacity]) {
  char image[kLongestAnsiPath];
  DWORD length = sizeof image;
  if (!QueryFullProcessImageNameA(process, 0, image, &length)) return false;
  if (length >= static_cast<DWORD>(kPathCapacity)) length = kPathCapacity - 1;
  std::memcpy(path, image, length);
  path[length] = 0;
  return true;
}

// The lower-cased full path of the process's main executable, cut to its first 259 characters;
// false when neither the module list nor the process object gives it (a protected process).
bool ReadMainModulePath(HANDLE process, char (&path)[kPathCapacity]) {
  if (!ReadPathFromModuleList(process, path) && !ReadPathFromImageName(process, path)) return false;
  LowerAscii(path);
  return true;
}

// path = the system folder's fileName; false when it does not fit. A bare program name would be
// looked for beside the tool and in the current folder first, where anyone may have put one.
bool SystemProgramPath(const char* fileName, char (&path)[kPathCapacity]) {
  const UINT folderLength = GetSystemDirectoryA(path, kPathCapacity);
  if (folderLength == 0 || folderLength >= static_cast<UINT>(kPathCapacity)) return false;
  const int written = std::snprintf(path + folderLength, kPathCapacity - folderLength, "\\%s", fileName);
  return written > 0 && written < kPathCapacity - static_cast<int>(folderLength);
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
  char taskkill[kPathCapacity];
  KillProcessWithCommand(std::move(process), SystemProgramPath(kTaskkillProgram, taskkill) ? taskkill : nullptr);
}

void KillProcessWithCommand(ScopedHandle process, const char* commandProgram) {
  if (!process.IsValid()) return;
  TerminateProcess(process.Get(), 0);  // a failure here is covered by the command that follows

  // The system command ends what TerminateProcess could not. It is started by its full path, never
  // searched for. SW_HIDE alone leaves a window where Windows 11 hands new consoles to Windows
  // Terminal; CREATE_NO_WINDOW gives the command no console at all.
  ScopedHandle command;
  if (commandProgram != nullptr) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    char commandLine[kCommandLineCapacity];  // writable: CreateProcessA may change it
    std::snprintf(commandLine, sizeof commandLine, "TASKKILL /PID %d /F",
                  static_cast<int>(GetProcessId(process.Get())));
    if (CreateProcessA(commandProgram, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &started)) {
      ScopedHandle commandThread(started.hThread);
      command.Reset(started.hProcess);
    }
  }

  // Both within the one wait: while this handle is open, Windows cannot give the target's id to a
  // new process, which the command, still to look the id up, would then end instead.
  if (!command.IsValid()) {
    WaitForSingleObject(process.Get(), kKillWaitMs);
    return;  // the handle closes here; a process that outlives the wait is found again later
  }
  HANDLE both[2] = {process.Get(), command.Get()};
  WaitForMultipleObjects(2, both, TRUE, kKillWaitMs);
  // A command still running may yet act on the id: the handle stays open until the tool exits.
  if (WaitForSingleObject(command.Get(), 0) == WAIT_TIMEOUT) process.Release();
}
