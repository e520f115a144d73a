// The K7 link inside the driver, against a loopback server, with a fake clock.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fakes/fake_clock.h"
#include "fakes/fake_station_port.h"
#include "fakes/loopback_server.h"
#include "fakes/qt_test_loop.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "platform/async_tcp_client.h"
#include "platform/diag.h"
#include "shell/driver.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

class CountingView final : public DriverView {
 public:
  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string&) override {}
  PasswordAnswer AskPassword(const std::string&) override {
    ++password_dialogs;
    return PasswordAnswer::kCancelled;
  }
  int password_dialogs = 0;
};

Bytes Unit(uint8_t command, TDateTime time = 0) {
  const K7Frame unit = BuildServerUnit(command, time);
  return Bytes(unit.begin(), unit.end());
}

class K7DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApplication();
    dir_.Enter();
    SetDiagSink([this](bool is_error, const std::string& line) {
      if (is_error) errors_ += line + "\n";
    });
  }

  void TearDown() override {
    driver_.reset();
    SetDiagSink(nullptr);
  }

  void StartDriver(const std::string& settings) {
    std::ofstream("sqarn.ini") << "[main]\nhost=127.0.0.1\nComPort=COM3\nSendK8=0\nK7Port="
                               << server_.port() << "\n"
                               << settings;
    driver_ = std::make_unique<Driver>(Driver::Services{
        clock_, fs_, loop_, port_, view_, testing::RefusedConnections(), AsyncTcpClientFactory()});
    driver_->StartUp();
  }

  bool RunUntil(const std::function<bool()>& done) { return RunLoopUntil(loop_, done); }

  void AcceptAndReceive(size_t size) {
    ASSERT_TRUE(RunUntil([&] { return server_.connected() || server_.TryAccept(); }));
    ASSERT_TRUE(RunUntil([&] {
      server_.Poll();
      return server_.received().size() >= size;
    }));
    ASSERT_TRUE(RunUntil([&] { return driver_->window().k7_link; }));
  }

  static Bytes Greeting(uint8_t type, uint8_t byte3) {
    Bytes unit(555, 0);
    unit[0] = unit[1] = 0xFF;
    unit[2] = type;
    unit[3] = byte3;
    return unit;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  PosixFileSystem fs_;
  RecordingQtLoop loop_;
  testing::FakeStationPort port_;
  CountingView view_;
  LoopbackServer server_;
  std::unique_ptr<Driver> driver_;
  std::string errors_;
};

TEST_F(K7DriverTest, SendK7OnConnectsAtStartAndSendsBothGreetings) {
  StartDriver("SendK7=1\n");
  AcceptAndReceive(1110);
  Bytes expected = Greeting(0x14, 0x02);
  const Bytes port = Greeting(0x32, 0x03);  // COM3
  expected.insert(expected.end(), port.begin(), port.end());
  EXPECT_EQ(server_.received(), expected);
  EXPECT_TRUE(driver_->window().k7_indicator_visible);
}

TEST_F(K7DriverTest, SendK7OffConnectsOnTheHousekeepingTickWithOneGreeting) {
  StartDriver("SendK7=0\n");
  EXPECT_FALSE(server_.TryAccept());  // no attempt at start
  EXPECT_FALSE(driver_->window().k7_indicator_visible);
  loop_.FireTimers(kHousekeepingIntervalMs);
  AcceptAndReceive(555);
  // Commands are carried out whatever SendK7 says; the round trip also shows that no second
  // greeting followed.
  server_.Send(Unit(kK7RetQuery));
  // The station's next poll is answered with the query.
  const Bytes query(kRetQueryFrame.begin(), kRetQueryFrame.end());
  ASSERT_TRUE(RunUntil([&] {
    port_.Receive(Bytes(kPollFrame.begin(), kPollFrame.end()));
    return std::find(port_.sent.begin(), port_.sent.end(), query) != port_.sent.end();
  }));
  server_.Poll();
  EXPECT_EQ(server_.received(), Greeting(0x14, 0x02));
  EXPECT_EQ(driver_->window().k7_counter, 1);
}

TEST_F(K7DriverTest, ClockCommandWithSetClockOffOnlyReportsTheTime) {
  StartDriver("SendK7=1\nSetClock=0\n");
  AcceptAndReceive(1110);
  server_.Send(Unit(kK7SetClock, 40603.5));
  ASSERT_TRUE(RunUntil([&] { return driver_->window().k7_counter == 1; }));
  EXPECT_TRUE(clock_.set_calls().empty());
  EXPECT_NE(errors_.find("2011-03-01T12:00:00.000"), std::string::npos) << errors_;
}

TEST_F(K7DriverTest, ClockCommandWithSetClockOnSetsTheClock) {
  StartDriver("SendK7=1\n");
  AcceptAndReceive(1110);
  server_.Send(Unit(kK7SetClock, 40603.5));
  ASSERT_TRUE(RunUntil([&] { return !clock_.set_calls().empty(); }));
  EXPECT_EQ(clock_.set_calls(), (std::vector<CivilTime>{CivilTime{2011, 3, 1, 12, 0, 0, 0}}));
  EXPECT_NE(errors_.find("2011-03-01T12:00:00.000"), std::string::npos) << errors_;
}

TEST_F(K7DriverTest, CloseCommandClosesWithoutThePassword) {
  StartDriver("SendK7=1\nSetClock=0\n");
  AcceptAndReceive(1110);
  server_.Send(Unit(kK7Close));
  ASSERT_TRUE(RunUntil([&] { return driver_->shut_down(); }));
  EXPECT_TRUE(driver_->close_by_server());
  EXPECT_EQ(view_.password_dialogs, 0);
  EXPECT_EQ(loop_.quit_codes, std::vector<int>{0});
}

TEST_F(K7DriverTest, StationEventsGoOnTheLinkWhenUpAndToDiskWhenDown) {
  StartDriver("SendK7=1\n");
  AcceptAndReceive(1110);
  const Bytes event = BuildStationEventFrame(12, 0x0A, 3);
  const TDateTime received_at = clock_.Now();
  port_.Receive(event);
  ASSERT_TRUE(RunUntil([&] {
    server_.Poll();
    return server_.received().size() >= 1665;
  }));
  K7Frame sent;
  std::copy(server_.received().begin() + 1110, server_.received().end(), sent.begin());
  EXPECT_EQ(sent[2], kK7StationEvent);
  const StationEvent back = ParseEventFrame(sent);
  EXPECT_EQ(back.object_number, 40012);
  EXPECT_EQ(back.event_code, 0x0A);
  EXPECT_EQ(back.frame_byte3, 3);
  EXPECT_EQ(back.event_time, received_at);
  EXPECT_EQ(driver_->window().k7_counter, 1);
  // Stored before it went; its file goes once the server's TCP has acknowledged it all.
  ASSERT_TRUE(RunUntil([&] { return fs_.FindAll("*.ddk").empty(); }));

  server_.CloseGracefully();
  ASSERT_TRUE(RunUntil([&] { return !driver_->window().k7_link; }));
  port_.Receive(event);
  EXPECT_EQ(fs_.FindAll("*.ddk").size(), 1u);
  EXPECT_EQ(driver_->window().k7_counter, 1);
}

}  // namespace
}  // namespace qarn
