#include "station/station_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_station_port.h"
#include "fakes/temp_dir.h"
#include "platform/diag.h"
#include "platform/file_system.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class StationProtocolTest : public ::testing::Test {
 protected:
  StationProtocolTest() { dir_.Enter(); }
  ~StationProtocolTest() override { SetDiagSink(nullptr); }

  // The events, the service frames and the indicator the protocol tells.
  struct Recorder final : EventSink, Observer {
    explicit Recorder(StationProtocolTest& test) : t(test) {}
    void DeliverStationEvent(const StationEvent& e) override {
      t.events_.push_back(e);
      t.acks_before_delivery_.push_back(t.sent_.size());
    }
    void SendServiceFrame(uint8_t type) override { t.service_frames_.push_back(type); }
    void Activity(Indicator) override { ++t.advances_; }
    StationProtocolTest& t;
  };

  StationProtocol& Make(StationProtocol::Settings settings = {}) {
    port_.OpenPort();
    protocol_ = std::make_unique<StationProtocol>(std::move(settings), port_, recorder_, recorder_,
                                                  clock_, fs_, clock_.Now());
    return *protocol_;
  }
  void Feed(std::vector<uint8_t> packet) { protocol_->HandleStationPacket(packet); }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  PosixFileSystem fs_;
  testing::FakeStationPort port_;
  std::vector<Bytes>& sent_ = port_.sent;  // the answers on the port
  Recorder recorder_{*this};
  std::unique_ptr<StationProtocol> protocol_;
  std::vector<StationEvent> events_;
  std::vector<size_t> acks_before_delivery_;  // frames sent when each event was delivered
  std::vector<uint8_t> service_frames_;
  int advances_ = 0;
};

const Bytes kAck = {0x02, 0x88, 0x76};
const Bytes kNothing = {0x02, 0x94, 0x6A};
const Bytes kQuery = {0x03, 0x84, 0x03, 0x76};

TEST_F(StationProtocolTest, EventFrameIsAcknowledgedAndConverted) {
  Make();
  for (uint8_t checksum : {0x00, 0xE4, 0x55}) {  // the checksum is not checked
    Feed({0x07, 0x04, 0x00, 0x07, 0x0A, 0x00, 0x00, checksum});
  }
  EXPECT_THAT(sent_, ElementsAre(kAck, kAck, kAck));
  // Each acknowledgement follows its event's delivery, which makes the records safe.
  EXPECT_THAT(acks_before_delivery_, ElementsAre(0u, 1u, 2u));
  ASSERT_EQ(events_.size(), 3u);
  EXPECT_EQ(events_[0].object_number, 40007);  // byte 3 stands in for a zero object
  EXPECT_EQ(events_[0].event_code, 0x0A);
  EXPECT_EQ(events_[0].frame_byte3, 7);
  EXPECT_DOUBLE_EQ(events_[0].event_time, clock_.Now());
  EXPECT_EQ(advances_, 3);
}

TEST_F(StationProtocolTest, ObjectNumberIsBigEndianPlusTheBase) {
  StationProtocol::Settings settings;
  settings.first_number = 4;
  Make(settings);
  Feed({0x07, 0x04, 0x00, 0x07, 0xFF, 0x01, 0x2C, 0x00});
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].object_number, 40300);
  EXPECT_EQ(events_[0].event_code, 0xFF);
}

TEST_F(StationProtocolTest, ShortPacketsAreCompletedFromTheBuffer) {
  Make();
  Feed({0x07, 0x04, 0x00, 0x09, 0x11, 0x01, 0x2C, 0x00});
  Feed({0x03, 0x04, 0x05});  // bytes 3..6 are still the first frame's
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1].object_number, 40300);
  EXPECT_EQ(events_[1].frame_byte3, 9);
  EXPECT_EQ(events_[1].event_code, 0x11);
  // A 2-byte packet matches the poll frame together with the byte left behind.
  Feed({0x02, 0x08, 0xF6});
  Feed({0x02, 0x08});
  EXPECT_EQ(sent_.back(), kNothing);
}

TEST_F(StationProtocolTest, FirstPollGetsTheClockFrameThenNothingToSend) {
  StationProtocol::Settings settings;
  settings.ret_enabled.set(1).set(2).set(5);
  Make(settings);
  clock_.SetNow({2010, 9, 15, 14, 5, 59, 999});
  Feed({0x02, 0x08, 0xF6});
  Feed({0x02, 0x08, 0xF6});
  const Bytes clock_frame = {0x14, 0x84, 0x01, 0x05, 0x0E, 0x0F, 0x09, 0x0A, 0x00, 0x7F, 0xFF,
                             0xFA, 0x00, 0x00, 0x01, 0x02, 0x03, 0x01, 0x02, 0x05, 0xAC};
  EXPECT_THAT(sent_, ElementsAre(clock_frame, kNothing));
  EXPECT_EQ(advances_, 3);  // the poll, the clock frame, the second poll
}

TEST_F(StationProtocolTest, ClockFrameWorkedExamples) {
  const CivilTime t{2010, 9, 15, 14, 5, 0, 0};
  EXPECT_THAT(BuildClockFrame(t, RetEnabled()),
              ElementsAreArray({0x11, 0x84, 0x01, 0x05, 0x0E, 0x0F, 0x09, 0x0A, 0x00, 0x7F, 0xFF,
                                0xFA, 0x00, 0x00, 0x01, 0x02, 0x03, 0xB7}));
  RetEnabled only32;
  only32.set(32);
  EXPECT_EQ(BuildClockFrame(t, only32).size(), 18u);  // 32 is never listed
  RetEnabled all;
  all.set();
  const Bytes longest = BuildClockFrame(t, all);
  EXPECT_EQ(longest.size(), 49u);
  EXPECT_TRUE(IsWellFormedFrame(longest));
  const auto parsed = ParseClockFrame(longest);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->hour, 14);
  EXPECT_EQ(parsed->retranslators.count(), 31u);
}

