#include "pipes/CommandChannel.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "pipes/PipeText.h"
#include "records/Text.h"
#include "protocol/Bytes.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// Code, type, file size, offset and length before a block's bytes.
constexpr std::size_t BlockHeaderSize = 12;
constexpr std::uint8_t FileBlockCode = 0x06;

/// The declared size: the whole text as a decimal integer, else 0. Blanks and a plus
/// sign before the digits are read as dispatch applications have always been able to
/// send them; an upload must not turn into an empty file over padding.
std::int64_t ParseSize(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty() ? v : 0;
}

}  // namespace

void TCommandChannel::GetFile(TCmd& cmd, TPipeStream& stream, int& ftype, std::int32_t& fsize) {
  // The type is the third character and the size starts at the sixth, as the request
  // grammar has it; bytes past CMD's length are read as they stand, like byte 513.
  const char typeChar = cmd.Rec.CMD.chars[2];
  if (typeChar < '0' || typeChar > '9')
    throw std::invalid_argument("The file type '" + DisplayText(std::string_view(&typeChar, 1)) +
                                "' is not a digit");
  ftype = typeChar - '0';
  const std::string_view text = cmd.Rec.CMD.view();
  const std::int64_t size = ParseSize(text.size() > 5 ? text.substr(5) : std::string_view());
  if (size < 0) throw std::invalid_argument("Negative file size " + std::to_string(size));
  fsize = static_cast<std::int32_t>(size);
  const std::uint64_t available = stream.Size() > stream.Position() ? stream.Size() - stream.Position() : 0;
  if (available < static_cast<std::uint64_t>(size))
    throw std::invalid_argument("The file holds " + std::to_string(available) + " bytes, " +
                                std::to_string(size) + " declared");
  std::vector<std::uint8_t> file(static_cast<std::size_t>(size));
  if (stream.Read(file) != file.size()) throw std::runtime_error("The file could not be read whole");

  const std::string id = cmd.Rec.UID.str();
  store_.DelTask(id);
  std::this_thread::sleep_for(options_.uploadPause);

  const std::int32_t wanted = options_.blkSize;
  const std::size_t blkSize = wanted >= 1 && wanted <= MaxBlockSize ? static_cast<std::size_t>(wanted) : 1024;
  const std::size_t count = file.size() <= blkSize ? 1 : (file.size() + blkSize - 1) / blkSize;
  // All blocks or none: a terminal must never be sent the first part of a file whose
  // request a failure or the end of the process cut short.
  store_.AddTogether([&] {
    std::string block;
    for (std::size_t i = 0, pos = 0; i < count; ++i) {
      const std::size_t len = std::min(blkSize, file.size() - pos);
      block.clear();
      block.reserve(BlockHeaderSize + len);
      block.push_back(static_cast<char>(FileBlockCode));
      block.push_back(static_cast<char>(ftype));
      AppendBE(block, file.size(), 4);
      AppendBE(block, pos, 4);
      AppendBE(block, len, 2);
      block.append(reinterpret_cast<const char*>(file.data()) + pos, len);
      cmd = TParserKrestel::MakeCommand(id, AsBytes(block));
      store_.AddTask(id, static_cast<std::int32_t>(pos), static_cast<std::int32_t>(i),
                     static_cast<std::int32_t>(len), cmd.Fpart);
      pos += len;
    }
  });
}

std::string TCommandChannel::FuelReportPath() const {
  std::string dir = options_.downloadDir;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir + "/fuel.htm";
}

void TCommandChannel::Attach(TPipeServer& CS) {
  CS.OnPipeMessage = [this](TPipeServer& sender, PipeHandle pipe, TPipeStream& stream) {
    CSPipeMessage(sender, pipe, stream);
  };
  CS.OnHandlerError = [this](TPipeServer&, const std::string& message) {
    log_.Append("Command channel error: " + message);
  };
}

void TCommandChannel::CSPipeMessage(TPipeServer& sender, PipeHandle pipe, TPipeStream& stream) {
  if (stream.Size() < CmdRecSize) return;
  TCmdRec rec;
  stream.Seek(0);
  if (stream.Read(std::span(reinterpret_cast<std::uint8_t*>(&rec), CmdRecSize)) != CmdRecSize) return;
  if (rec.UID.empty()) return;

  TCmd cmd;
  cmd.Rec.UID = rec.UID;
  cmd.Rec.CMD = rec.CMD;
  const std::string uidText = DisplayText(rec.UID.view());
  // The kind is the byte at record offset 513, whatever CMD's length says.
  switch (rec.CMD.chars[0]) {
    case 'f': {
      int ftype = 0;
      std::int32_t fsize = 0;
      GetFile(cmd, stream, ftype, fsize);
      log_.Append("Got file for " + uidText + " type=" + std::to_string(ftype) + " size=" + std::to_string(fsize));
      return;
    }
    case 'd':
      store_.StopFileTransmit(rec.UID.view());
      return;
    default:
      break;
  }
  if (rec.CMD.view().find("REPORT*") != std::string_view::npos) {
    const std::string report = report_(rec.CMD.view());
    const std::string path = FuelReportPath();
    // The file is complete before the reply that names it can reach the client.
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << report << "\r\n";
      out.close();
      if (!out) throw std::runtime_error("Cannot write the fuel report " + path);
    }
    TCmdRec reply = rec;
    reply.CMD.assign(Utf8ToPipeText(path).value_or(path));
    sender.Write(pipe, PipeBytes(reinterpret_cast<const std::uint8_t*>(&reply), CmdRecSize));
    return;
  }
  store_.AddTask(rec.UID.view(), -1, -1, -1, rec.CMD.view());
  log_.Append("Got command for " + uidText);
}

}  // namespace telvaro
