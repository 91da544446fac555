// MS-DOS date and time words from and to UTC seconds, and their comparison. Plain
// arithmetic on the civil calendar: no time zone, no operating system.
#include "engine/platform/platform.h"

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (std::int64_t)doe - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = (std::int64_t)yoe + era * 400 + (*m <= 2);
}

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : days[m - 1];
}

}  // namespace

int platTimeToDos(std::int64_t time, std::uint16_t* date, std::uint16_t* dosTime) {
  *date = 0;
  *dosTime = 0;
  std::int64_t days = time >= 0 ? time / 86400 : (time - 86399) / 86400;
  std::int64_t secs = time - days * 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, &y, &m, &d);
  if (y < 1980 || y > 2107) return 0;
  *date = (std::uint16_t)(((y - 1980) << 9) | (m << 5) | d);
  *dosTime = (std::uint16_t)(((secs / 3600) << 11) | ((secs / 60 % 60) << 5) | (secs % 60 / 2));
  return 1;
}

std::int64_t platYearOf(std::int64_t time) {
  std::int64_t days = time >= 0 ? time / 86400 : (time - 86399) / 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, &y, &m, &d);
  return y;
}

int platDosToTime(std::uint16_t date, std::uint16_t dosTime, std::int64_t* time) {
  std::int64_t y = 1980 + (date >> 9);
  unsigned m = (date >> 5) & 15, d = date & 31;
  unsigned hh = dosTime >> 11, mm = (dosTime >> 5) & 63, ss = (dosTime & 31) * 2;
  if (m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m) || hh > 23 || mm > 59 || ss > 59) return 0;
  *time = daysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
  return 1;
}

int platCompareDosTime(std::uint16_t dateA, std::uint16_t timeA, std::uint16_t dateB,
                       std::uint16_t timeB) {
  std::int64_t a = 0, b = 0;
  int validA = platDosToTime(dateA, timeA, &a), validB = platDosToTime(dateB, timeB, &b);
  if (validA != validB) return validA ? 1 : -1;
  if (!validA) {  // neither is a time: order by the raw words, so the order stays total
    a = ((std::int64_t)dateA << 16) | timeA;
    b = ((std::int64_t)dateB << 16) | timeB;
  }
  return a < b ? -1 : a > b ? 1 : 0;
}
