#pragma once
// What the database writer needs of the central database, whichever client library
// carries the connection (ODBC or libpq), and the error both throw.

#include <chrono>
#include <memory>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "dbwriter/TelemetryRecord.h"
#include "base/Settings.h"

namespace telvaro {

/// A database call that failed: the message for the log, the SQLSTATE, and whether
/// the connection itself failed (so the call may succeed on a new one).
class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(const std::string& message, std::string sqlState, bool connectionLost)
      : std::runtime_error(message), sqlState_(std::move(sqlState)), connectionLost_(connectionLost) {}

  /// SQLSTATE of the failure ("" when there was none).
  const std::string& SqlState() const noexcept { return sqlState_; }
  /// True when the connection itself failed, so the statement may succeed on a new one.
  bool ConnectionLost() const noexcept { return connectionLost_; }

 private:
  std::string sqlState_;
  bool connectionLost_;
};

/// True for the SQLSTATEs of a connection that broke or was ended by the server.
bool IsConnectionState(std::string_view sqlState) noexcept;

/// The central database connection the writer thread uses. Every member is
/// thread-safe; in running the writer thread is its only user, start-up and shutdown
/// aside.
class CentralDatabase {
 public:
  virtual ~CentralDatabase() = default;

  /// Connects with `login` and keeps it for Reopen; throws DatabaseError (the login
  /// is kept even then, so a later Reopen can succeed).
  virtual void Open(const DbLogin& login) = 0;
  /// Connects again with the kept login, dropping a broken connection first (nothing
  /// when connected); throws DatabaseError, or std::logic_error when Open was never
  /// called. A stop requested through `stop` cuts the login short: it then throws a
  /// DatabaseError at once.
  virtual void Reopen(std::stop_token stop = {}) = 0;
  /// True once Open was called and until Close.
  virtual bool Configured() const = 0;
  /// Disconnects (an open transaction is rolled back) and forgets the login.
  virtual void Close() noexcept = 0;

  /// True while open and no call has found the connection broken.
  virtual bool Connected() const = 0;
  /// The name of the database connected to ("" when not connected).
  virtual std::string DatabaseName() const = 0;

  /// Writes `mobiles` in one transaction, in order: OBJECTS_IU for each object with
  /// FNotForMainTable, MOBILES_IU for each other one with UTC > 0. All or nothing:
  /// throws DatabaseError when anything failed, and then nothing was stored.
  virtual void WriteTransaction(std::span<const TMobile> mobiles) = 0;

  /// One position in its own transaction: nothing when disconnected or for UTC <= 0;
  /// throws the DatabaseError of a failed write.
  void AddMobile(const TMobile& mobile);
  /// OBJECTS_IU for one object in its own transaction when connected; an error is dropped.
  void AddObject(const TMobile& mobile) noexcept;

 protected:
  CentralDatabase() = default;
  CentralDatabase(const CentralDatabase&) = delete;
  CentralDatabase& operator=(const CentralDatabase&) = delete;
};

/// A connection, not yet opened, for a login written for `client`. `timeout` bounds
/// a login and the wait for a transaction's answer where the client can bound them.
std::unique_ptr<CentralDatabase> MakeCentralDatabase(DbClient client, std::chrono::seconds timeout);

}  // namespace telvaro
