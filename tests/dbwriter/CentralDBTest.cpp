#include <gtest/gtest.h>

#include "dbwriter/CentralDB.h"
#include "tests/dbwriter/TestDB.h"

namespace telvaro {
namespace {

using testdb::Sql;

TDateTime At(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

class CentralDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TELVARO_REQUIRE_TEST_DB();
    testdb::InstallRejectTrigger();
    sql_.emplace();
    tag_ = "C" + testdb::ProcessTag();
    sql_->Exec("DELETE FROM mobiles WHERE id LIKE '%" + tag_ + "%'");
    sql_->Exec("DELETE FROM objects WHERE id LIKE '%" + tag_ + "%'");
    db_.Open(testdb::ConnectionString());
  }

  std::string Count(const std::string& id) {
    return sql_->Scalar("SELECT count(*) FROM mobiles WHERE id = '" + id + "'");
  }

  std::optional<Sql> sql_;
  std::string tag_;
  TCentralDB db_;
};

TEST_F(CentralDBTest, EveryParameterReachesItsColumn) {
  EXPECT_TRUE(db_.Connected());
  EXPECT_EQ(db_.DatabaseName(), "telvaro");
  EXPECT_EQ(db_.DbmsName(), "PostgreSQL");

  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-all");
  m.Lat = 55.75;
  m.Lon = -37.625;
  m.Speed = 61;
  m.Az = 271;
  m.MaxSpeed = 90;
  m.Altitude = -15;
  m.Event = 240;
  m.EventValue = -7;
  m.Valid = true;
  m.NavSystem = 2;
  m.NavigationOld = true;
  m.SatCount = 11;
  m.Power = 12.5f;
  m.ExtPower = 27.25f;
  m.Odometer1 = 12345.5;
  m.Odometer2 = 0.125;
  m.KeyID = {-123456, 2, 3, 4};
  m.DLKP = 3;
  m.UTC = At(2024, 1, 15, 12, 0, 0, 250);
  m.GPSTime = At(2024, 1, 15, 11, 59, 58);
  m.MessageCounter = 4567;
  m.Flags = {1, 0, 0, 0, 0, 0, 0, 255};
  m.GSMLevel = 17;
  m.TimeFromLastPoint = 30;
  m.SecFromLastPoint = 31;
  db_.AddMobile(m);

  const auto rows = sql_->Query(
      "SELECT lat, lon, speed, az, maxspeed, alt, a_event, event_value, valid, navsystem, navigationold, "
      "satcount, a_power, extpower, odometer1, odometer2, keyid, dlkp, "
      "to_char(utcdate, 'YYYY-MM-DD HH24:MI:SS.MS'), to_char(gpsdate, 'YYYY-MM-DD HH24:MI:SS.MS'), "
      "to_char(utc_local, 'YYYY-MM-DD HH24:MI:SS.MS'), to_char(gps_local, 'YYYY-MM-DD HH24:MI:SS.MS'), "
      "dt, mc, flags, gsm_level, last_seconds, last_valid "
      "FROM mobiles WHERE id = '" + tag_ + "-all'");
  ASSERT_EQ(rows.size(), 1u);
  const std::vector<std::pair<const char*, std::optional<std::string>>> want = {
      {"lat", "55.75"},
      {"lon", "-37.625"},
      {"speed", "61"},
      {"az", "271"},
      {"maxspeed", "90"},
      {"alt", "-15"},
      {"a_event", "240"},
      {"event_value", "-7"},
      {"valid", "1"},
      {"navsystem", "2"},
      {"navigationold", "1"},
      {"satcount", "11"},
      {"a_power", "12.5"},
      {"extpower", "27.25"},
      {"odometer1", "12345.5"},
      {"odometer2", "0.125"},
      {"keyid", "-123456"},
      {"dlkp", "3"},
      {"utcdate", "2024-01-15 12:00:00.250"},
      {"gpsdate", "2024-01-15 11:59:58.000"},
      {"utc_local", "2024-01-15 15:00:00.250"},  // UTC+3 in these tests
      {"gps_local", "2024-01-15 14:59:58.000"},
      {"dt", std::nullopt},
      {"mc", "4567"},
      {"flags", std::to_string(static_cast<std::int64_t>(0xFF00000000000001ull))},
      {"gsm_level", "17"},
      {"last_seconds", "30"},
      {"last_valid", "31"},
  };
  ASSERT_EQ(rows[0].size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(rows[0][i], want[i].second) << want[i].first;
}

TEST_F(CentralDBTest, TimesTheServerCannotTakeGoAsNull) {
  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-t");
  m.UTC = At(2024, 3, 1, 8, 0);
  m.GPSTime = 0;  // no fix time
  db_.AddMobile(m);
  m.Event = 1;
  m.GPSTime = At(1600, 12, 31, 0, 0);
  db_.AddMobile(m);
  const auto rows = sql_->Query("SELECT a_event, gpsdate, gps_local, utc_local IS NOT NULL FROM mobiles WHERE id = '" +
                                tag_ + "-t' ORDER BY a_event");
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& r : rows) {
    EXPECT_EQ(r[1], std::nullopt) << "event " << *r[0];
    EXPECT_EQ(r[2], std::nullopt) << "event " << *r[0];
    EXPECT_EQ(r[3], "1");
  }
}

TEST_F(CentralDBTest, ZeroUtcWritesNothingAndResendUpdates) {
  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-z");
  db_.AddMobile(m);  // UTC 0
  m.UTC = -1;
  db_.AddMobile(m);
  EXPECT_EQ(Count(tag_ + "-z"), "0");

  m.UTC = At(2024, 3, 1, 8, 0);
  m.Speed = 10;
  db_.AddMobile(m);
  m.Speed = 20;  // the same record again, as after a retry
  db_.AddMobile(m);
  EXPECT_EQ(sql_->Scalar("SELECT string_agg(speed::text, ',') FROM mobiles WHERE id = '" + tag_ + "-z'"), "20");
}

TEST_F(CentralDBTest, RejectedCallThrowsAndLeavesTheConnectionUsable) {
  TMobile bad = TMobile::Create();
  bad.ID.assign("REJECT" + tag_);
  bad.UTC = At(2024, 3, 1, 8, 0);
  try {
    db_.AddMobile(bad);
    ADD_FAILURE() << "no error";
  } catch (const odbc::Error& e) {
    EXPECT_FALSE(e.ConnectionLost());
    EXPECT_EQ(e.SqlState(), "23514");
    EXPECT_NE(std::string(e.what()).find("rejected"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
  }
  EXPECT_TRUE(db_.Connected());
  TMobile good = bad;
  good.ID.assign(tag_ + "-ok");
  db_.AddMobile(good);
  EXPECT_EQ(Count(tag_ + "-ok"), "1");
  EXPECT_EQ(Count("REJECT" + tag_), "0");
}

TEST_F(CentralDBTest, ObjectsAreRegisteredAndUpdated) {
  TMobile o = TMobile::Create();
  o.FNotForMainTable = true;
  o.ID.assign(tag_ + "-o");
  o.ID2.assign("first");
  db_.AddObject(o);
  o.ID2.assign("second");
  db_.AddObject(o);
  EXPECT_EQ(sql_->Scalar("SELECT id2 FROM objects WHERE id = '" + tag_ + "-o'"), "second");
}

TEST_F(CentralDBTest, ReopenKeepsALiveConnection) {
  // The writer may ask for a reopen just after start-up connected: the connection and
  // its open transaction stay.
  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-r");
  m.UTC = At(2024, 3, 1, 8, 0);
  db_.StartTransaction();
  db_.CallMobiles(std::span(&m, 1));
  db_.Reopen();
  db_.Commit();
  EXPECT_EQ(Count(tag_ + "-r"), "1");
}

TEST_F(CentralDBTest, FailedOpenKeepsTheStringForReopen) {
  TCentralDB db;
  EXPECT_FALSE(db.Configured());
  EXPECT_THROW(db.Reopen(), std::logic_error);
  EXPECT_THROW(db.Open("Driver={No Such Driver};"), odbc::Error);
  EXPECT_TRUE(db.Configured());
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.DatabaseName(), "");
  TMobile m = TMobile::Create();
  m.UTC = 45000;
  EXPECT_NO_THROW(db.AddMobile(m));  // disconnected: nothing happens
  db.Close();
  EXPECT_FALSE(db.Configured());
}

}  // namespace
}  // namespace telvaro
