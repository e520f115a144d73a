// The driver with its K8 link against a loopback server: start-up makes the link, the close
// stops it and keeps the live events it had not sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "base/byte_order.h"
#include "fakes/fake_k7_client.h"
#include "fakes/fake_station_port.h"
#include "fakes/inline_main_loop.h"
#include "fakes/k8_test_server.h"
#include "fakes/scripted_connection.h"
#include "k8/k8_wire.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "serial/station_port.h"
#include "shell/driver.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

class RecordingView final : public DriverView {
 public:
  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string&) override {}
  PasswordAnswer AskPassword(const std::string&) override { return PasswordAnswer::kAccepted; }
};

class K8DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("k8_driver_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);  // the driver works in its current directory
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    std::filesystem::remove_all(dir_);
  }
  void WriteIni(int port) {
    std::ofstream("sqarn.ini") << "[main]\nSendK8=1\nSetClock=0\nFirstNumber=7\n"
                               << "[ServerHost]\nAddress=127.0.0.1\nPort=" << port << "\n";
  }
  // Main-thread work, taken in turn with the link thread's hand-overs.
  void OnMain(const std::function<void()>& fn) { loop_.RunAndWait(fn); }
  // As on the main loop, what the link thread hands over waits until the start-up is done.
  void StartUp(Driver& driver) {
    OnMain([&] { driver.StartUp(); });
  }
  // The station sends event `object` (of FirstNumber 7: 70000 + object).
  void Event(uint16_t object) {
    OnMain([&] { port_.Receive(BuildStationEventFrame(object, 0x0A, 3)); });
  }
  bool K8Up(const Driver& driver) {
    bool up = false;
    OnMain([&] { up = driver.status_facts().k8_up; });
    return up;
  }
  static bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  static int Copies(const std::vector<K8TestServer::Received>& got, int32_t object) {
    int n = 0;
    for (const auto& r : got) {
      if (r.header.type == kK8StationEventType && GetI32(r.packet.data() + 18) == object) ++n;
    }
    return n;
  }

  std::filesystem::path dir_, old_dir_;
  SystemClock clock_;
  PosixFileSystem fs_;
  InlineMainLoop loop_;
  testing::FakeStationPort port_;
  // The K7 link (tried whatever SendK7 says) opens no socket here.
  testing::FakeK7Client* k7_client_ = nullptr;
  K7ClientFactory FakeK7() { return testing::FakeK7Clients(&k7_client_); }
  RecordingView view_;
};

TEST_F(K8DriverTest, CloseKeepsEveryUnacknowledgedEventOnDisk) {
  // Greeting packets are answered, station events never.
  K8TestServer server([](const K8TestServer::Received& r) -> std::optional<Bytes> {
    if (r.header.type == kK8StationEventType) return std::nullopt;
    return K8TestServer::DefaultReply(r);
  });
  WriteIni(server.port());
  {
    Driver driver({clock_, fs_, loop_, port_, view_, PosixTcpClientFactory(), FakeK7()});
    StartUp(driver);
    ASSERT_TRUE(server.WaitForPackets(4));
    EXPECT_EQ(server.received()[1].packet.back(), 0);  // the port is closed
    EXPECT_EQ(server.received()[2].packet.back(), 7);  // FirstNumber
    ASSERT_TRUE(K8Up(driver));

    for (int i = 0; i < 3; ++i) Event(1);
    // On disk before their packets went: the station may be acknowledged.
    EXPECT_EQ(fs_.FindAll("*.dd8").size(), 3u);
    ASSERT_TRUE(server.WaitForPackets(5));

    driver.CloseOnSignal();
    EXPECT_FALSE(K8Up(driver));
    EXPECT_EQ(driver.window().log_lines.back().find("выход - "), 20u);  // after the date and time
  }
  const auto spooled = fs_.FindAll("*.dd8");
  EXPECT_EQ(spooled.size(), 3u);  // not written twice at the close
  for (const auto& name : spooled) {
    Bytes content;
    ASSERT_TRUE(fs_.ReadAll(name, &content, nullptr));
    ASSERT_EQ(content.size(), 22u);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 4), (Bytes{0x1C, 0x00, 0x00, 0x03}));
  }
}

// The driver's K8 connections come from its services: a scripted one, no socket at all.
TEST_F(K8DriverTest, ConnectionsComeFromTheServices) {
  WriteIni(4321);
  std::mutex mutex;
  std::vector<TcpClientOptions> asked;
  Bytes first_write;  // taken on the link's thread, at the first read that found nothing
  const TcpClientFactory factory = [&](TcpClientOptions options) {
    auto made = std::make_unique<testing::ScriptedConnection>();
    made->HoldOpen();
    made->on_timeout = [&, connection = made.get()] {
      const std::lock_guard lock(mutex);
      if (first_write.empty() && !connection->writes.empty()) first_write = connection->writes[0];
    };
    const std::lock_guard lock(mutex);
    asked.push_back(options);
    return made;
  };
  Driver driver({clock_, fs_, loop_, port_, view_, factory, FakeK7()});
  StartUp(driver);
  ASSERT_TRUE(WaitUntil([&] {
    const std::lock_guard lock(mutex);
    return !first_write.empty();
  }));
  driver.CloseOnSignal();  // the link's thread has ended
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0].host, "127.0.0.1");
  EXPECT_EQ(asked[0].port, 4321);
  ASSERT_GT(first_write.size(), kK8FrameHeaderSize);  // the greeting's first frame
  const auto header = ReadK8PacketHeader(ByteView(first_write).subspan(kK8FrameHeaderSize));
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type, kK8Hello);
}

TEST_F(K8DriverTest, AnEventWhoseConnectionDiedUnansweredIsSentAgain) {
  K8TestServer server;  // acknowledges every event
  WriteIni(server.port());
  K8LinkTiming timing;
  timing.reconnect_pause_ms = 50;
  Driver driver({clock_, fs_, loop_, port_, view_, PosixTcpClientFactory(), FakeK7(), NoMetrics(),
                 DriverTimings{timing}});
  StartUp(driver);
  ASSERT_TRUE(server.WaitForPackets(4));
  ASSERT_TRUE(WaitUntil([&] { return K8Up(driver); }));

  // The server reads event 1 and closes without an answer.
  server.DropAfterNextEvent();
  Event(1);
  ASSERT_TRUE(server.WaitUntilDown());
  ASSERT_TRUE(server.ComeUp()) << "no listening on its port again";
  ASSERT_TRUE(server.WaitForConnections(2));
  ASSERT_TRUE(WaitUntil([&] { return K8Up(driver); }));
  Event(2);
  // The replay sends event 1 again; both acknowledged, nothing is left on disk.
  ASSERT_TRUE(WaitUntil([&] {
    loop_.FireTimers();
    return fs_.FindAll("*.dd8").empty();
  }));
  const auto got = server.received();
  EXPECT_EQ(Copies(got, 70001), 2);
  EXPECT_EQ(Copies(got, 70002), 1);
  driver.CloseOnSignal();
}

}  // namespace
}  // namespace qarn
