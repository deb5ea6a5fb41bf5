// telvaroserver: the communication server for Krestel terminals.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "dbwriter/UnlessStopped.h"
#include "shell/CommandLine.h"
#include "shell/ConsoleFrontEnd.h"
#include "shell/Server.h"
#include "shell/ServiceNotifier.h"
#include "shell/TuiFrontEnd.h"

int main(int argc, char** argv) {
  using namespace telvaro;

  CommandLine cl;
  try {
    cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvaroserver: %s\n%s", e.what(), UsageText().c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("telvaroserver %s\n", CurrentFileInfo().c_str());
    return 0;
  }
  bool tui = cl.ui == CommandLine::Ui::Tui || (cl.ui == CommandLine::Ui::Auto && isatty(STDOUT_FILENO));

  // A dispatch application or a console reader that goes away must not end the server.
  signal(SIGPIPE, SIG_IGN);

  asio::io_context loop;
  OperatorLog log;
  // The data module first: everything after it may use the task store.
  TDM dm;

  std::unique_ptr<ConsoleFrontEnd> console;
  std::unique_ptr<TuiFrontEnd> window;
  std::unique_ptr<TfMain> form;
  bool startFailed = false;

  ServiceNotifier service(loop, log);

  const auto close = [&] {
    service.Stopping();
    if (form) form->FormClose();
    loop.stop();
  };
  asio::signal_set signals(loop, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& ec, int) {
    if (!ec) close();
  });

  std::function<void(const std::string&)> showMessage;
  if (tui) {
    try {
      window = std::make_unique<TuiFrontEnd>(loop, log, close);
    } catch (const std::exception& e) {
      // Asked for the window by name: say why there is none. Chosen only because
      // standard output is a terminal: serve on the console instead.
      if (cl.ui == CommandLine::Ui::Tui) {
        std::fprintf(stderr, "telvaroserver: %s\n", e.what());
        return 1;
      }
      tui = false;
    }
  }
  if (tui) {
    showMessage = [&](const std::string& text) { window->ShowMessage(text); };
  } else {
    console = std::make_unique<ConsoleFrontEnd>(log);
    showMessage = [&](const std::string& text) {
      console->ShowMessage(text);
      startFailed = true;
    };
  }

  // A database login that the shutdown left running must not meet the client
  // library's clean-up at exit, so the process then ends without it.
  const auto finish = [](int status) {
    if (AbandonedCalls > 0) {
      std::fflush(nullptr);
      std::_Exit(status);
    }
    return status;
  };

  form = std::make_unique<TfMain>(loop, log, dm, ProgramDirectory(cl.home), showMessage);
  if (form->FormCreate()) {
    service.Ready();
  } else if (startFailed) {
    // Nobody is there to close a message box: shut down and report the failure.
    form->FormClose();
    return finish(1);
  }
  loop.run();
  form.reset();
  window.reset();
  return finish(0);
}
