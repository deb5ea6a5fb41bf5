#include "tasks/FuelReport.h"

#include <stdexcept>

#include "records/NumberFormat.h"

namespace telvaro {
namespace {

void AppendHtml(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
}

}  // namespace

std::pair<TDateTime, TDateTime> ReportPeriod(std::string_view request, const ReportFormat& format) {
  std::string_view dates[2];
  std::size_t star = request.find('*');
  for (auto& date : dates) {
    const std::size_t next =
        star == std::string_view::npos ? std::string_view::npos : request.find('*', star + 1);
    if (next == std::string_view::npos)
      throw std::invalid_argument("fuel report request lacks a start or end date");
    date = request.substr(star + 1, next - star - 1);
    star = next;
  }
  return {ParseDate(dates[0], format.shortDateFormat), ParseDate(dates[1], format.shortDateFormat)};
}

void AppendFuelRow(std::string& out, const FuelRow& row, const ReportFormat& format) {
  const auto integer = [&](const std::optional<std::int64_t>& v) {
    if (v) out += std::to_string(*v);
  };
  const auto real = [&](const std::optional<double>& v) {
    if (v) out += FormatGeneral(*v, 15, format.decimalSeparator);
  };
  const auto dateTime = [&](const std::optional<TDateTime>& v) {
    if (!v) return;
    const DateTimeParts p = DecodeDateTime(*v);
    // The time is left out at midnight, as the default text of a date-time does.
    const bool midnight = p.hour == 0 && p.minute == 0 && p.second == 0 && p.msec == 0;
    out += FormatDateTime(midnight ? format.shortDateFormat : format.shortDateFormat + " " + format.longTimeFormat, *v);
  };
  out += "<tr><td>";
  integer(row.cnt);
  out += "</td><td>";
  AppendHtml(out, row.ID);
  out += "</td><td>";
  dateTime(row.utcdate);
  out += "</td><td>";
  integer(row.a_event);
  out += "</td><td>";
  real(row.lat);
  out += "</td><td>";
  real(row.lon);
  out += "</td><td>";
  real(row.speed);
  out += "</td><td>";
  AppendHtml(out, row.keyid);
  out += "</td><td>";
  integer(row.fuel);
  out += "</td><td>";
  integer(row.Fuelsensor1);
  out += "</td><td>";
  integer(row.Fuelsensor2);
  out += "</td></tr>\r\n";
}

}  // namespace telvaro
