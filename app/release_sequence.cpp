#include "app/release_sequence.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "app/install_paths.h"
#include "app/release_log.h"
#include "app/release_names.h"
#include "app/string_conversion.h"
#include "deploy/release_payload.h"
#include "deploy/unpack_client_archive.h"
#include "process/stop_phase.h"
#include "process/tray_sweep.h"

namespace {

// The client closes itself on this message; nobody waits for it to do so.
void PostCloseRequest(const wchar_t* windowClass) {
  HWND window = FindWindowW(windowClass, nullptr);
  if (window != nullptr) PostMessageW(window, kCloseRequestMessage, 0, 0);
}

// The client reads this file to find its updater: the path and nothing else, no line end.
void WriteToolPathFile(const char* toolPathFile, const wchar_t* ownPath) {
  FILE* file = std::fopen(toolPathFile, "w");
  if (file == nullptr) return;
  std::fprintf(file, "%s", ToNarrow(ownPath));
  std::fclose(file);
}

}  // namespace

void OnReleaseFile() {
  Sleep(300);

  // Without APPDATA, or with one so long that the install paths would be cut, everything that
  // needs a path is skipped: no log, no payload, no tool-path file, no launch.
  char appData[kPathCapacity];
  const bool havePaths = GetAppDataPath(appData) && InstallPathsFit(appData);
  char clientPath[kPathCapacity] = "";
  if (havePaths) BuildInstallPath(clientPath, kPathCapacity, appData, kClientExecutable);

  // A path cut at the buffer's end would name another file: then no tool-path file is written.
  wchar_t ownPath[kPathCapacity];
  const DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, kPathCapacity);
  const bool haveOwnPath = ownLength > 0 && ownLength < kPathCapacity;

  const ULONGLONG startMark = GetTickCount64();

  char logPath[kLogPathCapacity];
  FILE* log = nullptr;
  if (havePaths && BuildInstallPath(logPath, kLogPathCapacity, appData, kLogFile)) log = OpenLog(logPath);
  WriteLog(log, "OnReleaseFile Begin");

  PostCloseRequest(kClientWindowClassSoft);
  PostCloseRequest(kClientWindowClassTolu);

  // A surviving second client process would hold files that the release replaces: no release.
  const bool noSecondClient = StopOldClient(log, startMark);
  const bool releaseAllowed = noSecondClient && havePaths;

  RefreshTrayIcons();

  WriteLog(log, "OnReleaseFile Close Replace File");

  if (releaseAllowed) {
    ReleasePayload(log, appData);
    UnpackClientArchive(log, appData);
    char toolPathFile[kPathCapacity];
    if (haveOwnPath && BuildInstallPath(toolPathFile, kPathCapacity, appData, kToolPathFile))
      WriteToolPathFile(toolPathFile, ownPath);
    ShellExecuteA(nullptr, kLaunchVerb, clientPath, nullptr, "", SW_SHOWNORMAL);
  }

  WriteLog(log, "OnReleaseFile Client Run");
  WriteLog(log, "OnReleaseFile End");
  CloseLog(log);
  std::exit(0);
}
