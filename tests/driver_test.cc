#include "shell/driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "fakes/fake_clock.h"
#include "fakes/fake_k7_client.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_station_port.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "k7/k7_exchange.h"
#include "platform/diag.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RecordingView : public DriverView {
 public:
  std::vector<PasswordAnswer> answers;  // given in turn, then kCancelled
  std::vector<std::string> messages;
  int password_prompts = 0;

  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string& text) override { messages.push_back(text); }
  PasswordAnswer AskPassword(const std::string&) override {
    ++password_prompts;
    if (answers.empty()) return PasswordAnswer::kCancelled;
    const PasswordAnswer a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
};

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() : loop_(&clock_) {
    dir_.Enter();
    SetDiagSink([this](bool, const std::string& line) { diag_.push_back(line); });
  }
  ~DriverTest() override { SetDiagSink(nullptr); }

  Driver& Start(const std::string& ini = "") {
    if (!ini.empty()) dir_.Write("sqarn.ini", ini);
    driver_ = std::make_unique<Driver>(Driver::Services{
        clock_, fs_, loop_, port_, view_, testing::RefusedConnections(), FakeK7Clients()});
    driver_->StartUp();
    driver_->SetMessageBoxReady();
    return *driver_;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::FakeMainLoop loop_;
  testing::FakeStationPort port_;
  // The K7 link's client, made at start-up; no test here opens a socket.
  testing::FakeK7Client* k7_client_ = nullptr;
  K7ClientFactory FakeK7Clients() { return testing::FakeK7Clients(&k7_client_); }
  PosixFileSystem fs_;
  RecordingView view_;
  std::vector<std::string> diag_;
  std::unique_ptr<Driver> driver_;
};

TEST_F(DriverTest, StartsWithTheDefaultsWithoutAnIniFile) {
  Driver& d = Start();
  EXPECT_THAT(port_.opened, IsEmpty());  // COM255: no port
  EXPECT_FALSE(d.run_control().page().running);
  EXPECT_FALSE(d.window().k7_indicator_visible);
  EXPECT_EQ(d.config().first_number, 4);
  EXPECT_DOUBLE_EQ(d.config().query_interval, 3.0 / 24);
  EXPECT_EQ(d.window().start_time_text, "15.09.2010 14:05:07");
  const int password = std::stoi(d.window().close_password);
  EXPECT_GE(password, 10000);
  EXPECT_LE(password, 99998);
  EXPECT_THAT(view_.messages, IsEmpty());
}

TEST_F(DriverTest, OpensTheConfiguredPortUnderItsDeviceName) {
  Driver& d = Start("[main]\nComPort=COM12\n");
  EXPECT_THAT(port_.opened, ElementsAre("\\\\.\\COM12"));
  EXPECT_TRUE(d.run_control().page().running);
  EXPECT_EQ(d.run_control().ComPortName(), "COM12");
}

TEST_F(DriverTest, PortMissingAtStartIsReportedOnceAndOpenedWhenItAppears) {
  port_.can_open = false;
  port_.open_error = {DeviceFault::kMissing, "/dev/ttyUSB0", ""};
  Driver& d = Start("[main]\nComPort=COM3\nSendK8=0\n");
  const auto port_lines = [this] {
    std::vector<std::string> lines;
    for (const std::string& line : diag_)
      if (line.rfind("station port", 0) == 0) lines.push_back(line);
    return lines;
  };
  EXPECT_FALSE(d.run_control().page().running);
  EXPECT_EQ(d.run_control().page().chosen, "COM3");
  EXPECT_THAT(view_.messages, IsEmpty());  // the message box does not exist yet
  // Standard error says which port, which device and why, once.
  EXPECT_THAT(port_lines(), ElementsAre("station port COM3 (/dev/ttyUSB0): cannot open: no such "
                                        "device; trying again every 2 s"));
  loop_.Advance(10000);
  EXPECT_EQ(port_lines().size(), 1u);
  port_.can_open = true;
  loop_.Advance(2000);
  EXPECT_TRUE(d.run_control().page().running);
  EXPECT_THAT(port_.opened, ElementsAre("\\\\.\\COM3"));
  EXPECT_TRUE(port_.dtr);
  EXPECT_THAT(port_lines(),
              ElementsAre(::testing::_, "station port COM3 (/dev/ttyUSB0): open again"));
}

