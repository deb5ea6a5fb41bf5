#pragma once
// Helpers of the database tests: the test database's connection string, a second
// connection for checking rows and for breaking things, and waiting on a condition.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dbwriter/CentralDatabase.h"
#include "dbwriter/Odbc.h"

namespace telvaro::testdb {

/// The ODBC connection string of the test database, or "" when none was started.
inline std::string ConnectionString() {
  const char* s = std::getenv("TELVARO_TEST_ODBC");
  return s ? s : "";
}

/// The libpq connection string of the same database, or "" when none was started.
inline std::string PgConnectionString() {
  const char* s = std::getenv("TELVARO_TEST_PG");
  return s ? s : "";
}

/// One client library's way to the test database, for tests that run over both.
struct Client {
  DbClient client;
  const char* name;

  /// The connection string as `postgres`, or as `role`.
  std::string ConnectionString(const std::string& role = "") const {
    const bool odbc = client == DbClient::Odbc;
    std::string s = odbc ? testdb::ConnectionString() : PgConnectionString();
    if (!role.empty()) {
      const std::string user = odbc ? "Username=postgres" : "user=postgres";
      const auto at = s.find(user);
      if (at != std::string::npos) s.replace(at, user.size(), (odbc ? "Username=" : "user=") + role);
    }
    return s;
  }
  DbLogin Login(const std::string& role = "") const { return DbLogin{client, ConnectionString(role), "", ""}; }
  /// The login with the server's port replaced by `port`.
  DbLogin LoginAt(std::uint16_t port) const {
    std::string s = ConnectionString();
    const std::string key = client == DbClient::Odbc ? "Port=" : "port=";
    const auto at = s.find(key);
    if (at != std::string::npos) {
      const auto end = s.find_first_of("; ", at);
      s.replace(at + key.size(), (end == std::string::npos ? s.size() : end) - at - key.size(), std::to_string(port));
    }
    return DbLogin{client, s, "", ""};
  }
  /// A login whose connection fails at once.
  DbLogin BadLogin() const {
    return DbLogin{client, client == DbClient::Odbc ? "Driver={No Such Driver};" : "host=127.0.0.1 port=1", "", ""};
  }
  std::unique_ptr<CentralDatabase> Make(std::chrono::seconds timeout = std::chrono::seconds(30)) const {
    return MakeCentralDatabase(client, timeout);
  }
  /// The checks read the database over ODBC, so both strings are needed.
  bool Available() const { return !ConnectionString().empty() && !testdb::ConnectionString().empty(); }
};

inline void PrintTo(const Client& c, std::ostream* os) { *os << c.name; }

inline const Client Odbc{DbClient::Odbc, "Odbc"};
inline const Client Libpq{DbClient::Libpq, "Libpq"};

/// The parameter name of a test over both clients.
inline std::string ClientName(const ::testing::TestParamInfo<Client>& info) { return info.param.name; }

#define TELVARO_REQUIRE_CLIENT(client)                                                         \
  do {                                                                                         \
    if (!(client).Available())                                                                 \
      GTEST_SKIP() << "no test database for " << (client).name << " (scripts/pg-test.sh start)"; \
  } while (0)

#define TELVARO_REQUIRE_TEST_DB()                                                  \
  do {                                                                             \
    if (::telvaro::testdb::ConnectionString().empty())                             \
      GTEST_SKIP() << "TELVARO_TEST_ODBC is not set (scripts/pg-test.sh start)";  \
  } while (0)

using Row = std::vector<std::optional<std::string>>;

/// A plain auto-commit connection running SQL text.
class Sql {
 public:
  explicit Sql(const std::string& connectionString = ConnectionString()) {
    conn_.Connect(connectionString, 10);
  }

  void Exec(const std::string& sql) {
    odbc::Handle stmt(SQL_HANDLE_STMT, conn_.get());
    stmt.Check(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
               sql);
  }

  /// Every row of the query's result, each value as text (null as nullopt).
  std::vector<Row> Query(const std::string& sql) {
    odbc::Handle stmt(SQL_HANDLE_STMT, conn_.get());
    stmt.Check(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
               sql);
    SQLSMALLINT cols = 0;
    stmt.Check(SQLNumResultCols(stmt.get(), &cols), "counting columns");
    std::vector<Row> rows;
    while (true) {
      const SQLRETURN rc = SQLFetch(stmt.get());
      if (rc == SQL_NO_DATA) break;
      stmt.Check(rc, "fetching");
      Row row;
      for (SQLUSMALLINT c = 1; c <= cols; ++c) {
        char buf[512];
        SQLLEN ind = 0;
        stmt.Check(SQLGetData(stmt.get(), c, SQL_C_CHAR, buf, sizeof buf, &ind), "reading a value");
        row.push_back(ind == SQL_NULL_DATA ? std::nullopt : std::optional<std::string>(buf));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  /// The single value of a one-row, one-column query.
  std::string Scalar(const std::string& sql) {
    const auto rows = Query(sql);
    if (rows.size() != 1 || rows[0].size() != 1 || !rows[0][0]) return "<none>";
    return *rows[0][0];
  }

 private:
  odbc::Connection conn_;
};

/// Makes the test database reject (SQLSTATE 23514) every MOBILES_IU row whose ID
/// starts with "REJECT". Test processes run side by side, so an advisory lock keeps
/// them from replacing the trigger at the same time.
inline void InstallRejectTrigger() {
  Sql sql;
  sql.Exec("SELECT pg_advisory_lock(7207)");
  sql.Exec(
      "CREATE OR REPLACE FUNCTION test_reject() RETURNS trigger LANGUAGE plpgsql AS $$ "
      "BEGIN IF NEW.id LIKE 'REJECT%' THEN "
      "RAISE EXCEPTION 'record % rejected', NEW.id USING ERRCODE = 'check_violation'; END IF; "
      "RETURN NEW; END $$");
  sql.Exec(
      "CREATE OR REPLACE TRIGGER test_reject BEFORE INSERT ON mobiles "
      "FOR EACH ROW EXECUTE FUNCTION test_reject()");
  sql.Exec("SELECT pg_advisory_unlock(7207)");
}

/// Polls `done` until it holds or a generous deadline passes; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

/// A short tag unique to this test process, so that tests running side by side
/// against one database tell their rows apart.
inline std::string ProcessTag() { return std::to_string(::getpid() % 1000000); }

}  // namespace telvaro::testdb
