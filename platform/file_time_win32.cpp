#include <windows.h>

#include "platform/file_time.h"

static_assert(sizeof(CalendarTime) == sizeof(SYSTEMTIME), "CalendarTime mirrors SYSTEMTIME");

bool CalendarTimeToFileTime(const CalendarTime& calendar, FileTime* time) {
  return SystemTimeToFileTime(reinterpret_cast<const SYSTEMTIME*>(&calendar), reinterpret_cast<FILETIME*>(time));
}

bool LocalFileTimeToUtc(const FileTime& local, FileTime* utc) {
  return LocalFileTimeToFileTime(reinterpret_cast<const FILETIME*>(&local), reinterpret_cast<FILETIME*>(utc));
}