TEST_F(DriverTest, PasswordsDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    Driver d(Driver::Services{clock_, fs_, loop_, port_, view_, testing::RefusedConnections(),
                              FakeK7Clients()});
    d.StartUp();
    seen.insert(d.window().close_password);
  }
  EXPECT_GT(seen.size(), 15u);
}

TEST_F(DriverTest, WrongPasswordsAndCancelKeepTheDriverRunning) {
  Driver& d = Start("[main]\nComPort=COM1\n");
  const std::string password = d.window().close_password;
  view_.answers = {PasswordAnswer::kWrong, PasswordAnswer::kWrong, PasswordAnswer::kWrong,
                   PasswordAnswer::kCancelled};
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(d.HandleCloseRequest());
  EXPECT_THAT(view_.messages, ElementsAre("Не правильный пароль.", "Не правильный пароль.",
                                          "Не правильный пароль."));
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(d.window().close_password, password);
  view_.answers = {PasswordAnswer::kAccepted};
  EXPECT_TRUE(d.HandleCloseRequest());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(loop_.timer_count(), 0u);
}

TEST_F(DriverTest, ServerOrderedCloseSkipsThePassword) {
  Driver& d = Start("[main]\nComPort=COM1\n");
  struct Closings final : Observer {
    void Closing() override { ++count; }
    int count = 0;
  } closings;
  d.AddObserver(closings);
  // The server's close order, on the K7 link (used or not, it is up).
  k7_client_->Connect();
  const K7Frame close = BuildServerUnit(kK7Close);
  k7_client_->Arrive(Bytes(close.begin(), close.end()));
  EXPECT_TRUE(d.close_by_server());
  EXPECT_TRUE(d.HandleCloseRequest());
  EXPECT_EQ(view_.password_prompts, 0);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(closings.count, 1);  // the service manager hears STOPPING=1 once
  EXPECT_TRUE(loop_.quit());
}

TEST_F(DriverTest, ErrorLogLinesInWindows1251) {
  Driver& d = Start();
  d.facts().ErrorCode(9);
  d.facts().ErrorCode(11);
  const Bytes bytes = dir_.Read("error.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
            "9\r\n\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
            "11\r\n");
}

TEST_F(DriverTest, StationFramesBecomeSpoolFilesAndAnswers) {
  Start("[main]\nComPort=COM1\nSendK7=1\nLog=1\nret=1,2,5\nn_abs=3\n");
  port_.Receive({0x07, 0x04, 0x00, 0x07, 0x0A, 0x01, 0x2C, 0x00});
  port_.Receive({0x02, 0x08, 0xF6});
  port_.Receive({0x02, 0x08, 0xF6});
  ASSERT_EQ(port_.sent.size(), 3u);
  EXPECT_EQ(port_.sent[0], (Bytes{0x02, 0x88, 0x76}));
  EXPECT_EQ(port_.sent[1][0], 0x14);  // the clock frame with three retranslators
  EXPECT_EQ(port_.sent[2], (Bytes{0x02, 0x94, 0x6A}));
  EXPECT_THAT(dir_.List(), ElementsAre("50451EB3.dd8", "50451EB3_3.ddk", "qarn.log", "sqarn.ini"));
  EXPECT_EQ(dir_.Read("qarn.log").size(), 8u + 3u + 3u);
  EXPECT_EQ(driver_->window().station_counter, 4);
}

