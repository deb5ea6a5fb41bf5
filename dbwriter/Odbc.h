#pragma once
// Small RAII wrappers over the ODBC C interface (unixODBC): handles, errors carrying
// the SQLSTATE, and the tell between a broken connection and a rejected statement.

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>

#include "dbwriter/CentralDatabase.h"

namespace telvaro::odbc {

/// An ODBC call that failed: the diagnostic records joined into the message.
class Error : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

/// Throws Error built from the diagnostics of `handle` unless `rc` is a success.
void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, std::string_view what);

/// One ODBC handle of a given type, freed on destruction.
class Handle {
 public:
  Handle() = default;
  /// Allocates a handle of `type` under `parent` (SQL_NULL_HANDLE for an environment).
  Handle(SQLSMALLINT type, SQLHANDLE parent);
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept : type_(other.type_), handle_(other.handle_) { other.handle_ = SQL_NULL_HANDLE; }
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  SQLHANDLE get() const noexcept { return handle_; }
  SQLSMALLINT type() const noexcept { return type_; }
  explicit operator bool() const noexcept { return handle_ != SQL_NULL_HANDLE; }
  void Reset() noexcept;
  /// Check() against this handle.
  void Check(SQLRETURN rc, std::string_view what) const { odbc::Check(rc, type_, handle_, what); }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

/// An environment (ODBC 3) and one connection in it.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Disconnect(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Connects without prompting; `timeoutSec` bounds the login and, where the driver
  /// supports it, every later request that is not a statement. Throws Error.
  void Connect(const std::string& connectionString, SQLUINTEGER timeoutSec);
  /// Ends the connection (rolling back an open transaction) and frees its handles.
  void Disconnect() noexcept;
  bool IsOpen() const noexcept { return connected_; }
  /// True when the driver knows the connection to be broken (SQL_ATTR_CONNECTION_DEAD).
  bool IsDead() const noexcept;

  /// Manual commit on or off.
  void SetAutoCommit(bool on);
  void Commit() { EndTran(SQL_COMMIT, "commit"); }
  void Rollback() { EndTran(SQL_ROLLBACK, "rollback"); }

  /// A text value of SQLGetInfo (SQL_DATABASE_NAME, SQL_DBMS_NAME...).
  std::string Info(SQLUSMALLINT infoType) const;

  SQLHDBC get() const noexcept { return dbc_.get(); }
  const Handle& handle() const noexcept { return dbc_; }

 private:
  void EndTran(SQLSMALLINT completion, std::string_view what);

  Handle env_;
  Handle dbc_;
  bool connected_ = false;
};

}  // namespace telvaro::odbc
