// K7 delivery against servers that fail: every station event the driver took is received by
// the server's TCP or stored again on disk. Real loopback sockets; the driver's clock is
// virtual, so a 30-second stall takes no real time.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "fakes/diag_capture.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_station_port.h"
#include "fakes/k7_peer.h"
#include "fakes/qt_test_loop.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "platform/async_tcp_client.h"
#include "shell/driver.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using testing::Counts;
using testing::EventsOnDisk;
using testing::K7Peer;
using testing::Lost;

class QuietView final : public DriverView {
 public:
  void Update(ViewPart part) override {
    if (on_update) on_update(part);
  }
  std::function<void(ViewPart)> on_update;
  void ShowMessageBox(const std::string&) override {}
  PasswordAnswer AskPassword(const std::string&) override { return PasswordAnswer::kCancelled; }
};

class K7DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApplication();
    dir_.Enter();
  }

  void StartDriver(K7Peer& peer) {
    std::ofstream("sqarn.ini")
        << "[main]\nhost=127.0.0.1\nSendK8=0\nSendK7=1\nFirstNumber=0\nK7Port=" << peer.port()
        << "\n";
    // The close waits in real time for what the socket holds; a short wait shows the same.
    DriverTimings timings;
    timings.k7_drain_ms = 300;
    driver_ = std::make_unique<Driver>(
        Driver::Services{clock_, fs_, loop_, port_, view_, testing::RefusedConnections(),
                         AsyncTcpClientFactory(), NoMetrics(), timings});
    driver_->StartUp();
  }

  bool RunUntil(const std::function<bool()>& done) { return RunLoopUntil(loop_, done); }

  void Connect(K7Peer& peer) {
    bool accepted = false;
    ASSERT_TRUE(RunUntil([&] { return accepted = accepted || peer.TryAccept(); }));
    ASSERT_TRUE(RunUntil([&] { return driver_->window().k7_link; }));
  }

  void Deliver(int32_t number) {
    port_.Receive(BuildStationEventFrame(static_cast<uint16_t>(number), 0x20, 1));
  }

  Counts OnDisk() const { return EventsOnDisk(dir_); }

  // Every number in [first, last] received or on disk; duplicates are allowed.
  void ExpectNoneLost(const K7Peer& peer, int32_t first, int32_t last) {
    EXPECT_EQ(Lost(peer.received, OnDisk(), first, last), std::vector<int32_t>{})
        << "received " << peer.received.size() << ", on disk " << OnDisk().size() << "\n"
        << diag_.errors();
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  PosixFileSystem fs_;
  RecordingQtLoop loop_;
  testing::FakeStationPort port_;
  QuietView view_;
  testing::DiagCapture diag_;
  std::unique_ptr<Driver> driver_;  // last: gone before the rest
};

constexpr int kSmallBuffer = 2048;
constexpr int32_t kEvents = 20;

// A server stops reading; units pile up in both kernels; then it closes or resets. Whatever
// its TCP had not acknowledged is on disk when the link reports itself down.
TEST_F(K7DeliveryTest, ServerThatStopsReadingThenClosesOrResetsLosesNothing) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    for (const std::string& name : dir_.List()) std::filesystem::remove(dir_ / name);
    K7Peer peer(kSmallBuffer);
    StartDriver(peer);
    Connect(peer);
    for (int32_t n = 1; n <= kEvents; ++n) Deliver(n);
    const size_t on_disk_before = OnDisk().size();
    peer.Peek();
    // What the disk holds at the moment the link shows itself down.
    size_t on_disk_when_down = 0;
    view_.on_update = [&](ViewPart part) {
      if (part == ViewPart::kK7Indicator && !driver_->window().k7_link && on_disk_when_down == 0) {
        on_disk_when_down = OnDisk().size();
      }
    };
    reset ? peer.Reset() : peer.Close();
    ASSERT_TRUE(RunUntil([&] { return !driver_->window().k7_link; }));
    view_.on_update = nullptr;
    EXPECT_EQ(on_disk_when_down, OnDisk().size());
    // Every unit was on disk before it went: the socket was never the only copy.
    EXPECT_EQ(on_disk_before, static_cast<size_t>(kEvents));
    EXPECT_NE(diag_.errors().find("they go again from their .ddk files"), std::string::npos)
        << diag_.errors();
    ExpectNoneLost(peer, 1, kEvents);
    driver_.reset();
  }
}

