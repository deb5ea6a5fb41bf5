#pragma once
// A task database in a fresh temporary directory, and a second, raw SQLite connection
// to the same file to look at (or lock) what the data module wrote.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tasks/UDM.h"

namespace telvaro::testing {

class TaskDb : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "telvaro-tasks-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "upd_sw.mdb").string();
    dm_.Open(path_);
  }

  void TearDown() override {
    if (raw_) sqlite3_close(raw_);
    dm_.Close();
    std::filesystem::remove_all(dir_);
  }

  /// A second connection to the database file, opened on first use.
  sqlite3* Raw() {
    if (!raw_) {
      EXPECT_EQ(sqlite3_open(path_.c_str(), &raw_), SQLITE_OK);
      sqlite3_busy_timeout(raw_, 5000);
    }
    return raw_;
  }

  void RawExec(const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(Raw(), sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  }

  /// The single integer an SQL query with text parameter ?1 yields.
  long long RawInt(const std::string& sql, std::string_view param = {}) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(Raw(), sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(raw_);
    if (sqlite3_bind_parameter_count(st) > 0)
      sqlite3_bind_text(st, 1, param.data(), static_cast<int>(param.size()), SQLITE_TRANSIENT);
    const long long v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    return v;
  }

  /// Rows of TASKS for `id` as the table itself says.
  long long TableRows(std::string_view id) {
    return RawInt("SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1", id);
  }

  std::filesystem::path dir_;
  std::string path_;
  TDM dm_;
  sqlite3* raw_ = nullptr;
};

}  // namespace telvaro::testing
