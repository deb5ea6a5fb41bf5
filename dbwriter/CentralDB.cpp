#include "dbwriter/CentralDB.h"

#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "dbwriter/MobileCall.h"
#include "dbwriter/UnlessStopped.h"

namespace telvaro {
namespace {

// The parameter values of one MOBILES_IU call, bound row-wise so that one buffer
// serves a single call and a parameter array alike.
struct MobileRow {
  SQLINTEGER ret;
  SQLLEN retInd;
  SQLCHAR id[65];
  SQLLEN idInd;
  double lat, lon, speed;
  SQLINTEGER az, maxSpeed, alt, event, eventValue, valid, navSystem, navigationOld, satCount;
  double power, extPower, odometer1, odometer2;
  SQLINTEGER keyId, dlkp;
  SQL_TIMESTAMP_STRUCT utc, gps, utcLocal, gpsLocal, dt;
  SQLLEN utcInd, gpsInd, utcLocalInd, gpsLocalInd, dtInd;
  SQLINTEGER mc;
  SQLBIGINT flags;
  SQLINTEGER gsmLevel, lastSeconds, lastValid;
};

struct ObjectRow {
  SQLINTEGER ret;
  SQLLEN retInd;
  SQLCHAR id[65];
  SQLLEN idInd;
  SQLCHAR id2[65];
  SQLLEN id2Ind;
};

// Timestamps carry milliseconds: 23 characters, 3 fraction digits.
constexpr SQLULEN TimestampSize = 23;
constexpr SQLSMALLINT TimestampDigits = 3;

std::string ParamMarks(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += i ? ", ?" : "?";
  return s;
}

void SetText(SQLCHAR (&dst)[65], SQLLEN& ind, std::string_view src) {
  const std::size_t n = std::min<std::size_t>(src.size(), 64);
  std::memcpy(dst, src.data(), n);
  dst[n] = 0;
  ind = static_cast<SQLLEN>(n);
}

void SetTimestamp(SQL_TIMESTAMP_STRUCT& ts, SQLLEN& ind, const std::optional<DateTimeParts>& value) {
  if (!value) {
    ts = {};
    ind = SQL_NULL_DATA;
    return;
  }
  const DateTimeParts& p = *value;
  ts.year = static_cast<SQLSMALLINT>(p.year);
  ts.month = static_cast<SQLUSMALLINT>(p.month);
  ts.day = static_cast<SQLUSMALLINT>(p.day);
  ts.hour = static_cast<SQLUSMALLINT>(p.hour);
  ts.minute = static_cast<SQLUSMALLINT>(p.minute);
  ts.second = static_cast<SQLUSMALLINT>(p.second);
  ts.fraction = static_cast<SQLUINTEGER>(p.msec) * 1'000'000u;
  ind = 0;
}

void FillRow(MobileRow& r, const TMobile& m) {
  const MobileCall c = MobileCallOf(m);
  r.ret = 0;
  r.retInd = 0;
  SetText(r.id, r.idInd, c.id);
  r.lat = c.lat;
  r.lon = c.lon;
  r.speed = c.speed;
  r.az = c.az;
  r.maxSpeed = c.maxSpeed;
  r.alt = c.alt;
  r.event = c.event;
  r.eventValue = c.eventValue;
  r.valid = c.valid;
  r.navSystem = c.navSystem;
  r.navigationOld = c.navigationOld;
  r.satCount = c.satCount;
  r.power = c.power;
  r.extPower = c.extPower;
  r.odometer1 = c.odometer1;
  r.odometer2 = c.odometer2;
  r.keyId = c.keyId;
  r.dlkp = c.dlkp;
  SetTimestamp(r.utc, r.utcInd, c.utcDate);
  SetTimestamp(r.gps, r.gpsInd, c.gpsDate);
  SetTimestamp(r.utcLocal, r.utcLocalInd, c.utcLocal);
  SetTimestamp(r.gpsLocal, r.gpsLocalInd, c.gpsLocal);
  SetTimestamp(r.dt, r.dtInd, c.dt);
  r.mc = c.mc;
  r.flags = c.flags;
  r.gsmLevel = c.gsmLevel;
  r.lastSeconds = c.lastSeconds;
  r.lastValid = c.lastValid;
}

// Closes the statement's cursor and drops its pending results on every way out of
// an execution: after an error, results left unread keep the statement (and, on
// some servers, the whole connection) busy for the next execution and the rollback.
struct CursorCloser {
  SQLHSTMT h;
  ~CursorCloser() { SQLFreeStmt(h, SQL_CLOSE); }
};

class Binder {
 public:
  explicit Binder(const odbc::Handle& stmt) : stmt_(stmt) {}

