#include "dbwriter/Odbc.h"

namespace telvaro::odbc {

void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, std::string_view what) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  std::string message(what);
  std::string firstState;
  bool lost = false;
  if (rc == SQL_INVALID_HANDLE || handle == SQL_NULL_HANDLE) {
    message += ": invalid handle";
  } else {
    for (SQLSMALLINT i = 1; i <= 8; ++i) {
      SQLCHAR state[6] = {};
      SQLINTEGER native = 0;
      SQLCHAR text[1024] = {};
      SQLSMALLINT len = 0;
      const SQLRETURN d = SQLGetDiagRec(handleType, handle, i, state, &native, text, sizeof text, &len);
      if (!SQL_SUCCEEDED(d)) break;
      const std::string st(reinterpret_cast<const char*>(state));
      if (firstState.empty()) firstState = st;
      lost = lost || IsConnectionState(st);
      message += i == 1 ? ": " : "; ";
      message += '[' + st + "] ";
      // Drivers put line breaks into messages; the log wants one line.
      for (const char* c = reinterpret_cast<const char*>(text); *c; ++c) message += *c == '\n' || *c == '\r' ? ' ' : *c;
    }
    if (firstState.empty()) message += ": no diagnostics";
  }
  throw Error(message, std::move(firstState), lost);
}

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  const SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (!SQL_SUCCEEDED(rc)) {
    handle_ = SQL_NULL_HANDLE;
    if (parent != SQL_NULL_HANDLE) {
      const SQLSMALLINT parentType = type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC;
      odbc::Check(rc, parentType, parent, "allocating an ODBC handle");
    }
    throw Error("allocating an ODBC handle failed", "", false);
  }
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Reset();
    type_ = other.type_;
    handle_ = other.handle_;
    other.handle_ = SQL_NULL_HANDLE;
  }
  return *this;
}

void Handle::Reset() noexcept {
  if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
  handle_ = SQL_NULL_HANDLE;
}

void Connection::Connect(const std::string& connectionString, SQLUINTEGER timeoutSec) {
  Disconnect();
  Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  env.Check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
            "setting the ODBC version");
  Handle dbc(SQL_HANDLE_DBC, env.get());
  const auto timeout = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSec));
  dbc.Check(SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT, timeout, 0), "setting the login time-out");
  // Not every driver has this one; those without wait as long as the link lasts.
  SQLSetConnectAttr(dbc.get(), SQL_ATTR_CONNECTION_TIMEOUT, timeout, 0);
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  dbc.Check(SQLDriverConnect(dbc.get(), nullptr,
                             reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
                             static_cast<SQLSMALLINT>(connectionString.size()), out, sizeof out, &outLen,
                             SQL_DRIVER_NOPROMPT),
            "connecting");
  env_ = std::move(env);
  dbc_ = std::move(dbc);
  connected_ = true;
}

void Connection::Disconnect() noexcept {
  if (connected_) {
    // A connection with an open transaction refuses to disconnect until it ends.
    SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
    SQLDisconnect(dbc_.get());
  }
  connected_ = false;
  dbc_.Reset();
  env_.Reset();
}

void Connection::SetAutoCommit(bool on) {
  dbc_.Check(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON
                                                                                    : SQL_AUTOCOMMIT_OFF)),
                               0),
             "setting auto-commit");
}

void Connection::EndTran(SQLSMALLINT completion, std::string_view what) {
  dbc_.Check(SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), completion), what);
}

bool Connection::IsDead() const noexcept {
  if (!connected_) return true;
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc = SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

std::string Connection::Info(SQLUSMALLINT infoType) const {
  SQLCHAR buf[256] = {};
  SQLSMALLINT len = 0;
  dbc_.Check(SQLGetInfo(dbc_.get(), infoType, buf, sizeof buf, &len), "reading connection information");
  return std::string(reinterpret_cast<const char*>(buf));
}

}  // namespace telvaro::odbc
