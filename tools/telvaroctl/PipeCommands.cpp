// telvaroctl: the dispatch side of the server from the command line, and the reference
// client of both pipes: queue a command, upload a file, stop an upload, ask for the fuel
// report, follow the data pipe.

#include <sys/socket.h>
#include <sys/time.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "pipes/PipeClient.h"
#include "pipes/PipeText.h"
#include "pipes/PipeServer.h"
#include "protocol/ParserBase.h"
#include "records/DateTime.h"
#include "records/Events.h"
#include "records/TerminalRecord.h"
#include "base/Settings.h"

namespace telvaro {
namespace {

constexpr const char* Usage = R"(usage: telvaroctl [OPTIONS] COMMAND [ARGS]

Commands:
  command ID TEXT       queue TEXT as a command for terminal ID (TEXT may not begin
                        with "f" or "d" nor hold "REPORT*": those are other requests)
  upload ID TYPE FILE   upload FILE to terminal ID; TYPE is the file type digit 0 to 9
  stop ID               stop the file uploads queued for terminal ID
  report FROM TO        ask for the fuel report of FROM to TO (dates as the server reads
                        them); prints the path of the report file, then the file
  tail [--json] [--count N]
                        follow the data pipe: each record as its log line, or as one
                        JSON line with --json; stop after N records

Options:
  --home DIR            program directory whose telvaroserver.ini and events.txt give
                        the defaults below and shape the record lines (default: the
                        directory of this program)
  --pipe-dir DIR        directory of the pipe sockets ([Server] PipeDir, else /tmp)
  --data-pipe NAME      name of the data pipe ([Server] PipeChannel, else TelvaroPipe)
  --cmd-pipe NAME       name of the command pipe ([Server] CmdChannel, else CmdPipe)
  --timeout SECONDS     how long report waits for the reply (default 10)
  --help                show this text

Text arguments are UTF-8; they travel as Windows-1251.
)";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::optional<std::string> home, pipeDir, dataPipe, cmdPipe;
  std::vector<std::string> args;
  bool json = false;
  long timeout = 10;
  long count = -1;
};

/// The directory of this program, with a trailing "/".
std::string ProgramDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("./") : exe.parent_path().string() + "/";
}

/// The socket paths of the server's two pipes, and the options of the record lines.
struct Pipes {
  std::string data;
  std::string cmd;
  RenderOptions lines;
};

/// Reads the settings and event names of the program directory, which shape the record
/// lines; the pipes are those the settings name, unless the options name others.
Pipes Configure(const Options& o) {
  std::string home = o.home.value_or(ProgramDirectory());
  if (home.empty() || home.back() != '/') home += '/';
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
  if (cp->size() > 255) throw UsageError(what + " is longer than 255 characters");
  return *cp;
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

int Upload(const Options& o, const Pipes& p) {
  const auto& a = o.args;
  if (a.size() != 4) throw UsageError("upload needs ID TYPE FILE");
  if (a[2].size() != 1 || a[2][0] < '0' || a[2][0] > '9') throw UsageError("TYPE must be one digit");
  const std::string data = ReadFile(a[3]);
  if (data.size() > 0x7FFFFFFF) throw UsageError("the file is larger than 2 GiB");
  // "f", a free character, the type, two free characters, the size.
  const TCmdRec r = Request(a[1], "f " + a[2] + "  " + std::to_string(data.size()));
  SendRequest(p, Message(r, std::vector<std::uint8_t>(data.begin(), data.end())));
  return 0;
}

int Report(const Options& o, const Pipes& p) {
  const auto& a = o.args;
  if (a.size() != 3) throw UsageError("report needs FROM TO");
  const TCmdRec r = Request("telvaroctl", FieldText("the report request", "REPORT*" + a[1] + "*" + a[2] + "*"));
  TPipeClient c(p.cmd);
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

/// `s` (UTF-8) as a JSON string.
std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{:04x}", c);
    } else {
      out += ch;
    }
  }
  return out + '"';
}

std::string JsonNumber(double v) { return std::isfinite(v) ? fmt::format("{}", v) : "null"; }

std::string JsonTime(TDateTime t) {
  if (!std::isfinite(t)) return "null";
  const auto p = DecodeDateTime(t);
  return fmt::format("\"{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}\"", p.year, p.month, p.day, p.hour, p.minute,
                     p.second, p.msec);
}

