#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "dbwriter/CentralDB.h"
#include "dbwriter/TelemetryRecord.h"

namespace telvaro {
namespace {

// Every test of this program sees local time as UTC+3 all year.
const bool zoneSet = [] {
  setenv("TZ", "TLV-3", 1);
  tzset();
  return true;
}();

TDateTime At(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

TEST(TMobileTest, FlagsPackLowestFirst) {
  struct Case {
    const char* name;
    std::array<std::int32_t, 8> flags;
    std::int64_t packed;
  };
  const Case cases[] = {
      {"all zero", {}, 0},
      {"flag 1 is one", {1}, 1},
      {"flag 8 is 255", {0, 0, 0, 0, 0, 0, 0, 255}, static_cast<std::int64_t>(255ull << 56)},
      {"one byte each", {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
      {"every bit set", {255, 255, 255, 255, 255, 255, 255, 255}, -1},
      {"out of byte range carries", {256, 0, 0, 0, 0, 0, 0, 0}, 0x100},
      {"negative wraps modulo 2^64", {-1}, -1},
  };
  for (const Case& c : cases) {
    TMobile m;
    m.Flags = c.flags;
    EXPECT_EQ(m.FlagsToLongInt(), c.packed) << c.name;
  }
}

TEST(TMobileTest, CreateIsZeroExceptGsmLevelAndRecTime) {
  const TDateTime before = NowLocal();
  const TMobile m = TMobile::Create();
  EXPECT_EQ(m.GSMLevel, 99);
  EXPECT_GE(m.RecTime, before);
  EXPECT_LE(m.RecTime, NowLocal());
  EXPECT_FALSE(m.FNotForMainTable);
  EXPECT_TRUE(m.ID.empty());
  EXPECT_TRUE(m.ID2.empty());
  for (double v : {m.Lat, m.Lon, m.UTC, m.GPSTime, m.Odometer1, m.Odometer2, double(m.Power), double(m.ExtPower)})
    EXPECT_EQ(v, 0.0);
  for (std::int32_t v : {m.Speed, m.MaxSpeed, m.Az, m.Altitude, m.MessageCounter, m.Event, m.EventValue,
                         m.TimeFromLastPoint, m.SecFromLastPoint, int(m.NavSystem), int(m.SatCount), int(m.DLKP)})
    EXPECT_EQ(v, 0);
  EXPECT_FALSE(m.Valid);
  EXPECT_FALSE(m.NavigationOld);
  EXPECT_EQ(m.KeyID, (std::array<std::int32_t, 4>{}));
  EXPECT_EQ(m.FlagsToLongInt(), 0);
}

TEST(TMobileTest, MadeFromTerminalRecord) {
  TNTMobile r;
  r.Rec.RecTime = At(2024, 1, 15, 15, 0, 5);
  r.Rec.ID.assign("356307042441013");
  r.Rec.Event = 240;
  r.Rec.EventValue = 1;
  r.Rec.GNSS.UTC = At(2024, 1, 15, 12, 0, 1);
  r.Rec.GNSS.Lat = 55.75;
  r.Rec.GNSS.Lon = 37.625;
  r.Rec.GNSS.Alt = 150;
  r.Rec.GNSS.Az = 271;
  r.Rec.GNSS.Sat = 9;
  r.Rec.GNSS.Speed = 61;
  r.Rec.GNSS.Valid = 2;
  r.Rec.GNSS.GNSS = 3;
  r.Rec.Io(78) = 0x1'8000'0001ull;  // only the low 32 bits count, as a signed value
  r.Rec.Fl(78) = true;
  r.Rec.Io(105) = 4567;
  r.Rec.Fl(105) = true;
  r.Rec.Io(10) = 42;

  TSettings s;
  const TMobile m = MobileFromRecord(r, s);
  EXPECT_EQ(m.ID.view(), "356307042441013");
  EXPECT_EQ(m.RecTime, r.Rec.RecTime);
  EXPECT_EQ(m.Event, 240);
  EXPECT_EQ(m.EventValue, 1);
  EXPECT_EQ(m.UTC, r.Rec.GNSS.UTC);
  EXPECT_EQ(m.Lat, 55.75);
  EXPECT_EQ(m.Lon, 37.625);
  EXPECT_EQ(m.Altitude, 150);
  EXPECT_EQ(m.Az, 271);
  EXPECT_EQ(m.SatCount, 9);
  EXPECT_EQ(m.Speed, 61);
  EXPECT_TRUE(m.Valid);
  EXPECT_EQ(m.NavSystem, 3);
  EXPECT_EQ(m.KeyID[0], -2147483647);
  EXPECT_EQ(m.MessageCounter, 4567);
  EXPECT_EQ(m.GSMLevel, 99);
  EXPECT_EQ(m.GPSTime, 0.0);
  EXPECT_FALSE(m.FNotForMainTable);

  s.iButtonNum = 10;  // the elements come from the settings
  s.CounterNum = 0;   // and a number outside 1..255 reads as 0
  const TMobile k = MobileFromRecord(r, s);
  EXPECT_EQ(k.KeyID[0], 42);
  EXPECT_EQ(k.MessageCounter, 0);
}

TEST(TMobileTest, LocalTimeUsesTheOffsetGiven) {
  struct Case {
    const char* name;
    TDateTime utc;
    long offset;
    TDateTime local;
  };
  const Case cases[] = {
      {"winter noon at +3", At(2024, 1, 15, 12, 0), 3 * 3600, At(2024, 1, 15, 15, 0)},
      {"summer noon at +3", At(2024, 7, 15, 12, 0), 3 * 3600, At(2024, 7, 15, 15, 0)},
      {"west of UTC", At(2024, 1, 15, 12, 0), -5 * 3600, At(2024, 1, 15, 7, 0)},
      {"over midnight", At(2024, 12, 31, 23, 30), 3 * 3600, At(2025, 1, 1, 2, 30)},
      {"back over midnight", At(2024, 1, 1, 1, 0), -2 * 3600, At(2023, 12, 31, 23, 0)},
      {"milliseconds kept", At(2024, 1, 15, 12, 0, 0, 123), 3 * 3600, At(2024, 1, 15, 15, 0, 0, 123)},
      {"before 1899-12-30", At(1850, 6, 1, 12, 0), 3 * 3600, At(1850, 6, 1, 15, 0)},
      {"into the epoch day", At(1899, 12, 29, 23, 0), 3 * 3600, At(1899, 12, 30, 2, 0)},
      // Less than half a millisecond before midnight rounds up into the next day.
      {"rounds up to midnight", At(2024, 1, 15, 0, 0) - 1e-10, 0, At(2024, 1, 15, 0, 0)},
      {"rounds up to midnight before 1899", -1.9999999999, 0, At(1899, 12, 30, 0, 0)},
  };
  for (const Case& c : cases) {
    const DateTimeParts got = DecodeDateTime(ConvertToLocalTimeDT(c.utc, c.offset));
    const DateTimeParts want = DecodeDateTime(c.local);
    EXPECT_EQ(std::tie(got.year, got.month, got.day, got.hour, got.minute, got.second, got.msec),
              std::tie(want.year, want.month, want.day, want.hour, want.minute, want.second, want.msec))
        << c.name;
  }
  // The last storable instant rounds up past 9999 and stays a plain value.
  EXPECT_EQ(ConvertToLocalTimeDT(2958465.9999999995, 0), 2958466.0);
  // Without an offset, the host's offset now: UTC+3 in these tests.
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn", ConvertToLocalTimeDT(At(2024, 1, 15, 12, 0))), "2024-01-15 15:00");
}

TEST(TMobileTest, StorableDateTimes) {
  EXPECT_TRUE(IsStorableDateTime(At(1601, 1, 1, 0, 0)));
  EXPECT_TRUE(IsStorableDateTime(0));
  EXPECT_TRUE(IsStorableDateTime(At(9999, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(IsStorableDateTime(At(1600, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(IsStorableDateTime(2958466.0));  // 10000-01-01
  EXPECT_FALSE(IsStorableDateTime(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(IsStorableDateTime(std::numeric_limits<double>::infinity()));
}

TEST(TMobileTest, CallTextsPerServer) {
  const std::string params =
      "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)}";
  EXPECT_EQ(TCentralDB::MobilesCallText("Microsoft SQL Server"), "{? = CALL MOBILES_IU;1" + params);
  EXPECT_EQ(TCentralDB::MobilesCallText("PostgreSQL"), "{? = CALL MOBILES_IU" + params);
  EXPECT_EQ(TCentralDB::ObjectsCallText("Microsoft SQL Server"), "{? = CALL OBJECTS_IU;1(?, ?)}");
  EXPECT_EQ(TCentralDB::ObjectsCallText("PostgreSQL"), "{? = CALL OBJECTS_IU(?, ?)}");
}

}  // namespace
}  // namespace telvaro
