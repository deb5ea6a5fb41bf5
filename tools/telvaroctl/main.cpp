// telvaroctl: the dispatch side of the server from the command line, and the reference
// client of both pipes and of the HTTP endpoint: queue a command, upload a file, stop an
// upload, ask for the fuel report, follow the data pipe; list the terminals and their
// tasks, cancel tasks, show the server's health.

#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/telvaroctl/Ctl.h"

namespace telvaro::ctl {
namespace {

constexpr int UsageStatus = 2;

int Run(int argc, char** argv) {
  CommonOptions o;
  CLI::App app{"The dispatch side of the Telvaro server: requests on its command pipe, records from its data "
               "pipe, and its HTTP endpoint.",
               "telvaroctl"};
  app.set_version_flag("--version", "telvaroctl " TELVARO_VERSION, "print the version and exit");
  app.footer(
      "The settings (telvaroserver.ini) and event names (events.txt) of the program directory give the pipes, "
      "the HTTP endpoint and the shape of record lines. Text arguments are UTF-8; they travel as Windows-1251.");
  // The common options may also follow the command.
  app.fallthrough();
  app.add_option("--home", o.home,
                 "program directory of the server (default: the directory of this program, or " TELVARO_CONFIG_DIR
                 " when that holds no telvaroserver.ini)")
      ->type_name("DIR");
  app.add_option("--pipe-dir", o.pipeDir, "directory of the pipe sockets ([Server] PipeDir, else /tmp)")
      ->type_name("DIR");
  app.add_option("--data-pipe", o.dataPipe, "name of the data pipe ([Server] PipeChannel, else TelvaroPipe)")
      ->type_name("NAME");
  app.add_option("--cmd-pipe", o.cmdPipe, "name of the command pipe ([Server] CmdChannel, else CmdPipe)")
      ->type_name("NAME");
  app.add_option("--http", o.http, "the server's HTTP endpoint ([Http] Address and Port, else 127.0.0.1:4002)")
      ->type_name("HOST:PORT");
  app.add_option("--token", o.token, "token of requests that change something ([Http] Token)")->type_name("TOKEN");
  app.add_option("--timeout", o.timeout, "seconds to wait for an answer")
      ->check(CLI::Range(1L, 86400L))
      ->type_name("SECONDS")
      ->capture_default_str();
  app.add_flag("--any-id", o.anyId, "take a terminal ID as it is instead of requiring an IMEI of 15 digits");

  std::string id, text, type, file, from, to;
  CommandText cmd;
  auto* command = app.add_subcommand("command", "queue a command for terminal ID and print the bytes queued");
  command->add_option("ID", id, "the terminal's IMEI")->required();
  command->add_option("TEXT", cmd.text, "the command; it may not begin with \"f\" or \"d\" nor hold \"REPORT*\"")
      ->required();
  command->add_flag("--hex", cmd.hex, "TEXT is bytes in hexadecimal, e.g. \"0C\" or \"05 01 00\"");
  command->add_flag("--frame", cmd.frame,
                    "wrap the bytes in a command frame (signature, length, kind 4, checksum) as the server "
                    "encodes its own commands; its first byte is the command's kind");

  auto* upload = app.add_subcommand("upload", "upload FILE to terminal ID");
  upload->add_option("ID", id, "the terminal's IMEI")->required();
  upload->add_option("TYPE", type, "the file type digit, 0 to 9")->required();
  upload->add_option("FILE", file, "the file")->required();

  auto* stop = app.add_subcommand("stop", "stop the file uploads queued for terminal ID");
  stop->add_option("ID", id, "the terminal's IMEI")->required();

  auto* report = app.add_subcommand(
      "report", "ask for the fuel report of FROM to TO; prints the path of the report file, then the file");
  report->add_option("FROM", from, "first date, as the server reads dates")->required();
  report->add_option("TO", to, "last date")->required();

  bool json = false;
  long count = -1;
  auto* tail = app.add_subcommand("tail", "follow the data pipe: each record as its log line, or as JSON");
  tail->add_flag("--json", json, "one JSON object per line");
  tail->add_option("--count", count, "stop after N records")->check(CLI::NonNegativeNumber);

  auto* terminals = app.add_subcommand("terminals", "list the terminal connections (HTTP)");
  terminals->add_flag("--json", json, "the server's JSON as it came");

  auto* tasks = app.add_subcommand("tasks", "list the tasks queued for terminal ID, in hand-out order (HTTP)");
  tasks->add_option("ID", id, "the terminal's IMEI")->required();
  tasks->add_flag("--json", json, "the server's JSON as it came");

  long long n = 0;
  auto* cancel = app.add_subcommand("cancel", "cancel task N of terminal ID, or all its tasks (HTTP)");
  cancel->add_option("ID", id, "the terminal's IMEI")->required();
  auto* nOption = cancel->add_option("N", n, "the task's number, as tasks lists it")->check(CLI::NonNegativeNumber);
  cancel->add_flag("--json", json, "the server's JSON as it came");

  auto* status = app.add_subcommand("status", "health and a few metrics; exit status 1 when failing (HTTP)");
  status->add_flag("--json", json, "health and those metrics as one JSON object");

  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }

  if (*command) return Command(o, id, cmd);
  if (*upload) return Upload(o, id, type, file);
  if (*stop) return Stop(o, id);
  if (*report) return Report(o, from, to);
  if (*tail) return Tail(o, json, count);
  if (*terminals) return Terminals(o, json);
  if (*tasks) return Tasks(o, id, json);
  if (*cancel) return Cancel(o, id, *nOption ? std::optional<long long>(n) : std::nullopt, json);
  if (*status) return Status(o, json);
  std::cout << app.help();
  return UsageStatus;
}

}  // namespace
}  // namespace telvaro::ctl

int main(int argc, char** argv) {
  try {
    return telvaro::ctl::Run(argc, argv);
  } catch (const telvaro::ctl::UsageError& e) {
    std::cerr << "telvaroctl: " << e.what() << "\nTry telvaroctl --help.\n";
    return telvaro::ctl::UsageStatus;
  } catch (const std::exception& e) {
    std::cerr << "telvaroctl: " << e.what() << '\n';
    return 1;
  }
}