TEST_F(StationProtocolTest, FixedFramesFollowTheChecksumRule) {
  EXPECT_THAT(BuildFrame(0x88, {}), ElementsAreArray(kAckFrame));
  EXPECT_THAT(BuildFrame(0x94, {}), ElementsAreArray(kNothingToSendFrame));
  const uint8_t sub[] = {0x03};
  EXPECT_THAT(BuildFrame(0x84, sub), ElementsAreArray(kRetQueryFrame));
  EXPECT_THAT(
      BuildStationEventFrame(0x012C, 0x0A, 7),
      ElementsAre(0x07, 0x04, 0x00, 0x07, 0x0A, 0x01, 0x2C,
                  FrameChecksum(std::vector<uint8_t>{0x07, 0x04, 0x00, 0x07, 0x0A, 0x01, 0x2C})));
}

TEST_F(StationProtocolTest, PendingQueryFollowsTheClockFrameOnTheSamePoll) {
  StationProtocol::Settings settings;
  settings.send_k7 = true;
  Make(settings).RequestRetQuery();
  Feed({0x02, 0x08, 0xF6});
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0][1], 0x84);
  EXPECT_EQ(sent_[1], kQuery);
  EXPECT_THAT(service_frames_, ElementsAre(7));
  EXPECT_FALSE(protocol_->ret_query_pending());
}

TEST_F(StationProtocolTest, SeveralRequestsGiveOneQueryFrame) {
  StationProtocol::Settings settings;
  settings.send_k7 = true;
  settings.query_interval = 0;  // a zero interval asks at every tick
  Make(settings);
  Feed({0x02, 0x08, 0xF6});  // the clock frame
  sent_.clear();
  clock_.AdvanceMs(3000);
  protocol_->CheckQueryInterval();
  protocol_->RequestRetQuery();
  Feed({0x02, 0x08, 0xF6});
  Feed({0x02, 0x08, 0xF6});
  EXPECT_THAT(sent_, ElementsAre(kQuery, kNothing));
  EXPECT_THAT(service_frames_, ElementsAre(7));
  clock_.AdvanceMs(3000);
  protocol_->CheckQueryInterval();
  Feed({0x02, 0x08, 0xF6});
  EXPECT_EQ(sent_.back(), kQuery);
}

TEST_F(StationProtocolTest, QueryIntervalCountsFromTheTickThatRaisedIt) {
  StationProtocol::Settings settings;
  settings.query_interval = 10 * kSecond;
  Make(settings);
  int raised = 0;
  for (int tick = 1; tick <= 10; ++tick) {  // 30 seconds of 3-second ticks
    clock_.AdvanceMs(3000);
    protocol_->CheckQueryInterval();
    if (protocol_->ret_query_pending()) {
      ++raised;
      EXPECT_DOUBLE_EQ(protocol_->last_query_time(), clock_.Now());
      Feed({0x02, 0x08, 0xF6});  // the request goes out and is cleared
    }
  }
  EXPECT_EQ(raised, 2);  // at 12 s and at 24 s
}

TEST_F(StationProtocolTest, Command12AndUnknownFrames) {
  Make();
  const TDateTime start = protocol_->last_receive_time();
  clock_.AdvanceMs(500);
  Feed({0x02, 0x0A, 0xF4});
  EXPECT_THAT(sent_, IsEmpty());
  EXPECT_EQ(advances_, 0);
  EXPECT_GT(protocol_->last_receive_time(), start);
  Feed({0x02, 0x0C, 0xF2});
  EXPECT_THAT(sent_, ElementsAre(kAck));
  EXPECT_EQ(advances_, 1);
  EXPECT_THAT(events_, IsEmpty());
}

TEST_F(StationProtocolTest, RawDumpGrowsByEveryPacket) {
  StationProtocol::Settings settings;
  settings.log = true;
  Make(settings);
  Feed({0x02, 0x0A, 0xF4});
  Feed({0x07, 0x04, 0x00, 0x07, 0x0A, 0x00, 0x00, 0x00});
  EXPECT_THAT(dir_.Read("qarn.log"),
              ElementsAre(0x02, 0x0A, 0xF4, 0x07, 0x04, 0x00, 0x07, 0x0A, 0x00, 0x00, 0x00));
}

TEST_F(StationProtocolTest, UnwritableDumpStillAnswersAndIsReportedOnce) {
  std::vector<std::string> errors;
  SetDiagSink([&](bool is_error, const std::string& line) {
    if (is_error) errors.push_back(line);
  });
  StationProtocol::Settings settings;
  settings.log = true;
  settings.dump_path = dir_ / "no-such-dir/qarn.log";
  Make(settings);
  for (int i = 0; i < 3; ++i) Feed({0x07, 0x04, 0x00, 0x07, 0x0A, 0x00, 0x00, 0x00});
  EXPECT_EQ(sent_.size(), 3u);
  EXPECT_EQ(events_.size(), 3u);
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
}  // namespace qarn
