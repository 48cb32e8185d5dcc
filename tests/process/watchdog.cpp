// Keeps a number of copies of a program running: a copy that ends is started again at once.
// Arguments: <program> <copies> [--lifetime <seconds>]
// Each copy is told to watch the watchdog ("--watch <id>"), so the copies end by themselves once
// the watchdog is ended: end the watchdog first, then its copies are gone moments later.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/scoped_handle.h"

namespace {

constexpr int kMaxCopies = 8;
constexpr DWORD kDefaultLifetimeSeconds = 120;

ScopedHandle StartCopy(const char* program, DWORD lifetimeSeconds) {
  char arguments[64];
  std::snprintf(arguments, sizeof arguments, " --watch %lu --lifetime %lu", GetCurrentProcessId(), lifetimeSeconds);
  std::string commandLine = std::string("\"") + program + "\"" + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return ScopedHandle();
  ScopedHandle thread(started.hThread);
  return ScopedHandle(started.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* program = argv[1];
  int copies = std::atoi(argv[2]);
  if (copies < 1 || copies > kMaxCopies) return 2;
  DWORD lifetimeSeconds = kDefaultLifetimeSeconds;
  if (argc > 4 && std::strcmp(argv[3], "--lifetime") == 0) lifetimeSeconds = std::strtoul(argv[4], nullptr, 10);

  ScopedHandle running[kMaxCopies];
  for (int i = 0; i < copies; ++i) {
    running[i] = StartCopy(program, lifetimeSeconds);
    if (!running[i].IsValid()) return 3;
  }
  const ULONGLONG end = GetTickCount64() + lifetimeSeconds * 1000ULL;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    HANDLE handles[kMaxCopies];
    for (int i = 0; i < copies; ++i) handles[i] = running[i].Get();
    const DWORD waited = WaitForMultipleObjects(copies, handles, FALSE, static_cast<DWORD>(end - now));
    if (waited >= WAIT_OBJECT_0 + copies) break;
    const int ended = static_cast<int>(waited - WAIT_OBJECT_0);
    running[ended] = StartCopy(program, lifetimeSeconds);
    if (!running[ended].IsValid()) return 3;
  }
  for (int i = 0; i < copies; ++i) TerminateProcess(running[i].Get(), 0);
  return 0;
}
