#pragma once
// The fuel report as every task database writes it: the period of a request, and one
// HTML table row per fuel event.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "records/DateTime.h"

namespace telvaro {

/// How the fuel report reads its dates and writes dates, times and fractions.
struct ReportFormat {
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string longTimeFormat = "hh:nn:ss";
  char decimalSeparator = '.';
};

/// One row of `Fuels` as read back; an empty optional is a null column, and a null
/// text is empty.
struct FuelRow {
  std::optional<std::int64_t> cnt;
  std::string_view ID;
  std::optional<TDateTime> utcdate;
  std::optional<std::int64_t> a_event;
  std::optional<double> lat, lon, speed;
  std::string_view keyid;
  std::optional<std::int64_t> fuel, Fuelsensor1, Fuelsensor2;
};

/// The two dates of a request "...*START*END*", each at 00:00 of its day; throws
/// std::invalid_argument for a missing or invalid date.
std::pair<TDateTime, TDateTime> ReportPeriod(std::string_view request, const ReportFormat& format);

/// Appends the row "<tr><td>cnt</td>...</td></tr>" and CR LF, each value in its
/// default text form, texts escaped for HTML.
void AppendFuelRow(std::string& out, const FuelRow& row, const ReportFormat& format);

}  // namespace telvaro
