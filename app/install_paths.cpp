#include "app/install_paths.h"

#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <initializer_list>

bool GetAppDataPath(wchar_t (&appData)[kPathCapacity]) {
  appData[0] = 0;
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData) != S_OK) appData[0] = 0;
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
