#include <gtest/gtest.h>

#include "dbwriter/CentralDB.h"
#include "dbwriter/PgCentralDB.h"
#include "tests/dbwriter/TestDB.h"

namespace telvaro {
namespace {

using testdb::Sql;

TDateTime At(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

// Runs over each client library in turn.
class CentralDBTest : public ::testing::TestWithParam<testdb::Client> {
 protected:
  void SetUp() override {
    TELVARO_REQUIRE_CLIENT(GetParam());
    testdb::InstallRejectTrigger();
    sql_.emplace();
    tag_ = "C" + testdb::ProcessTag();
    sql_->Exec("DELETE FROM mobiles WHERE id LIKE '%" + tag_ + "%'");
    sql_->Exec("DELETE FROM objects WHERE id LIKE '%" + tag_ + "%'");
    db_ = GetParam().Make();
    db_->Open(GetParam().Login());
  }

  std::string Count(const std::string& id) {
    return sql_->Scalar("SELECT count(*) FROM mobiles WHERE id = '" + id + "'");
  }

  TMobile Position(const std::string& id) const {
    TMobile m = TMobile::Create();
    m.ID.assign(id);
    m.UTC = At(2024, 3, 1, 8, 0);
    return m;
  }

  std::optional<Sql> sql_;
  std::string tag_;
  std::unique_ptr<CentralDatabase> db_;
};

INSTANTIATE_TEST_SUITE_P(Clients, CentralDBTest, ::testing::Values(testdb::Odbc, testdb::Libpq), testdb::ClientName);

TEST_P(CentralDBTest, EveryParameterReachesItsColumn) {
  EXPECT_TRUE(db_->Connected());
  EXPECT_EQ(db_->DatabaseName(), "telvaro");
  if (const auto* odbc = dynamic_cast<const TCentralDB*>(db_.get())) {
    EXPECT_EQ(odbc->DbmsName(), "PostgreSQL");
  }

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
  db_->AddMobile(m);

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

TEST_P(CentralDBTest, TimesTheServerCannotTakeGoAsNull) {
  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-t");
  m.UTC = At(2024, 3, 1, 8, 0);
  m.GPSTime = 0;  // no fix time
  db_->AddMobile(m);
  m.Event = 1;
  m.GPSTime = At(1600, 12, 31, 0, 0);
  db_->AddMobile(m);
  const auto rows = sql_->Query("SELECT a_event, gpsdate, gps_local, utc_local IS NOT NULL FROM mobiles WHERE id = '" +
                                tag_ + "-t' ORDER BY a_event");
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& r : rows) {
    EXPECT_EQ(r[1], std::nullopt) << "event " << *r[0];
    EXPECT_EQ(r[2], std::nullopt) << "event " << *r[0];
    EXPECT_EQ(r[3], "1");
  }
}

TEST_P(CentralDBTest, ZeroUtcWritesNothingAndResendUpdates) {
  TMobile m = TMobile::Create();
  m.ID.assign(tag_ + "-z");
  db_->AddMobile(m);  // UTC 0
  m.UTC = -1;
  db_->AddMobile(m);
  EXPECT_EQ(Count(tag_ + "-z"), "0");

  m.UTC = At(2024, 3, 1, 8, 0);
  m.Speed = 10;
  db_->AddMobile(m);
  m.Speed = 20;  // the same record again, as after a retry
  db_->AddMobile(m);
  EXPECT_EQ(sql_->Scalar("SELECT string_agg(speed::text, ',') FROM mobiles WHERE id = '" + tag_ + "-z'"), "20");
}

TEST_P(CentralDBTest, RejectedCallThrowsAndLeavesTheConnectionUsable) {
  TMobile bad = TMobile::Create();
  bad.ID.assign("REJECT" + tag_);
  bad.UTC = At(2024, 3, 1, 8, 0);
  try {
    db_->AddMobile(bad);
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost());
    EXPECT_EQ(e.SqlState(), "23514");
    EXPECT_NE(std::string(e.what()).find("rejected"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
  }
  EXPECT_TRUE(db_->Connected());
  TMobile good = bad;
  good.ID.assign(tag_ + "-ok");
  db_->AddMobile(good);
  EXPECT_EQ(Count(tag_ + "-ok"), "1");
  EXPECT_EQ(Count("REJECT" + tag_), "0");
}

TEST_P(CentralDBTest, ObjectsAreRegisteredAndUpdated) {
  TMobile o = TMobile::Create();
  o.FNotForMainTable = true;
  o.ID.assign(tag_ + "-o");
  o.ID2.assign("first");
  db_->AddObject(o);
  o.ID2.assign("second");
  db_->AddObject(o);
  EXPECT_EQ(sql_->Scalar("SELECT id2 FROM objects WHERE id = '" + tag_ + "-o'"), "second");
}

TEST_P(CentralDBTest, RejectedCallLeavesNothingOfItsTransaction) {
  const std::vector<TMobile> batch = {Position(tag_ + "-t1"), Position("REJECT" + tag_ + "-t"),
                                      Position(tag_ + "-t2")};
  try {
    db_->WriteTransaction(batch);
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost()) << e.what();
    EXPECT_EQ(e.SqlState(), "23514");
  }
  EXPECT_EQ(Count(tag_ + "-t1"), "0");
  EXPECT_EQ(Count(tag_ + "-t2"), "0");
  // The connection is clean for the next transaction.
  EXPECT_TRUE(db_->Connected());
  TMobile object = TMobile::Create();
  object.FNotForMainTable = true;
  object.ID.assign(tag_ + "-t3");
  object.ID2.assign("x");
  const std::vector<TMobile> next = {batch[0], object, batch[2]};
  db_->WriteTransaction(next);
  EXPECT_EQ(Count(tag_ + "-t1"), "1");
  EXPECT_EQ(Count(tag_ + "-t2"), "1");
  EXPECT_EQ(sql_->Scalar("SELECT id2 FROM objects WHERE id = '" + tag_ + "-t3'"), "x");
}

TEST_P(CentralDBTest, ReopenKeepsALiveConnection) {
  // The writer may ask for a reopen just after start-up connected: the session stays.
  const std::string role = "reopen" + testdb::ProcessTag();
  sql_->Exec("DROP ROLE IF EXISTS " + role);
  sql_->Exec("CREATE ROLE " + role + " LOGIN SUPERUSER");
  const auto db = GetParam().Make();
  db->Open(GetParam().Login(role));
  const std::string pids = "SELECT string_agg(pid::text, ',') FROM pg_stat_activity WHERE usename = '" + role + "'";
  const std::string before = sql_->Scalar(pids);
  db->Reopen();
  EXPECT_EQ(sql_->Scalar(pids), before);
  db->Close();
  EXPECT_FALSE(db->Connected());
  ASSERT_TRUE(testdb::WaitUntil([&] { return sql_->Scalar(pids) == "<none>"; }));
  sql_->Exec("DROP ROLE " + role);
}

TEST(TCentralDBTest, ReopenKeepsAnOpenTransaction) {
  TELVARO_REQUIRE_TEST_DB();
  Sql sql;
  const std::string id = "C" + testdb::ProcessTag() + "-r";
  sql.Exec("DELETE FROM mobiles WHERE id = '" + id + "'");
  TCentralDB db;
  db.Open(testdb::ConnectionString());
  TMobile m = TMobile::Create();
  m.ID.assign(id);
  m.UTC = At(2024, 3, 1, 8, 0);
  db.StartTransaction();
  db.CallMobiles(std::span(&m, 1));
  db.Reopen();
  db.Commit();
  EXPECT_EQ(sql.Scalar("SELECT count(*) FROM mobiles WHERE id = '" + id + "'"), "1");
}

TEST_P(CentralDBTest, FailedOpenKeepsTheLoginForReopen) {
  const auto db = GetParam().Make();
  EXPECT_FALSE(db->Configured());
  EXPECT_THROW(db->Reopen(), std::logic_error);
  EXPECT_THROW(db->Open(GetParam().BadLogin()), DatabaseError);
  EXPECT_TRUE(db->Configured());
  EXPECT_FALSE(db->Connected());
  EXPECT_EQ(db->DatabaseName(), "");
  TMobile m = TMobile::Create();
  m.UTC = 45000;
  EXPECT_NO_THROW(db->AddMobile(m));  // disconnected: nothing happens
  EXPECT_THROW(db->WriteTransaction(std::span(&m, 1)), DatabaseError);
  db->Close();
  EXPECT_FALSE(db->Configured());
}

TEST(PgCentralDBTest, UserAppliesWhereTheStringNamesNone) {
  TELVARO_REQUIRE_CLIENT(testdb::Libpq);
  Sql sql;
  const std::string role = "login" + testdb::ProcessTag();
  sql.Exec("DROP ROLE IF EXISTS " + role);
  sql.Exec("CREATE ROLE " + role + " LOGIN");
  std::string withoutUser = testdb::PgConnectionString();
  const auto at = withoutUser.find("user=postgres");
  ASSERT_NE(at, std::string::npos) << withoutUser;
  withoutUser.erase(at, 13);
  const std::string sessions = "SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'";

  PgCentralDB db(std::chrono::seconds(30));
  db.Open(DbLogin{DbClient::Libpq, withoutUser, role, "unused"});
  EXPECT_EQ(sql.Scalar(sessions), "1");
  // The string's own user wins over the settings' one.
  db.Open(DbLogin{DbClient::Libpq, testdb::PgConnectionString(), role, ""});
  EXPECT_TRUE(db.Connected());
  EXPECT_TRUE(testdb::WaitUntil([&] { return sql.Scalar(sessions) == "0"; }));
  db.Close();
  sql.Exec("DROP ROLE " + role);
}

TEST(BothClients, StoreTheSameValues) {
  TELVARO_REQUIRE_CLIENT(testdb::Libpq);
  Sql sql;
  const std::string tag = "S" + testdb::ProcessTag();
  sql.Exec("DELETE FROM mobiles WHERE id LIKE '" + tag + "-%'");

  // Values where a client could round, truncate or shift: doubles without a short
  // decimal form, the ends of the integer ranges, milliseconds, the first and last
  // storable instants, and times that go as null.
  std::vector<TMobile> records;
  const auto add = [&](auto&& change) {
    TMobile m = TMobile::Create();
    m.UTC = At(2024, 7, 1, 0, 0) + static_cast<double>(records.size()) / 86400.0;
    change(m);
    records.push_back(m);
  };
  add([](TMobile& m) {
    m.Lat = 0.1 + 0.2;
    m.Lon = -1.0 / 3.0;
    m.Odometer1 = 123456789.123456789;
    m.Odometer2 = 5e-324;
    m.Power = 0.1f;
    m.ExtPower = -3.4e38f;
    m.GPSTime = m.UTC - 0.5 / 86400.0;
  });
  add([](TMobile& m) {
    m.Lat = 1.7976931348623157e308;
    m.Lon = -2.2250738585072014e-308;
    m.Speed = INT32_MIN;
    m.Az = INT32_MAX;
    m.MaxSpeed = INT32_MIN;
    m.Altitude = INT32_MAX;
    m.Event = INT32_MIN;
    m.EventValue = INT32_MAX;
    m.KeyID[0] = INT32_MIN;
    m.MessageCounter = INT32_MAX;
    m.GSMLevel = INT32_MIN;
    m.TimeFromLastPoint = INT32_MAX;
    m.SecFromLastPoint = INT32_MIN;
    m.Flags = {255, 255, 255, 255, 255, 255, 255, 255};
    m.NavSystem = 255;
    m.SatCount = 255;
    m.DLKP = 255;
    m.Valid = true;
    m.NavigationOld = true;
  });
  add([](TMobile& m) { m.GPSTime = At(1601, 1, 1, 0, 0, 0, 1); });
  add([](TMobile& m) { m.GPSTime = At(1899, 12, 29, 23, 59, 59, 999); });  // before the date-time epoch
  add([](TMobile& m) { m.GPSTime = At(9999, 12, 31, 23, 59, 59, 999); });  // local time past 9999: null
  add([](TMobile& m) { m.GPSTime = At(1600, 6, 1, 0, 0); });               // not storable: null
  add([](TMobile& m) {
    m.UTC = At(2024, 12, 31, 23, 59, 59, 999);
    m.GPSTime = 0;
    m.Flags = {0, 0, 0, 0, 0, 0, 0, 128};
  });

  TCentralDB odbc;
  odbc.Open(testdb::Odbc.Login());
  PgCentralDB libpq(std::chrono::seconds(30));
  libpq.Open(testdb::Libpq.Login());
  for (std::size_t i = 0; i < records.size(); ++i) {
    TMobile m = records[i];
    m.ID.assign(tag + "-o" + std::to_string(i));
    odbc.AddMobile(m);
    m.ID.assign(tag + "-p" + std::to_string(i));
    libpq.AddMobile(m);
  }

  // Every column but the row's own keys, with floating-point values in their exact
  // shortest form.
  const auto row = [&](const std::string& id) {
    return sql.Scalar("SELECT (to_jsonb(m) - 'rec_id' - 'id' - 'stored_at')::text FROM mobiles m WHERE id = '" +
                      id + "'");
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::string viaOdbc = row(tag + "-o" + std::to_string(i));
    EXPECT_NE(viaOdbc, "<none>") << "record " << i;
    EXPECT_EQ(row(tag + "-p" + std::to_string(i)), viaOdbc) << "record " << i;
  }
}

}  // namespace
}  // namespace telvaro
