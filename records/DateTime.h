#pragma once
// Date-time values as the records carry them: a double counting days since
// 1899-12-30 00:00, the fraction being the time of day.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telvaro {

using TDateTime = double;

/// 1970-01-01 00:00 as a date-time value.
inline constexpr double UnixStartDate = 25569.0;
inline constexpr double SecsPerDay = 86400.0;

inline TDateTime UnixToDateTime(std::int32_t usec) { return usec / SecsPerDay + UnixStartDate; }
inline TDateTime UnixToDateTimeL(std::uint64_t usec) {
  return static_cast<double>(usec) / SecsPerDay + UnixStartDate;
}

/// The host's local time now (TZ honoured).
TDateTime NowLocal();

/// UTC now, to the millisecond.
TDateTime NowUtc();

/// Offset of local time from UTC, in seconds, in force at this moment.
long CurrentUtcOffsetSeconds();

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, msec = 0;
};

/// Splits a date-time into calendar fields, rounded to the millisecond.
DateTimeParts DecodeDateTime(TDateTime dt);
/// The date-time of a calendar date and time of day; throws std::invalid_argument for an impossible date.
TDateTime EncodeDateTime(const DateTimeParts& parts);

/// Formats with the pattern letters of the regional settings: d dd m mm yy yyyy h hh
/// n nn s ss z zzz; "/" is the date separator "." and ":" the time separator; other
/// characters are copied. "mm" right after "h"/"hh" means minutes.
std::string FormatDateTime(std::string_view pattern, TDateTime dt);

/// Reads a date written in `shortDateFormat` (day, month and year fields in the
/// pattern's order, any non-digit separators); throws std::invalid_argument when the
/// text is not such a date.
TDateTime ParseDate(std::string_view text, std::string_view shortDateFormat);

}  // namespace telvaro
