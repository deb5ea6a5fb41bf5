#include "tasks/Pg.h"

#include <poll.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "base/ByteOrder.h"
#include "base/OneLine.h"

namespace telvaro::pg {
namespace {

/// 2000-01-01 00:00 UTC in Unix seconds.
constexpr std::int64_t PgEpochUnix = 946684800;

void IgnoreNotice(void*, const char*) {}

/// The server's own message of a failed statement, without severity or context.
std::string StatementError(const PGresult* r, PGconn* c) {
  if (r) {
    if (const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY)) return primary;
    if (const char* m = PQresultErrorMessage(r); m && *m) return OneLine(m);
  }
  return OneLine(PQerrorMessage(c));
}

}  // namespace

std::int64_t PgMicros(SystemTime t) noexcept {
  using namespace std::chrono;
  return duration_cast<microseconds>(t.time_since_epoch()).count() - PgEpochUnix * 1'000'000;
}

SystemTime FromPgMicros(std::int64_t micros) noexcept {
  using namespace std::chrono;
  return SystemTime(duration_cast<system_clock::duration>(microseconds(micros + PgEpochUnix * 1'000'000)));
}

Params& Params::Bytes(std::string_view v) {
  // A null pointer would send SQL null; empty bytes are not null.
  items_.push_back({ByteaOid, v.empty() ? "" : v.data(), static_cast<int>(v.size()), -1});
  return *this;
}

Params& Params::Text(std::string_view v) {
  items_.push_back({TextOid, v.empty() ? "" : v.data(), static_cast<int>(v.size()), -1});
  return *this;
}

Params& Params::Int4(std::int32_t v) {
  Number(Int4Oid, static_cast<std::uint32_t>(v), 4);
  return *this;
}

Params& Params::Int8(std::int64_t v) {
  Number(Int8Oid, static_cast<std::uint64_t>(v), 8);
  return *this;
}

Params& Params::Float8(double v) {
  Number(Float8Oid, std::bit_cast<std::uint64_t>(v), 8);
  return *this;
}

Params& Params::Bool(bool v) {
  Number(BoolOid, v ? 1 : 0, 1);
  return *this;
}

Params& Params::Time(std::optional<SystemTime> v) {
  if (v) Number(TimestamptzOid, static_cast<std::uint64_t>(PgMicros(*v)), 8);
  else items_.push_back({TimestamptzOid, nullptr, 0, -1});
  return *this;
}

Params& Params::TimestampMicros(std::int64_t micros) {
  Number(TimestampOid, static_cast<std::uint64_t>(micros), 8);
  return *this;
}

void Params::Number(Oid type, std::uint64_t v, int width) {
  // Stored as the big-endian bytes the server reads, at the start of the word.
  std::uint64_t image = 0;
  auto* p = reinterpret_cast<std::uint8_t*>(&image);
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
  items_.push_back({type, nullptr, width, static_cast<int>(numbers_.size())});
  numbers_.push_back(image);
}

void Params::Arrays(std::vector<Oid>& types, std::vector<const char*>& values, std::vector<int>& lengths,
                    std::vector<int>& formats) const {
  types.clear();
  values.clear();
  lengths.clear();
  formats.assign(items_.size(), 1);
  for (const Item& i : items_) {
    types.push_back(i.type);
    values.push_back(i.number >= 0 ? reinterpret_cast<const char*>(&numbers_[static_cast<std::size_t>(i.number)])
                                   : i.data);
    lengths.push_back(i.length);
  }
}

std::int64_t Rows::Int(int row, int col) const noexcept {
  if (Null(row, col)) return 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(PQgetvalue(r_.get(), row, col));
  switch (PQgetlength(r_.get(), row, col)) {
    case 2: return static_cast<std::int16_t>(LoadBE<std::uint16_t>(p));
    case 4: return static_cast<std::int32_t>(LoadBE<std::uint32_t>(p));
    case 8: return static_cast<std::int64_t>(LoadBE<std::uint64_t>(p));
    default: return 0;
  }
}

double Rows::Float8(int row, int col) const noexcept {
  if (Null(row, col) || PQgetlength(r_.get(), row, col) != 8) return 0;
  return std::bit_cast<double>(LoadBE<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(PQgetvalue(r_.get(), row, col))));
}

bool Rows::Bool(int row, int col) const noexcept {
  return !Null(row, col) && PQgetlength(r_.get(), row, col) == 1 && PQgetvalue(r_.get(), row, col)[0] != 0;
}

std::string_view Rows::Bytes(int row, int col) const noexcept {
  if (Null(row, col)) return {};
  return {PQgetvalue(r_.get(), row, col), static_cast<std::size_t>(PQgetlength(r_.get(), row, col))};
}

int Rows::Affected() const noexcept {
  const char* n = PQcmdTuples(r_.get());
  return n && *n ? std::atoi(n) : 0;
}

