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
#include "tasks/TaskDatabase.h"

namespace telvaro {

/// Size of the request record that starts every command-pipe message.
inline constexpr std::size_t CmdRecSize = sizeof(TCmdRec);
/// The wait after clearing a terminal's tasks and before its file blocks are stored.
inline constexpr auto UploadPause = std::chrono::milliseconds(100);

/// Cuts the file that follows the request record in `Stream` (positioned after it) into
/// blocks of BLK_SIZE bytes and stores each, encoded for the terminal, as a file-block
/// task of Cmd's UID. `ftype` and `fsize` receive the request's type and declared size;
/// on return `Cmd` is the command of the last block. Throws std::invalid_argument for a
/// type that is not a digit, a negative size or a file part shorter than declared,
/// before anything is deleted or stored.
void GetFile(TCmd& Cmd, TPipeStream& Stream, TaskStore& store, int& ftype, std::int32_t& fsize);

/// The path of the fuel report file: the download directory and "fuel.htm".
std::string FuelReportPath();

class TCommandChannel {
 public:
  /// The fuel report rows for a request text "...REPORT*FROM*TO*".
  using FuelReport = std::function<std::string(std::string_view request)>;

  TCommandChannel(TaskStore& store, FuelReport report, OperatorLog& log)
      : FStore(store), FReport(std::move(report)), FLog(log) {}
  /// Over the data module, which keeps both the tasks and the fuel events.
  TCommandChannel(TDM& dm, OperatorLog& log)
      : TCommandChannel(dm, [&dm](std::string_view r) { return dm.GetFuelReport(r); }, log) {}

  /// Makes CSPipeMessage the message handler of `CS`; an error that escapes one request
  /// is logged as "Command channel error: " + message and the pipe goes on serving.
  void Attach(TPipeServer& CS);

  /// Handles one request (main loop).
  void CSPipeMessage(TPipeServer& sender, PipeHandle pipe, TPipeStream& stream);

 private:
  TaskStore& FStore;
  FuelReport FReport;
  OperatorLog& FLog;
};

}  // namespace telvaro