TEST_F(DriverTest, HousekeepingTickRaisesTheQuery) {
  Start("[main]\nComPort=COM1\nQARNRetOpr=00:00:05\n");
  port_.Receive({0x02, 0x08, 0xF6});  // the clock frame
  loop_.AdvanceMs(3000);
  port_.Receive({0x02, 0x08, 0xF6});
  EXPECT_EQ(port_.sent.back(), (Bytes{0x02, 0x94, 0x6A}));
  loop_.AdvanceMs(3000);
  port_.Receive({0x02, 0x08, 0xF6});
  EXPECT_EQ(port_.sent.back(), (Bytes{0x03, 0x84, 0x03, 0x76}));
}

TEST_F(DriverTest, LogAreaKeepsTheNewestHundredLines) {
  Driver& d = Start();
  for (int i = 0; i < 105; ++i) d.facts().LogLine("line " + std::to_string(i));
  ASSERT_EQ(d.window().log_lines.size(), 100u);
  EXPECT_EQ(d.window().log_lines.front(), "15.09.2010 14:05:07 line 5");
  EXPECT_EQ(d.window().log_lines.back(), "15.09.2010 14:05:07 line 104");
  EXPECT_EQ(diag_.back(), "15.09.2010 14:05:07 line 104");  // also on standard output
}

// The types of the .ddk files in the directory, oldest name first.
std::vector<int> SpooledK7Types(const testing::TempDir& dir) {
  std::vector<int> types;
  for (const auto& name : dir.List()) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".ddk")
      types.push_back(dir.Read(name)[2]);
  }
  return types;
}

TEST_F(DriverTest, StationSilenceAndReturnAreReportedOnce) {
  Driver& d = Start("[main]\nComPort=COM1\nSendK7=1\nSendK8=0\n");
  loop_.AdvanceMs(200);
  EXPECT_TRUE(d.window().station_link);
  EXPECT_THAT(SpooledK7Types(dir_), ElementsAre(73));  // heard: the start-up counts
  loop_.AdvanceMs(2800);                               // 3.0 s after start: not yet silent
  EXPECT_TRUE(d.window().station_link);
  loop_.AdvanceMs(200);
  EXPECT_FALSE(d.window().station_link);
  EXPECT_THAT(SpooledK7Types(dir_), ElementsAre(73, 72));
  loop_.AdvanceMs(5000);
  port_.Receive({0x02, 0x0A, 0xF4});  // any packet will do
  loop_.AdvanceMs(200);
  EXPECT_TRUE(d.window().station_link);
  EXPECT_THAT(SpooledK7Types(dir_), ElementsAre(73, 72, 73));
}

// A link on its backup says so where people look: the indicator's hint, a line in the log
// area and the status line; back on the primary, likewise.
TEST_F(DriverTest, TheServerALinkIsOnShowsInTheWindowAndTheStatusLine) {
  Driver& d = Start(
      "[main]\nComPort=COM1\nSendK7=1\nSendK8=0\nhost=10.0.0.7\nK7Port=7001\n"
      "BackupHost=10.0.0.8\nBackupK7Port=7002\n");
  testing::FakeK7Client* const first = k7_client_;
  for (int i = 0; i < 2; ++i) {
    first->Fail(10061, "refused");
    loop_.AdvanceMs(3000);
  }
  first->Connect();
  EXPECT_EQ(d.window().k7_hint, "Резервный сервер 10.0.0.8:7002");
  EXPECT_THAT(d.window().log_lines.back(),
              HasSubstr("K7: переход на резервный сервер 10.0.0.8:7002"));
  EXPECT_THAT(FormatStatusLine(d.status_facts()), HasSubstr("; K7 up on backup 10.0.0.8:7002;"));

  loop_.AdvanceMs(60000);  // the try of the primary
  ASSERT_NE(k7_client_, first);
  k7_client_->Connect();
  loop_.RunPosted();
  EXPECT_EQ(d.window().k7_hint, "Основной сервер 10.0.0.7:7001");
  EXPECT_THAT(d.window().log_lines.back(),
              HasSubstr("K7: возврат на основной сервер 10.0.0.7:7001"));
  EXPECT_THAT(FormatStatusLine(d.status_facts()), HasSubstr("; K7 up;"));
}