std::string Json(const TRecNTMobile& r) {
  const auto text = [](std::string_view s) { return JsonString(PipeTextToUtf8(s)); };
  std::string io;
  for (int n = 1; n <= MaxElement; ++n)
    if (r.Fl(n)) io += fmt::format("{}\"{}\":{}", io.empty() ? "" : ",", n, r.Io(n));
  const TGNSS& g = r.GNSS;
  return fmt::format(
      "{{\"RecTime\":{},\"ID\":{},\"Event\":{},\"EventValue\":{},\"Param\":{},\"ParamValue\":{},"
      "\"ParamString\":{},\"Entity\":{},\"EntityValue\":{},\"ResultOp\":{},\"Restart\":{},\"Balance\":{},"
      "\"CellID\":{},\"LAC\":{},\"GNSS\":{{\"UTC\":{},\"Lat\":{},\"Lon\":{},\"Alt\":{},\"Az\":{},\"Sat\":{},"
      "\"Speed\":{},\"Valid\":{},\"GNSS\":{}}},\"IO\":{{{}}}}}",
      JsonTime(r.RecTime), text(r.ID.view()), r.Event, r.EventValue, r.Param, r.ParamValue, text(r.ParamString.view()),
      r.Entity, r.EntityValue, r.ResultOp, r.Restart, JsonNumber(r.Balance), text(r.CellID.view()),
      text(r.LAC.view()), JsonTime(g.UTC), JsonNumber(g.Lat), JsonNumber(g.Lon), g.Alt, g.Az, g.Sat, g.Speed, g.Valid,
      g.GNSS, io);
}

int Tail(const Options& o, const Pipes& p) {
  if (o.args.size() != 1) throw UsageError("tail takes no arguments");
  TPipeClient c(p.data);
  const RenderOptions& lineOptions = p.lines;
  for (long seen = 0; o.count < 0 || seen < o.count;) {
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
    std::cout << (o.json ? Json(m.Rec) : m.Print(lineOptions)) << '\n' << std::flush;
    ++seen;
  }
  return 0;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "--home")
      o.home = value();
    else if (a == "--pipe-dir")
      o.pipeDir = value();
    else if (a == "--data-pipe")
      o.dataPipe = value();
    else if (a == "--cmd-pipe")
      o.cmdPipe = value();
    else if (a == "--timeout") {
      const std::string v = value();
      char* end = nullptr;
      o.timeout = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || o.timeout < 1) throw UsageError("--timeout needs a number of seconds");
    } else if (a == "--json")
      o.json = true;
    else if (a == "--count") {
      const std::string v = value();
      char* end = nullptr;
      o.count = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || o.count < 0) throw UsageError("--count needs a number");
    } else if (a.size() > 2 && a.starts_with("--") && a != "--help")
      throw UsageError("unknown option " + a);
    else
      o.args.push_back(a);
  }
  return o;
}

int Run(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  const auto& a = o.args;
  if (a.empty() || a[0] == "--help" || a[0] == "help") {
    std::cout << Usage;
    return a.empty() ? 2 : 0;
  }
  const Pipes p = Configure(o);
  if (a[0] == "command") {
    if (a.size() != 3) throw UsageError("command needs ID TEXT");
    const std::string text = FieldText("the command", a[2]);
    // The server takes such a text for an upload, a stop or a report request; it would
    // never reach the terminal.
    if (text.starts_with('f') || text.starts_with('d') || text.find("REPORT*") != std::string::npos)
      throw UsageError("a command may not begin with \"f\" or \"d\" nor hold \"REPORT*\"");
    SendRequest(p, Message(Request(a[1], text)));
    return 0;
  }
  if (a[0] == "upload") return Upload(o, p);
  if (a[0] == "stop") {
    if (a.size() != 2) throw UsageError("stop needs ID");
    SendRequest(p, Message(Request(a[1], "d")));
    return 0;
  }
  if (a[0] == "report") return Report(o, p);
  if (a[0] == "tail") return Tail(o, p);
  throw UsageError("unknown command " + a[0]);
}

}  // namespace
}  // namespace telvaro

int main(int argc, char** argv) {
  try {
    return telvaro::Run(argc, argv);
  } catch (const telvaro::UsageError& e) {
    std::cerr << "telvaroctl: " << e.what() << "\nTry telvaroctl --help.\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "telvaroctl: " << e.what() << '\n';
    return 1;
  }
}
