#pragma once
// Small RAII wrappers over libpq for the task database: a connection whose connect and
// every statement wait at most until a deadline (and can be woken to give up), binary
// parameters, and binary rows read by column. None of them locks: the owner serialises
// every use of one connection.

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro::pg {

using Clock = std::chrono::steady_clock;
using SystemTime = std::chrono::system_clock::time_point;

/// A failed connect or statement. `lost` says the connection is no longer usable.
class Error : public std::runtime_error {
 public:
  Error(const std::string& message, bool lost) : std::runtime_error(message), lost_(lost) {}
  bool Lost() const noexcept { return lost_; }

 private:
  bool lost_;
};

/// Type numbers of PostgreSQL's built-in types, fixed by the server.
inline constexpr Oid BoolOid = 16, ByteaOid = 17, Int8Oid = 20, Int4Oid = 23, TextOid = 25, Float8Oid = 701,
                     TimestampOid = 1114, TimestamptzOid = 1184;

/// Microseconds since 2000-01-01 00:00, PostgreSQL's binary date-time.
std::int64_t PgMicros(SystemTime t) noexcept;
SystemTime FromPgMicros(std::int64_t micros) noexcept;

/// The values of one statement, all in the binary format. Text and bytes are not
/// copied: they must outlive the statement's execution.
class Params {
 public:
  Params& Bytes(std::string_view v);
  Params& Text(std::string_view v);
  Params& Int4(std::int32_t v);
  Params& Int8(std::int64_t v);
  Params& Float8(double v);
  Params& Bool(bool v);
  /// A timestamptz, or null.
  Params& Time(std::optional<SystemTime> v);
  /// A timestamp without time zone from its binary value.
  Params& TimestampMicros(std::int64_t micros);

  int Count() const noexcept { return static_cast<int>(items_.size()); }
  /// The arrays libpq takes; valid until the next change.
  void Arrays(std::vector<Oid>& types, std::vector<const char*>& values, std::vector<int>& lengths,
              std::vector<int>& formats) const;

 private:
  struct Item {
    Oid type;
    const char* data;  ///< null: SQL null, or the number at `number`
    int length;
    int number;        ///< index into numbers_, or -1
  };
  void Number(Oid type, std::uint64_t v, int width);

  std::vector<Item> items_;
  std::vector<std::uint64_t> numbers_;  ///< big-endian images
};

/// The rows of a statement's result, in the binary format.
class Rows {
 public:
  explicit Rows(PGresult* r) noexcept : r_(r) {}

  int Count() const noexcept { return PQntuples(r_.get()); }
  bool Null(int row, int col) const noexcept { return PQgetisnull(r_.get(), row, col) != 0; }
  /// An integer column of 2, 4 or 8 bytes; 0 when null.
  std::int64_t Int(int row, int col) const noexcept;
  double Float8(int row, int col) const noexcept;
  bool Bool(int row, int col) const noexcept;
  /// Bytes or text, valid while this object lives.
  std::string_view Bytes(int row, int col) const noexcept;
  /// Rows changed by an INSERT, UPDATE or DELETE.
  int Affected() const noexcept;

 private:
  struct Clear {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
  };
  std::unique_ptr<PGresult, Clear> r_;
};

/// One connection. Every wait ends at its deadline or when `wake` (a descriptor, or -1)
/// becomes readable; either loses the connection.
class Connection {
 public:
  /// Connects with the libpq connection string; throws Error.
  Connection(const std::string& conninfo, Clock::time_point deadline, int wake = -1);

  /// Runs one statement and returns its rows; throws Error.
  Rows Exec(std::string_view sql, const Params& params, Clock::time_point deadline);
  /// Runs statements that take no parameters and whose rows are not read; throws Error.
  void ExecScript(std::string_view sql, Clock::time_point deadline);
  /// Prepares `sql` under `name` for ExecPrepared; throws Error.
  void Prepare(const char* name, std::string_view sql, Clock::time_point deadline);
  Rows ExecPrepared(const char* name, const Params& params, Clock::time_point deadline);

  /// Waits from now on end only at their deadline (`wake` -1) or also on `wake`.
  void SetWake(int wake) noexcept { wake_ = wake; }
  /// True until a statement found the connection broken.
  bool Ok() const noexcept;
  /// The socket, for waiting on notifications.
  int Socket() const noexcept { return PQsocket(conn_.get()); }
  /// Reads what arrived; false when the connection broke.
  bool ConsumeInput() noexcept;
  /// The payload of the next notification received, if any.
  std::optional<std::string> NextNotification();
  /// `name` quoted as an identifier.
  std::string QuoteIdentifier(std::string_view name) const;

 private:
  /// Sends what libpq holds and waits for the result; returns the last one.
  Rows Await(Clock::time_point deadline);
  /// Waits until the socket is ready for one of `events`; throws Error at the deadline.
  void Wait(short events, Clock::time_point deadline);
  [[noreturn]] void Lose(const std::string& message);

  struct Finish {
    void operator()(PGconn* c) const noexcept { PQfinish(c); }
  };
  std::unique_ptr<PGconn, Finish> conn_;
  int wake_;
  bool lost_ = false;
};

}  // namespace telvaro::pg
