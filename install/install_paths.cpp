#include "install/install_paths.h"

#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "platform/scoped_handle.h"
#include "platform/system_function.h"

bool GetAppDataPath(wchar_t (&appData)[kPathCapacity]) {
  appData[0] = 0;
  // Looked up rather than imported: shell32 is loaded only after the DLL search is restricted.
  using GetFolderPathCall = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  const auto getFolderPath = LookUpFunction<GetFolderPathCall>(LoadSystemLibrary(L"shell32.dll"), "SHGetFolderPathW");
  if (getFolderPath == nullptr || getFolderPath(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData) != S_OK)
    appData[0] = 0;
  return appData[0] != 0;
}

bool BuildInstallPath(wchar_t (&path)[kPathCapacity], const wchar_t* appData, const wchar_t* fileName) {
  path[0] = 0;
  if (appData[0] == 0) return false;
  size_t length = std::wcslen(appData) + 1 + std::wcslen(kProductSubfolder);
  if (fileName != nullptr) length += 1 + std::wcslen(fileName) + kLongestTemporarySuffix;
  if (length >= static_cast<size_t>(fileName != nullptr ? kPathCapacity : kFolderPathCapacity)) return false;
  // The length is checked above: wsprintfW knows no bound.
  if (fileName != nullptr)
    wsprintfW(path, L"%s\\%s\\%s", appData, kProductSubfolder, fileName);
  else
    wsprintfW(path, L"%s\\%s", appData, kProductSubfolder);
  return true;
}

bool InstallPathsFit(const wchar_t* appData) {
  wchar_t path[kPathCapacity];
  for (const wchar_t* name : {kClientExecutableFile, kClientArchive, kSkinArchive, kToolPathFile, kLogFile}) {
    if (!BuildInstallPath(path, appData, name)) return false;
  }
  return BuildInstallPath(path, appData, nullptr);
}

bool PinFolders(const wchar_t* appData, const wchar_t* folder, MissingFolders missing, FolderPins& pins) {
  const size_t start = std::wcslen(appData);
  const size_t end = std::wcslen(folder);
  if (end <= start + 1 || end >= kPathCapacity || std::wcsncmp(appData, folder, start) != 0) return false;
  char16_t path[kPathCapacity];
  std::memcpy(path, folder, (end + 1) * sizeof path[0]);
  const FolderHold result = HoldFolders(path, static_cast<std::uint32_t>(start + 1), static_cast<std::uint32_t>(end),
                                        missing == MissingFolders::Created, pins);
  return result == FolderHold::Held || (result == FolderHold::Missing && missing == MissingFolders::Allowed);
}

namespace {

// Opened on the file itself, never on what a link leads to; INVALID_HANDLE_VALUE unless it is a
// plain file with a single name.
HANDLE OpenPlainFile(const wchar_t* path, DWORD access, DWORD share) {
  // Wine shows a Unix link as a reparse point only in the path's attributes; Windows shows a
  // symbolic link in the attributes of the handle, which is opened on the link itself.
  constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotPlain) != 0) return INVALID_HANDLE_VALUE;
  ScopedHandle file(CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &information)) return INVALID_HANDLE_VALUE;
  // A second name is a hard link that may lie anywhere on the volume, in a file of someone else's.
  if ((information.dwFileAttributes & kNotPlain) != 0 || information.nNumberOfLinks != 1) {
    SetLastError(ERROR_REPARSE_ATTRIBUTE_CONFLICT);
    return INVALID_HANDLE_VALUE;
  }
  return file.Release();
}

}  // namespace

HANDLE OpenPlainFileToRewrite(const wchar_t* path, DWORD share) {
  ScopedHandle file(OpenPlainFile(path, GENERIC_WRITE, share));
  if (!file.IsValid() || !SetEndOfFile(file.Get())) return INVALID_HANDLE_VALUE;
  return file.Release();
}

HANDLE OpenPlainFileToAppend(const wchar_t* path, DWORD share) {
  // Append data without write data: Windows puts every write at the end of the file, whatever
  // another writer did meanwhile (FILE_READ_ATTRIBUTES for the check of the handle).
  return OpenPlainFile(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share);
}
