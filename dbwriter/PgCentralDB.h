#pragma once
// The central database on PostgreSQL through libpq in pipeline mode: the calls of a
// transaction go out together, one sync ends them, and their answers come back in
// one round trip.

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "dbwriter/CentralDatabase.h"

namespace telvaro {

/// The central database connection over libpq. Errors are DatabaseError.
class PgCentralDB final : public CentralDatabase {
 public:
  /// MOBILES_IU and OBJECTS_IU as prepared on every connection.
  static constexpr const char* MobilesQuery =
      "SELECT mobiles_iu($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, "
      "$19, $20, $21, $22, $23, $24, $25, $26, $27, $28, $29)";
  static constexpr const char* ObjectsQuery = "SELECT objects_iu($1, $2)";

  /// `timeout` bounds a login (libpq's connect_timeout, unless the connection string
  /// gives its own) and the wait for a transaction's answers.
  explicit PgCentralDB(std::chrono::seconds timeout);
  ~PgCentralDB() override;

  /// Connects with the login's connection string (a URI or key=value string); its
  /// user and password apply where the string names none.
  void Open(const DbLogin& login) override;
  /// The login runs on a thread of its own, which a stop leaves behind.
  void Reopen(std::stop_token stop = {}) override;
  bool Configured() const override;
  void Close() noexcept override;

  /// Also reads what the server sent since the last call, so that a connection the
  /// server ended is seen before the next write.
  bool Connected() const override;
  std::string DatabaseName() const override;

  /// Every call of the transaction in one pipeline, ended by one sync: the calls run
  /// as one implicit transaction, committed at the sync, or rolled back as a whole
  /// when one fails. No answer within the time-out counts as a lost connection.
  void WriteTransaction(std::span<const TMobile> mobiles) override;

 private:
  struct ConnClose {
    void operator()(PGconn* c) const noexcept { PQfinish(c); }
  };
  using Conn = std::unique_ptr<PGconn, ConnClose>;

  /// Logs in with `login`; touches nothing of this object. Throws DatabaseError.
  static Conn Login(const DbLogin& login, std::chrono::seconds timeout);
  /// Takes `conn` as the connection and prepares the calls on it.
  void PrepareLocked(Conn conn);
  void DisconnectLocked() noexcept;
  bool AliveLocked() const;
  /// Drops the connection and returns the error that says so.
  DatabaseError LostLocked(const std::string& message);
  void SendMobile(const TMobile& mobile);
  void SendObject(const TMobile& mobile);
  /// Sends what is queued and reads the answers up to the sync's; `labels` names each
  /// queued call for the error message. Throws the first failure.
  void AwaitSync(std::span<const char* const> labels);

  const std::chrono::seconds timeout_;
  mutable std::mutex mutex_;
  DbLogin login_;
  std::uint64_t logins_ = 0;  ///< counts Open and Close, so a late Reopen changes nothing
  bool configured_ = false;
  mutable bool lost_ = false;
  Conn conn_;
  std::string databaseName_;
  std::vector<const char*> labels_;
};

}  // namespace telvaro
