#pragma once
// A task database in a fresh temporary directory, and a raw SQLite connection to the
// same file for looking at (or preparing) what the data module keeps. The data module
// holds the file exclusively, so the raw connection exists only while it is closed.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tasks/TaskDatabase.h"
#include "tests/support/TempDir.h"

namespace telvaro::testing {

/// A plain connection to a database file; closes it at scope end.
class RawDb {
 public:
  explicit RawDb(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  ~RawDb() { sqlite3_close(db_); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  void Exec(const std::string& sql) {
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
  }

  /// The single integer a query yields; its text parameter ?1, if any, is `param`.
  long long Int(const std::string& sql, std::string_view param = {}) {
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

class TaskDb : public ::testing::Test {
 protected:
  /// Closes the data module for the lifetime of a raw connection and reopens it after.
  class Table {
   public:
    explicit Table(TaskDb& t) : t_(t) {
      t_.dm_.Close();
      raw_.emplace(t_.path_);
    }
    ~Table() {
      raw_.reset();
      try {
        t_.dm_.Open(t_.path_);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "reopening: " << e.what();
      }
    }
    RawDb* operator->() { return &*raw_; }

   private:
    TaskDb& t_;
    std::optional<RawDb> raw_;
  };

  void SetUp() override {
    dm_.Open(path_);
  }

  void TearDown() override {
    dm_.Close();
  }

  test::TempDir tmp_{"telvaro-tasks"};
  const std::filesystem::path dir_ = tmp_.path();
  const std::string path_ = (dir_ / "upd_sw.mdb").string();
  TDM dm_;
};

}  // namespace telvaro::testing
