#include "records/DateTime.h"

#include <cmath>
#include <ctime>
#include <iterator>

#include <fmt/format.h>

namespace telvaro {
namespace {

constexpr std::int64_t MsecPerDay = 86'400'000;
// Days from 0000-03-01 (proleptic Gregorian) to 1899-12-30.
constexpr std::int64_t EpochShift = 693'899;

// Calendar conversions after H. Hinnant's days_from_civil / civil_from_days,
// counted from 1899-12-30.
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = static_cast<int>(y - era * 400);
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - EpochShift;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += EpochShift;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = static_cast<int>(z - era * 146097);
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

}  // namespace

namespace {

// localtime_r is the costly part of a time stamp; the offset changes at most at a
// full second, so each thread keeps the last one.
long UtcOffsetAt(std::time_t now) {
  thread_local std::time_t cachedSecond = -1;
  thread_local long cachedOffset = 0;
  if (now != cachedSecond) {
    std::tm local{};
    localtime_r(&now, &local);
    cachedOffset = local.tm_gmtoff;
    cachedSecond = now;
  }
  return cachedOffset;
}

}  // namespace

long CurrentUtcOffsetSeconds() { return UtcOffsetAt(std::time(nullptr)); }

TDateTime NowLocal() {
  // The coarse clock (a few milliseconds of resolution) is read without a system call
  // and is ample for stamping records.
  timespec ts{};
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  const double secs = static_cast<double>(ts.tv_sec + UtcOffsetAt(ts.tv_sec)) + ts.tv_nsec / 1e9;
  return secs / SecsPerDay + UnixStartDate;
}

TDateTime NowUtc() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const double secs = static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
  return secs / SecsPerDay + UnixStartDate;
}

DateTimeParts DecodeDateTime(TDateTime dt) {
  DateTimeParts p;
  if (!std::isfinite(dt)) return p;
  // Whole days count towards zero and the time of day is the absolute fraction,
  // as date-time values have always been read.
  std::int64_t days = static_cast<std::int64_t>(std::trunc(dt));
  std::int64_t ms = std::llround(std::fabs(dt - std::trunc(dt)) * MsecPerDay);
  if (ms >= MsecPerDay) {
    ms -= MsecPerDay;
    // The time of day runs forward from the date on both sides of day 0.
    days += 1;
  }
  CivilFromDays(days, p.year, p.month, p.day);
  p.hour = static_cast<int>(ms / 3'600'000);
  p.minute = static_cast<int>(ms / 60'000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.msec = static_cast<int>(ms % 1000);
  return p;
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.msec < 0 || p.msec > 999) {
    throw std::invalid_argument("invalid date or time");
  }
  const double days = static_cast<double>(DaysFromCivil(p.year, p.month, p.day));
  const double frac =
      ((p.hour * 60.0 + p.minute) * 60.0 + p.second + p.msec / 1000.0) / SecsPerDay;
  return days >= 0 ? days + frac : days - frac;
}

std::string FormatDateTime(std::string_view pattern, TDateTime dt) {
  const DateTimeParts p = DecodeDateTime(dt);
  std::string out;
  out.reserve(pattern.size() + 8);
  bool afterHour = false;
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = static_cast<char>(pattern[i] | 0x20);
    std::size_t run = 1;
    while (i + run < pattern.size() && static_cast<char>(pattern[i + run] | 0x20) == c &&
           pattern[i] != '/' && pattern[i] != ':')
      ++run;
    const auto num = [&](int v, bool two) {
      if (v >= 0 && v <= 99) {  // the usual case, without a formatting call
        if (two || v >= 10) out += static_cast<char>('0' + v / 10);
        out += static_cast<char>('0' + v % 10);
      } else {
        fmt::format_to(std::back_inserter(out), "{:0{}d}", v, two ? 2 : 1);
      }
    };
    switch (c) {
      case 'd': num(p.day, run >= 2); afterHour = false; break;
      case 'm':
        if (afterHour) num(p.minute, run >= 2); else num(p.month, run >= 2);
        afterHour = false;
        break;
      case 'y':
        if (run >= 3) fmt::format_to(std::back_inserter(out), "{:04d}", p.year); else num(p.year % 100, true);
        afterHour = false;
        break;
      case 'h': num(p.hour, run >= 2); afterHour = true; break;
      case 'n': num(p.minute, run >= 2); afterHour = false; break;
      case 's': num(p.second, run >= 2); afterHour = false; break;
      case 'z': fmt::format_to(std::back_inserter(out), "{:0{}d}", p.msec, run >= 3 ? 3 : 1); break;
      default:
        if (pattern[i] == '/') out += '.';
        else out.append(pattern.substr(i, run));
        break;
    }
    i += run;
  }
  return out;
}

TDateTime ParseDate(std::string_view text, std::string_view shortDateFormat) {
  // The order of the day, month and year fields follows the pattern.
  char order[3];
  int fields = 0;
  for (std::size_t i = 0; i < shortDateFormat.size() && fields < 3; ++i) {
    const char c = static_cast<char>(shortDateFormat[i] | 0x20);
    if (c != 'd' && c != 'm' && c != 'y') continue;
    if (fields > 0 && order[fields - 1] == c) continue;
    order[fields++] = c;
  }
  if (fields != 3) throw std::invalid_argument("invalid short date format");

  int values[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int n = 0;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  while (n < 3) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
      throw std::invalid_argument(fmt::format("'{}' is not a valid date", text));
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits[n] < 5) {
      values[n] = values[n] * 10 + (text[i] - '0');
      ++digits[n];
      ++i;
    }
    ++n;
    if (n < 3) {
      if (i >= text.size() || (text[i] >= '0' && text[i] <= '9'))
        throw std::invalid_argument(fmt::format("'{}' is not a valid date", text));
      ++i;
    }
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size()) throw std::invalid_argument(fmt::format("'{}' is not a valid date", text));

  DateTimeParts p;
  for (int k = 0; k < 3; ++k) {
    if (order[k] == 'd') p.day = values[k];
    if (order[k] == 'm') p.month = values[k];
    if (order[k] == 'y') p.year = digits[k] <= 2 ? 2000 + values[k] : values[k];
  }
  try {
    return EncodeDateTime(p);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(fmt::format("'{}' is not a valid date", text));
  }
}

}  // namespace telvaro