// A server that stops reading is dropped 30 to 35 s (virtual) after it took its last byte,
// reported once with its address, and nothing it did not acknowledge is lost.
TEST_F(K7DeliveryTest, StalledServerIsDroppedWithin35Seconds) {
  K7Peer peer(kSmallBuffer);
  StartDriver(peer);
  Connect(peer);
  for (int32_t n = 1; n <= kEvents; ++n) Deliver(n);
  ASSERT_TRUE(driver_->window().k7_link);
  int waited_ms = 0;
  while (driver_->window().k7_link && waited_ms < 60'000) {
    loop_.RunUntil([] { return true; });
    clock_.AdvanceMs(kHousekeepingIntervalMs);
    waited_ms += kHousekeepingIntervalMs;
    loop_.FireTimers(kHousekeepingIntervalMs);
  }
  EXPECT_FALSE(driver_->window().k7_link);
  EXPECT_GE(waited_ms, 30'000);
  EXPECT_LE(waited_ms, 35'000);
  const std::string line = "K7: server stalled: 127.0.0.1:" + std::to_string(peer.port()) +
                           " has taken nothing for 30 s";
  EXPECT_NE(diag_.errors().find(line), std::string::npos) << diag_.errors();
  peer.Peek();
  ExpectNoneLost(peer, 1, kEvents);
  EXPECT_FALSE(OnDisk().empty());
}

// 40 spooled records replayed to a server that has stopped reading, then the driver closes:
// the socket gets its bounded time, and whatever the server's TCP still had not taken is
// still on disk. The server then reads all it was given.
TEST_F(K7DeliveryTest, ReplayToAServerThatStoppedReadingThenCloseKeepsAll40) {
  for (int32_t n = 1; n <= 40; ++n) {
    const K7Frame unit = BuildEventFrame(StationEvent{n, 1, 0x20, 40603.5});
    char name[32];
    std::snprintf(name, sizeof name, "A%07X_-1.ddk", n);
    dir_.Write(name, std::string(unit.begin(), unit.end()));
  }
  K7Peer peer(kSmallBuffer);
  StartDriver(peer);
  Connect(peer);
  for (int i = 0; i < 40 && driver_->window().k7_link; ++i) {
    clock_.AdvanceMs(kReplayIntervalMs);
    loop_.FireTimers(kReplayIntervalMs);
  }
  driver_->CloseOnSignal();
  EXPECT_FALSE(driver_->window().k7_link);
  EXPECT_NE(diag_.errors().find("they go again from their .ddk files"), std::string::npos)
      << diag_.errors();
  // The server reads again: what the orderly close left in flight still arrives.
  peer.ReadAgain();
  bool closed = false;
  ASSERT_TRUE(RunUntil([&] { return closed = closed || peer.Read(); }));
  ExpectNoneLost(peer, 1, 40);
  for (int32_t n = 1; n <= 40; ++n) EXPECT_EQ(peer.received.count(n), 1u) << n;
}

// A server that misbehaves at random moments while 200 station events come: it stops reading
// for a while, closes, resets, closes after reading everything; the driver reconnects each
// time. Every event is received or on disk.
TEST_F(K7DeliveryTest, ServerClosingAtRandomMomentsMissesNoEvent) {
  K7Peer peer;
  StartDriver(peer);
  Connect(peer);
  std::mt19937 random(11);
  bool reading = true;
  for (int32_t n = 1; n <= 200; ++n) {
    Deliver(n);
    if (reading) peer.Read();
    switch (random() % 24) {
      case 0:
        reading = !reading;
        break;
      case 1:
        peer.Peek();
        peer.Reset();
        break;
      case 2:
        peer.Peek();
        peer.Close();
        break;
      case 3:
        peer.Read();
        peer.Close();
        break;
      default:
        continue;
    }
    if (peer.connected()) continue;
    ASSERT_TRUE(RunUntil([&] { return !driver_->window().k7_link; }));
    Deliver(1000 + n);  // one while the link is down
    loop_.FireTimers(kHousekeepingIntervalMs);
    Connect(peer);
    reading = true;
  }
  driver_->CloseOnSignal();
  bool closed = false;
  ASSERT_TRUE(RunUntil([&] { return closed = closed || peer.Read(); }));
  ExpectNoneLost(peer, 1, 200);
}

}  // namespace
}  // namespace qarn
