#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "pipes/PipeClient.h"
#include "base/OperatorLog.h"
#include "tests/pipes/PipeTestUtil.h"

namespace telvaro {
namespace {

using test::PipeFixture;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

Bytes Control(std::uint32_t code) {
  const auto p = MakeControlPacket(code);
  return Bytes(p.begin(), p.end());
}

/// A server named "P" whose events are written down in order.
class PipeServerTest : public PipeFixture {
 protected:
  PipeServerTest() : ps_(main_, Options()) {
    ps_.SetPipeName("P");
    ps_.OnPipeConnect = [this](TPipeServer& s, PipeHandle p) {
      events_.push_back("connect " + std::to_string(p) + " count " + std::to_string(s.ClientCount()));
    };
    ps_.OnPipeDisconnect = [this](TPipeServer& s, PipeHandle p) {
      events_.push_back("disconnect " + std::to_string(p) + " count " + std::to_string(s.ClientCount()));
    };
    ps_.OnPipeError = [this](TPipeServer&, PipeHandle, TPipeContext c, int e) {
      events_.push_back("error " + std::to_string(c) + " " + std::to_string(e));
    };
    ps_.OnPipeMessage = [this](TPipeServer&, PipeHandle p, TPipeStream& s) {
      from_.push_back(p);
      inFile_.push_back(s.IsFile());
      messages_.push_back(s.ReadRest());
    };
  }

