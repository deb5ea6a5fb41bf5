#pragma once
// Small RAII wrappers over the SQLite C API: a connection, a prepared statement that
// is reset after every use, and a transaction that rolls back unless committed.
// None of them locks: the owner serialises every use of one connection.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace telvaro::sqlite {

/// Throws std::runtime_error carrying the connection's last SQLite message.
[[noreturn]] void ThrowError(sqlite3* db);

/// One open database connection; closed by the destructor.
class Database {
 public:
  /// Opens `path` read-write, creating the file when missing; throws
  /// std::runtime_error with the SQLite message.
  explicit Database(const std::string& path);

  /// Runs one or more statements that take no parameters and return no rows.
  void Exec(const char* sql);
  /// Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const noexcept;
  /// The SQLite connection itself.
  sqlite3* Handle() const noexcept { return db_.get(); }

 private:
  struct Closer {
    void operator()(sqlite3* db) const noexcept;
  };
  std::unique_ptr<sqlite3, Closer> db_;
};

/// A statement prepared once and run many times.
class Statement {
 public:
  /// Prepares `sql` on `db` for repeated use; throws std::runtime_error.
  Statement(const Database& db, std::string_view sql);

  /// Resets the statement and clears its parameters when the scope ends, so a reader
  /// never keeps its snapshot and a failed step leaves the statement reusable.
  class Use {
   public:
    explicit Use(Statement& s) noexcept : s_(s) {}
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    /// Binds text; the bytes must outlive this scope.
    Use& Text(int i, std::string_view v);
    /// Binds a blob; the bytes must outlive this scope.
    Use& Blob(int i, std::string_view v);
    Use& Int(int i, std::int64_t v);
    Use& Real(int i, double v);

    /// Advances to the next row: true for a row, false when done; throws on error.
    bool Step();
    /// Runs a statement that returns no rows.
    void Run() {
      while (Step()) {
      }
    }

    bool IsNull(int col) const noexcept;
    std::int64_t ColumnInt(int col) const noexcept;
    double ColumnReal(int col) const noexcept;
    /// Text or blob bytes of a column, valid until the next Step.
    std::string_view ColumnBytes(int col) const noexcept;

   private:
    Statement& s_;
  };

  Use Bind() noexcept { return Use(*this); }

 private:
  struct Finalizer {
    void operator()(sqlite3_stmt* st) const noexcept;
  };
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

/// Begins a transaction; rolls it back at scope end unless Commit was called.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace telvaro::sqlite
