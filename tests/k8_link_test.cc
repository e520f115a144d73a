// The K8 link's pump against a loopback server in the test: the socket, the waits and the
// close. The session's rules are tested on virtual time in k8_session_test.cc.
#include "k8/k8_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "fakes/fake_main_loop.h"
#include "fakes/inline_main_loop.h"
#include "fakes/k8_test_server.h"
#include "k8/k8_wire.h"
#include "platform/clock.h"
#include "platform/diag.h"
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
  t.reply_body_wait_ms = 300;
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
    link_ = std::make_unique<K8Link>(
        K8Link::Services{clock_, fs_, *loop_, PosixTcpClientFactory(), told_, told_, told_}, ini,
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
  std::vector<std::string> ended() {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  std::string File(const std::string& name) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << "1234";
    return path;
  }
  // How long StopAndWait takes.
  double StopSeconds() {
    const auto asked = std::chrono::steady_clock::now();
    link_->StopAndWait();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
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
  InlineMainLoop inline_loop_;
  MainLoop* loop_ = &inline_loop_;
  // What the link tells and asks; the inline loop runs its calls on the link's thread.
  struct Told final : Observer, DeliveryReports, LinkHost {
    explicit Told(K8LinkTest& test) : t(test) {}
    void LogLine(const std::string& text) override {
      std::lock_guard lock(t.mutex_);
      t.lines_.push_back(text);
      t.cv_.notify_all();
    }
    void Activity(Indicator) override { ++t.activity_; }
    void Ended(SpoolKind, const std::string& file, PacketEnd end) override {
      static const char* const kEnds[] = {"acked ", "refused ", "released "};
      std::lock_guard lock(t.mutex_);
      t.ended_.push_back(kEnds[static_cast<int>(end)] + file);
    }
    void SetClock(TDateTime) override {}
    void RequestRetQuery() override { t.ret_query_ = true; }
    void CloseByServer() override {}
    PortGreeting Greeting() const override { return {"\\\\.\\COM3", "COM3", true, 260}; }
    K8LinkTest& t;
  };
  Told told_{*this};
  std::unique_ptr<K8Link> link_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::vector<std::string> ended_;
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

  // Without K8PollEnable nothing is polled, however long the link idles; and polls come more
  // than the poll period apart: both on virtual time in
  // K8SessionTest.PollsOnlyAfterPollEnableAndMoreThanHalfASecondApart.
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
}

TEST_F(K8LinkTest, NoServerMeansOneAttemptPerPauseAndAPromptStop) {
  BlockingTcpListener unused;
  ASSERT_EQ(unused.Listen("127.0.0.1", 0), 0);
  const int port = unused.port();
  ASSERT_EQ(unused.StopListening(), 0);  // refused, and the port stays ours
  Start(port);
  ASSERT_TRUE(WaitForLine("Соединение...", 3));
  EXPECT_FALSE(link_->Connected());
  EXPECT_EQ(LineCount("Соединение установлено."), 0);
  link_->StopAndWait();
  EXPECT_EQ(lines().back().rfind("выход - ", 0), 0u);
}

// The link reports what became of each file's packet; the file itself is the main thread's
// to delete.
TEST_F(K8LinkTest, AckIsReportedAndAnUnansweredPacketReleasesItsFile) {
  K8TestServer server;
  Start(server.port());
  ASSERT_TRUE(server.WaitForPackets(4));
  const std::string acked = File("1.dd8");
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, acked));
  ASSERT_TRUE(WaitUntil([&] { return ended().size() == 1; }));
  EXPECT_TRUE(std::filesystem::exists(acked));

  // The server reads the next event and closes without an answer: the file stays, released
  // for the replay, and the link comes back.
  const std::string kept = File("2.dd8");
  server.DropAfterNextEvent();
  ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, kept));
  ASSERT_TRUE(server.WaitUntilDown());
  ASSERT_TRUE(WaitUntil([&] { return ended().size() == 2; }));
  EXPECT_EQ(ended(), (std::vector<std::string>{"acked " + acked, "released " + kept}));
  EXPECT_TRUE(std::filesystem::exists(kept));
  ASSERT_TRUE(server.ComeUp()) << "no listening on its port again";
  ASSERT_TRUE(server.WaitForConnections(2));
  ASSERT_TRUE(WaitForLine("Соединение установлено.", 2));
}

TEST_F(K8LinkTest, EveryCloseEndsPromptlyWhateverTheServerDoes) {
  K8LinkTiming timing = FastTiming();
  timing.reply_timeout_ms = 60000;  // the close must not wait for any of these
  timing.reply_body_wait_ms = 60000;
  for (const bool trickle : {true, false}) {
    SCOPED_TRACE(trickle ? "a reply body trickles" : "the server stalls");
    // Greeting packets are answered at once; an event's reply trickles or never comes.
    K8TestServer server([&](const Received& r) -> std::optional<Bytes> {
      if (r.header.type != kK8StationEventType) return BuildK8Frame(Packet(0x7E000000));
      if (!trickle) return std::nullopt;
      return BuildK8Frame(Bytes(100, 0xFF));
    });
    server.SetRawReplies(true);
    Start(server.port(), timing);
    ASSERT_TRUE(server.WaitForPackets(4));
    if (trickle) server.SetTrickleMs(100);
    const std::string file = File("1.dd8");
    ASSERT_TRUE(link_->QueuePacket(kK8StationEventType, kEvent, file));
    ASSERT_TRUE(server.WaitForPackets(5));
    std::this_thread::sleep_for(milliseconds(300));  // well into the reply
    EXPECT_LT(StopSeconds(), 1.0);
    EXPECT_EQ(lines().back().rfind("выход - ", 0), 0u);
    EXPECT_EQ(ended().back(), "released " + file);
    EXPECT_TRUE(std::filesystem::exists(file));
    link_->StopAndWait();  // a second request changes nothing
    EXPECT_EQ(LineCount(lines().back()), 1);
    link_.reset();
  }
}

TEST_F(K8LinkTest, DestructionNeverWaitsOnAMainLoopThatDoesNotServeIt) {
  // A loop that never runs what the thread hands it: the greeting's question stays open.
  testing::FakeMainLoop deaf;
  loop_ = &deaf;
  K8TestServer server;
  Start(server.port());
  ASSERT_TRUE(server.WaitForConnections(1));
  const auto asked = std::chrono::steady_clock::now();
  link_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
}

}  // namespace
}  // namespace qarn
