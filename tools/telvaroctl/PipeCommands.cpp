// telvaroctl's requests on the command pipe and its reader of the data pipe.

#include <sys/socket.h>
#include <sys/time.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/Settings.h"
#include "pipes/PipeClient.h"
#include "pipes/PipeServer.h"
#include "pipes/PipeText.h"
#include "protocol/Bytes.h"
#include "protocol/ParserBase.h"
#include "protocol/TerminalParser.h"
#include "records/DateTime.h"
#include "records/Events.h"
#include "records/TerminalRecord.h"
#include "tools/telvaroctl/Ctl.h"

namespace telvaro::ctl {
namespace {

/// The most bytes a request's CMD field holds.
constexpr std::size_t MaxCommandBytes = 255;

/// The socket paths of the server's two pipes, and the options of the record lines.
struct Pipes {
  std::string data;
  std::string cmd;
  RenderOptions lines;
};

/// Reads the settings and event names of the program directory, which shape the record
/// lines; the pipes are those the settings name, unless the options name others.
Pipes Configure(const CommonOptions& o) {
  const std::string home = HomeDirectory(o);
  TSettings settings;
  LoadSettings(home + "telvaroserver.ini", home, settings);
  LoadEvents(home);
  const std::string dir = o.pipeDir.value_or(settings.PipeDir);
  return {PipeSocketPath(dir, o.dataPipe.value_or(settings.PipeChannel)),
          PipeSocketPath(dir, o.cmdPipe.value_or(settings.CmdChannel)),
          RenderOptions{.decimalSeparator = settings.DecimalSeparator,
                        .entitiesToPrint = settings.EntitiesToPrintList,
                        .counterNum = settings.CounterNum,
                        .timeLastPos = settings.TimeLastPos}};
}

/// `text` in Windows-1251, checked to fit a record field.
std::string FieldText(const std::string& what, const std::string& text) {
  const auto cp = Utf8ToPipeText(text);
  if (!cp) throw UsageError(what + " has characters that Windows-1251 lacks");
  if (cp->size() > MaxCommandBytes) throw UsageError(what + " is longer than 255 characters");
  return *cp;
}

/// The bytes written as hexadecimal digit pairs, which blanks or colons may separate.
std::string HexBytes(std::string_view text) {
  std::string bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == ':') {
      if (high >= 0) throw UsageError("--hex needs two digits for each byte");
      continue;
    }
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else throw UsageError(fmt::format("--hex takes hexadecimal digits, not \"{}\"", c));
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0) throw UsageError("--hex needs two digits for each byte");
  return bytes;
}

TCmdRec Request(const std::string& id, const std::string& cmd) {
  TCmdRec r{};
  r.DevType.assign("telvaroctl");
  r.UID.assign(FieldText("the terminal ID", id));
  if (r.UID.empty()) throw UsageError("the terminal ID is empty");
  r.CMD.assign(cmd);
  return r;
}

std::vector<std::uint8_t> Message(const TCmdRec& r, const std::vector<std::uint8_t>& tail = {}) {
  std::vector<std::uint8_t> m(sizeof r + tail.size());
  std::memcpy(m.data(), &r, sizeof r);
  std::copy(tail.begin(), tail.end(), m.begin() + sizeof r);
  return m;
}

void SendRequest(const Pipes& p, const std::vector<std::uint8_t>& msg) { TPipeClient(p.cmd).Send(msg); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return data;
}

/// A time of a record as JSON: its date and time as written, null when it has none.
nlohmann::ordered_json JsonTime(TDateTime t) {
  if (!std::isfinite(t)) return nullptr;
  const auto p = DecodeDateTime(t);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", p.year, p.month, p.day, p.hour, p.minute, p.second,
                     p.msec);
}

nlohmann::ordered_json JsonNumber(double v) {
  if (!std::isfinite(v)) return nullptr;
  return v;
}

/// One record as a JSON object, its fields in the record's order.
nlohmann::ordered_json Json(const TRecNTMobile& r) {
  const auto text = [](std::string_view s) { return PipeTextToUtf8(s); };
  nlohmann::ordered_json io = nlohmann::ordered_json::object();
  for (int n = 1; n <= MaxElement; ++n)
    if (r.Fl(n)) io[std::to_string(n)] = r.Io(n);
  const TGNSS& g = r.GNSS;
  return {{"RecTime", JsonTime(r.RecTime)},
          {"ID", text(r.ID.view())},
          {"Event", r.Event},
          {"EventValue", r.EventValue},
          {"Param", r.Param},
          {"ParamValue", r.ParamValue},
          {"ParamString", text(r.ParamString.view())},
          {"Entity", r.Entity},
          {"EntityValue", r.EntityValue},
          {"ResultOp", r.ResultOp},
          {"Restart", r.Restart},
          {"Balance", JsonNumber(r.Balance)},
          {"CellID", text(r.CellID.view())},
          {"LAC", text(r.LAC.view())},
          {"GNSS",
           {{"UTC", JsonTime(g.UTC)},
            {"Lat", JsonNumber(g.Lat)},
            {"Lon", JsonNumber(g.Lon)},
            {"Alt", g.Alt},
            {"Az", g.Az},
            {"Sat", g.Sat},
            {"Speed", g.Speed},
            {"Valid", g.Valid},
            {"GNSS", g.GNSS}}},
          {"IO", std::move(io)}};
}

