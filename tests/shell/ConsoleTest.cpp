#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "shell/ConsoleFrontEnd.h"

namespace telvaro {
namespace {

std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
  return s;
}

struct TempFile {
  std::FILE* f = std::tmpfile();
  ~TempFile() { std::fclose(f); }
};

TEST(Console, ScriptedRun) {
  OperatorLog log;
  TempFile out, err;
  {
    ConsoleFrontEnd console(log, out.f, err.f);
    log.Append("Initialization begins");
    log.Append("");
    log.SetPanel(0, "No database");
    log.SetLabel("Port 4001 for Krestel is ready to use.");
    log.SetPanel(1, "Data: TelvaroPipe");
    log.SetPanel(1, "Data: TelvaroPipe Cmd: CmdPipe");
    log.Append("ID=356307042441013 Пинг");
    console.ShowMessage("Address already in use");
  }
  log.Append("after the console is gone");
  EXPECT_EQ(ReadAll(out.f),
            "Initialization begins\n"
            "\n"
            "== panel 0: No database\n"
            "== label: Port 4001 for Krestel is ready to use.\n"
            "== panel 1: Data: TelvaroPipe\n"
            "== panel 1: Data: TelvaroPipe Cmd: CmdPipe\n"
            "ID=356307042441013 Пинг\n");
  EXPECT_EQ(ReadAll(err.f), "Error: Address already in use\n");
}

// Lines go out from a writer thread: each must reach a pipe reader promptly, not wait
// in the stream's buffer for more.
TEST(Console, EachLineIsFlushedAsItIsAppended) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  std::FILE* out = fdopen(fds[1], "w");  // a pipe is fully buffered unless flushed
  ASSERT_NE(out, nullptr);
  OperatorLog log;
  {
    ConsoleFrontEnd console(log, out, out);
    for (const char* line : {"first", "second"}) {
      log.Append(line);
      char buf[64];
      ssize_t n = -1;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while ((n = read(fds[0], buf, sizeof buf)) < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_EQ(std::string(buf, n > 0 ? n : 0), std::string(line) + "\n");
    }
  }
  std::fclose(out);
  close(fds[0]);
}

// The message box comes after every line logged before it, even while the writer
// thread still holds them, when both streams are one.
TEST(Console, MessageFollowsTheLinesBeforeIt) {
  OperatorLog log;
  TempFile out;
  std::string expected;
  {
    ConsoleFrontEnd console(log, out.f, out.f);
    for (int i = 0; i < 5000; ++i) {
      log.Append("line " + std::to_string(i));
      expected += "line " + std::to_string(i) + "\n";
    }
    console.ShowMessage("Address already in use");
    expected += "Error: Address already in use\n";
  }
  EXPECT_EQ(ReadAll(out.f), expected);
}

TEST(Console, LinesOfSeveralThreadsKeepTheirOrder) {
  OperatorLog log;
  TempFile out;
  constexpr int Threads = 4, PerThread = 2000;  // empties the log several times
  {
    ConsoleFrontEnd console(log, out.f, out.f);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
      threads.emplace_back([&log, t] {
        for (int i = 0; i < PerThread; ++i) log.Append(std::to_string(t) + ":" + std::to_string(i));
      });
    for (auto& th : threads) th.join();
  }
  std::vector<int> next(Threads, 0);
  const std::string text = ReadAll(out.f);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    const int t = line[0] - '0';
    ASSERT_EQ(line, std::to_string(t) + ":" + std::to_string(next[t]++));
  }
  EXPECT_EQ(next, std::vector<int>(Threads, PerThread));
  EXPECT_EQ(log.LineCount(), Threads * PerThread % 1001 + 1u);  // the 1001-line rule at every append
}

}  // namespace
}  // namespace telvaro
