#include "dbwriter/PgCentralDB.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "base/OneLine.h"
#include "dbwriter/MobileCall.h"
#include "dbwriter/UnlessStopped.h"

namespace telvaro {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* MobilesStatement = "mobiles_iu";
constexpr const char* ObjectsStatement = "objects_iu";

// Type OIDs of PostgreSQL's built-in types, fixed by the server.
constexpr Oid VarcharOid = 1043;
constexpr Oid Int4Oid = 23;
constexpr Oid Int8Oid = 20;
constexpr Oid Float8Oid = 701;
constexpr Oid TimestampOid = 1114;

constexpr int MobileParams = 29;
constexpr Oid MobileTypes[MobileParams] = {
    VarcharOid,                                                   // id
    Float8Oid,  Float8Oid,    Float8Oid,                          // lat, lon, speed
    Int4Oid,    Int4Oid,      Int4Oid,   Int4Oid, Int4Oid,        // az, maxspeed, alt, a_event, event_value
    Int4Oid,    Int4Oid,      Int4Oid,   Int4Oid,                 // valid, navsystem, navigationold, satcount
    Float8Oid,  Float8Oid,    Float8Oid, Float8Oid,               // a_power, extpower, odometer1, odometer2
    Int4Oid,    Int4Oid,                                          // keyid, dlkp
    TimestampOid, TimestampOid, TimestampOid, TimestampOid, TimestampOid,  // utcdate .. dt
    Int4Oid,    Int8Oid,      Int4Oid,   Int4Oid, Int4Oid,        // mc, flags, gsm_level, last_seconds, last_valid
};
constexpr Oid ObjectTypes[2] = {VarcharOid, VarcharOid};

// Every parameter goes in the binary format: no number is printed and parsed again,
// so doubles arrive bit for bit.
constexpr std::array<int, MobileParams> BinaryFormats = [] {
  std::array<int, MobileParams> a{};
  a.fill(1);
  return a;
}();

/// PostgreSQL's binary timestamp: microseconds since 2000-01-01 00:00.
std::int64_t TimestampMicros(const DateTimeParts& p) {
  using namespace std::chrono;
  const sys_days date = year{p.year} / month{static_cast<unsigned>(p.month)} / day{static_cast<unsigned>(p.day)};
  const std::int64_t days = (date - sys_days{year{2000} / January / 1}).count();
  const std::int64_t seconds = (static_cast<std::int64_t>(p.hour) * 60 + p.minute) * 60 + p.second;
  return (days * 86'400 + seconds) * 1'000'000 + static_cast<std::int64_t>(p.msec) * 1'000;
}

/// The values of one call in the binary format, in network byte order.
template <int N>
class BinaryParams {
 public:
  const char* const* values() const noexcept { return values_.data(); }
  const int* lengths() const noexcept { return lengths_.data(); }

  void Text(std::string_view v) {
    // A null pointer would send SQL null; an empty text is not null.
    Set(v.empty() ? "" : v.data(), static_cast<int>(v.size()));
  }
  void Int4(std::int32_t v) { Put(static_cast<std::uint32_t>(v), 4); }
  void Int8(std::int64_t v) { Put(static_cast<std::uint64_t>(v), 8); }
  void Float8(double v) { Put(std::bit_cast<std::uint64_t>(v), 8); }
  void Timestamp(const std::optional<DateTimeParts>& v) {
    if (v) Int8(TimestampMicros(*v));
    else Set(nullptr, 0);
  }

 private:
  void Put(std::uint64_t v, int bytes) {
    char* at = storage_.data() + used_;
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>(v >> (8 * (bytes - 1 - i)));
    used_ += static_cast<std::size_t>(bytes);
    Set(at, bytes);
  }
  void Set(const char* value, int length) {
    values_[n_] = value;
    lengths_[n_] = length;
    ++n_;
  }

  std::array<const char*, N> values_{};
  std::array<int, N> lengths_{};
  std::array<char, 8 * N> storage_{};
  std::size_t used_ = 0;
  std::size_t n_ = 0;
};

struct ResultClear {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

void IgnoreNotice(void*, const char*) {}

std::string Field(const PGresult* r, int field) {
  const char* v = PQresultErrorField(r, field);
  return v ? v : "";
}

}  // namespace

PgCentralDB::PgCentralDB(std::chrono::seconds timeout) : timeout_(timeout) {}

PgCentralDB::~PgCentralDB() { Close(); }

void PgCentralDB::Open(const DbLogin& login) {
  std::lock_guard lock(mutex_);
  DisconnectLocked();
  login_ = login;
  configured_ = true;
  ++logins_;
  PrepareLocked(Login(login_, timeout_));
}

void PgCentralDB::Reopen(std::stop_token stop) {
  std::uint64_t logins = 0;
  DbLogin login;
  {
    std::lock_guard lock(mutex_);
    if (!configured_) throw std::logic_error("the central database was never opened");
    // Start-up may have connected since the caller saw the connection down.
    if (AliveLocked()) return;
    DisconnectLocked();
    logins = logins_;
    login = login_;
  }
  auto conn = RunUnlessStopped(stop, [login, timeout = timeout_] { return Login(login, timeout); });
  if (!conn) throw DatabaseError("connecting: stopped", "08001", true);
  std::lock_guard lock(mutex_);
  // Opened or closed meanwhile: that login stands, this connection goes.
  if (logins != logins_ || conn_) return;
  PrepareLocked(std::move(*conn));
}

bool PgCentralDB::Configured() const {
  std::lock_guard lock(mutex_);
  return configured_;
}

void PgCentralDB::Close() noexcept {
  std::lock_guard lock(mutex_);
  DisconnectLocked();
  login_ = {};
  configured_ = false;
  lost_ = false;
  ++logins_;
}

bool PgCentralDB::Connected() const {
  std::lock_guard lock(mutex_);
  return AliveLocked();
}

std::string PgCentralDB::DatabaseName() const {
  std::lock_guard lock(mutex_);
  return databaseName_;
}

PgCentralDB::Conn PgCentralDB::Login(const DbLogin& login, std::chrono::seconds timeout) {
  const std::string seconds = std::to_string(timeout.count());
  std::vector<const char*> keys{"fallback_application_name", "connect_timeout"};
  std::vector<const char*> values{"telvaroserver", seconds.c_str()};
  if (!login.user.empty()) {
    keys.push_back("user");
    values.push_back(login.user.c_str());
  }
  if (!login.password.empty()) {
    keys.push_back("password");
    values.push_back(login.password.c_str());
  }
  // Last, and expanded into its own keys: what the connection string says wins.
  keys.push_back("dbname");
  values.push_back(login.connectionString.c_str());
  keys.push_back(nullptr);
  values.push_back(nullptr);

  Conn conn(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!conn) throw DatabaseError("connecting: out of memory", "08001", true);
  if (PQstatus(conn.get()) != CONNECTION_OK)
    throw DatabaseError("connecting: " + OneLine(PQerrorMessage(conn.get())), "08001", true);
  return conn;
}

void PgCentralDB::PrepareLocked(Conn conn) {
  conn_ = std::move(conn);
  try {
    PGconn* c = conn_.get();
    // Notices would go to standard error, into the operator's console.
    PQsetNoticeProcessor(c, IgnoreNotice, nullptr);
    if (PQsetnonblocking(c, 1) != 0 || PQenterPipelineMode(c) != 1 ||
        PQsendPrepare(c, MobilesStatement, MobilesQuery, MobileParams, MobileTypes) != 1 ||
        PQsendPrepare(c, ObjectsStatement, ObjectsQuery, 2, ObjectTypes) != 1 || PQpipelineSync(c) != 1)
      throw DatabaseError("preparing the calls: " + OneLine(PQerrorMessage(c)), "08006", true);
    static constexpr const char* Labels[] = {"preparing MOBILES_IU", "preparing OBJECTS_IU"};
    AwaitSync(Labels);
    databaseName_ = PQdb(c);
    lost_ = false;
  } catch (...) {
    DisconnectLocked();
    throw;
  }
}

void PgCentralDB::DisconnectLocked() noexcept {
  conn_.reset();
  databaseName_.clear();
}

bool PgCentralDB::AliveLocked() const {
  if (!conn_ || lost_) return false;
  PGconn* c = conn_.get();
  // Between transactions nothing is expected: what arrives is the server ending the
  // session, and reading it finds the end of the connection.
  pollfd p{PQsocket(c), POLLIN, 0};
  if (p.fd < 0 || (poll(&p, 1, 0) > 0 && PQconsumeInput(c) == 0) || PQstatus(c) != CONNECTION_OK) lost_ = true;
  return !lost_;
}

DatabaseError PgCentralDB::LostLocked(const std::string& message) {
  lost_ = true;
  DisconnectLocked();
  return DatabaseError(message, "08006", true);
}

void PgCentralDB::SendMobile(const TMobile& mobile) {
  const MobileCall c = MobileCallOf(mobile);
  BinaryParams<MobileParams> p;
  p.Text(c.id);
  p.Float8(c.lat);
  p.Float8(c.lon);
  p.Float8(c.speed);
  p.Int4(c.az);
  p.Int4(c.maxSpeed);
  p.Int4(c.alt);
  p.Int4(c.event);
  p.Int4(c.eventValue);
  p.Int4(c.valid);
  p.Int4(c.navSystem);
  p.Int4(c.navigationOld);
  p.Int4(c.satCount);
  p.Float8(c.power);
  p.Float8(c.extPower);
  p.Float8(c.odometer1);
  p.Float8(c.odometer2);
  p.Int4(c.keyId);
  p.Int4(c.dlkp);
  p.Timestamp(c.utcDate);
  p.Timestamp(c.gpsDate);
  p.Timestamp(c.utcLocal);
  p.Timestamp(c.gpsLocal);
  p.Timestamp(c.dt);
  p.Int4(c.mc);
  p.Int8(c.flags);
  p.Int4(c.gsmLevel);
  p.Int4(c.lastSeconds);
  p.Int4(c.lastValid);
  PGconn* conn = conn_.get();
  if (PQsendQueryPrepared(conn, MobilesStatement, MobileParams, p.values(), p.lengths(), BinaryFormats.data(), 0) != 1)
    throw LostLocked("MOBILES_IU: " + OneLine(PQerrorMessage(conn)));
}

void PgCentralDB::SendObject(const TMobile& mobile) {
  BinaryParams<2> p;
  p.Text(mobile.ID.view());
  p.Text(mobile.ID2.view());
  PGconn* conn = conn_.get();
  if (PQsendQueryPrepared(conn, ObjectsStatement, 2, p.values(), p.lengths(), BinaryFormats.data(), 0) != 1)
    throw LostLocked("OBJECTS_IU: " + OneLine(PQerrorMessage(conn)));
}

void PgCentralDB::WriteTransaction(std::span<const TMobile> mobiles) {
  std::lock_guard lock(mutex_);
  if (!AliveLocked()) throw DatabaseError("the central database is not connected", "08003", true);
  labels_.clear();
  for (const TMobile& m : mobiles) {
    if (m.FNotForMainTable) {
      SendObject(m);
      labels_.push_back("OBJECTS_IU");
    } else if (m.UTC > 0) {
      SendMobile(m);
      labels_.push_back("MOBILES_IU");
    }
  }
  if (labels_.empty()) return;
  if (PQpipelineSync(conn_.get()) != 1) throw LostLocked("ending the transaction: " + OneLine(PQerrorMessage(conn_.get())));
  AwaitSync(labels_);
}

void PgCentralDB::AwaitSync(std::span<const char* const> labels) {
  PGconn* c = conn_.get();
  const auto deadline = Clock::now() + timeout_;
  std::optional<DatabaseError> failure;
  std::size_t call = 0;  // the call whose answers come next
  bool ended = false;    // the last thing read ended a call's answers
  for (;;) {
    const int unsent = PQflush(c);
    if (unsent < 0) throw LostLocked("sending: " + OneLine(PQerrorMessage(c)));
    while (PQisBusy(c) == 0) {
      const Result r(PQgetResult(c));
      if (!r) {
        // Two ends in a row: libpq has nothing more to give, and the sync never came.
        if (ended) throw LostLocked("the answers ended early: " + OneLine(PQerrorMessage(c)));
        ended = true;
        ++call;
        continue;
      }
      ended = false;
      const ExecStatusType status = PQresultStatus(r.get());
      if (status == PGRES_PIPELINE_SYNC) {
        if (failure) throw *failure;
        return;
      }
      if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK || status == PGRES_PIPELINE_ABORTED) continue;
      // The first failure is the one to report; the calls after it were skipped.
      const std::string state = Field(r.get(), PG_DIAG_SQLSTATE);
      std::string text = Field(r.get(), PG_DIAG_MESSAGE_PRIMARY);
      if (text.empty()) text = PQresultErrorMessage(r.get());
      const std::string message =
          std::string(labels[std::min(call, labels.size() - 1)]) + ": [" + state + "] " + OneLine(text);
      if (IsConnectionState(state) || PQstatus(c) != CONNECTION_OK) throw LostLocked(message);
      if (!failure) failure.emplace(message, state, false);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      throw LostLocked("no answer from the database within " + std::to_string(timeout_.count()) + " s");
    pollfd p{PQsocket(c), static_cast<short>(POLLIN | (unsent == 1 ? POLLOUT : 0)), 0};
    if (p.fd < 0) throw LostLocked("the connection has no socket");
    const int ready = poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60'000)));
    if (ready < 0 && errno != EINTR) throw LostLocked(std::string("waiting for the database: ") + std::strerror(errno));
    if (ready > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && PQconsumeInput(c) == 0)
      throw LostLocked("reading: " + OneLine(PQerrorMessage(c)));
  }
}

}  // namespace telvaro
