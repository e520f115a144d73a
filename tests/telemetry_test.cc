// What the driver tells a monitoring centre, on virtual time: its metrics, read from a real
// registry that serves no port, and its journal entries, as handed to the journal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "fakes/fake_clock.h"
#include "fakes/fake_journal.h"
#include "fakes/fake_k7_client.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_station_port.h"
#include "fakes/metrics_scrape.h"
#include "fakes/scripted_connection.h"
#include "fakes/temp_dir.h"
#include "platform/prometheus_metrics.h"
#include "shell/driver.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using testing::FakeJournal;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;
using testing::Sample;

// Object 40300 (FirstNumber 4), code 10, byte 3 7.
const Bytes kEventFrame = {0x07, 0x04, 0x00, 0x07, 0x0A, 0x01, 0x2C, 0x00};

class NoView final : public DriverView {
 public:
  void Update(ViewPart) override {}
  void ShowMessageBox(const std::string&) override {}
  PasswordAnswer AskPassword(const std::string&) override { return PasswordAnswer::kCancelled; }
};

class TelemetryTest : public ::testing::Test {
 protected:
  TelemetryTest() : loop_(&clock_) {
    dir_.Enter();
    SetDiagSink([this](bool, const std::string& line) { stderr_.push_back(line); });
  }
  ~TelemetryTest() override {
    driver_.reset();
    SetDiagSink(nullptr);
  }

