#include "app/install_paths.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "app/string_conversion.h"

bool GetAppDataPath(char (&appData)[kPathCapacity]) {
  appData[0] = 0;
  if (!SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE)) {
    appData[0] = 0;
    return false;
  }
  return appData[0] != 0;
}

bool BuildInstallPath(char* path, int capacity, const char* appData, const char* fileName) {
  int n = fileName ? std::snprintf(path, capacity, "%s\\%s\\%s", appData, kProductSubfolder, fileName)
                   : std::snprintf(path, capacity, "%s\\%s", appData, kProductSubfolder);
  if (n < 0 || n >= capacity || appData[0] == 0) {
    path[0] = 0;
    return false;
  }
  return true;
}

bool BuildInstallPathW(wchar_t (&path)[kPathCapacity], const char* appData, const char* fileName) {
  path[0] = 0;
  if (appData[0] == 0) return false;
  const wchar_t* wideAppData = ToWide(appData);
  const wchar_t* wideSubfolder = ToWide(kProductSubfolder);
  const wchar_t* wideFile = fileName ? ToWide(fileName) : nullptr;
  // wsprintfW knows no bound, so the length is checked before it runs.
  size_t length = std::wcslen(wideAppData) + 1 + std::wcslen(wideSubfolder);
  if (wideFile) length += 1 + std::wcslen(wideFile);
  if (length >= kPathCapacity) return false;
  if (wideFile)
    wsprintfW(path, L"%s\\%s\\%s", wideAppData, wideSubfolder, wideFile);
  else
    wsprintfW(path, L"%s\\%s", wideAppData, wideSubfolder);
  return true;
}

bool InstallPathsFit(const char* appData) {
  char longest[kPathCapacity];
  wchar_t longestWide[kPathCapacity];
  return BuildInstallPath(longest, kPathCapacity, appData, kClientArchive) &&
         BuildInstallPath(longest, kPathCapacity, appData, kClientExecutable) &&
         BuildInstallPath(longest, kPathCapacity, appData, kToolPathFile) &&
         BuildInstallPathW(longestWide, appData, kClientArchive);
}
