#include "tests/faults/host_faults.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/scoped_handle.h"
#include "tests/support/win_test_support.h"

namespace {

// One argument as Windows command lines quote it (Wine splits the line that way for a Unix program).
std::wstring Quoted(const std::string& argument) {
  std::wstring quoted = L"\"";
  for (const wchar_t c : Widen(argument)) quoted += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
  return quoted + L"\"";
}

}  // namespace

std::string UnixPathOf(const std::wstring& windowsPath) {
  using Converter = char*(CDECL*)(LPCWSTR);
  const auto convert = reinterpret_cast<Converter>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return "";
  char* unixPath = convert(windowsPath.c_str());
  if (unixPath == nullptr) return "";
  std::string result = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

int RunHostProgram(const std::string& program, const std::vector<std::string>& arguments) {
  // Wine starts a Unix program but cannot wait for it or see its exit status: a shell around it
  // writes the status to a file, which is what this waits for.
  wchar_t folder[MAX_PATH];
  if (GetTempPathW(MAX_PATH, folder) == 0) return -1;
  const std::wstring done =
      std::wstring(folder) + L"quorvane-host-" + std::to_wstring(GetCurrentProcessId()) + L".status";
  DeleteFileW(done.c_str());
  const std::string doneUnix = UnixPathOf(done);
  if (doneUnix.empty()) return -1;
  std::wstring commandLine = Quoted("/bin/sh") + L" -c " +
                             Quoted("\"$@\"; echo $? > \"$0\".part && mv \"$0\".part \"$0\"") + L" " +
                             Quoted(doneUnix) + L" " + Quoted(program);
  for (const std::string& argument : arguments) commandLine += L" " + Quoted(argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  ScopedHandle processHandle(process.hProcess);
  ScopedHandle threadHandle(process.hThread);
  if (!WaitForFile(done, 30000)) return -1;
  std::string status;
  ReadFileBytes(done, status);
  DeleteFileW(done.c_str());
  return std::atoi(status.c_str());
}

bool MakeImmutable(const std::wstring& path) {
  const std::string unixPath = UnixPathOf(path);
  return !unixPath.empty() && RunHostProgram("/usr/bin/chattr", {"+i", unixPath}) == 0;
}

void LiftImmutable(const std::wstring& folder) {
  const std::string unixPath = UnixPathOf(folder);
  if (!unixPath.empty() && PathExists(folder)) RunHostProgram("/usr/bin/chattr", {"-R", "-i", unixPath});
}

bool MountTinyDisk(const std::wstring& folder, std::uint64_t bytes) {
  CreateFolders(folder);
  const std::string unixPath = UnixPathOf(folder);
  if (unixPath.empty()) return false;
  const std::string kilobytes = std::to_string((bytes + 1023) / 1024);
  if (RunHostProgram("/usr/bin/mount", {"-t", "tmpfs", "-o", "size=" + kilobytes + "k", "quorvane-tiny", unixPath}) !=
      0)
    return false;
  ULARGE_INTEGER available{}, total{}, free{};
  // Seen through Wine, which reports the file system the folder lies on.
  return GetDiskFreeSpaceExW((folder + L"\\").c_str(), &available, &total, &free) &&
         total.QuadPart <= bytes + 64 * 1024;
}

void UnmountTinyDisk(const std::wstring& folder) {
  const std::string unixPath = UnixPathOf(folder);
  if (unixPath.empty() || !PathExists(folder)) return;
  if (RunHostProgram("/usr/bin/mountpoint", {"-q", unixPath}) == 0) RunHostProgram("/usr/bin/umount", {"-l", unixPath});
}

// The link's Unix path from its parent's: the link itself does not exist yet, or is one.
std::string UnixLinkPath(const std::wstring& link) {
  const std::size_t separator = link.rfind(L'\\');
  const std::string parent = UnixPathOf(link.substr(0, separator));
  return parent.empty() ? "" : parent + "/" + UnixPathOf(link).substr(UnixPathOf(link).rfind('/') + 1);
}

bool MakeHostLink(const std::wstring& target, const std::wstring& link) {
  const std::string unixTarget = UnixPathOf(target);
  const std::string unixLink = UnixLinkPath(link);
  return !unixTarget.empty() && !unixLink.empty() && RunHostProgram("/bin/ln", {"-sfn", unixTarget, unixLink}) == 0 &&
         (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void RemoveHostLink(const std::wstring& link) {
  const std::string unixLink = UnixLinkPath(link);
  if (!unixLink.empty()) RunHostProgram("/bin/sh", {"-c", "[ -L \"$0\" ] && rm \"$0\"", unixLink});
}

bool CanCreateIn(const std::wstring& folder) {
  const std::wstring probe = folder + L"\\probe.fault";
  ScopedHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  file.Reset();
  DeleteFileW(probe.c_str());
  return true;
}