  template <class T>
  void Out(T& value, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLLEN* ind) {
    Bind(SQL_PARAM_OUTPUT, cType, sqlType, 0, 0, &value, sizeof value, ind);
  }
  void Int(SQLINTEGER& v) { Bind(SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &v, sizeof v, nullptr); }
  void BigInt(SQLBIGINT& v) { Bind(SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v, sizeof v, nullptr); }
  void Double(double& v) { Bind(SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &v, sizeof v, nullptr); }
  void Text(SQLCHAR (&v)[65], SQLLEN& ind) {
    Bind(SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 64, 0, v, sizeof v, &ind);
  }
  void Timestamp(SQL_TIMESTAMP_STRUCT& v, SQLLEN& ind) {
    Bind(SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, TimestampSize, TimestampDigits, &v,
         sizeof v, &ind);
  }

 private:
  void Bind(SQLSMALLINT io, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size, SQLSMALLINT digits,
            void* value, SQLLEN bufLen, SQLLEN* ind) {
    ++n_;
    stmt_.Check(SQLBindParameter(stmt_.get(), n_, io, cType, sqlType, size, digits, value, bufLen, ind),
                "binding a parameter");
  }

  const odbc::Handle& stmt_;
  SQLUSMALLINT n_ = 0;
};

void Prepare(const odbc::Handle& stmt, std::string text, std::string_view what) {
  stmt.Check(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS), what);
}

/// Executes a prepared procedure call and reads past every result it leaves (one per
/// parameter set), so the next execution starts clean.
void ExecuteAll(const odbc::Handle& stmt, std::string_view what) {
  SQLRETURN rc = SQLExecute(stmt.get());
  stmt.Check(rc, what);
  while (SQL_SUCCEEDED(rc)) {
    rc = SQLMoreResults(stmt.get());
    stmt.Check(rc, what);
  }
}

}  // namespace

struct TCentralDB::Statements {
  odbc::Handle mobiles;
  std::vector<MobileRow> mobileRows = std::vector<MobileRow>(MaxBatch);
  std::vector<SQLUSMALLINT> mobileStatus = std::vector<SQLUSMALLINT>(MaxBatch);
  SQLULEN mobilesProcessed = 0;
  odbc::Handle objects;
  ObjectRow objectRow{};

  Statements(const odbc::Connection& conn, const std::string& dbmsName, std::chrono::seconds timeout);
};

struct TCentralDB::Link {
  odbc::Connection conn;  ///< first, so that the statements go before it
  std::string dbmsName;
  std::string databaseName;
  std::unique_ptr<Statements> stmts;
};

