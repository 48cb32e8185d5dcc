#include "app/release_log.h"

#include <cstring>

FILE* OpenLog(const char* path) {
  if (path == nullptr) return nullptr;
  return std::fopen(path, "wb");  // binary: the CR LF line ends are written as they stand
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
