// The K8 link against a loopback server in the test.
#include "k8/k8_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "fakes/inline_main_loop.h"
#include "fakes/k8_test_server.h"
#include "k8/k8_wire.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace qarn {
namespace {

using std::chrono::milliseconds;
using Received = K8TestServer::Received;

Bytes Packet(int32_t type, ByteView payload = ByteView()) {
  return BuildK8Packet(type, payload, 0);
}

// Timing with short pauses so that most scenarios run in milliseconds.
K8LinkTiming FastTiming() {
  K8LinkTiming t;
  t.reconnect_pause_ms = 100;
  t.poll_period_ms = 20;
  t.reply_timeout_ms = 200;
  return t;
}

class K8LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::path(::testing::TempDir()) /
        ("k8_link_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (link_) link_->StopAndWait();
    link_.reset();
    std::filesystem::remove_all(dir_);
  }

  void Start(int port, K8LinkTiming timing = FastTiming()) {
    const std::string ini = (dir_ / "sqarn.ini").string();
    std::ofstream(ini) << "[ServerHost]\nAddress=127.0.0.1\nPort=" << port << "\n";
    K8Link::Hooks hooks;
    hooks.greeting_values = [] { return K8Link::GreetingValues{"COM3", true, 260}; };
    hooks.add_log_line = [this](const std::string& text) {
      std::lock_guard lock(mutex_);
      lines_.push_back(text);
      cv_.notify_all();
    };
    hooks.advance_indicator = [this] { ++activity_; };
    hooks.request_ret_query = [this] { ret_query_ = true; };
    link_ = std::make_unique<K8Link>(
        K8Link::Services{clock_, fs_, loop_, PosixTcpClientFactory(), dd8_}, std::move(hooks), ini,
        timing);
  }

  bool WaitForLine(const std::string& text, int count = 1) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return CountLocked(text) >= count; });
  }
  int LineCount(const std::string& text) {
    std::lock_guard lock(mutex_);
    return CountLocked(text);
  }
  int CountLocked(const std::string& text) const {
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), text));
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  static bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
  }

  std::filesystem::path dir_;
  SystemClock clock_;
  PosixFileSystem fs_;
  InlineMainLoop loop_;
  Dd8ReplayState dd8_;
  std::unique_ptr<K8Link> link_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::atomic<int> activity_{0};
  std::atomic<bool> ret_query_{false};
};

const Bytes kEvent(18, 0x5A);

TEST_F(K8LinkTest, GreetsInOrderThenSendsEventsAndPollsOnlyWhenEnabled) {
  std::atomic<bool> enable{false};
  K8TestServer server([&](const Received& r) -> std::optional<Bytes> {
    if (r.header.type == kK8StationEventType && enable) return Packet(kK8PollEnable);
    return K8TestServer::DefaultReply(r);
  });
  Start(server.port());
  ASSERT_TRUE(server.WaitForPackets(4));
  ASSERT_TRUE(WaitForLine("Соединение установлено."));
  EXPECT_EQ(lines().front(), "Соединение...");
  auto got = server.received();
  const int32_t greeting[] = {kK8Hello, kK8PortState, kK8FirstNumber, kK8Version};
  const Bytes payloads[] = {{0x14, 0x00},
                            {0x04, 'C', 'O', 'M', '3', 0, 0, 1},
                            {0x04},
                            {0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0xAB, 0x00}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(got[i].header.type, greeting[i]) << i;
    EXPECT_EQ(got[i].header.sequence, i);
    EXPECT_EQ(Bytes(got[i].packet.begin() + 18, got[i].packet.end()), payloads[i]) << i;
  }
  EXPECT_TRUE(link_->Connected());

  // Without K8PollEnable nothing is polled, however long the link idles.
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(server.received().size(), 4u);

  enable = true;
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  ASSERT_TRUE(server.WaitForPackets(8));
  got = server.received();
  EXPECT_EQ(got[4].header.type, kK8StationEventType);
  EXPECT_EQ(got[4].header.sequence, 4);
  EXPECT_EQ(Bytes(got[4].packet.begin() + 18, got[4].packet.end()), kEvent);
  for (size_t i = 5; i < 8; ++i) {
    EXPECT_EQ(got[i].packet, Packet(kK8Poll)) << i;  // empty payload, sequence 0
  }
  EXPECT_GT(got[6].when - got[5].when, milliseconds(19));
}

