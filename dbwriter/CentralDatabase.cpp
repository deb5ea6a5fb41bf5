#include "dbwriter/CentralDatabase.h"

#include "dbwriter/CentralDB.h"
#include "dbwriter/PgCentralDB.h"

namespace telvaro {

bool IsConnectionState(std::string_view s) noexcept {
  // 08xxx: connection exceptions; 57P01..57P03: the server shut down or is not yet
  // accepting connections; HYT00, HYT01: the query or connection time-out expired,
  // and the connection is in no known state after either.
  return s.starts_with("08") || s == "57P01" || s == "57P02" || s == "57P03" || s == "HYT00" || s == "HYT01";
}

void CentralDatabase::AddMobile(const TMobile& mobile) {
  if (!Connected() || !(mobile.UTC > 0)) return;
  WriteTransaction(std::span(&mobile, 1));
}

void CentralDatabase::AddObject(const TMobile& mobile) noexcept {
  if (!Connected()) return;
  try {
    WriteTransaction(std::span(&mobile, 1));
  } catch (...) {
    // Registering an object is best effort; the transaction has rolled back.
  }
}

std::unique_ptr<CentralDatabase> MakeCentralDatabase(DbClient client, std::chrono::seconds timeout) {
  if (client == DbClient::Libpq) return std::make_unique<PgCentralDB>(timeout);
  return std::make_unique<TCentralDB>(timeout);
}

}  // namespace telvaro