TCentralDB::Statements::Statements(const odbc::Connection& conn, const std::string& dbmsName,
                                   std::chrono::seconds timeout)
    : mobiles(SQL_HANDLE_STMT, conn.get()), objects(SQL_HANDLE_STMT, conn.get()) {
  // Where the driver bounds a statement's wait for its answer; others refuse the
  // attribute and wait as long as the connection lasts.
  for (const odbc::Handle* stmt : {&mobiles, &objects})
    SQLSetStmtAttr(stmt->get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout.count())),
                   0);
  Prepare(mobiles, MobilesCallText(dbmsName), "preparing MOBILES_IU");
  mobiles.Check(SQLSetStmtAttr(mobiles.get(), SQL_ATTR_PARAM_BIND_TYPE,
                               reinterpret_cast<SQLPOINTER>(sizeof(MobileRow)), 0),
                "setting row-wise binding");
  mobiles.Check(SQLSetStmtAttr(mobiles.get(), SQL_ATTR_PARAM_STATUS_PTR, mobileStatus.data(), 0),
                "setting the parameter status array");
  mobiles.Check(SQLSetStmtAttr(mobiles.get(), SQL_ATTR_PARAMS_PROCESSED_PTR, &mobilesProcessed, 0),
                "setting the processed counter");
  MobileRow& r = mobileRows[0];
  Binder b(mobiles);
  b.Out(r.ret, SQL_C_SLONG, SQL_INTEGER, &r.retInd);
  b.Text(r.id, r.idInd);
  b.Double(r.lat);
  b.Double(r.lon);
  b.Double(r.speed);
  b.Int(r.az);
  b.Int(r.maxSpeed);
  b.Int(r.alt);
  b.Int(r.event);
  b.Int(r.eventValue);
  b.Int(r.valid);
  b.Int(r.navSystem);
  b.Int(r.navigationOld);
  b.Int(r.satCount);
  b.Double(r.power);
  b.Double(r.extPower);
  b.Double(r.odometer1);
  b.Double(r.odometer2);
  b.Int(r.keyId);
  b.Int(r.dlkp);
  b.Timestamp(r.utc, r.utcInd);
  b.Timestamp(r.gps, r.gpsInd);
  b.Timestamp(r.utcLocal, r.utcLocalInd);
  b.Timestamp(r.gpsLocal, r.gpsLocalInd);
  b.Timestamp(r.dt, r.dtInd);
  b.Int(r.mc);
  b.BigInt(r.flags);
  b.Int(r.gsmLevel);
  b.Int(r.lastSeconds);
  b.Int(r.lastValid);

  Prepare(objects, ObjectsCallText(dbmsName), "preparing OBJECTS_IU");
  Binder o(objects);
  o.Out(objectRow.ret, SQL_C_SLONG, SQL_INTEGER, &objectRow.retInd);
  o.Text(objectRow.id, objectRow.idInd);
  o.Text(objectRow.id2, objectRow.id2Ind);
}

std::string TCentralDB::MobilesCallText(const std::string& dbmsName) {
  const bool sqlServer = dbmsName.find("SQL Server") != std::string::npos;
  return std::string("{? = CALL MOBILES_IU") + (sqlServer ? ";1" : "") + "(" + ParamMarks(29) + ")}";
}

std::string TCentralDB::ObjectsCallText(const std::string& dbmsName) {
  const bool sqlServer = dbmsName.find("SQL Server") != std::string::npos;
  return std::string("{? = CALL OBJECTS_IU") + (sqlServer ? ";1" : "") + "(?, ?)}";
}

TCentralDB::TCentralDB(std::chrono::seconds timeout) : timeout_(timeout) {}
TCentralDB::~TCentralDB() { Close(); }

std::unique_ptr<TCentralDB::Link> TCentralDB::Connect(const std::string& connectionString,
                                                      std::chrono::seconds timeout) {
  auto link = std::make_unique<Link>();
  link->conn.Connect(connectionString, static_cast<SQLUINTEGER>(timeout.count()));
  link->conn.SetAutoCommit(false);
  link->dbmsName = link->conn.Info(SQL_DBMS_NAME);
  link->databaseName = link->conn.Info(SQL_DATABASE_NAME);
  link->stmts = std::make_unique<Statements>(link->conn, link->dbmsName, timeout);
  return link;
}

void TCentralDB::Open(const std::string& connectionString) {
  std::lock_guard lock(mutex_);
  DisconnectLocked();
  connectionString_ = connectionString;
  configured_ = true;
  ++logins_;
  link_ = Connect(connectionString_, timeout_);
  lost_ = false;
}

void TCentralDB::Reopen(std::stop_token stop) {
  std::uint64_t login = 0;
  std::string connectionString;
  {
    std::lock_guard lock(mutex_);
    if (!configured_) throw std::logic_error("the central database was never opened");
    // Start-up may have connected since the caller saw the connection down.
    if (link_ && !lost_) return;
    DisconnectLocked();
    login = logins_;
    connectionString = connectionString_;
  }
  auto link = RunUnlessStopped(stop, [connectionString, timeout = timeout_] { return Connect(connectionString, timeout); });
  if (!link) throw odbc::Error("connecting: stopped", "08001", true);
  std::lock_guard lock(mutex_);
  // Opened or closed meanwhile: that login stands, this connection goes.
  if (login != logins_ || link_) return;
  link_ = std::move(*link);
  lost_ = false;
}

