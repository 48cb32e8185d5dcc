#include "deploy/release_payload.h"

#include <windows.h>

#include <cwchar>
#include <memory>

#include "deploy/resource_writer.h"
#include "install/install_paths.h"
#include "install/release_names.h"
#include "platform/ansi_text.h"
#include "platform/hold_retry.h"

namespace {

// LF only and no timestamp: these lines differ from the milestone lines on purpose. The path is
// text for a reader: what the code page cannot hold shows as its default character.
void WritePayloadLine(FILE* log, int ret, int count, const wchar_t* target) {
  if (log == nullptr) return;
  const DWORD error = GetLastError();  // the attempt's, for the pause after it
  const std::unique_ptr<char[]> narrowTarget(ToNarrow(target));
  std::fprintf(log, "ReleaseResFile ret = %d iReCount = %d  %s\n", ret, count, narrowTarget.get());
  std::fflush(log);
  SetLastError(error);
}

// target = APPDATA + the row's relative path, with room for the temporary name; false when it
// does not fit, and then the whole text anyway, for the log.
bool BuildTarget(std::unique_ptr<wchar_t[]>& target, const wchar_t* appData, const PayloadEntry& row) {
  const size_t length = std::wcslen(appData) + std::wcslen(row.relativePath);
  target.reset(new wchar_t[length + 1]);
  std::wmemcpy(target.get(), appData, std::wcslen(appData));
  std::wmemcpy(target.get() + std::wcslen(appData), row.relativePath, std::wcslen(row.relativePath) + 1);
  return length + std::wcslen(kTemporarySuffix) < kPathCapacity;
}

bool ReleaseRow(FILE* log, const wchar_t* appData, const PayloadEntry& row) {
  std::unique_ptr<wchar_t[]> target;
  const bool fits = BuildTarget(target, appData, row);
  // The target's folders, created where missing and held while the row is written; one that is
  // a link is refused. Neither a path that would be cut at the buffer's end nor a link can get
  // better by retrying: such a row is not attempted, and one failed line names it.
  FolderPins pins;
  wchar_t* lastSeparator = std::wcsrchr(target.get(), L'\\');
  bool folderHeld = false;
  if (fits && lastSeparator != nullptr) {
    *lastSeparator = 0;
    folderHeld = std::wcslen(target.get()) < static_cast<size_t>(kFolderPathCapacity) &&
                 PinFolders(appData, target.get(), MissingFolders::Created, pins);
    *lastSeparator = L'\\';
  }
  if (!folderHeld) {
    WritePayloadLine(log, 0, 0, target.get());
    return false;
  }

  int count = 0;
  // Every attempt at this archive, and the pauses between them, wait within one bound: an archive
  // that stays held (or read-only) costs the release one bound, not one per attempt.
  HoldRetry holds;
  int ret = ReleaseResFileWithin(row.resourceId, row.resourceType, target.get(), holds);
  WritePayloadLine(log, ret, count, target.get());
  // Each line reports the attempt before it, so a row that keeps failing leaves 11 lines.
  while (ret == 0 && count < kPayloadRetries) {
    WaitOutHold(holds);  // only a hold is worth a pause: no other failure passes by itself
    WritePayloadLine(log, ret, count, target.get());
    ret = ReleaseResFileWithin(row.resourceId, row.resourceType, target.get(), holds);
    ++count;
  }
  return ret != 0;
}

bool IsClientArchiveRow(const PayloadEntry& row) {
  const size_t length = std::wcslen(row.relativePath);
  const size_t nameLength = std::wcslen(kClientArchive);
  return length > nameLength && row.relativePath[length - nameLength - 1] == L'\\' &&
         _wcsicmp(row.relativePath + length - nameLength, kClientArchive) == 0;
}

}  // namespace

bool ReleasePayloadRows(FILE* log, const wchar_t* appData, const PayloadEntry* table, bool* clientArchiveWritten) {
  bool allWritten = true;
  bool clientWritten = true;
  for (const PayloadEntry* row = table; row->relativePath != nullptr; ++row) {
    if (row->releaseMode != kReleaseModeOnRelease || ReleaseRow(log, appData, *row)) continue;
    allWritten = false;
    if (IsClientArchiveRow(*row)) clientWritten = false;
  }
  if (clientArchiveWritten != nullptr) *clientArchiveWritten = clientWritten;
  return allWritten;
}

bool ReleasePayload(FILE* log, const wchar_t* appData, bool* clientArchiveWritten) {
  // The skin archive goes first, whether or not its new copy can be written; a missing one is fine.
  // Only from a plain install root: deleting through a link would remove another folder's file.
  wchar_t skinArchive[kPathCapacity];
  wchar_t root[kPathCapacity];
  FolderPins pins;
  if (BuildInstallPath(skinArchive, appData, kSkinArchive) && BuildInstallPath(root, appData, nullptr) &&
      PinFolders(appData, root, MissingFolders::Refused, pins))
    DeleteFileW(skinArchive);
  return ReleasePayloadRows(log, appData, PayloadTable, clientArchiveWritten);
}