// The K7 link runs on the client the services give: the configured peer, the greetings on
// connecting, events live while up, the server's commands, and the units the peer had not
// acknowledged at a loss stored again.
TEST_F(DriverTest, TheK7LinkRunsOnTheClientOfTheServices) {
  Driver& d = Start("[main]\nComPort=COM1\nSendK7=1\nSendK8=0\nhost=10.0.0.7\nK7Port=7001\n");
  ASSERT_NE(k7_client_, nullptr);
  EXPECT_EQ(k7_client_->Host(), "10.0.0.7");
  EXPECT_EQ(k7_client_->Port(), 7001);
  EXPECT_EQ(k7_client_->attempts, 1);
  k7_client_->Connect();
  EXPECT_TRUE(d.window().k7_link);
  ASSERT_EQ(k7_client_->sent.size(), 2u);  // the greeting, then the port's
  EXPECT_EQ(k7_client_->sent[0][2], kK7Greeting);
  EXPECT_EQ(k7_client_->sent[1][2], kK7PortGreeting);

  port_.Receive(BuildStationEventFrame(1, 0x20, 1));
  ASSERT_EQ(k7_client_->sent.size(), 3u);
  EXPECT_EQ(k7_client_->sent[2][2], kK7StationEvent);
  const K7Frame query = BuildServerUnit(kK7RetQuery);
  k7_client_->Arrive(Bytes(query.begin(), query.end()));
  EXPECT_THAT(diag_, Contains(HasSubstr("the server asks for a retranslator query")));

  // Sent is not delivered: the event's file stays until the peer's TCP has the whole unit.
  const auto event_files = [&] {
    const auto types = SpooledK7Types(dir_);
    return std::count(types.begin(), types.end(), kK7StationEvent);
  };
  EXPECT_EQ(event_files(), 1);
  k7_client_->unacknowledged = kK7FrameSize;
  k7_client_->Close();
  EXPECT_FALSE(d.window().k7_link);
  EXPECT_EQ(event_files(), 1);
  // Back: the replay sends it again from its file, and once acknowledged the file goes.
  const size_t sent_before = k7_client_->sent.size();
  k7_client_->Connect();
  loop_.AdvanceMs(kReplayIntervalMs);
  EXPECT_EQ(std::count_if(k7_client_->sent.begin() + static_cast<std::ptrdiff_t>(sent_before),
                          k7_client_->sent.end(),
                          [](const Bytes& unit) { return unit[2] == kK7StationEvent; }),
            1);
  k7_client_->unacknowledged = 0;
  loop_.AdvanceMs(kReplayIntervalMs);
  EXPECT_EQ(event_files(), 0);
}

// Idle, the replay tick does not wake the driver: only the moment the station would fall
// silent does, and a packet from a silent station brings the tick back.
TEST_F(DriverTest, AnIdleDriverWakesOnlyForTheStationWatch) {
  Driver& d = Start("[main]\nComPort=COM1\nSendK7=0\nSendK8=0\n");
  const size_t armed = loop_.timer_count();  // housekeeping and the watch's one shot
  loop_.AdvanceMs(3001);
  EXPECT_FALSE(d.window().station_link);
  EXPECT_EQ(loop_.timer_count(), armed - 1);
  loop_.AdvanceMs(60000);
  EXPECT_EQ(loop_.timer_count(), armed - 1);
  port_.Receive({0x02, 0x0A, 0xF4});
  EXPECT_EQ(loop_.timer_count(), armed);
  loop_.AdvanceMs(200);
  EXPECT_TRUE(d.window().station_link);
  for (int i = 0; i < 20; ++i) {  // polled every second: never silent, never a second timer
    loop_.AdvanceMs(1000);
    port_.Receive({0x02, 0x0A, 0xF4});
    EXPECT_EQ(loop_.timer_count(), armed);
  }
  EXPECT_TRUE(d.window().station_link);
  loop_.AdvanceMs(3001);
  EXPECT_FALSE(d.window().station_link);
}