  /// A client connected and announced.
  TPipeClient Connect() {
    const auto before = ps_.ClientCount();
    TPipeClient c(PipeSocketPath(dir_.path(), "P"));
    // A reply that never comes fails the test instead of hanging it.
    const timeval limit{10, 0};
    ::setsockopt(c.Handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    RunUntil([&] { return ps_.ClientCount() == before + 1; });
    return c;
  }

  TPipeServer ps_;
  std::vector<std::string> events_;
  std::vector<PipeHandle> from_;
  std::vector<bool> inFile_;
  std::vector<Bytes> messages_;
};

TEST_F(PipeServerTest, PipeNameChecks) {
  for (const std::string& bad : {std::string(), std::string("a\\b"), std::string("a/b"), std::string(257, 'n')}) {
    try {
      ps_.SetPipeName(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EPipeException& e) {
      EXPECT_STREQ(e.what(), "Invalid pipe name specified!");
    }
  }
  EXPECT_NO_THROW(ps_.SetPipeName(std::string(256, 'n')));
  ps_.SetPipeName("P");
  ps_.SetActive(true);
  EXPECT_NO_THROW(ps_.SetPipeName("P"));  // the same name changes nothing
  try {
    ps_.SetPipeName("Q");
    ADD_FAILURE() << "renamed while active";
  } catch (const EPipeException& e) {
    EXPECT_STREQ(e.what(), "Cannot change property while server is active!");
  }
}

TEST_F(PipeServerTest, SocketFileLifecycle) {
  TPipeOptions options = Options();
  options.mode = 0660;
  ps_.SetOptions(options);
  ps_.SetActive(true);
  struct stat st{};
  ASSERT_EQ(::lstat(Path("P").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);

  // A live server owns the name.
  TPipeServer other(main_, Options());
  other.SetPipeName("P");
  EXPECT_THROW(other.SetActive(true), EPipeException);
  EXPECT_FALSE(other.Active());

  ps_.SetActive(false);
  EXPECT_NE(::lstat(Path("P").c_str(), &st), 0) << "socket file left behind";

  // A socket file nobody listens on (a server that died) is replaced.
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, Path("P").c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  EXPECT_NO_THROW(ps_.SetActive(true));
  auto c = Connect();
  EXPECT_EQ(ps_.ClientCount(), 1);
  ps_.SetActive(false);

  // A file that is not a socket is left alone.
  std::ofstream(Path("P")) << "data";
  EXPECT_THROW(ps_.SetActive(true), EPipeException);
  EXPECT_TRUE(std::ifstream(Path("P")).good());
}

TEST_F(PipeServerTest, ConnectMessageDisconnectInOrder) {
  ps_.SetActive(true);
  PipeHandle first = 0, second = 0;
  {
    auto a = Connect();
    first = ps_.ClientList()[0];
    auto b = Connect();
    second = ps_.ClientList()[1];
    EXPECT_EQ(ps_.ClientList(), (std::vector<PipeHandle>{first, second}));
    a.Send(Pattern(5, 1));
    a.Send(Pattern(6, 2));
    b.Send(Pattern(7, 3));
    RunUntil([&] { return messages_.size() == 3; });
    EXPECT_TRUE(ps_.Write(first, Pattern(3)));
    EXPECT_TRUE(ps_.Write(second, Pattern(3)));
    EXPECT_EQ(a.Receive(), Pattern(3));
    EXPECT_EQ(b.Receive(), Pattern(3));
  }  // both clients leave
  RunUntil([&] { return ps_.ClientCount() == 0; });
  Drain();

  const auto f = std::to_string(first), s = std::to_string(second);
  EXPECT_EQ(events_[0], "connect " + f + " count 1");
  EXPECT_EQ(events_[1], "connect " + s + " count 2");
  ASSERT_EQ(events_.size(), 4u) << "a client leaving is no error";
  // The two leave in either order; the count excludes each one as it goes.
  EXPECT_TRUE((events_[2] == "disconnect " + f + " count 1" && events_[3] == "disconnect " + s + " count 0") ||
              (events_[2] == "disconnect " + s + " count 1" && events_[3] == "disconnect " + f + " count 0"))
      << events_[2] << " / " << events_[3];
  // Messages of one client keep their order.
  std::vector<Bytes> fromFirst;
  for (std::size_t i = 0; i < messages_.size(); ++i)
    if (from_[i] == first) fromFirst.push_back(messages_[i]);
  EXPECT_EQ(fromFirst, (std::vector<Bytes>{Pattern(5, 1), Pattern(6, 2)}));
  EXPECT_FALSE(ps_.Write(first, Pattern(1))) << "write to a client that left";
}

TEST_F(PipeServerTest, LongMessagesAreFramedOnTheWire) {
  std::vector<std::uint32_t> sent;
  ps_.OnPipeSent = [&](TPipeServer&, PipeHandle, std::uint32_t size) { sent.push_back(size); };
  ps_.SetActive(true);
  auto c = Connect();
  const PipeHandle p = ps_.ClientList()[0];
  ASSERT_TRUE(ps_.Write(p, Pattern(65534)));
  ASSERT_TRUE(ps_.Write(p, Pattern(65535)));
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Pattern(65534));
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Control(MB_START));
  const Bytes whole = Pattern(65535);
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Bytes(whole.begin(), whole.begin() + 65534));
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Bytes(whole.end() - 1, whole.end()));
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Control(MB_END));
  RunUntil([&] { return sent.size() == 5; });
  EXPECT_EQ(sent, (std::vector<std::uint32_t>{65534, 16, 65534, 1, 16}));
  // The start packet's bytes as they travel.
  EXPECT_EQ(Control(MB_START), (Bytes{0x10, 0, 0, 0, 'M', 'A', 'G', 'C', 'S', 'T', 'M', 'B', 'M', 'A', 'G', 'C'}));
}

