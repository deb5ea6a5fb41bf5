#pragma once
// The connection `DB` to the central database over ODBC and the two stored-procedure
// calls, MOBILES_IU and OBJECTS_IU, with every parameter bound with its type.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>

#include "dbwriter/CentralDatabase.h"
#include "dbwriter/Odbc.h"
#include "dbwriter/TelemetryRecord.h"

namespace telvaro {

/// The central database connection over ODBC. Errors are odbc::Error.
class TCentralDB final : public CentralDatabase {
 public:
  static constexpr std::size_t MaxBatch = 500;     ///< parameter sets sent in one execution

  /// `timeout` bounds a login, every other request on the connection and every
  /// statement, where the driver supports these time-outs.
  explicit TCentralDB(std::chrono::seconds timeout = std::chrono::seconds(30));
  ~TCentralDB() override;

  /// Connects with `connectionString` and keeps it for Reopen (as Open of a login).
  void Open(const std::string& connectionString);
  void Open(const DbLogin& login) override { Open(login.connectionString); }
  /// The login runs on a thread of its own, which a stop leaves behind: a driver's
  /// login cannot be interrupted.
  void Reopen(std::stop_token stop = {}) override;
  bool Configured() const override;
  void Close() noexcept override;

  bool Connected() const override;
  std::string DatabaseName() const override;
  /// The server product's name, e.g. "PostgreSQL" or "Microsoft SQL Server".
  std::string DbmsName() const;

  void StartTransaction();
  void Commit();
  /// Rolls back; errors are dropped (the connection may be the reason for the rollback).
  void Rollback() noexcept;

  /// MOBILES_IU for each object with UTC > 0, inside the caller's transaction, in
  /// executions of up to MaxBatch parameter sets. Throws odbc::Error.
  void CallMobiles(std::span<const TMobile> mobiles);
  /// OBJECTS_IU(ID, ID2) inside the caller's transaction. Throws odbc::Error.
  void CallObject(const TMobile& mobile);

  /// One transaction around runs of CallMobiles and single CallObject calls.
  void WriteTransaction(std::span<const TMobile> mobiles) override;

  /// The call texts used on a server named `dbmsName` (the group suffix ";1" only
  /// for SQL Server).
  static std::string MobilesCallText(const std::string& dbmsName);
  static std::string ObjectsCallText(const std::string& dbmsName);

 private:
  struct Statements;
  /// An open connection with its statements prepared.
  struct Link;

  /// Connects and prepares; touches nothing of this object. Throws odbc::Error.
  static std::unique_ptr<Link> Connect(const std::string& connectionString, std::chrono::seconds timeout);
  void DisconnectLocked() noexcept;
  void RequireConnected() const;
  /// Runs `body`; an odbc::Error reporting a broken connection marks the connection lost.
  template <class F>
  void Guard(F&& body);

  const std::chrono::seconds timeout_;
  mutable std::mutex mutex_;
  std::string connectionString_;
  std::uint64_t logins_ = 0;  ///< counts Open and Close, so a late Reopen changes nothing
  bool configured_ = false;
  bool lost_ = false;
  std::unique_ptr<Link> link_;
};

/// One transaction on the central database: begun when made, rolled back when it goes
/// out of scope uncommitted (an exception passing through, an early return). Used by
/// one thread at a time, like the connection it runs on.
class CentralTransaction {
 public:
  explicit CentralTransaction(TCentralDB& db) : db_(db) { db_.StartTransaction(); }
  ~CentralTransaction() {
    if (!committed_) db_.Rollback();
  }
  CentralTransaction(const CentralTransaction&) = delete;
  CentralTransaction& operator=(const CentralTransaction&) = delete;

  /// Commits; when the commit throws, the destructor rolls back.
  void Commit() {
    db_.Commit();
    committed_ = true;
  }

 private:
  TCentralDB& db_;
  bool committed_ = false;
};

}  // namespace telvaro
