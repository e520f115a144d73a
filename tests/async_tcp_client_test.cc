#include "platform/async_tcp_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/socket_error.h"
#include "fakes/loopback_server.h"
#include "fakes/qt_test_loop.h"
#include "platform/diag.h"

namespace qarn {
namespace {

// Every event of the client, in order, as text.
class ClientTest : public ::testing::Test {
 protected:
  ClientTest() {
    EnsureQtApplication();
    client_.SetHost("127.0.0.1");
    client_.SetPort(server_.port());
    client_.SetOnConnected([this](K7Client&) { events_.push_back("connected"); });
    client_.SetOnDisconnected([this](K7Client&) { events_.push_back("disconnected"); });
    client_.SetOnRead([this](K7Client&, const Bytes& stream) {
      events_.push_back("read " + std::to_string(stream.size()));
      read_.insert(read_.end(), stream.begin(), stream.end());
    });
    client_.SetOnError([this](K7Client&, int32_t, int32_t code, const std::string& text) {
      events_.push_back("error " + std::to_string(code) + " " + text);
    });
  }

  bool RunUntil(const std::function<bool()>& done) { return RunLoopUntil(loop_, done); }

  void ConnectAndAccept() {
    client_.SetConnected(true);
    ASSERT_TRUE(RunUntil([&] { return server_.connected() || server_.TryAccept(); }));
    ASSERT_TRUE(RunUntil([&] { return client_.Connected(); }));
    EXPECT_EQ(events_, std::vector<std::string>{"connected"});
  }

  QtMainLoop loop_;
  LoopbackServer server_;
  AsyncTcpClient client_{loop_};
  std::vector<std::string> events_;
  Bytes read_;
};

TEST_F(ClientTest, NobodyListeningGivesDisconnectedThenRefused) {
  server_.StopListening();
  client_.SetConnected(true);
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(RunUntil([&] { return events_.size() >= 2; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"disconnected", "error 10061 Connection refused"}));
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.socket(), -1);
}

TEST_F(ClientTest, UnknownHostGivesDisconnectedThenBadAddress) {
  client_.SetHost("no-such-host.invalid");  // a reserved name that never resolves
  client_.SetConnected(true);
  client_.SetConnected(true);  // the lookup under way is not restarted
  ASSERT_TRUE(RunUntil([&] { return events_.size() >= 2; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"disconnected", "error 10014 Bad address"}));
  EXPECT_EQ(client_.socket(), -1);
}

TEST_F(ClientTest, AskingTwiceDuringOneAttemptConnectsOnce) {
  client_.SetConnected(true);
  client_.SetConnected(true);
  ASSERT_TRUE(RunUntil([&] { return client_.Connected(); }));
  client_.SetConnected(true);
  EXPECT_TRUE(server_.TryAccept());
  EXPECT_FALSE(server_.TryAccept());
  EXPECT_EQ(events_, std::vector<std::string>{"connected"});
}

TEST_F(ClientTest, PeerCloseLeavesTheClientIdle) {
  ConnectAndAccept();
  server_.CloseGracefully();
  ASSERT_TRUE(RunUntil([&] { return events_.size() >= 2; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"connected", "disconnected"}));
  EXPECT_FALSE(client_.Connected());
  // A new attempt would have been started within the disconnect: none is waiting.
  EXPECT_FALSE(server_.TryAccept());
}

TEST_F(ClientTest, PeerResetIsAnError) {
  ConnectAndAccept();
  server_.Reset();
  ASSERT_TRUE(RunUntil([&] { return events_.size() >= 3; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"connected", "disconnected",
                                               "error 10054 Connection reset by peer"}));
}

TEST_F(ClientTest, DataThenCloseArriveInThatOrder) {
  ConnectAndAccept();
  const Bytes batch(1110, 0x5A);
  server_.Send(batch);
  server_.CloseGracefully();
  ASSERT_TRUE(RunUntil([&] { return events_.size() >= 3; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"connected", "read 1110", "disconnected"}));
  EXPECT_EQ(read_, batch);
}

TEST_F(ClientTest, PiecesApartArriveAsSeparateReads) {
  ConnectAndAccept();
  server_.Send(Bytes(300, 1));
  ASSERT_TRUE(RunUntil([&] { return read_.size() == 300; }));
  server_.Send(Bytes(255, 2));
  ASSERT_TRUE(RunUntil([&] { return read_.size() == 555; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"connected", "read 300", "read 255"}));
}

TEST_F(ClientTest, BurstIsReadInBoundedSlices) {
  ConnectAndAccept();
  std::vector<size_t> reads;
  client_.SetOnRead([&](K7Client&, const Bytes& stream) { reads.push_back(stream.size()); });
  const Bytes burst(8 << 20, 0xFF);
  size_t sent = 0;
  size_t read = 0;
  ASSERT_TRUE(RunUntil([&] {
    int error = 0;
    const long n = server_.connection()->Send(ByteView(burst).subspan(sent), &error);
    if (n > 0) sent += static_cast<size_t>(n);
    read = 0;
    for (size_t r : reads) read += r;
    return read == burst.size();
  }));
  EXPECT_LE(*std::max_element(reads.begin(), reads.end()), AsyncTcpClient::kMaxReadBatch);
}

TEST_F(ClientTest, SendStreamResults) {
  const Bytes unit(555, 0xFF);
  EXPECT_EQ(client_.SendStream(unit), 0);  // idle: no socket
  ConnectAndAccept();
  EXPECT_EQ(client_.SendStream(ByteView()), 0);
  EXPECT_EQ(client_.SendStream(unit), 555);
  ASSERT_TRUE(RunUntil([&] {
    server_.Poll();
    return server_.received().size() >= 555;
  }));
  EXPECT_EQ(server_.received(), unit);
}

TEST_F(ClientTest, OwnDisconnectRaisesDisconnectedOnly) {
  ConnectAndAccept();
  client_.SetConnected(false);
  client_.SetConnected(false);
  EXPECT_EQ(events_, (std::vector<std::string>{"connected", "disconnected"}));
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.SendStream(Bytes(3, 1)), 0);
}

