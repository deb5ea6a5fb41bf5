#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "shell/TuiFrontEnd.h"

namespace telvaro {
namespace {

// The window drawn into a pseudo terminal whose output a thread collects.
class Tui : public ::testing::Test {
 protected:
  void SetUp() override {
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 100;
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, &ws), 0);
    in_ = fdopen(dup(slave_), "r");
    out_ = fdopen(dup(slave_), "w");
    reader_ = std::thread([this] {
      char buf[4096];
      while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        output_.append(buf, n);
      }
    });
  }
  void TearDown() override {
    stop_ = true;
    reader_.join();
    std::fclose(in_);
    std::fclose(out_);
    close(slave_);
    close(master_);
  }

  TuiTerminal Terminal() const { return {in_, out_, "xterm"}; }
  std::string Output() {
    std::lock_guard lock(mutex_);
    return output_;
  }
  bool Shows(std::string_view text) { return Output().find(text) != std::string::npos; }
  void Type(std::string_view keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

  // Runs the loop until `done` holds; gives up after about ten seconds.
  bool RunUntil(asio::io_context& io, const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      io.run_for(std::chrono::milliseconds(20));
      if (io.stopped()) {  // nothing left to run: wait for the reader instead
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        io.restart();
      }
    }
    return done();
  }

  bool TerminalIsCooked() const {
    termios t{};
    tcgetattr(slave_, &t);
    return (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
  }

  int master_ = -1, slave_ = -1;
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string output_;
  OperatorLog log_;
};

// The sequence that leaves xterm's alternate screen.
constexpr std::string_view LeaveAlternateScreen = "\x1b[?1049l";

TEST_F(Tui, DrawsTheWindowAndClosesOnQOrF10) {
  log_.SetLabel("Port 4001 for Krestel is ready to use.");
  log_.SetPanel(0, "No database");
  log_.SetPanel(4, "Version : 0.1.0");
  log_.Append("ID=1 Пинг");
  for (const char* key : {"q", "\x1b[21~"}) {
    asio::io_context io;
    int closes = 0;
    {
      TuiFrontEnd tui(io, log_, [&] { ++closes; }, Terminal());
      EXPECT_FALSE(TerminalIsCooked());
      // The first frame is drawn whole; later ones only where the screen changed.
      EXPECT_TRUE(RunUntil(io, [&] {
        return Shows("Telvaro Server Krestel") && Shows("Port 4001 for Krestel is ready to use.") &&
               Shows("No database") && Shows("Version : 0.1.0") && Shows("ID=1 Пинг");
      })) << Output();
      log_.Append("a line appended while the window is open");
      EXPECT_TRUE(RunUntil(io, [&] { return Shows("a line appended while the window is open"); }));
      Type(key);
      Type(key);  // a second press does not close twice
      EXPECT_TRUE(RunUntil(io, [&] { return closes > 0; }));
      io.run_for(std::chrono::milliseconds(100));
      EXPECT_EQ(closes, 1);
    }
    EXPECT_TRUE(TerminalIsCooked());
    EXPECT_TRUE(RunUntil(io, [&] { return Output().rfind(LeaveAlternateScreen) != std::string::npos; }));
    std::lock_guard lock(mutex_);
    output_.clear();
  }
}

TEST_F(Tui, MessageBoxShowsTextAndOk) {
  asio::io_context io;
  TuiFrontEnd tui(io, log_, [] {}, Terminal());
  tui.ShowMessage("Could not bind to 0.0.0.0:4001: Address already in use");
  EXPECT_TRUE(RunUntil(io, [&] { return Shows("Address already in use") && Shows(" OK "); })) << Output();
}

TEST_F(Tui, FatalEndsGiveTheTerminalBack) {
  for (const char* how : {"abort", "terminate"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // only async-signal-safe calls until exec
      dup2(slave_, STDIN_FILENO);
      dup2(slave_, STDOUT_FILENO);
      execl(TUI_FATAL_CHILD, TUI_FATAL_CHILD, how, static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && ended == 0; ++i) {
      ended = waitpid(child, &status, WNOHANG);
      if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ended == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << how << ": the window's program did not end";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << how << " status " << status;
    EXPECT_TRUE(TerminalIsCooked()) << how;
    asio::io_context io;
    EXPECT_TRUE(RunUntil(io, [&] { return Output().rfind(LeaveAlternateScreen) != std::string::npos; })) << how;
    std::lock_guard lock(mutex_);
    output_.clear();
  }
}

}  // namespace
}  // namespace telvaro