TEST_F(K8LinkTest, CarriesOutQueryAndRetQuerySubPackets) {
  // Each poll reply in turn: a query, a K8RetQuery with data byte 4 = 0, then = 1.
  std::atomic<int> polls{0};
  std::atomic<bool> raised_before_yes{false};
  const Bytes ret_no = BuildPollReply({{0x111, {1, 2}}, {kK8RetQuery, {0, 0, 0, 0, 0}}});
  const Bytes ret_yes = BuildPollReply({{0x111, {1, 2}}, {kK8RetQuery, {0, 0, 0, 0, 1}}});
  K8TestServer server([&](const Received& r) -> std::optional<Bytes> {
    if (r.header.type == kK8Hello) return Packet(kK8PollEnable);
    if (r.header.type != kK8Poll) return K8TestServer::DefaultReply(r);
    switch (++polls) {
      case 1:
        return Packet(kK8Query);
      case 2:
        return Packet(kK8Poll, ret_no);
      case 3:
        // The reply to poll 2 has been handled before poll 3 was sent.
        raised_before_yes = ret_query_.load();
        return Packet(kK8Poll, ret_yes);
    }
    return Packet(kK8Poll, Bytes{0});
  });
  Start(server.port());
  ASSERT_TRUE(WaitUntil([&] { return polls >= 3; }));
  auto got = server.received();
  auto answer = std::find_if(got.begin(), got.end(),
                             [](const Received& r) { return r.header.type == kK8QueryAnswer; });
  ASSERT_NE(answer, got.end());
  EXPECT_EQ(answer->packet.size(), 18u);
  EXPECT_EQ(answer->header.sequence, 4);  // numbered after the greeting
  EXPECT_FALSE(raised_before_yes) << "data byte 4 equal to 0 must not raise it";
  ASSERT_TRUE(WaitUntil([&] { return ret_query_.load(); }));
}

TEST_F(K8LinkTest, AckDeletesOnlyTheReplayedFile) {
  K8TestServer server;
  Start(server.port());
  ASSERT_TRUE(server.WaitForPackets(4));
  const std::string file = (dir_ / "50451EB3.dd8").string();
  std::ofstream(file) << "1234";
  dd8_.SetReplayed(file, clock_.Now());

  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));  // a live event
  ASSERT_TRUE(server.WaitForPackets(5));
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, "other.dd8"));
  ASSERT_TRUE(server.WaitForPackets(6));
  // The replay's own packet; queued again, a second ack finds it gone.
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, file));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(file); }));
  EXPECT_LT(dd8_.last_dd8_replay_time(), clock_.Now() - 0.99);
  dd8_.SetLastDd8ReplayTime(5.0);
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, file));
  ASSERT_TRUE(server.WaitForPackets(8));
  link_->StopAndWait();
  EXPECT_EQ(dd8_.last_dd8_replay_time(), 5.0);
}

TEST_F(K8LinkTest, DeniedStopsConnectingForGood) {
  K8TestServer server([](const Received& r) -> std::optional<Bytes> {
    if (r.header.type == kK8Hello) return Packet(kK8Denied);
    return K8TestServer::DefaultReply(r);
  });
  Start(server.port());
  ASSERT_TRUE(WaitForLine("Доступ запрещен."));
  EXPECT_TRUE(server.WaitForClosed(1));
  EXPECT_FALSE(link_->Connected());
  // Several reconnection pauses later: still one connection and one line.
  std::this_thread::sleep_for(milliseconds(400));
  EXPECT_EQ(server.accept_times().size(), 1u);
  EXPECT_EQ(LineCount("Доступ запрещен."), 1);
  EXPECT_EQ(LineCount("Соединение..."), 1);
  link_->StopAndWait();
  EXPECT_EQ(lines().back().rfind("выход - ", 0), 0u);
}