TEST_F(ClientTest, HostAndPortDoNotChangeWhileConnected) {
  ConnectAndAccept();
  client_.SetHost("127.0.0.1");  // the same text changes nothing
  EXPECT_EQ(events_.size(), 1u);
  try {
    client_.SetHost("localhost");
    FAIL() << "no exception";
  } catch (const SocketException& e) {
    EXPECT_STREQ(e.what(), "Can not change Host while connected");
  }
  try {
    client_.SetPort(1);
    FAIL() << "no exception";
  } catch (const SocketException& e) {
    EXPECT_STREQ(e.what(), "Can not change Port while connected");
  }
  EXPECT_EQ(client_.Host(), "127.0.0.1");
  EXPECT_EQ(client_.Port(), server_.port());
  EXPECT_TRUE(client_.Connected());
}

TEST_F(ClientTest, ErrorWithoutHandlerIsAnException) {
  server_.StopListening();
  client_.SetOnError(nullptr);
  std::vector<std::string> lines;
  SetDiagSink([&](bool, const std::string& line) { lines.push_back(line); });
  client_.SetConnected(true);
  // The failure comes in a notification; the loop's guard reports it.
  ASSERT_TRUE(RunUntil([&] { return !lines.empty(); }));
  SetDiagSink(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"Connection refused"});
}

TEST_F(ClientTest, DestroyingConnectedClientRaisesNothing) {
  ConnectAndAccept();
  auto other = std::make_unique<AsyncTcpClient>(loop_);
  other->SetHost("localhost");
  other->SetPort(server_.port());
  bool disconnected = false;
  other->SetOnDisconnected([&](K7Client&) { disconnected = true; });
  other->SetConnected(true);
  ASSERT_TRUE(RunUntil([&] { return other->Connected(); }));
  ASSERT_TRUE(server_.TryAccept());
  other.reset();
  EXPECT_FALSE(disconnected);
  // The server sees the close.
  ASSERT_TRUE(RunUntil([&] {
    int error = 0;
    return server_.connection()->PeerClosed(&error) != 0;
  }));
}

TEST(SocketAddress, OnlyDottedAddressesSkipTheResolver) {
  EXPECT_EQ(NumericIPv4("127.0.0.1"), 0x7F000001u);
  // A name, "localhost" included, is the resolver's to answer.
  EXPECT_EQ(NumericIPv4("localhost"), std::nullopt);
  EXPECT_EQ(ResolveIPv4("localhost"), 0x7F000001u);
  EXPECT_EQ(NumericIPv4("10.1.2.3"), 0x0A010203u);
  EXPECT_EQ(NumericIPv4("server.example"), std::nullopt);
  EXPECT_EQ(NumericIPv4(""), std::nullopt);
}

TEST(SocketErrors, PlatformErrorsGetTheTableNumbersAndTexts) {
  const struct {
    int errno_value;
    int number;
    const char* text;
  } kCases[] = {
      {ECONNREFUSED, 10061, "Connection refused"},
      {ETIMEDOUT, 10060, "Connection timed out"},
      {ECONNRESET, 10054, "Connection reset by peer"},
      {EAGAIN, 10035, "Operation would block"},
      {EHOSTUNREACH, 10065, "No route to host"},
      {ENETUNREACH, 10051, "Network is unreachable"},
      {EADDRINUSE, 10048, "Address already in use"},
      {EFAULT, 10014, "Bad address"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(SocketErrorNumber(c.errno_value), c.number) << c.text;
    EXPECT_STREQ(SocketErrorText(c.number), c.text);
  }
  EXPECT_STREQ(SocketErrorText(11001), "Host not found");
  EXPECT_STREQ(SocketErrorText(10000), "Not a WinSock error ?");
  EXPECT_STREQ(SocketErrorText(0), "Not a WinSock error ?");
  // A write to a closed connection is a reset; no error is none; others keep their errno.
  EXPECT_EQ(SocketErrorNumber(EPIPE), 10054);
  EXPECT_EQ(SocketErrorNumber(0), 0);
  EXPECT_EQ(SocketErrorNumber(ENOENT), ENOENT);
}

}  // namespace
}  // namespace qarn
