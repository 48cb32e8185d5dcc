#include "tests/support/win_test_support.h"

#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

std::wstring Widen(const std::string& text) {
  if (text.empty()) return L"";
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return "";
  int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n, nullptr, nullptr);
  return narrow;
}

std::wstring BuildArtifact(const std::wstring& relativePath) {
  const char* build = std::getenv("QUORVANE_BUILD_DIR");
  std::wstring path = build ? Widen(build) : L".";
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;  // Wine shows the Unix root as Z:
  path += L"\\" + relativePath;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::wstring AppDataFolder() {
  wchar_t folder[MAX_PATH] = L"";
  SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE);
  return folder;
}

namespace {

// The shell takes the folder from "User Shell Folders" and keeps a copy in "Shell Folders".
const wchar_t* const kShellFolderKeys[2] = {
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"};
const DWORD kShellFolderTypes[2] = {REG_EXPAND_SZ, REG_SZ};

std::wstring ReadAppDataValue(const wchar_t* key) {
  wchar_t value[1024] = L"";
  DWORD size = sizeof value - sizeof value[0];
  if (RegGetValueW(HKEY_CURRENT_USER, key, L"AppData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                   value, &size) != ERROR_SUCCESS)
    return L"";
  return value;
}

void WriteAppDataValue(const wchar_t* key, DWORD type, const std::wstring& value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(opened, L"AppData", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
}

}  // namespace

AppDataOverride::AppDataOverride(const std::wstring& folder) {
  CreateFolders(folder);
  for (int i = 0; i < 2; ++i) {
    saved_[i] = ReadAppDataValue(kShellFolderKeys[i]);
    WriteAppDataValue(kShellFolderKeys[i], kShellFolderTypes[i], folder);
  }
}

AppDataOverride::~AppDataOverride() {
  for (int i = 0; i < 2; ++i) {
    if (saved_[i].empty())
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellFolderKeys[i], L"AppData");
    else
      WriteAppDataValue(kShellFolderKeys[i], kShellFolderTypes[i], saved_[i]);
  }
}

std::wstring InstallRoot() { return AppDataFolder() + L"\\Quorvane\\Software"; }

std::wstring InstalledFile(const std::wstring& name) { return InstallRoot() + L"\\" + name; }

std::wstring ReferenceClientFiles() {
  const char* reference = std::getenv("QUORVANE_UNZIP_REFERENCE");
  std::wstring folder = Widen(reference != nullptr ? reference : "");
  if (!folder.empty() && folder[0] == L'/') folder = L"Z:" + folder;
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  return folder + L"\\files";
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

bool RemoveTree(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  // Never into a link: its other end is not ours to delete.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    for (const std::wstring& name : ListFolder(path)) RemoveTree(path + L"\\" + name);
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
  return !PathExists(path);
}

bool CreateFolders(const std::wstring& path) {
  int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
  return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  return true;
}

std::string Contents(const std::wstring& path) {
  std::string bytes;
  return ReadFileBytes(path, bytes) ? bytes : "<missing>";
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  ScopedHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  DWORD written = 0;
  return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to) { return CopyFileW(from.c_str(), to.c_str(), FALSE); }

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
  return lines;
}

bool ChildProcess::Start(const std::wstring& program, const std::wstring& arguments, const std::wstring& desktop) {
  End();
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  std::wstring desktopName = desktop;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!desktopName.empty()) startup.lpDesktop = &desktopName[0];
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return false;
  ScopedHandle thread(info.hThread);
  process_.Reset(info.hProcess);
  id_ = info.dwProcessId;
  return true;
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_.IsValid()) return true;
  if (WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
  if (exitCode) GetExitCodeProcess(process_.Get(), exitCode);
  return true;
}

bool ChildProcess::IsRunning() const {
  return process_.IsValid() && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

void ChildProcess::End() {
  if (IsRunning()) {
    TerminateProcess(process_.Get(), 1);
    WaitForSingleObject(process_.Get(), 5000);
  }
  process_.Reset();
  id_ = 0;
}

long RunToEnd(const std::wstring& program, DWORD timeoutMs, const std::wstring& arguments) {
  ChildProcess child;
  if (!child.Start(program, arguments)) return -1;
  DWORD exitCode = 0;
  if (!child.Wait(timeoutMs, &exitCode)) return -1;
  return static_cast<long>(exitCode);
}

HWND WaitForWindowClass(const wchar_t* className, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND window = FindWindowW(className, nullptr);
    if (window != nullptr || GetTickCount64() >= deadline) return window;
    Sleep(20);
  }
}

// Opening without sharing write access fails (a sharing violation) while a writer has it open.
bool NoWriterHolds(const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.IsValid();
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (NoWriterHolds(path)) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

bool ReadReleaseLog(const std::wstring& path, std::vector<ReleaseLogLine>& lines) {
  lines.clear();
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return false;
  static const std::regex milestone(R"(\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d)\.(\d{3}):  (.*) ErrorCode:(-?\d+)\r)");
  for (const std::string& text : SplitLines(bytes, "\n")) {
    ReleaseLogLine line;
    std::smatch parts;
    if (std::regex_match(text, parts, milestone)) {
      line.milestone = true;
      line.millisecondOfDay =
          ((std::stol(parts[1]) * 60 + std::stol(parts[2])) * 60 + std::stol(parts[3])) * 1000 + std::stol(parts[4]);
      line.text = parts[5];
      line.errorCode = std::stol(parts[6]);
    } else {
      line.text = text;
    }
    lines.push_back(line);
  }
  return true;
}

void EndLaunchedClients() {
  // Found by where their executable lies, not by their ".started" records: a client that the
  // release tool has just launched may not have written its record yet. Left running, it would
  // keep the install root's files and the test's output pipe open.
  const std::wstring root = InstallRoot() + L"\\";
  DWORD ids[4096];
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids, sizeof ids, &bytes)) return;
  for (DWORD i = 0; i < bytes / sizeof ids[0]; ++i) {
    ScopedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ids[i]));
    if (!process.IsValid()) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD length = MAX_PATH * 4;
    if (!QueryFullProcessImageNameW(process.Get(), 0, image, &length)) continue;
    if (length <= root.size() || _wcsnicmp(image, root.c_str(), root.size()) != 0) continue;
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
  }
}