TEST_F(K8LinkTest, ReconnectsOnCommandAfterErrorsAndAfterAHugeReply) {
  // Connection 1: K8Reconnect. 2: no answers, 21 errors. 3: a reply announcing 2 MiB.
  K8TestServer server([](const Received& r) -> std::optional<Bytes> {
    if (r.connection == 1 && r.header.type == kK8Hello) return Packet(kK8Reconnect);
    if (r.connection == 2) return std::nullopt;
    return K8TestServer::DefaultReply(r);
  });
  K8LinkTiming timing = FastTiming();
  timing.reply_timeout_ms = 20;
  Start(server.port(), timing);
  ASSERT_TRUE(server.WaitForClosed(1));
  ASSERT_TRUE(server.WaitForConnections(2));
  const auto accepts = server.accept_times();
  EXPECT_GE(accepts[1] - server.close_times()[0], milliseconds(90));

  // 4 greeting packets unanswered, then 17 more: the 21st error brings the new connection.
  ASSERT_TRUE(server.WaitForPackets(8));
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  ASSERT_TRUE(WaitForLine("Ошибки по сети - переподсоединение."));
  ASSERT_TRUE(server.WaitForConnections(3));
  const auto got = server.received();
  // The step that sees the 21st error still sends its packet before the link goes down.
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](auto& r) { return r.connection == 2; }), 22);

  server.SetRawReplies(true);
  server.SetResponder([](const Received&) -> std::optional<Bytes> {
    Bytes header(21, 0);
    header[0] = 0xFF;
    header[7] = 0x20;  // 2 MiB
    return header;
  });
  const size_t before = server.received().size();
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  ASSERT_TRUE(server.WaitForPackets(before + 1));
  ASSERT_TRUE(server.WaitForClosed(3));  // the link drops the connection at once
}

TEST_F(K8LinkTest, ServerDisconnectWaitsTheFullPauseAndQueuedPacketsGoFirst) {
  // The real five-second reconnection pause.
  K8TestServer server([](const Received& r) -> std::optional<Bytes> {
    if (r.connection == 1 && r.header.type == kK8Version) return Packet(kK8ServerDisconnect);
    return K8TestServer::DefaultReply(r);
  });
  Start(server.port(), K8LinkTiming());
  ASSERT_TRUE(WaitForLine("Сервер дал команду на рассоединение."));
  const auto command = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !link_->Connected(); }));
  // While the link is down a packet is queued; it goes out first on the next connection.
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  ASSERT_TRUE(server.WaitForConnections(2, std::chrono::seconds(8)));
  ASSERT_TRUE(server.WaitForPackets(9));
  // The old connection is closed only when the next attempt begins.
  EXPECT_GE(server.close_times()[0] - command, milliseconds(4900));
  const auto got = server.received();
  EXPECT_EQ(got[4].connection, 2);
  EXPECT_EQ(got[4].header.type, kK8StationEventType);
  EXPECT_EQ(got[4].header.sequence, 4);
  EXPECT_EQ(got[5].header.type, kK8Hello);
  EXPECT_EQ(got[5].header.sequence, 5);  // numbers keep rising across connections
  EXPECT_EQ(LineCount("Соединение установлено."), 2);
}

TEST_F(K8LinkTest, NoServerMeansOneAttemptPerPauseAndAPromptStop) {
  BlockingTcpListener unused;
  ASSERT_EQ(unused.Listen("127.0.0.1", 0), 0);
  const int port = unused.port();
  unused.Close();  // nobody listens there now
  Start(port);
  ASSERT_TRUE(WaitForLine("Соединение...", 3));
  EXPECT_FALSE(link_->Connected());
  EXPECT_EQ(LineCount("Соединение установлено."), 0);
  link_->StopAndWait();
  EXPECT_EQ(lines().back().rfind("выход - ", 0), 0u);
}

TEST_F(K8LinkTest, PartialReplyBodyIsWaitedForOnlySoLong) {
  // The reply to the first event announces 100 bytes and brings 10; the rest never comes.
  K8TestServer server([](const Received& r) -> std::optional<Bytes> {
    if (r.header.type != kK8StationEventType) return BuildK8Frame(Packet(0x7E000000));
    Bytes frame = BuildK8Frame(Bytes(100, 0xFF));
    frame.resize(21 + 10);
    return frame;
  });
  server.SetRawReplies(true);
  K8LinkTiming timing = FastTiming();
  timing.reply_timeout_ms = 50;
  timing.body_wait_ms = 300;
  Start(server.port(), timing);
  ASSERT_TRUE(server.WaitForPackets(4));
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  // The stream cannot be followed past the missing bytes: the link closes it and reconnects.
  ASSERT_TRUE(server.WaitForClosed(1));
  ASSERT_TRUE(server.WaitForConnections(2));
  ASSERT_TRUE(server.WaitForPackets(9));

  // Stopping while a body is awaited does not sit out the whole wait.
  link_->StopAndWait();
  link_.reset();
  timing.body_wait_ms = 60000;
  Start(server.port(), timing);
  ASSERT_TRUE(server.WaitForPackets(13));
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, ""));
  ASSERT_TRUE(server.WaitForPackets(14));
  const auto asked = std::chrono::steady_clock::now();
  link_->StopAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
}

}  // namespace
}  // namespace qarn
