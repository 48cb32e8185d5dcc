#include "deploy/unpack_client_archive.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
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

// Where the reports go, and what they told about the update as a whole.
struct UnpackReports {
  FILE* log = nullptr;
  bool updateNotApplied = false;
};

// An archive that could not be opened leaves the folder as it was, as a cancelled update does.
bool MeansNotApplied(std::int32_t index, const char* event) {
  return index < 0 && (std::strcmp(event, kUnzipUpdateNotApplied) == 0 || std::strcmp(event, kUnzipOpenFailed) == 0);
}

// "UnzipToFolder <event> <name>" as a milestone line; an entry without a readable name is named
// by its number ("#5"). The line's error code is the one of the call that failed: the conversion
// below must not replace it.
void LogNotInstalled(void* context, std::int32_t index, const char* event, const char16_t* name) {
  const DWORD error = GetLastError();
  UnpackReports* reports = static_cast<UnpackReports*>(context);
  if (MeansNotApplied(index, event)) reports->updateNotApplied = true;
  std::string line = std::string("UnzipToFolder ") + event + " ";
  if (name[0] == 0 && index >= 0) {
    line += "#" + std::to_string(index);
  } else {
    // Text for a reader: what the code page cannot hold shows as its default character.
    const std::unique_ptr<char[]> narrowName(ToNarrow(reinterpret_cast<const wchar_t*>(name)));
    line += narrowName.get();
  }
  SetLastError(error);
  WriteLog(reports->log, line.c_str());
}

}  // namespace

void RepairClientFolder(FILE* log, const wchar_t* appData) {
  wchar_t folder[kPathCapacity];
  UnpackReports reports;
  reports.log = log;
  UnzipReporter reporter;
  reporter.report = LogNotInstalled;
  reporter.context = &reports;
  if (BuildInstallPath(folder, appData, nullptr)) RepairInterruptedSwitch(Portable(folder), &reporter);
}

bool UnpackClientArchive(FILE* log, const wchar_t* appData) {
  wchar_t archivePath[kPathCapacity];
  wchar_t folder[kPathCapacity];
  const bool havePaths =
      BuildInstallPath(archivePath, appData, kClientArchive) && BuildInstallPath(folder, appData, nullptr);
  WriteLog(log, "Quorvane.zip UnZip");
  UnpackReports reports;
  reports.log = log;
  UnzipReporter reporter;
  reporter.report = LogNotInstalled;
  reporter.context = &reports;
  if (havePaths) {
    UnzipToFolder(Portable(archivePath), Portable(folder), &reporter);
  } else {
    LogNotInstalled(&reports, -1, kUnzipPathTooLong, Portable(kClientArchive));
    reports.updateNotApplied = true;
  }
  Sleep(kUnpackPauseMs);
  return !reports.updateNotApplied;
}
