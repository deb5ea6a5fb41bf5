// The lasting log file: its lines and their date-time, its reopening after a rename,
// and lines dropped, not waited for, while the file cannot take them.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/OperatorLog.h"
#include "shell/LogFile.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

/// The line without its "yyyy-mm-dd hh:mm:ss.zzz " prefix; "<no date>" when it has none.
std::string Text(const std::string& line) {
  static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  std::smatch m;
  if (!std::regex_search(line, m, stamp, std::regex_constants::match_continuous)) return "<no date>";
  return m.suffix();
}

std::vector<std::string> Texts(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(Text(l));
  return out;
}

TEST(LogFile, AppendsEveryLineAfterItsDateAndTimeAndReopensAfterARename) {
  test::TempDir dir;
  const std::string path = dir.path() + "/server.log";
  std::ofstream(path) << "from an earlier run\n";
  OperatorLog log;
  {
    LogFile file(log, path, {"banner", "Initialization begins"});
    log.Append("Settings loaded");
    log.SetLabel("a label is no line");
    log.Append("Тест");
    file.Reopen();  // the same file again: nothing is lost or repeated
    log.Append("after a reopen");
  }
  auto lines = FileLines(path);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "from an earlier run");
  lines.erase(lines.begin());
  EXPECT_EQ(Texts(lines),
            (std::vector<std::string>{"banner", "Initialization begins", "Settings loaded", "Тест", "after a reopen"}));

  // logrotate's way: move the file, then have the server open the path anew.
  {
    LogFile file(log, path);
    log.Append("before the rename");
    std::filesystem::rename(path, path + ".1");
    file.Reopen();
    // The new file exists once the writer has reopened, before any line is written.
    for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(path));
    log.Append("after the rename");
  }
  EXPECT_EQ(Texts(FileLines(path + ".1")).back(), "before the rename");
  EXPECT_EQ(Texts(FileLines(path)), std::vector<std::string>{"after the rename"});
}

TEST(LogFile, DropsAndCountsLinesWhileTheFileCannotTakeThemWithoutStoppingTheLog) {
  // A FIFO nobody reads yet stands for a disk that does not keep up: the writer blocks
  // once the pipe's buffer is full.
  test::TempDir dir;
  const std::string path = dir.path() + "/slow.log";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  constexpr int Lines = 5000;
  std::mutex textLock;
  std::string text;
  const auto received = [&](std::string_view part) {
    std::lock_guard lock(textLock);
    return text.find(part) != std::string::npos;
  };
  std::thread drain;
  {
    OperatorLog log;
    LogFile file(log, path, {}, 100);
    const std::string padding(200, 'x');
    // Every append returns although the writer is stuck: the loop ends.
    for (int i = 0; i < Lines; ++i) log.Append(std::to_string(i) + " " + padding);

    drain = std::thread([&] {
      ::fcntl(reader, F_SETFL, 0);
      char buf[65536];
      // The end comes when the log file closes its end.
      for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) {
        std::lock_guard lock(textLock);
        text.append(buf, static_cast<std::size_t>(n));
      }
    });
    // Once the count is written, the queue it followed is empty.
    for (int i = 0; i < 2000 && !received(" lines were dropped\n"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log.Append("end");
  }
  drain.join();
  ::close(reader);

  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(Text(l));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "end");
  // The count follows the lines queued before the drop and precedes the line after it.
  std::smatch m;
  const std::string countLine = lines[lines.size() - 2];
  ASSERT_TRUE(std::regex_match(countLine, m, std::regex(R"(Log file: (\d+) lines were dropped)"))) << countLine;
  const long long dropped = std::stoll(m[1]);
  int last = -1;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    const int n = std::stoi(lines[i]);
    EXPECT_GT(n, last) << "lines keep their order";
    last = n;
  }
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(static_cast<long long>(lines.size()) - 2 + dropped, Lines);
}

TEST(LogFile, PathThatCannotBeOpenedThrows) {
  OperatorLog log;
  EXPECT_THROW(LogFile(log, "/nonexistent-directory/server.log"), std::system_error);
}

}  // namespace
}  // namespace telvaro