TEST_F(DriverTest, AWaitingSpoolFileKeepsTheReplayTicking) {
  dir_.Write("5265C00_-1.ddk", std::string(555, '\x01'));
  Driver& d = Start("[main]\nSendK7=0\nSendK8=0\n");
  loop_.AdvanceMs(3200);  // the station falls silent; the file still waits for its link
  EXPECT_FALSE(d.window().station_link);
  const size_t ticking = loop_.timer_count();
  loop_.AdvanceMs(200);
  EXPECT_EQ(loop_.timer_count(), ticking);
  EXPECT_EQ(d.status_facts().ddk_waiting, 1u);
}

TEST_F(DriverTest, SpoolFilesLeftFromEarlierRunsWaitForTheirLink) {
  dir_.Write("5265C00_-1.ddk", std::string(555, '\x01'));
  dir_.Write("5265C00.dd8.tmp", "half written before a crash");
  Driver& d = Start("[main]\nSendK8=0\n");
  EXPECT_EQ(d.status_facts().ddk_waiting, 1u);
  EXPECT_THAT(dir_.List(), ElementsAre("5265C00_-1.ddk", "sqarn.ini"));
}

// A backlog of .ddk files drains one file per replay tick, oldest first, once K7 is up.
TEST_F(DriverTest, SpooledK7FilesGoOnePerReplayTickOldestFirst) {
  const auto now = std::filesystem::file_time_type::clock::now();
  for (int i = 0; i < 10; ++i) {
    const K7Frame frame = BuildEventFrame({40200 + i, 2, 0x30, 0});
    const std::string name = std::to_string(99 - i) + "_-1.ddk";
    dir_.Write(name, std::string(frame.begin(), frame.end()));
    std::filesystem::last_write_time(std::filesystem::path(dir_.path()) / name,
                                     now - std::chrono::seconds(60 - i));
  }
  Start("[main]\nComPort=COM1\nSendK7=1\nSendK8=0\n");
  k7_client_->Connect();
  const auto events = [&] {
    std::vector<int32_t> objects;
    for (const Bytes& unit : k7_client_->sent) {
      if (unit.size() != kK7FrameSize || unit[2] != kK7StationEvent) continue;
      K7Frame frame;
      std::copy(unit.begin(), unit.end(), frame.begin());
      objects.push_back(ParseEventFrame(frame).object_number);
    }
    return objects;
  };
  for (size_t tick = 1; tick <= 10; ++tick) {
    loop_.AdvanceMs(kReplayIntervalMs - 1);
    ASSERT_EQ(events().size(), tick - 1);
    loop_.AdvanceMs(1);
    ASSERT_EQ(events().size(), tick);
  }
  const auto objects = events();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(objects[i], 40200 + i);
  loop_.AdvanceMs(kReplayIntervalMs);  // the peer's TCP has them all: their files go
  EXPECT_THAT(dir_.List(), ElementsAre("sqarn.ini"));
}

TEST_F(DriverTest, StatusAndStandardErrorFollowTheRecordsGoingToSpoolFiles) {
  Driver& d = Start("[main]\nComPort=COM1\nSendK7=1\nSendK8=0\n");
  StatusFacts f = d.status_facts();
  EXPECT_TRUE(f.port_open);
  EXPECT_FALSE(f.last_event);
  EXPECT_TRUE(f.spool_failure.empty());
  diag_.clear();
  port_.Receive({0x07, 0x04, 0x00, 0x07, 0x0A, 0x01, 0x2C, 0x00});
  port_.Receive({0x07, 0x04, 0x00, 0x08, 0x0A, 0x01, 0x2B, 0x00});
  f = d.status_facts();
  EXPECT_EQ(f.ddk_waiting, 2u);  // the K7 link is down
  ASSERT_TRUE(f.last_event);
  EXPECT_EQ(FormatDefaultDateTime(*f.last_event), "15.09.2010 14:05:07");
  EXPECT_THAT(diag_,
              ElementsAre("K7: the link is down; records go to .ddk spool files (1 waiting)"));
}

