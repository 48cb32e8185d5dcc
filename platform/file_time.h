// Time values of the portable code, laid out as Win32's FILETIME and SYSTEMTIME.
#pragma once

#include <cstdint>

// 100-nanosecond intervals since 1601-01-01, split in two 32-bit halves.
struct FileTime {
  std::uint32_t lowDateTime = 0;
  std::uint32_t highDateTime = 0;
};

inline std::uint64_t FileTimeValue(const FileTime& time) {
  return (std::uint64_t{time.highDateTime} << 32) | time.lowDateTime;
}
inline FileTime MakeFileTime(std::uint64_t value) {
  FileTime time;
  time.lowDateTime = static_cast<std::uint32_t>(value);
  time.highDateTime = static_cast<std::uint32_t>(value >> 32);
  return time;
}

struct CalendarTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;      // 1..12
  std::uint16_t dayOfWeek = 0;  // ignored on input
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

// SystemTimeToFileTime: false for anything that is not a calendar date and time.
bool CalendarTimeToFileTime(const CalendarTime& calendar, FileTime* time);
// LocalFileTimeToFileTime: a local time of this machine's zone to UTC, with the zone's offset of
// today (daylight saving time included) whatever the date, on every host.
bool LocalFileTimeToUtc(const FileTime& local, FileTime* utc);