TEST_F(PipeServerTest, ReceivedFramingAndLongSingleMessages) {
  test::TempDir tmp;
  ::setenv("TMPDIR", tmp.path().c_str(), 1);
  std::vector<std::size_t> filesSeen;
  ps_.OnPipeMessage = [&](TPipeServer&, PipeHandle, TPipeStream& s) {
    inFile_.push_back(s.IsFile());
    // The backing file is unlinked at once: it never shows in the directory.
    filesSeen.push_back(std::distance(std::filesystem::directory_iterator(tmp.path()),
                                      std::filesystem::directory_iterator()));
    messages_.push_back(s.ReadRest());
  };
  ps_.SetActive(true);
  auto c = Connect();
  ::unsetenv("TMPDIR");

  test::SendWhole(c.Handle(), Pattern(70000, 1));  // one socket message, no control packets
  c.Send(Pattern(100000, 2));      // start packet, pieces, end packet
  // A start packet while assembling drops the part assembled so far.
  c.Send(Control(MB_START));
  c.Send(Pattern(10, 3));
  c.Send(Control(MB_START));
  c.Send(Pattern(11, 4));
  c.Send(Control(MB_END));
  // An unknown control code drops the message; an end packet without start is ignored.
  c.Send(Control(MB_START));
  c.Send(Pattern(12, 5));
  c.Send(Control(0x12345678));
  c.Send(Control(MB_END));
  // 16 data bytes that look like a start packet begin a long message.
  const Bytes lookalike{0x10, 0, 0, 0, 'M', 'A', 'G', 'C', 'S', 'T', 'M', 'B', 'M', 'A', 'G', 'C'};
  test::SendWhole(c.Handle(), lookalike);
  c.Send(Pattern(13, 6));
  c.Send(Control(MB_END));
  c.Send(Pattern(14, 7));

  RunUntil([&] { return messages_.size() == 5; });
  EXPECT_EQ(messages_, (std::vector<Bytes>{Pattern(70000, 1), Pattern(100000, 2), Pattern(11, 4), Pattern(13, 6),
                                           Pattern(14, 7)}));
  EXPECT_EQ(inFile_, (std::vector<bool>{false, true, true, true, false}));
  EXPECT_EQ(filesSeen, (std::vector<std::size_t>{0, 0, 0, 0, 0}));
}

/// Descriptors of this process open on a file that backs a long message.
int OpenMessageFiles() {
  int n = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (!ec && target.find(std::string("/") + MB_PREFIX) != std::string::npos) ++n;
  }
  return n;
}