bool TCentralDB::Configured() const {
  std::lock_guard lock(mutex_);
  return configured_;
}

void TCentralDB::DisconnectLocked() noexcept { link_.reset(); }

void TCentralDB::Close() noexcept {
  std::lock_guard lock(mutex_);
  DisconnectLocked();
  connectionString_.clear();
  configured_ = false;
  lost_ = false;
  ++logins_;
}

bool TCentralDB::Connected() const {
  std::lock_guard lock(mutex_);
  return link_ && !lost_;
}

std::string TCentralDB::DatabaseName() const {
  std::lock_guard lock(mutex_);
  return link_ ? link_->databaseName : std::string();
}

std::string TCentralDB::DbmsName() const {
  std::lock_guard lock(mutex_);
  return link_ ? link_->dbmsName : std::string();
}

void TCentralDB::RequireConnected() const {
  if (!link_ || lost_) throw odbc::Error("the central database is not connected", "08003", true);
}

template <class F>
void TCentralDB::Guard(F&& body) {
  RequireConnected();
  try {
    body();
  } catch (const odbc::Error& e) {
    // Not every driver reports a broken link with a connection SQLSTATE; ask it too,
    // so that records are kept rather than dropped as rejected.
    if (e.ConnectionLost() || link_->conn.IsDead()) {
      lost_ = true;
      if (!e.ConnectionLost()) throw odbc::Error(e.what(), e.SqlState(), true);
    }
    throw;
  }
}

void TCentralDB::StartTransaction() {
  // Auto-commit is off for good: the driver opens a transaction with the next statement.
  std::lock_guard lock(mutex_);
  RequireConnected();
}

void TCentralDB::Commit() {
  std::lock_guard lock(mutex_);
  Guard([&] { link_->conn.Commit(); });
}

void TCentralDB::Rollback() noexcept {
  std::lock_guard lock(mutex_);
  if (!link_) return;
  try {
    link_->conn.Rollback();
  } catch (const odbc::Error& e) {
    if (e.ConnectionLost()) lost_ = true;
  }
}

void TCentralDB::CallMobiles(std::span<const TMobile> mobiles) {
  std::lock_guard lock(mutex_);
  Guard([&] {
    Statements& s = *link_->stmts;
    const SQLHSTMT h = s.mobiles.get();
    std::size_t i = 0;
    while (i < mobiles.size()) {
      std::size_t n = 0;
      for (; i < mobiles.size() && n < MaxBatch; ++i) {
        if (!(mobiles[i].UTC > 0)) continue;
        FillRow(s.mobileRows[n++], mobiles[i]);
      }
      if (n == 0) break;
      s.mobiles.Check(SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(n), 0),
                      "setting the parameter set size");
      const CursorCloser closer{h};
      ExecuteAll(s.mobiles, "MOBILES_IU");
      for (std::size_t k = 0; k < n && k < s.mobilesProcessed; ++k) {
        if (s.mobileStatus[k] == SQL_PARAM_ERROR)
          throw odbc::Error("MOBILES_IU: parameter set failed", "HY000", false);
      }
    }
  });
}

void TCentralDB::CallObject(const TMobile& mobile) {
  std::lock_guard lock(mutex_);
  Guard([&] {
    Statements& s = *link_->stmts;
    const SQLHSTMT h = s.objects.get();
    s.objectRow.ret = 0;
    SetText(s.objectRow.id, s.objectRow.idInd, mobile.ID.view());
    SetText(s.objectRow.id2, s.objectRow.id2Ind, mobile.ID2.view());
    const CursorCloser closer{h};
    ExecuteAll(s.objects, "OBJECTS_IU");
  });
}

void TCentralDB::WriteTransaction(std::span<const TMobile> mobiles) {
  CentralTransaction transaction(*this);
  std::size_t i = 0;
  while (i < mobiles.size()) {
    if (mobiles[i].FNotForMainTable) {
      CallObject(mobiles[i++]);
      continue;
    }
    std::size_t j = i;
    while (j < mobiles.size() && !mobiles[j].FNotForMainTable) ++j;
    CallMobiles(mobiles.subspan(i, j - i));
    i = j;
  }
  transaction.Commit();
}

}  // namespace telvaro
