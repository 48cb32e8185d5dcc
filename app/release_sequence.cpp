#include "app/release_sequence.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/release_lock.h"
#include "deploy/folder_switch.h"
#include "deploy/release_payload.h"
#include "deploy/resource_writer.h"
#include "deploy/unpack_client_archive.h"
#include "install/exit_status.h"
#include "install/install_paths.h"
#include "install/release_log.h"
#include "install/release_names.h"
#include "platform/ansi_text.h"
#include "platform/system_function.h"
#include "process/stop_phase.h"
#include "process/tray_sweep.h"

namespace {

constexpr char kRootRefusedMessage[] = "OnReleaseFile Install Root Refused";

// The client closes itself on this message; nobody waits for it to do so.
void PostCloseRequest(const wchar_t* windowClass) {
  HWND window = FindWindowW(windowClass, nullptr);
  if (window != nullptr) PostMessageW(window, kCloseRequestMessage, 0, 0);
}

// The tool's path exactly as the client, which reads it in the ANSI code page, will open it: the
// path itself, or else its short (8.3) form, which is ASCII wherever the volume makes short names.
bool ExactAnsiToolPath(const wchar_t* ownPath, std::unique_ptr<char[]>& text) {
  bool exact = false;
  text.reset(ToNarrow(ownPath, &exact));
  if (exact) return true;
  wchar_t shortPath[kPathCapacity];
  const DWORD length = GetShortPathNameW(ownPath, shortPath, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return false;
  text.reset(ToNarrow(shortPath, &exact));
  return exact;
}

// The client reads this file to find its updater: the path and nothing else, no line end. A path
// that names another file is worse than none, so without an exact form there is no file at all.
void WriteToolPathFile(const wchar_t* toolPathFile, const wchar_t* ownPath, bool haveOwnPath) {
  std::unique_ptr<char[]> text;
  if (haveOwnPath && ExactAnsiToolPath(ownPath, text))
    WriteFileContents(toolPathFile, text.get(), static_cast<DWORD>(std::strlen(text.get())));
  else
    DeleteFileW(toolPathFile);
}

// Through shell32 looked up at run time: imported, it would be mapped with its dependencies before
// the DLL search is restricted (see LoadSystemLibrary). True when the shell started the program
// (an answer above 32).
bool LaunchClient(const wchar_t* clientPath, const wchar_t* workingFolder) {
  using ShellExecuteCall = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
  const auto shellExecute = LookUpFunction<ShellExecuteCall>(LoadSystemLibrary(L"shell32.dll"), "ShellExecuteW");
  if (shellExecute == nullptr) return false;
  const HINSTANCE started = shellExecute(nullptr, kLaunchVerb, clientPath, nullptr, workingFolder, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(started) > 32;
}

// The one line of a copy that waited in vain for another release, added to the log of that
// release: replaced, as every run's log is at its start, it would lose what that release wrote.
// Nothing else is touched, and without a log or an install root held as plain folders, nothing.
void NoteAnotherReleaseRunning() {
  wchar_t appData[kPathCapacity];
  wchar_t root[kPathCapacity];
  wchar_t logPath[kPathCapacity];
  FolderPins pins;
  if (!GetAppDataPath(appData) || !BuildInstallPath(root, appData, nullptr) ||
      !BuildInstallPath(logPath, appData, kLogFile) || !PinFolders(appData, root, MissingFolders::Refused, pins))
    return;
  FILE* log = OpenLogToAppend(logPath);
  WriteLog(log, "OnReleaseFile Another Release Running");
  CloseLog(log);
}

// The unpack phase and the launch: what the install root holds now decides whether the client may
// be started, and the status of the release.
int UnpackAndLaunch(FILE* log, const wchar_t* appData, const wchar_t* root, bool payloadWritten,
                    bool clientArchiveWritten) {
  const bool updateApplied = UnpackClientArchive(log, appData);
  wchar_t clientPath[kPathCapacity];
  wchar_t toolPathFile[kPathCapacity];
  BuildInstallPath(clientPath, appData, kClientExecutableFile);
  BuildInstallPath(toolPathFile, appData, kToolPathFile);
  // A path cut at the buffer's end would name another file: then no tool-path file is written.
  wchar_t ownPath[kPathCapacity];
  const DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, kPathCapacity);
  WriteToolPathFile(toolPathFile, ownPath, ownLength > 0 && ownLength < kPathCapacity);

  // A switch that could neither finish nor be taken back leaves a mix of two versions: started,
  // such a client would fail in ways nobody could explain. The next release repairs the folder.
  if (FolderSwitchUnfinished(reinterpret_cast<const char16_t*>(root))) {
    WriteLog(log, "OnReleaseFile Client Not Started");
    return kExitClientMixed;
  }
  // The install root as the client's working folder: its relative paths and its DLL search
  // then never reach the folder this tool was started from (Downloads, for instance).
  const bool started = LaunchClient(clientPath, root);
  // Without its new archive the unpack installs the old one again: the old client stays.
  if (!clientArchiveWritten || !updateApplied) return kExitUpdateNotApplied;
  if (!started) return kExitClientNotStarted;
  return payloadWritten ? kExitReleased : kExitArchiveNotWritten;
}

}  // namespace

void OnReleaseFile(DWORD otherReleaseWaitMs) {
  // Held until the process ends, from before anything is stopped or written: a second copy that
  // ran meanwhile would take this one's switch for an interrupted one and take it back.
  ScopedHandle releaseLock;
  if (!TakeReleaseLock(otherReleaseWaitMs, releaseLock)) {
    NoteAnotherReleaseRunning();
    std::exit(kExitAnotherRelease);
  }
  SetLastError(ERROR_SUCCESS);  // the error codes of the log's lines stay those of the release's own calls
  Sleep(300);

  // Everything the release will write is settled before anything is stopped: without APPDATA, with
  // one so long that some install path would not fit, or with an install root that is no plain
  // folder (a link above all), the client is left running and nothing is written.
  wchar_t appData[kPathCapacity];
  wchar_t root[kPathCapacity];
  const bool haveRoot = GetAppDataPath(appData) && BuildInstallPath(root, appData, nullptr);
  FolderPins pins;
  const bool rootPlain = haveRoot && PinFolders(appData, root, MissingFolders::Allowed, pins);
  const bool rootUsable = rootPlain && InstallPathsFit(appData);
  wchar_t logPath[kPathCapacity];
  // The log only in an install root that exists and is held: a first run has none.
  const bool rootHeld = haveRoot && pins.count == 2;

  const ULONGLONG startMark = GetTickCount64();

  FILE* log = nullptr;
  if (rootHeld && BuildInstallPath(logPath, appData, kLogFile)) log = OpenLog(logPath);
  WriteLog(log, "OnReleaseFile Begin");

  int status = kExitInstallRootRefused;
  if (!rootUsable) {
    WriteLog(log, kRootRefusedMessage);
  } else {
    // A switch of the client's files that a crash or power cut interrupted is taken back first, so
    // that what is stopped and restarted below is one whole version.
    RepairClientFolder(log, appData);
    PostCloseRequest(kClientWindowClassSoft);
    PostCloseRequest(kClientWindowClassTolu);

    // A surviving second client process would hold files that the release replaces: no release.
    const bool releaseAllowed = StopOldClient(log, startMark);

    RefreshTrayIcons();

    WriteLog(log, "OnReleaseFile Close Replace File");

    status = kExitClientStillRunning;
    if (releaseAllowed) {
      bool clientArchiveWritten = false;
      const bool payloadWritten = ReleasePayload(log, appData, &clientArchiveWritten);
      // Created by the payload phase on a first run; held from here on either way.
      pins.Clear();
      if (PinFolders(appData, root, MissingFolders::Refused, pins)) {
        status = UnpackAndLaunch(log, appData, root, payloadWritten, clientArchiveWritten);
      } else {
        WriteLog(log, kRootRefusedMessage);
        status = kExitInstallRootRefused;
      }
    }
  }

  WriteLog(log, "OnReleaseFile Client Run");
  WriteLog(log, "OnReleaseFile End");
  CloseLog(log);
  ReturnReleaseLock(releaseLock);
  std::exit(status);
}