TEST_F(DriverTest, AMessageDirectoryThatTakesNoFilesIsSaidAtStartAndInTheStatus) {
  dir_.Write("blocker", "");
  Driver& d = Start("[main]\nSendK8=0\nPathForSoob=blocker/\n");
  EXPECT_THAT(diag_, Contains(HasSubstr("blocker/ cannot take spool files")));
  ASSERT_FALSE(d.window().log_lines.empty());
  EXPECT_THAT(d.window().log_lines.back(), HasSubstr("cannot take spool files"));
  EXPECT_THAT(FormatStatusLine(d.status_facts()), HasSubstr("SPOOL FILES CANNOT BE WRITTEN"));
  EXPECT_THAT(dir_.List(), ElementsAre("blocker", "sqarn.ini"));
}

TEST(DriverTimings, TestTimingsAreReadWholeAndAnyMistakeIsRefused) {
  std::string error;
  const auto none = ParseDriverTimings("", &error);
  ASSERT_TRUE(none);
  EXPECT_EQ(DescribeDriverTimings(*none), "");
  EXPECT_EQ(none->k8.reconnect_pause_ms, 5000u);
  EXPECT_EQ(none->station_silence_ms, 3000u);

  const char* all =
      "reconnect=300,poll=100,housekeeping=250,retry=400,silence=1000,replay=50,drain=100,"
      "portretry=250";
  const auto t = ParseDriverTimings(all, &error);
  ASSERT_TRUE(t) << error;
  EXPECT_EQ(t->k8.reconnect_pause_ms, 300u);
  EXPECT_EQ(t->k8.poll_period_ms, 100u);
  EXPECT_EQ(t->housekeeping_ms, 250);
  EXPECT_EQ(t->store_retry_ms, 400u);
  EXPECT_EQ(t->station_silence_ms, 1000u);
  EXPECT_EQ(t->replay_ms, 50);
  EXPECT_EQ(t->k7_drain_ms, 100);
  EXPECT_EQ(t->port_retry_ms, 250);
  EXPECT_EQ(t->k8.reply_timeout_ms, K8LinkTiming().reply_timeout_ms);  // not a pause
  EXPECT_EQ(DescribeDriverTimings(*t), all);

  for (const char* bad : {"reconnect", "reconect=300", "reconnect=0", "reconnect=600001",
                          "reconnect=3s", "reconnect=-5", "silence=1000,,retry=5", ",retry=5"}) {
    error.clear();
    EXPECT_FALSE(ParseDriverTimings(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

// Shortened pauses reach the parts that keep them: the replay tick, the silence watch, the
// housekeeping tick.
TEST_F(DriverTest, ShortenedTimingsReachTheReplayTheSilenceWatchAndTheHousekeeping) {
  DriverTimings timings;
  timings.station_silence_ms = 1000;
  timings.housekeeping_ms = 500;
  timings.replay_ms = 50;
  dir_.Write("sqarn.ini", "[main]\nComPort=COM1\nSendK7=1\nSendK8=0\n");
  driver_ = std::make_unique<Driver>(Driver::Services{clock_, fs_, loop_, port_, view_,
                                                      testing::RefusedConnections(),
                                                      FakeK7Clients(), NoMetrics(), timings});
  driver_->StartUp();
  EXPECT_EQ(k7_client_->attempts, 1);
  loop_.AdvanceMs(50);  // the first replay tick finds the station heard
  EXPECT_TRUE(driver_->window().station_link);
  loop_.AdvanceMs(1150);
  EXPECT_FALSE(driver_->window().station_link);
  EXPECT_EQ(k7_client_->attempts, 3);  // at 500 and 1000 ms the link is tried again
}

TEST(ActivityCounter, WrapsAfterSixteen) {
  EXPECT_EQ(AdvanceCounter(0), 1);
  EXPECT_EQ(AdvanceCounter(15), 16);
  EXPECT_EQ(AdvanceCounter(16), 0);
}

}  // namespace
}  // namespace qarn
