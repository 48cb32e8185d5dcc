// SystemTimeToFileTime and LocalFileTimeToFileTime for POSIX hosts.
#include <cstdint>
#include <ctime>

#include "platform/file_time.h"

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

bool CalendarTimeToFileTime(const CalendarTime& calendar, FileTime* time) {
  if (calendar.year < 1601 || calendar.year > 30827 || calendar.month < 1 || calendar.month > 12) return false;
  if (calendar.day < 1 || calendar.day > DaysInMonth(calendar.year, calendar.month)) return false;
  if (calendar.hour > 23 || calendar.minute > 59 || calendar.second > 59 || calendar.milliseconds > 999) return false;
  const std::int64_t seconds = (DaysFromCivil(calendar.year, calendar.month, calendar.day) * 86400 +
                                calendar.hour * 3600 + calendar.minute * 60 + calendar.second) +
                               kSecondsFrom1601To1970;
  *time = MakeFileTime(static_cast<std::uint64_t>(seconds * kTicksPerSecond + calendar.milliseconds * 10000));
  return true;
}

// As Windows does, the zone's offset of today applies to every date: a summer time converted in
// winter moves by the winter offset. localtime_r reads the zone once per process; mktime would
// make glibc look at the zone file again for every entry of an archive.
bool LocalFileTimeToUtc(const FileTime& local, FileTime* utc) {
  const std::uint64_t ticks = FileTimeValue(local);
  if (ticks > static_cast<std::uint64_t>(INT64_MAX)) return false;
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  if (localtime_r(&now, &today) == nullptr) return false;
  const std::int64_t offset = static_cast<std::int64_t>(today.tm_gmtoff) * kTicksPerSecond;
  const std::int64_t localTicks = static_cast<std::int64_t>(ticks);
  // East of UTC the result is earlier and must not fall before 1601; west of it, later and must fit.
  if (offset > 0 ? localTicks < offset : localTicks > INT64_MAX + offset) return false;
  *utc = MakeFileTime(static_cast<std::uint64_t>(localTicks - offset));
  return true;
}
