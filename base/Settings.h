#pragma once
// The settings file and the black list, read once at start-up.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro {

struct TSettings {
  // [Server]
  std::int32_t Port = 4001;
  std::string PipeChannel = "TelvaroPipe";
  std::string CmdChannel = "CmdPipe";
  std::int32_t ThreadTimeout = 5;
  std::int32_t BLK_SIZE = 1024;
  std::int32_t DelayBeforeCmd = 2000;
  bool SendAfterAVL = true;
  std::string EventsToDB = "150";
  std::int32_t IOThreads = 0;                 ///< 0: one per processor core
  std::string PipeDir = "/tmp";
  std::uint32_t PipeMode = 0666;              ///< socket file mode, octal in the file
  std::uint64_t PipeQueueLimit = 256ull << 20;  ///< bytes queued per pipe client
  std::uint64_t PipeMessageLimit = 64ull << 20;  ///< bytes of one message a pipe client may send
  std::int32_t FrameTimeoutSec = 300;         ///< longest hold of an incomplete terminal message; 0 never
  bool Identify = false;
  std::int32_t ReconInterval = 600000;        ///< data pipe restart, ms; 0 never
  bool TrimMemory = false;                    ///< return freed heap to the system every 20 s
  bool ProxyProtocol = false;                 ///< terminal connections start with a PROXY v2 header
  std::string LogFile;                        ///< lasting copy of the operator log; "": none; absolute path

  // [DB]
  bool NoBase = false;
  std::int32_t ReconnectSec = 10;
  std::int32_t QueueLimit = 1000000;
  std::int32_t TimeoutSec = 30;               ///< login and answer time-out of the central database

  // [Tasks]
  std::string Store = "sqlite";               ///< "sqlite" (upd_sw.mdb) or "postgresql"
  std::string Connection;                     ///< libpq connection string of the PostgreSQL store
  std::int32_t LeaseSec = 60;                 ///< a dead instance's taken tasks are free after this
  std::int32_t CommandTTLSec = 0;             ///< lifetime of a queued command; 0: none

  // [Http]
  std::string HttpAddress = "127.0.0.1";
  std::int32_t HttpPort = 4002;               ///< 0: no admin endpoint (and no metrics)
  std::string HttpToken;                      ///< bearer token for changes; "": loopback peers only

  // [Stream]
  std::string StreamUrl;                      ///< NATS server(s) of the record stream; "": no stream
  std::string StreamSubject = "telvaro";      ///< records go to <Subject>.rec.<ID>
  std::string StreamName = "TELVARO";         ///< JetStream stream, created when missing
  std::int32_t StreamMaxAgeHours = 168;       ///< age limit of a stream this server creates
  std::int32_t StreamQueueLimit = 1000000;    ///< records waiting for the broker at most
  std::string StreamDbConsumer = "dbwriter";  ///< durable consumer the database writers share
  bool StreamPipeFromStream = false;          ///< the data pipe shows every instance's records from the stream

  // [FILES]
  /// [FILES] Dir resolved against the program directory ("\\" is the program
  /// directory itself); file names are appended to it without a separator.
  std::string DownloadDir;

  // [Entities]
  std::string EntitiesToPrint;
  std::vector<int> EntitiesToPrintList;  ///< EntitiesToPrint as element numbers
  std::int32_t iButtonNum = 78;
  std::int32_t CounterNum = 105;
  std::int32_t TimeLastPos = 106;
  std::int32_t ModeNum = 30;

  // [Regional]
  char DecimalSeparator = '.';
  std::string ShortDateFormat = "dd.mm.yyyy";
  std::string LongTimeFormat = "hh:nn:ss";

  /// The program directory (beside the executable, or --home), ends with "/".
  std::string ProgramDir;

  /// Lines for the operator log: the file missing, values that were replaced while
  /// reading, and sections and keys that nothing reads.
  std::vector<std::string> Notes;
};

/// The client library a `[DB] Provider` string is written for.
enum class DbClient { Odbc, Libpq };

/// The central database's login, made from the `[DB]` keys.
struct DbLogin {
  DbClient client = DbClient::Odbc;
  /// ODBC: Provider with the login appended; libpq: Provider unchanged.
  std::string connectionString;
  /// libpq only: login name and password used where connectionString names none ("": none).
  std::string user;
  std::string password;

  bool operator==(const DbLogin&) const = default;
};

/// libpq for a URI starting with "postgresql://" or "postgres://", and for a key=value
/// string whose first key is a libpq connection keyword ("host", "dbname", ...) and
/// that has no ODBC key "Driver", "DSN" or "FileDSN"; ODBC for anything else.
DbClient ProviderClient(std::string_view provider);

/// The one settings record of the process; written only during start-up.
extern TSettings Settings;

/// Reads `iniFileName` into `settings`. `programDir` anchors relative paths. Returns
/// the central database's login when `NoBase` is false.
std::optional<DbLogin> LoadSettings(const std::string& iniFileName, const std::string& programDir,
                                        TSettings& settings = Settings);

/// Fills `list` from "blacklist.txt" in `programDir`, one entry per line, untrimmed.
/// A missing file leaves the list empty; an unreadable one throws std::runtime_error.
void LoadBlackList(const std::string& programDir, std::vector<std::string>& list);

}  // namespace telvaro