  // K7 only: its client is the test's; the K8 link is off.
  void Start(const std::string& extra = "") {
    dir_.Write("sqarn.ini", "[main]\nComPort=COM1\nSendK7=1\nSendK8=0\nn_abs=3\n" + extra);
    driver_ = std::make_unique<Driver>(Driver::Services{clock_, fs_, loop_, port_, view_,
                                                        testing::RefusedConnections(),
                                                        testing::FakeK7Clients(&k7_), metrics_});
    driver_->StartUp();
  }
  double Value(const std::string& series) const {
    return Sample(metrics_.Scrape(), series).value_or(-1);
  }
  std::vector<std::string> Lines(const std::string& start) const {
    std::vector<std::string> out;
    for (const std::string& line : stderr_)
      if (line.rfind(start, 0) == 0) out.push_back(line);
    return out;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::FakeMainLoop loop_;
  testing::FakeStationPort port_;
  testing::FakeK7Client* k7_ = nullptr;
  PosixFileSystem fs_;
  NoView view_;
  PrometheusMetrics metrics_;
  std::vector<std::string> stderr_;
  std::unique_ptr<Driver> driver_;
};

TEST_F(TelemetryTest, AnEventLeavesItsWholeRoadInTheJournalAndTheMetrics) {
  FakeJournal journal;
  Start();
  k7_->Connect();
  loop_.AdvanceMs(400);  // the first tick hears the station: its service frame goes first
  journal.Clear();
  stderr_.clear();
  port_.Receive(kEventFrame);
  clock_.AdvanceMs(300);  // the server's TCP takes its time to acknowledge
  loop_.AdvanceMs(200);   // the replay tick collects what it acknowledged

  const std::vector<JournalEntry> entries = journal.entries();
  std::vector<JournalKind> kinds;
  for (const JournalEntry& e : entries) kinds.push_back(e.kind);
  ASSERT_THAT(kinds, ElementsAre(JournalKind::kEventReceived, JournalKind::kRecordStored,
                                 JournalKind::kEventAcknowledged, JournalKind::kRecordDelivered));
  // Every step names the object, so that one filter shows the whole road.
  for (const JournalEntry& e : entries) {
    EXPECT_THAT(FakeJournal::Field(e, "QARN_OBJECT"), Optional(std::string("40300"))) << e.message;
  }
  for (const JournalEntry& e : {entries[0], entries[2]}) {
    EXPECT_THAT(FakeJournal::Field(e, "QARN_CODE"), Optional(std::string("10")));
    EXPECT_THAT(FakeJournal::Field(e, "QARN_EVENT_TIME"),
                Optional(std::string("2010-09-15T14:05:07.523")));
  }
  const std::string file = FakeJournal::Field(entries[1], "QARN_FILE").value_or("");
  EXPECT_THAT(file, HasSubstr(".ddk"));
  for (const JournalEntry& e : {entries[1], entries[3]}) {
    EXPECT_THAT(FakeJournal::Field(e, "QARN_LINK"), Optional(std::string("k7")));
    EXPECT_THAT(FakeJournal::Field(e, "QARN_FILE"), Optional(file));
  }
  EXPECT_FALSE(std::filesystem::exists(file));  // told delivered as its file went
  // The road is the journal's alone.
  EXPECT_THAT(stderr_, IsEmpty());

  EXPECT_EQ(Value("qarn_station_frames_total{kind=\"event\"}"), 1);
  EXPECT_EQ(Value("qarn_events_acknowledged_total"), 1);
  // The event's record and, before it, the service frame of the station heard.
  EXPECT_EQ(Value("qarn_records_stored_total{link=\"k7\"}"), 2);
  EXPECT_EQ(Value("qarn_records_delivered_total{link=\"k7\"}"), 2);
  EXPECT_EQ(Value("qarn_ack_latency_seconds_count"), 1);
  // From the station's acknowledgement to the server's, on the test's clock.
  EXPECT_EQ(Value("qarn_delivery_latency_seconds_count{link=\"k7\"}"), 1);
  EXPECT_GE(Value("qarn_delivery_latency_seconds_sum{link=\"k7\"}"), 0.3);
  EXPECT_LE(Value("qarn_delivery_latency_seconds_sum{link=\"k7\"}"), 0.5);
  EXPECT_EQ(Value("qarn_delivery_latency_seconds_bucket{link=\"k7\",le=\"0.25\"}"), 0);
  EXPECT_EQ(Value("qarn_delivery_latency_seconds_bucket{link=\"k7\",le=\"0.5\"}"), 1);
  EXPECT_EQ(Value("qarn_spool_files{link=\"k7\"}"), 0);
  EXPECT_EQ(Value("qarn_link_up{link=\"k7\"}"), 1);
  EXPECT_EQ(Value("qarn_link_connections_total{link=\"k7\",server=\"primary\"}"), 1);
  EXPECT_GT(Value("qarn_last_event_timestamp_seconds"), 1.6e9);
}

TEST_F(TelemetryTest, ABacklogDrainsWithItsStartAndEndInTheJournal) {
  FakeJournal journal;
  Start("ReplayRate=0\n");
  loop_.AdvanceMs(200);  // the station heard: a service frame waits, as the events will
  for (int i = 0; i < 3; ++i) port_.Receive(kEventFrame);
  EXPECT_EQ(Value("qarn_spool_files{link=\"k7\"}"), 4);
  EXPECT_GT(Value("qarn_spool_oldest_age_seconds{link=\"k7\"}"), -1);
  EXPECT_EQ(Value("qarn_records_delivered_total{link=\"k7\"}"), 0);
  EXPECT_THAT(journal.OfKind(JournalKind::kDrainStarted), IsEmpty());

  k7_->Connect();
  loop_.AdvanceMs(200);  // the replay sends the four
  ASSERT_EQ(journal.OfKind(JournalKind::kDrainStarted).size(), 1u);
  EXPECT_EQ(Value("qarn_records_replayed_total{link=\"k7\"}"), 4);
  loop_.AdvanceMs(200);  // their acknowledgement is collected: the backlog is gone
  loop_.AdvanceMs(200);
  const auto finished = journal.OfKind(JournalKind::kDrainFinished);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_THAT(FakeJournal::Field(finished[0], "QARN_LINK"), Optional(std::string("k7")));
  EXPECT_THAT(finished[0].message, HasSubstr("emptied"));
  EXPECT_EQ(Value("qarn_records_delivered_total{link=\"k7\"}"), 4);
  EXPECT_EQ(Value("qarn_spool_files{link=\"k7\"}"), 0);
  EXPECT_EQ(Value("qarn_spool_oldest_age_seconds{link=\"k7\"}"), 0);
  // The events' latency; the service frame's road is not an event's.
  EXPECT_EQ(Value("qarn_delivery_latency_seconds_count{link=\"k7\"}"), 3);
  // Told once each: its end, not every tick of it.
  loop_.AdvanceMs(1000);
  EXPECT_EQ(journal.OfKind(JournalKind::kDrainStarted).size(), 1u);
  EXPECT_EQ(journal.OfKind(JournalKind::kDrainFinished).size(), 1u);
}

// The same changes of state, under the journal and without it: one entry each with its
// fields, or the line on standard error exactly as before, never both.
TEST_F(TelemetryTest, EachChangeOfStateIsOneEntryUnderTheJournalAndTheOldLineWithout) {
  const auto run = [this] {
    Start();
    k7_->Connect();
    k7_->Close();
    port_.Lose({DeviceFault::kHungUp, "/dev/ttyUSB0", ""});
    loop_.AdvanceMs(2000);  // tried again, and open
    driver_.reset();
  };
  {
    FakeJournal journal;
    run();
    std::vector<JournalKind> kinds;  // the changes; the service frames' road aside
    for (const JournalEntry& e : journal.entries())
      if (e.kind < JournalKind::kEventReceived) kinds.push_back(e.kind);
    EXPECT_THAT(kinds, ElementsAre(JournalKind::kLinkUp, JournalKind::kLinkDown,
                                   JournalKind::kPortLost, JournalKind::kPortBack));
    const auto up = journal.OfKind(JournalKind::kLinkUp)[0];
    EXPECT_THAT(FakeJournal::Field(up, "QARN_LINK"), Optional(std::string("k7")));
    EXPECT_THAT(FakeJournal::Field(up, "QARN_SERVER"), Optional(std::string("primary")));
    EXPECT_THAT(up.message, HasSubstr("K7: connected to"));
    const auto lost = journal.OfKind(JournalKind::kPortLost)[0];
    EXPECT_THAT(FakeJournal::Field(lost, "QARN_PORT"), Optional(std::string("COM1")));
    EXPECT_THAT(FakeJournal::Field(lost, "QARN_REASON"), Optional(HasSubstr("went away")));
    EXPECT_THAT(Lines("K7: conn"), IsEmpty());
    EXPECT_THAT(Lines("station port"), IsEmpty());
  }
  stderr_.clear();
  run();
  EXPECT_THAT(Lines("K7: conn"), ElementsAre(HasSubstr("K7: connected to"), "K7: connection lost"));
  EXPECT_THAT(Lines("station port"),
              ElementsAre(HasSubstr("lost: the device went away"), HasSubstr("open again")));
  EXPECT_EQ(Value("qarn_link_up{link=\"k7\"}"), 0);
  EXPECT_EQ(Value("qarn_link_connections_total{link=\"k7\",server=\"primary\"}"), 2);
  EXPECT_EQ(Value("qarn_station_port_open"), 1);
}

// The catalog the package ships explains every kind the code sends, under its id.
TEST(JournalCatalog, HoldsEveryMessageIdOfTheCode) {
  std::ifstream file(QARN_CATALOG_PATH);
  ASSERT_TRUE(file) << QARN_CATALOG_PATH;
  std::set<std::string> in_catalog;
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("-- ", 0) == 0) {
      const std::string id = line.substr(3);
      EXPECT_TRUE(in_catalog.insert(id).second) << "given twice: " << id;
    }
  }
  std::set<std::string> in_code;
  for (const JournalKindInfo& k : kJournalKinds) {
    EXPECT_EQ(std::string(k.message_id).size(), 32u) << k.name;
    EXPECT_TRUE(in_code.insert(k.message_id).second) << "two kinds share " << k.message_id;
    EXPECT_EQ(JournalKindOf(k.kind).message_id, k.message_id) << "out of the enum's order";
  }
  EXPECT_EQ(in_catalog, in_code);
}

