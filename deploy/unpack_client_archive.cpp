#include "deploy/unpack_client_archive.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "deploy/folder_switch.h"
#include "deploy/unzip_folder.h"
#include "install/install_paths.h"
#include "install/release_log.h"
#include "install/release_names.h"
#include "platform/ansi_text.h"

namespace {

const char16_t* Portable(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

// "UnzipToFolder <event> <name>" as a milestone line; an entry without a readable name is named
// by its number ("#5"). The line's error code is the one of the call that failed: the conversion
// below must not replace it.
void LogNotInstalled(void* log, std::int32_t index, const char* event, const char16_t* name) {
  const DWORD error = GetLastError();
  std::string line = std::string("UnzipToFolder ") + event + " ";
  if (name[0] == 0 && index >= 0) {
    line += "#" + std::to_string(index);
  } else {
    // Text for a reader: what the code page cannot hold shows as its default character.
    const std::unique_ptr<char[]> narrowName(ToNarrow(reinterpret_cast<const wchar_t*>(name)));
    line += narrowName.get();
  }
  SetLastError(error);
  WriteLog(static_cast<FILE*>(log), line.c_str());
}

}  // namespace

void RepairClientFolder(FILE* log, const wchar_t* appData) {
  wchar_t folder[kPathCapacity];
  UnzipReporter reporter;
  reporter.report = LogNotInstalled;
  reporter.context = log;
  if (BuildInstallPath(folder, appData, nullptr)) RepairInterruptedSwitch(Portable(folder), &reporter);
}

void UnpackClientArchive(FILE* log, const wchar_t* appData) {
  wchar_t archivePath[kPathCapacity];
  wchar_t folder[kPathCapacity];
  const bool havePaths =
      BuildInstallPath(archivePath, appData, kClientArchive) && BuildInstallPath(folder, appData, nullptr);
  WriteLog(log, "Quorvane.zip UnZip");
  UnzipReporter reporter;
  reporter.report = LogNotInstalled;
  reporter.context = log;
  if (havePaths)
    UnzipToFolder(Portable(archivePath), Portable(folder), &reporter);
  else
    LogNotInstalled(log, -1, kUnzipPathTooLong, Portable(kClientArchive));
  Sleep(kUnpackPauseMs);
}
