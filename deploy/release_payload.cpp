#include "deploy/release_payload.h"

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

#include "app/install_paths.h"
#include "app/release_names.h"
#include "deploy/resource_writer.h"

namespace {

// LF only and no timestamp: these lines differ from the milestone lines on purpose.
void WritePayloadLine(FILE* log, int ret, int count, const char* target) {
  if (log == nullptr) return;
  std::fprintf(log, "ReleaseResFile ret = %d iReCount = %d  %s\n", ret, count, target);
  std::fflush(log);
}

// The target's folder with all missing parents; a failure shows up as failed write attempts.
void CreateTargetFolder(const char* targetPath) {
  char folder[kPathCapacity];
  std::strcpy(folder, targetPath);
  char* lastSeparator = std::strrchr(folder, '\\');
  if (lastSeparator != nullptr) *lastSeparator = 0;
  if (!PathFileExistsA(folder)) SHCreateDirectoryExA(nullptr, folder, nullptr);
}

void ReleaseRow(FILE* log, const char* appData, const PayloadEntry& row) {
  char target[kPathCapacity];
  const int length = std::snprintf(target, sizeof target, "%s%s", appData, row.relativePath);
  if (length < 0 || length >= kPathCapacity) {
    // Cut at the buffer's end the path would name another file, and retrying cannot make it
    // fit: the row is not attempted, and one failed line names the whole path.
    char wholePath[kLogPathCapacity];
    std::snprintf(wholePath, sizeof wholePath, "%s%s", appData, row.relativePath);
    WritePayloadLine(log, 0, 0, wholePath);
    return;
  }
  CreateTargetFolder(target);

  int count = 0;
  int ret = ReleaseResFile(row.resourceId, row.resourceType, target);
  WritePayloadLine(log, ret, count, target);
  // Each line reports the attempt before it, so a row that keeps failing leaves 11 lines.
  while (ret == 0 && count < kPayloadRetries) {
    WritePayloadLine(log, ret, count, target);
    ret = ReleaseResFile(row.resourceId, row.resourceType, target);
    ++count;
    Sleep(kPayloadRetryPauseMs);
  }
}

}  // namespace

void ReleasePayloadRows(FILE* log, const char* appData, const PayloadEntry* table) {
  for (const PayloadEntry* row = table; row->relativePath != nullptr; ++row) {
    if (row->releaseMode == kReleaseModeOnRelease) ReleaseRow(log, appData, *row);
  }
}

void ReleasePayload(FILE* log, const char* appData) {
  // The skin archive goes first, whether or not its new copy can be written; a missing one is fine.
  wchar_t skinArchive[kPathCapacity];
  if (BuildInstallPathW(skinArchive, appData, kSkinArchive)) DeleteFileW(skinArchive);
  ReleasePayloadRows(log, appData, PayloadTable);
}
