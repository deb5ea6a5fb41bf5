#pragma once
// The task database of one test, in SQLite (a file in a fresh temporary directory) or
// in PostgreSQL (a fresh schema of the test database, when TELVARO_TEST_PG names one),
// and a raw connection to the same tables for looking at or preparing them. SQL given
// to the raw connection is written so both engines read it: ?1 is its one parameter, a
// terminal ID, and booleans are compared as integers.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tasks/PgTaskStore.h"
#include "tasks/TaskDatabase.h"
#include "tests/support/TempDir.h"

namespace telvaro::testing {

enum class Engine { Sqlite, Postgres };

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::Sqlite ? "Sqlite" : "Postgres";
}

inline void PrintTo(Engine e, std::ostream* os) { *os << (e == Engine::Sqlite ? "SQLite" : "PostgreSQL"); }

/// The libpq connection string of the test database, or "" when none was started.
inline std::string TestPg() {
  const char* s = std::getenv("TELVARO_TEST_PG");
  return s ? s : "";
}

/// A plain connection to the tables of a test.
class RawTables {
 public:
  virtual ~RawTables() = default;
  virtual void Exec(const std::string& sql) = 0;
  /// The single integer a query yields (-1 for none); its parameter ?1, if any, is `param`.
  virtual long long Int(const std::string& sql, std::string_view param = {}) = 0;
};

class RawSqlite final : public RawTables {
 public:
  explicit RawSqlite(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
  ~RawSqlite() override { sqlite3_close(db_); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;

  void Exec(const std::string& sql) override {
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
  }

  long long Int(const std::string& sql, std::string_view param = {}) override {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    if (sqlite3_bind_parameter_count(st) > 0)
      sqlite3_bind_text(st, 1, param.data(), static_cast<int>(param.size()), SQLITE_TRANSIENT);
    const long long v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    return v;
  }

 private:
  sqlite3* db_ = nullptr;
};

class RawPg final : public RawTables {
 public:
  explicit RawPg(const std::string& conninfo) : c_(PQconnectdb(conninfo.c_str())) {
    EXPECT_EQ(PQstatus(c_), CONNECTION_OK) << PQerrorMessage(c_);
    PQsetNoticeProcessor(c_, [](void*, const char*) {}, nullptr);
  }
  ~RawPg() override { PQfinish(c_); }
  RawPg(const RawPg&) = delete;
  RawPg& operator=(const RawPg&) = delete;

  void Exec(const std::string& sql) override {
    PGresult* r = PQexec(c_, sql.c_str());
    EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
        << sql << ": " << PQresultErrorMessage(r);
    PQclear(r);
  }

  long long Int(const std::string& sql, std::string_view param = {}) override {
    std::string text = sql;
    const bool withParam = text.find("?1") != std::string::npos;
    for (auto at = text.find("?1"); at != std::string::npos; at = text.find("?1")) text.replace(at, 2, "$1");
    // The ID goes as bytes, as the store keeps it.
    const Oid type = 17;
    const char* value = param.data();
    const int length = static_cast<int>(param.size()), format = 1;
    PGresult* r = PQexecParams(c_, text.c_str(), withParam ? 1 : 0, &type, &value, &length, &format, 0);
    EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << sql << ": " << PQresultErrorMessage(r);
    long long v = -1;
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0) {
      const std::string cell = PQgetvalue(r, 0, 0);
      v = cell == "t" ? 1 : cell == "f" ? 0 : std::atoll(cell.c_str());
    }
    PQclear(r);
    return v;
  }

 private:
  PGconn* c_;
};

/// The test's task database in either engine. `dm_` is the store under test.
class TaskDb : public ::testing::TestWithParam<Engine> {
 protected:
  /// Opens a raw connection for its lifetime. SQLite keeps its file to one
  /// connection, so the store is closed meanwhile and opened again after.
  class Table {
   public:
    explicit Table(TaskDb& t) : t_(t) {
      if (t_.Postgres()) {
        raw_ = std::make_unique<RawPg>(t_.conninfo_);
      } else {
        t_.sqlite_.Close();
        raw_ = std::make_unique<RawSqlite>(t_.path_);
      }
    }
    ~Table() {
      raw_.reset();
      if (t_.Postgres()) return;
      try {
        t_.sqlite_.Open(t_.path_, t_.options_);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "reopening: " << e.what();
      }
    }
    RawTables* operator->() { return raw_.get(); }

   private:
    TaskDb& t_;
    std::unique_ptr<RawTables> raw_;
  };

  bool Postgres() const { return GetParam() == Engine::Postgres; }

  void SetUp() override {
    if (Postgres()) {
      if (TestPg().empty()) GTEST_SKIP() << "no PostgreSQL test database (TELVARO_TEST_PG)";
      static std::atomic<int> serial{0};
      schema_ = "telvaro_test_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
      RawPg(TestPg()).Exec("CREATE SCHEMA " + schema_);
      conninfo_ = TestPg() + " options='-csearch_path=" + schema_ + "'";
    }
    Open();
  }

  void TearDown() override {
    dm_.Close();
    if (!schema_.empty()) RawPg(TestPg()).Exec("DROP SCHEMA " + schema_ + " CASCADE");
  }

  /// Opens the store over the test's tables with `options_`.
  void Open() {
    if (Postgres()) pg_.Open(conninfo_, options_, lease_);
    else sqlite_.Open(path_, options_);
  }

  /// Closes the store and opens it again with `options`.
  void Reopen(TaskOptions options) {
    dm_.Close();
    options_ = std::move(options);
    Open();
  }

  /// A second store over the same tables, as another server process would open it.
  /// SQLite allows none while the test's own is open.
  std::unique_ptr<TaskDatabase> OpenAnother(TaskOptions options = {}) {
    if (Postgres()) {
      auto s = std::make_unique<PgTaskStore>();
      s->Open(conninfo_, std::move(options), lease_);
      return s;
    }
    auto s = std::make_unique<TDM>();
    s->Open(path_, std::move(options));
    return s;
  }

  test::TempDir tmp_{"telvaro-tasks"};
  const std::filesystem::path dir_ = tmp_.path();
  const std::string path_ = (dir_ / "upd_sw.mdb").string();
  std::string schema_;
  std::string conninfo_;
  TaskOptions options_;
  std::chrono::seconds lease_{60};
  TDM sqlite_;
  PgTaskStore pg_;
  TaskDatabase& dm_ = GetParam() == Engine::Sqlite ? static_cast<TaskDatabase&>(sqlite_) : pg_;
};

/// The SQLite task database alone, for what only its file shows.
class SqliteTaskDb : public TaskDb {};

}  // namespace telvaro::testing
