#pragma once
// telvaroctl's parts: the options every command shares, the commands over the two
// pipes and the commands over the server's HTTP endpoint.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace telvaro::ctl {

/// A command line that cannot be run as given; the program ends with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// The options before (or after) the command.
struct CommonOptions {
  std::optional<std::string> home;      ///< program directory whose settings give the defaults
  std::optional<std::string> pipeDir;   ///< --pipe-dir
  std::optional<std::string> dataPipe;  ///< --data-pipe
  std::optional<std::string> cmdPipe;   ///< --cmd-pipe
  std::optional<std::string> http;      ///< --http HOST:PORT
  std::optional<std::string> token;     ///< --token
  long timeout = 10;                    ///< seconds to wait for an answer
  bool anyId = false;                   ///< --any-id: terminal IDs are sent as given
};

/// The program directory the settings are read from, with a trailing "/": --home, else
/// the directory of this program, else (when that holds no settings) the installed
/// configuration directory.
std::string HomeDirectory(const CommonOptions& o);

/// Throws UsageError unless `id` is a terminal's 15-digit IMEI or --any-id was given.
void CheckTerminalId(const CommonOptions& o, const std::string& id);

/// What the `command` request carries.
struct CommandText {
  std::string text;    ///< UTF-8 text, or hexadecimal digits with --hex
  bool hex = false;    ///< the text is bytes in hexadecimal
  bool frame = false;  ///< wrap the bytes in a command frame
};

// Requests on the command pipe; each returns the exit status.
int Command(const CommonOptions& o, const std::string& id, const CommandText& c);
int Upload(const CommonOptions& o, const std::string& id, const std::string& type, const std::string& file);
int Stop(const CommonOptions& o, const std::string& id);
int Report(const CommonOptions& o, const std::string& from, const std::string& to);
/// Follows the data pipe; `count` < 0: for ever.
int Tail(const CommonOptions& o, bool json, long count);

// Requests to the HTTP endpoint; with `json` the answer's JSON as it came.
int Terminals(const CommonOptions& o, bool json);
int Tasks(const CommonOptions& o, const std::string& id, bool json);
/// Cancels task `n` of terminal `id`, or all its tasks.
int Cancel(const CommonOptions& o, const std::string& id, std::optional<long long> n, bool json);
/// Health and a few metrics; status 1 when the server reports itself failing.
int Status(const CommonOptions& o, bool json);

}  // namespace telvaro::ctl
