#include "tasks/Sqlite.h"

#include <sqlite3.h>

#include <stdexcept>

namespace telvaro::sqlite {
namespace {

// SQLite binds a null pointer as NULL; an empty value must stay an empty value.
const char* NonNull(std::string_view v) noexcept { return v.data() ? v.data() : ""; }

}  // namespace

void ThrowError(sqlite3* db) { throw std::runtime_error(sqlite3_errmsg(db)); }

void Database::Closer::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }

Database::Database(const std::string& path) {
  sqlite3* raw = nullptr;
  // The owner serialises all use of the connection, so SQLite's own mutex is not needed.
  const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    if (!raw) throw std::runtime_error(sqlite3_errstr(rc));
    ThrowError(raw);
  }
  sqlite3_extended_result_codes(raw, 1);
}

void Database::Exec(const char* sql) {
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) ThrowError(db_.get());
}

int Database::Changes() const noexcept { return sqlite3_changes(db_.get()); }

void Statement::Finalizer::operator()(sqlite3_stmt* st) const noexcept { sqlite3_finalize(st); }

Statement::Statement(const Database& db, std::string_view sql) : db_(db.Handle()) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &raw, nullptr) != SQLITE_OK)
    ThrowError(db_);
  stmt_.reset(raw);
}

Statement::Use::~Use() {
  sqlite3_reset(s_.stmt_.get());
  sqlite3_clear_bindings(s_.stmt_.get());
}

Statement::Use& Statement::Use::Text(int i, std::string_view v) {
  if (sqlite3_bind_text(s_.stmt_.get(), i, NonNull(v), static_cast<int>(v.size()), SQLITE_STATIC) !=
      SQLITE_OK)
    ThrowError(s_.db_);
  return *this;
}

Statement::Use& Statement::Use::Blob(int i, std::string_view v) {
  if (sqlite3_bind_blob(s_.stmt_.get(), i, NonNull(v), static_cast<int>(v.size()), SQLITE_STATIC) !=
      SQLITE_OK)
    ThrowError(s_.db_);
  return *this;
}

Statement::Use& Statement::Use::Int(int i, std::int64_t v) {
  if (sqlite3_bind_int64(s_.stmt_.get(), i, v) != SQLITE_OK) ThrowError(s_.db_);
  return *this;
}

Statement::Use& Statement::Use::Real(int i, double v) {
  if (sqlite3_bind_double(s_.stmt_.get(), i, v) != SQLITE_OK) ThrowError(s_.db_);
  return *this;
}

bool Statement::Use::Step() {
  const int rc = sqlite3_step(s_.stmt_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  ThrowError(s_.db_);
}

bool Statement::Use::IsNull(int col) const noexcept {
  return sqlite3_column_type(s_.stmt_.get(), col) == SQLITE_NULL;
}

std::int64_t Statement::Use::ColumnInt(int col) const noexcept {
  return sqlite3_column_int64(s_.stmt_.get(), col);
}

double Statement::Use::ColumnReal(int col) const noexcept {
  return sqlite3_column_double(s_.stmt_.get(), col);
}

std::string_view Statement::Use::ColumnBytes(int col) const noexcept {
  // The pointer first, then the size, as the SQLite documentation asks.
  const void* p = sqlite3_column_blob(s_.stmt_.get(), col);
  const int n = sqlite3_column_bytes(s_.stmt_.get(), col);
  if (!p || n <= 0) return {};
  return {static_cast<const char*>(p), static_cast<std::size_t>(n)};
}

Transaction::Transaction(Database& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (!done_) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  done_ = true;
}

}  // namespace telvaro::sqlite