TEST_F(PipeServerTest, MessagePastTheLimitDisconnectsOnlyItsClient) {
  test::TempDir tmp;
  ::setenv("TMPDIR", tmp.path().c_str(), 1);
  TPipeOptions options = Options();
  options.messageLimit = 3 * MAX_BUFFER;
  ps_.SetOptions(options);
  OperatorLog log;
  ps_.SetReport(&log);
  ps_.SetActive(true);
  ::unsetenv("TMPDIR");
  auto other = Connect();

  other.Send(Pattern(3 * MAX_BUFFER, 1));
  RunUntil([&] { return messages_.size() == 1; });
  EXPECT_EQ(messages_[0], Pattern(3 * MAX_BUFFER, 1)) << "a message of exactly the limit is delivered";

  struct Case {
    const char* name;
    std::function<void(TPipeClient&)> send;
  };
  const Case cases[] = {
      {"in pieces",
       [&](TPipeClient& c) {
         c.Send(Control(MB_START));
         c.Send(Pattern(MAX_BUFFER));
         RunUntil([] { return OpenMessageFiles() == 1; });
         for (int i = 0; i < 3; ++i) c.Send(Pattern(MAX_BUFFER));
       }},
      {"in pieces the size of a control packet",
       [&](TPipeClient& c) {
         c.Send(Control(MB_START));
         for (std::size_t sent = 0; sent <= 3 * MAX_BUFFER; sent += ControlPacketSize)
           c.Send(Pattern(ControlPacketSize, 3));
       }},
      {"as one socket message", [](TPipeClient& c) { test::SendWhole(c.Handle(), Pattern(3 * MAX_BUFFER + 1)); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto c = Connect();
    const PipeHandle h = ps_.ClientList().back();
    k.send(c);
    RunUntil([&] { return ps_.ClientCount() == 1; });
    EXPECT_FALSE(c.Receive()) << "disconnected";
    EXPECT_TRUE(log.Lines().back() ==
                "Pipe client " + std::to_string(h) + " of P disconnected: a message of more than 196602 bytes");
    EXPECT_EQ(OpenMessageFiles(), 0) << "the part assembled is gone with its file";
    other.Send(Pattern(5));
    RunUntil([&] { return messages_.size() == 2; });
    EXPECT_EQ(messages_.back(), Pattern(5)) << "the other client is served on";
    messages_.pop_back();
  }
}

TEST_F(PipeServerTest, ReassemblesInMemoryWithoutTemporaryDirectory) {
  ::setenv("TMPDIR", Path("missing").c_str(), 1);
  ps_.SetActive(true);
  auto c = Connect();
  ::unsetenv("TMPDIR");
  c.Send(Pattern(70000));
  RunUntil([&] { return messages_.size() == 1; });
  EXPECT_EQ(messages_[0], Pattern(70000));
  EXPECT_FALSE(inFile_[0]);
}

TEST_F(PipeServerTest, DeactivationFromAHandlerWaitsForIt) {
  bool activeAfterRequest = false;
  ps_.OnPipeMessage = [&](TPipeServer& s, PipeHandle, TPipeStream&) {
    s.SetActive(false);
    activeAfterRequest = s.Active();
    events_.push_back("message");
  };
  ps_.SetActive(true);
  auto c = Connect();
  const auto p = std::to_string(ps_.ClientList()[0]);
  c.Send(Pattern(1));
  RunUntil([&] { return !ps_.Active(); });
  EXPECT_TRUE(activeAfterRequest);
  EXPECT_EQ(events_, (std::vector<std::string>{"connect " + p + " count 1", "message", "disconnect " + p + " count 0"}));
  EXPECT_EQ(c.Receive(), std::nullopt) << "the client was disconnected";
  EXPECT_FALSE(std::filesystem::exists(Path("P")));
}

TEST_F(PipeServerTest, HandlerErrorIsReportedAndServingGoesOn) {
  std::vector<std::string> reported;
  ps_.OnHandlerError = [&](TPipeServer&, const std::string& m) { reported.push_back(m); };
  ps_.OnPipeMessage = [&](TPipeServer&, PipeHandle, TPipeStream& s) {
    messages_.push_back(s.ReadRest());
    if (messages_.size() == 1) throw std::runtime_error("bad request");
  };
  ps_.SetActive(true);
  auto c = Connect();
  c.Send(Pattern(1));
  c.Send(Pattern(2));
  RunUntil([&] { return messages_.size() == 2; });
  EXPECT_EQ(reported, std::vector<std::string>{"bad request"});
}

TEST_F(PipeServerTest, StalledClientIsDroppedAtItsBound) {
  TPipeOptions options = Options();
  options.queueLimit = 256 * 1024;
  ps_.SetOptions(options);
  OperatorLog log;
  ps_.SetReport(&log);
  ps_.SetActive(true);
  auto stalled = Connect();
  auto reader = Connect();
  const PipeHandle s = ps_.ClientList()[0], r = ps_.ClientList()[1];

  constexpr int Count = 400;  // 1 MB, four times the bound
  std::atomic<int> received{0};
  std::atomic<bool> inOrder{true};
  std::thread readThread([&] {
    for (int i = 0; i < Count; ++i) {
      const auto m = reader.Receive();
      if (!m || *m != Pattern(2696, static_cast<std::uint8_t>(i))) inOrder = false;
      ++received;
    }
  });
  int refused = 0;
  for (int i = 0; i < Count; ++i) {
    // Keep the reading client well inside its bound.
    while (i - received.load() > 20) std::this_thread::yield();
    const auto m = Pattern(2696, static_cast<std::uint8_t>(i));
    if (!ps_.Write(s, m)) ++refused;
    ASSERT_TRUE(ps_.Write(r, m));
  }
  readThread.join();
  EXPECT_EQ(received.load(), Count);
  EXPECT_TRUE(inOrder.load());
  EXPECT_EQ(refused, 1) << "refused once, then dropped with the connection";
  EXPECT_EQ(ps_.DroppedClients(), 1u);
  RunUntil([&] { return ps_.ClientCount() == 1; });
  EXPECT_EQ(ps_.ClientList(), std::vector<PipeHandle>{r});
  const auto lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Pipe client " + std::to_string(s) + " of P disconnected: more than 262144 bytes queued"),
            lines.end());
  // The stalled client finds what reached its socket, then the end.
  int buffered = 0;
  while (stalled.Receive()) ++buffered;
  EXPECT_LT(buffered, Count);
}

}  // namespace
}  // namespace telvaro
