#pragma once
// The command channel: requests of dispatch applications on the command pipe (commands
// for terminals, file uploads, stopping an upload, the fuel report), and the splitting of
// an uploaded file into the blocks queued for the terminal.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "pipes/PipeServer.h"
#include "protocol/TaskStore.h"
#include "protocol/ParserBase.h"
#include "base/OperatorLog.h"

namespace telvaro {

/// Size of the request record that starts every command-pipe message.
inline constexpr std::size_t CmdRecSize = sizeof(TCmdRec);
/// The wait after clearing a terminal's tasks and before its file blocks are stored.
inline constexpr auto UploadPause = std::chrono::milliseconds(100);

/// How uploads are cut and where the fuel report goes.
struct TCommandOptions {
  std::int32_t blkSize = 1024;  ///< bytes per file block; outside 1 to MaxBlockSize, 1024
  std::string downloadDir;      ///< directory of the fuel report file
  /// The wait after clearing a terminal's tasks and before its file blocks are stored.
  std::chrono::milliseconds uploadPause = UploadPause;
};

class TCommandChannel {
 public:
  /// The fuel report rows for a request text "...REPORT*FROM*TO*".
  using FuelReport = std::function<std::string(std::string_view request)>;

  TCommandChannel(TaskStore& store, FuelReport report, OperatorLog& log, TCommandOptions options)
      : store_(store), report_(std::move(report)), log_(log), options_(std::move(options)) {}

  /// Makes CSPipeMessage the message handler of `CS`; an error that escapes one request
  /// is logged as "Command channel error: " + message and the pipe goes on serving.
  void Attach(TPipeServer& CS);

 private:
  /// Handles one request (main loop).
  void CSPipeMessage(TPipeServer& sender, PipeHandle pipe, TPipeStream& stream);
  /// Cuts the file that follows the request record in `stream` (positioned after it)
  /// into blocks of blkSize bytes and stores each, encoded for the terminal, as a
  /// file-block task of cmd's UID, all in one transaction. `ftype` and `fsize` receive the request's type and
  /// declared size; on return `cmd` is the command of the last block. Throws
  /// std::invalid_argument for a type that is not a digit, a negative size or a file
  /// part shorter than declared, before anything is deleted or stored.
  void GetFile(TCmd& cmd, TPipeStream& stream, int& ftype, std::int32_t& fsize);
  /// The path of the fuel report file: the download directory and "fuel.htm".
  std::string FuelReportPath() const;

  TaskStore& store_;
  FuelReport report_;
  OperatorLog& log_;
  const TCommandOptions options_;
};

}  // namespace telvaro
