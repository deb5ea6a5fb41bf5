#include <gtest/gtest.h>

#include "records/DateTime.h"
#include "records/NumberFormat.h"

namespace telvaro {
namespace {

TEST(DateTime, FormatsWithRegionalPatterns) {
  const TDateTime dt = EncodeDateTime({2015, 3, 7, 14, 5, 9, 0});
  EXPECT_EQ(FormatDateTime("dd.mm.yy hh:mm:ss", dt), "07.03.15 14:05:09");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss", dt), "07.03.2015 14:05:09");
  EXPECT_EQ(FormatDateTime("dd.mm.yy hh:mm:ss", 0.0), "30.12.99 00:00:00");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss", UnixToDateTime(0)), "01.01.1970 00:00:00");
}

TEST(DateTime, RoundTripsThroughCalendarFields) {
  for (const DateTimeParts p : {DateTimeParts{1970, 1, 1, 0, 0, 0, 0}, DateTimeParts{2000, 2, 29, 23, 59, 59, 999},
                                DateTimeParts{1601, 1, 1, 12, 0, 0, 0}, DateTimeParts{2099, 12, 31, 0, 0, 1, 0}}) {
    const DateTimeParts q = DecodeDateTime(EncodeDateTime(p));
    EXPECT_EQ(std::tie(q.year, q.month, q.day, q.hour, q.minute, q.second, q.msec),
              std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.msec));
  }
  EXPECT_DOUBLE_EQ(UnixToDateTime(0), 25569.0);
  // A time of day that rounds up to midnight moves to the next day, also before day 0.
  const DateTimeParts up = DecodeDateTime(1.9999999999);  // 1899-12-31 23:59:59.99999
  EXPECT_EQ(std::tie(up.year, up.month, up.day, up.hour), std::make_tuple(1900, 1, 1, 0));
  const DateTimeParts down = DecodeDateTime(-1.9999999999);  // 1899-12-29 23:59:59.99999
  EXPECT_EQ(std::tie(down.year, down.month, down.day, down.hour), std::make_tuple(1899, 12, 30, 0));
}

TEST(DateTime, ParsesDatesInTheShortFormat) {
  EXPECT_DOUBLE_EQ(ParseDate("01.01.1970", "dd.mm.yyyy"), 25569.0);
  EXPECT_DOUBLE_EQ(ParseDate("1/2/1970", "m/d/yyyy"), 25569.0 + 1);
  for (const char* bad : {"", "32.01.2020", "29.02.2021", "01.01", "aa.bb.cccc", "01.01.2020x"})
    EXPECT_THROW(ParseDate(bad, "dd.mm.yyyy"), std::invalid_argument) << bad;
}

TEST(NumberFormat, FixedRoundsToSignificantDigitsThenPads) {
  struct Case { double v; int precision, decimals; const char* text; };
  for (const Case& c : std::initializer_list<Case>{
           {55.7558, 10, 5, "55.75580"},
           {12.5, 5, 2, "12.50"},
           {1234.567, 5, 2, "1234.60"},
           {1.0, 15, 10, "1.0000000000"},
           {-0.000001, 10, 5, "0.00000"},
           {123456.0, 5, 2, "1.2346E+05"},
       })
    EXPECT_EQ(FormatFixed(c.v, c.precision, c.decimals), c.text) << c.v;
  EXPECT_EQ(FormatFixed(1.5, 5, 2, ','), "1,50");
}

TEST(NumberFormat, GeneralIsShortest) {
  EXPECT_EQ(FormatGeneral(55.75, 15), "55.75");
  EXPECT_EQ(FormatGeneral(100.0, 15), "100");
  EXPECT_EQ(FormatGeneral(0.1 + 0.2, 15), "0.3");
  EXPECT_EQ(FormatGeneral(2.5, 15, ','), "2,5");
}

}  // namespace
}  // namespace telvaro