Connection::Connection(const std::string& conninfo, Clock::time_point deadline, int wake) : wake_(wake) {
  const char* keys[] = {"fallback_application_name", "dbname", nullptr};
  const char* values[] = {"telvaroserver", conninfo.c_str(), nullptr};
  conn_.reset(PQconnectStartParams(keys, values, 1));
  if (!conn_) throw Error("connecting: out of memory", true);
  if (PQstatus(conn_.get()) == CONNECTION_BAD) Lose("connecting: " + OneLine(PQerrorMessage(conn_.get())));
  // Until the first poll, libpq waits to write.
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) Lose("connecting: " + OneLine(PQerrorMessage(conn_.get())));
    Wait(state == PGRES_POLLING_WRITING ? POLLOUT : POLLIN, deadline);
    state = PQconnectPoll(conn_.get());
  }
  // Notices would go to standard error, into the operator's console.
  PQsetNoticeProcessor(conn_.get(), IgnoreNotice, nullptr);
  if (PQsetnonblocking(conn_.get(), 1) != 0) Lose("connecting: " + OneLine(PQerrorMessage(conn_.get())));
}

Rows Connection::Exec(std::string_view sql, const Params& params, Clock::time_point deadline) {
  if (lost_) throw Error("the connection was lost", true);
  const std::string text(sql);
  std::vector<Oid> types;
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  params.Arrays(types, values, lengths, formats);
  if (PQsendQueryParams(conn_.get(), text.c_str(), params.Count(), types.data(), values.data(), lengths.data(),
                        formats.data(), 1) != 1)
    Lose(OneLine(PQerrorMessage(conn_.get())));
  return Await(deadline);
}

void Connection::ExecScript(std::string_view sql, Clock::time_point deadline) {
  if (lost_) throw Error("the connection was lost", true);
  const std::string text(sql);
  if (PQsendQuery(conn_.get(), text.c_str()) != 1) Lose(OneLine(PQerrorMessage(conn_.get())));
  Await(deadline);
}

void Connection::Prepare(const char* name, std::string_view sql, Clock::time_point deadline) {
  if (lost_) throw Error("the connection was lost", true);
  const std::string text(sql);
  if (PQsendPrepare(conn_.get(), name, text.c_str(), 0, nullptr) != 1) Lose(OneLine(PQerrorMessage(conn_.get())));
  Await(deadline);
}

Rows Connection::ExecPrepared(const char* name, const Params& params, Clock::time_point deadline) {
  if (lost_) throw Error("the connection was lost", true);
  std::vector<Oid> types;
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  params.Arrays(types, values, lengths, formats);
  if (PQsendQueryPrepared(conn_.get(), name, params.Count(), values.data(), lengths.data(), formats.data(), 1) != 1)
    Lose(OneLine(PQerrorMessage(conn_.get())));
  return Await(deadline);
}

Rows Connection::Await(Clock::time_point deadline) {
  PGconn* c = conn_.get();
  for (;;) {
    const int flushed = PQflush(c);
    if (flushed < 0) Lose(OneLine(PQerrorMessage(c)));
    if (flushed == 0) break;
    // The server may answer while the rest is still being sent.
    Wait(POLLOUT | POLLIN, deadline);
    if (PQconsumeInput(c) != 1) Lose(OneLine(PQerrorMessage(c)));
  }
  PGresult* last = nullptr;
  std::string error;
  for (;;) {
    while (PQisBusy(c)) {
      Wait(POLLIN, deadline);
      if (PQconsumeInput(c) != 1) {
        PQclear(last);
        Lose(OneLine(PQerrorMessage(c)));
      }
    }
    PGresult* r = PQgetResult(c);
    if (!r) break;
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && error.empty()) error = StatementError(r, c);
    PQclear(last);
    last = r;
  }
  if (PQstatus(c) != CONNECTION_OK) {
    PQclear(last);
    Lose(error.empty() ? OneLine(PQerrorMessage(c)) : error);
  }
  if (!error.empty()) {
    PQclear(last);
    throw Error(error, false);
  }
  if (!last) throw Error("no result", false);
  return Rows(last);
}

void Connection::Wait(short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) Lose("no answer from the task database in time");
    pollfd fds[2] = {{PQsocket(conn_.get()), events, 0}, {wake_, POLLIN, 0}};
    const int n = ::poll(fds, wake_ >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && errno != EINTR) Lose(std::string("waiting for the task database: ") + std::strerror(errno));
    if (n <= 0) continue;
    if (wake_ >= 0 && fds[1].revents != 0) Lose("closing");
    if (fds[0].revents != 0) return;
  }
}

void Connection::Lose(const std::string& message) {
  lost_ = true;
  throw Error(message, true);
}

bool Connection::Ok() const noexcept { return !lost_ && PQstatus(conn_.get()) == CONNECTION_OK; }

bool Connection::ConsumeInput() noexcept {
  if (lost_ || PQconsumeInput(conn_.get()) != 1 || PQstatus(conn_.get()) != CONNECTION_OK) lost_ = true;
  return !lost_;
}

std::optional<std::string> Connection::NextNotification() {
  PGnotify* n = PQnotifies(conn_.get());
  if (!n) return std::nullopt;
  std::string payload = n->extra ? n->extra : "";
  PQfreemem(n);
  return payload;
}

std::string Connection::QuoteIdentifier(std::string_view name) const {
  char* quoted = PQescapeIdentifier(conn_.get(), name.data(), name.size());
  if (!quoted) throw Error(OneLine(PQerrorMessage(conn_.get())), false);
  std::string r = quoted;
  PQfreemem(quoted);
  return r;
}

}  // namespace telvaro::pg
