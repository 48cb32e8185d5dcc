#include "install/release_log.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <cwchar>

#include "install/install_paths.h"
#include "install/release_names.h"
#include "platform/hold_retry.h"
#include "platform/scoped_handle.h"

namespace {

constexpr wchar_t kLogTemporarySuffix[] = L".tmp";
constexpr DWORD kLogSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The log as a stream that writes at the file's end: a copy of the tool that gave up waiting
// for this release adds its line meanwhile (OpenLogToAppend), and this one's next line must
// follow it rather than overwrite it.
FILE* StreamAtEnd(ScopedHandle& file) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_WRONLY | _O_APPEND | _O_BINARY);
  if (descriptor < 0) return nullptr;
  file.Release();                            // the descriptor owns it now
  FILE* stream = _fdopen(descriptor, "ab");  // binary: the CR LF line ends are written as they stand
  if (stream == nullptr) _close(descriptor);
  return stream;
}

}  // namespace

FILE* OpenLog(const wchar_t* path) {
  if (path == nullptr || std::wcslen(path) + std::wcslen(kLogTemporarySuffix) >= kPathCapacity) return nullptr;
  wchar_t temporary[kPathCapacity];
  wsprintfW(temporary, L"%s%s", path, kLogTemporarySuffix);
  // One that a crashed run left; a link of that name goes, not what it leads to. A scanner that
  // reads the new log as soon as it appears makes the delete and the move wait a moment.
  HoldRetry deleteRetry;
  RetryWhileHeld(deleteRetry, [&] { return DeleteFileW(temporary) != FALSE; });
  // Shared for delete, so that the move below can rename it while it is open; for reading, so
  // that the log can be watched while the run goes on; for writing, so that a copy of the tool
  // that waited for this run in vain can add its line.
  ScopedHandle file(
      CreateFileW(temporary, GENERIC_WRITE, kLogSharing, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    // The folder takes no new entries: the old log is rewritten in place if it is a plain file.
    file.Reset(OpenPlainFileToRewrite(path, kLogSharing));
  } else if (HoldRetry moveRetry; !RetryWhileHeld(
                 moveRetry, [&] { return MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING) != FALSE; })) {
    const DWORD error = GetLastError();
    file.Reset();
    DeleteFileW(temporary);
    SetLastError(error);
    return nullptr;
  }
  if (!file.IsValid()) return nullptr;
  return StreamAtEnd(file);
}

FILE* OpenLogToAppend(const wchar_t* path) {
  if (path == nullptr) return nullptr;
  ScopedHandle file(OpenPlainFileToAppend(path, kLogSharing));
  return file.IsValid() ? StreamAtEnd(file) : nullptr;
}

void FormatLogPrefix(const SYSTEMTIME& time, char (&prefix)[kLogPrefixCapacity]) {
  std::memset(prefix, 0, sizeof prefix);
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d: ", time.wYear, time.wMonth, time.wDay,
                time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
}

void WriteLog(FILE* stream, const char* message) {
  if (stream == nullptr || message == nullptr) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  char prefix[kLogPrefixCapacity];
  FormatLogPrefix(now, prefix);
  // Read after the prefix is formatted: the value may belong to any earlier call of the run.
  const int lastError = static_cast<int>(GetLastError());
  std::fprintf(stream, "%s %s ErrorCode:%d\r\n", prefix, message, lastError);
  std::fflush(stream);
}

void CloseLog(FILE* stream) {
  if (stream != nullptr) std::fclose(stream);
}