/// The bytes as hexadecimal pairs.
std::string Hex(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) out += fmt::format("{}{:02X}", out.empty() ? "" : " ", static_cast<unsigned char>(c));
  return out;
}

}  // namespace

int Command(const CommonOptions& o, const std::string& id, const CommandText& c) {
  CheckTerminalId(o, id);
  std::string bytes;
  if (c.hex) {
    bytes = HexBytes(c.text);
  } else {
    const auto cp = Utf8ToPipeText(c.text);
    if (!cp) throw UsageError("the command has characters that Windows-1251 lacks");
    bytes = *cp;
  }
  if (bytes.empty()) throw UsageError("the command is empty");
  // The frame adds its signature, length, payload head and checksum.
  const std::size_t limit = c.frame ? MaxCommandBytes - FrameOverhead - PayloadHeadSize : MaxCommandBytes;
  if (bytes.size() > limit)
    throw UsageError(fmt::format("the command is {} bytes; a request holds {}{}", bytes.size(), limit,
                                 c.frame ? " in a frame" : ""));
  if (c.frame) bytes = std::string(TParserKrestel::MakeCommand(id, AsBytes(bytes)).WireBytes());
  // The server takes such a text for an upload, a stop or a report request; it would
  // never reach the terminal.
  if (bytes.starts_with('f') || bytes.starts_with('d') || bytes.find("REPORT*") != std::string::npos)
    throw UsageError("a command may not begin with \"f\" or \"d\" nor hold \"REPORT*\"");
  const Pipes p = Configure(o);
  SendRequest(p, Message(Request(id, bytes)));
  std::cout << "Queued for " << id << ": " << bytes.size() << " bytes: " << Hex(bytes) << '\n';
  return 0;
}

int Upload(const CommonOptions& o, const std::string& id, const std::string& type, const std::string& file) {
  CheckTerminalId(o, id);
  if (type.size() != 1 || type[0] < '0' || type[0] > '9') throw UsageError("TYPE must be one digit");
  const Pipes p = Configure(o);
  const std::string data = ReadFile(file);
  if (data.size() > 0x7FFFFFFF) throw UsageError("the file is larger than 2 GiB");
  // "f", a free character, the type, two free characters, the size.
  const TCmdRec r = Request(id, "f " + type + "  " + std::to_string(data.size()));
  SendRequest(p, Message(r, std::vector<std::uint8_t>(data.begin(), data.end())));
  return 0;
}

int Stop(const CommonOptions& o, const std::string& id) {
  CheckTerminalId(o, id);
  SendRequest(Configure(o), Message(Request(id, "d")));
  return 0;
}

int Report(const CommonOptions& o, const std::string& from, const std::string& to) {
  const TCmdRec r = Request("telvaroctl", FieldText("the report request", "REPORT*" + from + "*" + to + "*"));
  TPipeClient c(Configure(o).cmd);
  c.Send(Message(r));
  // The server answers nothing when it cannot make the report; do not wait for ever.
  const timeval tv{o.timeout, 0};
  ::setsockopt(c.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::optional<std::vector<std::uint8_t>> reply;
  try {
    reply = c.Receive();
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::resource_unavailable_try_again) throw;
  }
  if (!reply || reply->size() != sizeof(TCmdRec))
    throw std::runtime_error("no report reply from the server (see its log)");
  TCmdRec got;
  std::memcpy(&got, reply->data(), sizeof got);
  const std::string path = PipeTextToUtf8(got.CMD.view());
  std::cout << path << '\n' << PipeTextToUtf8(ReadFile(path)) << std::flush;
  return 0;
}

int Tail(const CommonOptions& o, bool json, long count) {
  const Pipes p = Configure(o);
  TPipeClient c(p.data);
  for (long seen = 0; count < 0 || seen < count;) {
    const auto msg = c.Receive();
    if (!msg) {
      std::cerr << "telvaroctl: the server closed the data pipe\n";
      return 1;
    }
    if (msg->size() != sizeof(TRecNTMobile)) {
      std::cerr << "telvaroctl: skipped a message of " << msg->size() << " bytes\n";
      continue;
    }
    TNTMobile m;
    std::memcpy(&m.Rec, msg->data(), sizeof m.Rec);
    std::cout << (json ? Json(m.Rec).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                       : m.Print(p.lines))
              << '\n'
              << std::flush;
    ++seen;
  }
  return 0;
}

}  // namespace telvaro::ctl