// journald itself, where this machine runs it: an entry as the driver sends it, read back.
TEST(SystemJournal, AnEntryReachesJournaldWithItsIdAndFields) {
  if (!std::filesystem::exists("/run/systemd/journal/socket")) {
    GTEST_SKIP() << "journald is not running here (no /run/systemd/journal/socket)";
  }
  if (access("/usr/bin/journalctl", X_OK) != 0 && access("/bin/journalctl", X_OK) != 0) {
    GTEST_SKIP() << "journalctl is not installed";
  }
  const std::string tag = std::to_string(std::random_device{}()) + std::to_string(getpid());
  MakeSystemdJournal()->Send({JournalKind::kEventReceived,
                              kDiagInfo,
                              "station event received: a test's",
                              {{"QARN_OBJECT", "41234"}, {"QARN_TEST_TAG", tag}}});
  std::string found;
  for (int i = 0; i < 100 && found.empty(); ++i) {
    FILE* p = popen(
        ("journalctl --no-pager -o export QARN_TEST_TAG=" + tag + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[1024];
    while (fgets(buf, sizeof buf, p)) found += buf;
    pclose(p);
    if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (found.empty()) GTEST_SKIP() << "journald did not let this user read the entry back";
  EXPECT_THAT(found, HasSubstr(std::string("MESSAGE_ID=") +
                               JournalKindOf(JournalKind::kEventReceived).message_id));
  EXPECT_THAT(found, HasSubstr("QARN_OBJECT=41234"));
  EXPECT_THAT(found, HasSubstr("PRIORITY=6"));
  EXPECT_THAT(found, HasSubstr("MESSAGE=station event received: a test's"));
}

// A K7 link that goes to its backup and back: the switch entries name the server and the
// reason, connections count per server, the gauge names the server in use, and a record the
// backup took is delivered by the backup.
TEST_F(TelemetryTest, ASwitchOfServerShowsInTheJournalAndTheMetrics) {
  FakeJournal journal;
  Start("host=10.0.0.7\nK7Port=7001\nBackupHost=10.0.0.8\nBackupK7Port=7002\n");
  testing::FakeK7Client* const first = k7_;
  for (int i = 0; i < 2; ++i) {
    first->Fail(10061, "refused");
    loop_.AdvanceMs(3000);
  }
  first->Connect();
  EXPECT_EQ(Value("qarn_link_server{link=\"k7\",server=\"backup\"}"), 1);
  EXPECT_EQ(Value("qarn_link_server{link=\"k7\",server=\"primary\"}"), 0);
  EXPECT_EQ(Value("qarn_link_connections_total{link=\"k7\",server=\"backup\"}"), 1);
  port_.Receive(kEventFrame);
  loop_.AdvanceMs(200);
  const auto delivered = journal.OfKind(JournalKind::kRecordDelivered);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_THAT(FakeJournal::Field(delivered[0], "QARN_SERVER"), Optional(std::string("backup")));

  loop_.AdvanceMs(60000);  // the try of the primary, which accepts
  ASSERT_NE(k7_, first);
  k7_->Connect();
  loop_.RunPosted();
  EXPECT_EQ(Value("qarn_link_server{link=\"k7\",server=\"primary\"}"), 1);
  EXPECT_EQ(Value("qarn_link_connections_total{link=\"k7\",server=\"primary\"}"), 1);
  // Switched there for the refusals, and back.
  const auto switched = journal.OfKind(JournalKind::kLinkSwitched);
  ASSERT_EQ(switched.size(), 2u);
  EXPECT_THAT(FakeJournal::Field(switched[0], "QARN_SERVER"), Optional(std::string("backup")));
  EXPECT_THAT(FakeJournal::Field(switched[0], "QARN_REASON"), Optional(std::string("refused")));
  EXPECT_THAT(FakeJournal::Field(switched[1], "QARN_SERVER"), Optional(std::string("primary")));
  EXPECT_THAT(FakeJournal::Field(switched[1], "QARN_PEER"), Optional(std::string("10.0.0.7:7001")));
}

}  // namespace
}  // namespace qarn
