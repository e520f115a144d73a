#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "base/byte_order.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_links.h"
#include "fakes/recorded_facts.h"
#include "fakes/temp_dir.h"
#include "output/event_output.h"
#include "output/spool_writer.h"
#include "platform/diag.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using testing::FakeK7;
using testing::FakeK8;

class EventOutputTest : public ::testing::Test {
 protected:
  EventOutputTest() : clock_({2010, 9, 15, 14, 5, 7, 123}) {}

  EventOutput& Make(EventOutput::Settings settings, std::string prefix = "") {
    const std::string where = prefix.empty() ? dir_.path() + "/" : prefix;
    replay_ = std::make_unique<SpoolReplay>(fs_, clock_, where);
    spool_ = std::make_unique<SpoolWriter>(fs_, where, -1, replay_.get(), NoObserver());
    output_ = std::make_unique<EventOutput>(settings, *spool_, *replay_, clock_, facts_);
    output_->SetLinks(&k7_, &k8_);
    return *output_;
  }

  StationEvent Event() const {
    StationEvent e;
    e.object_number = 40007;
    e.frame_byte3 = 7;
    e.event_code = 0x0A;
    e.event_time = clock_.Now();
    return e;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  PosixFileSystem fs_;
  FakeK7 k7_;
  FakeK8 k8_;
  testing::RecordedFacts facts_;
  std::unique_ptr<SpoolReplay> replay_;
  std::unique_ptr<SpoolWriter> spool_;
  std::unique_ptr<EventOutput> output_;
  // The K7 indicator's steps.
  int k7_steps() const { return facts_.activity[static_cast<int>(Indicator::kK7)]; }
};

TEST_F(EventOutputTest, LinksDownSpoolBothRecordsByteForByte) {
  Make({.send_k7 = true, .send_k8 = true});
  output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(), ElementsAre("50451EB3.dd8", "50451EB3_-1.ddk"));
  const Bytes dd8 = dir_.Read("50451EB3.dd8");
  ASSERT_EQ(dd8.size(), 22u);
  EXPECT_THAT(Bytes(dd8.begin(), dd8.begin() + 4), ElementsAre(0x1C, 0x00, 0x00, 0x03));
  const K8Event record = BuildK8Event(Event());
  EXPECT_TRUE(std::equal(record.begin(), record.end(), dd8.begin() + 4));
  const Bytes ddk = dir_.Read("50451EB3_-1.ddk");
  const K7Frame frame = BuildEventFrame(Event());
  EXPECT_EQ(ddk, Bytes(frame.begin(), frame.end()));
  EXPECT_EQ(k7_steps(), 0);
}

// Every record is on disk before it goes, link up or not; its file goes with it, and the
// server's acknowledgement deletes it.
TEST_F(EventOutputTest, LinksUpSendEachRecordWithItsDurableFile) {
  Make({.send_k7 = true, .send_k8 = true});
  k7_.connected = k8_.connected = true;
  output_->DeliverStationEvent(Event());
  ASSERT_EQ(k8_.packets.size(), 1u);
  EXPECT_EQ(k8_.packets[0].type, kK8StationEventType);
  EXPECT_EQ(k8_.packets[0].payload.size(), 18u);
  EXPECT_EQ(k8_.packets[0].spool_file, dir_.path() + "/50451EB3.dd8");
  ASSERT_EQ(k7_.units.size(), 1u);
  EXPECT_EQ(k7_.units[0][2], 0x15);
  EXPECT_EQ(k7_.files[0], dir_.path() + "/50451EB3_-1.ddk");
  // Each in flight: the replay holds it back until its link reports it.
  EXPECT_TRUE(replay_->in_flight(SpoolKind::kK8, k8_.packets[0].spool_file));
  EXPECT_TRUE(replay_->in_flight(SpoolKind::kK7, k7_.files[0]));
  EXPECT_EQ(k7_steps(), 1);
  EXPECT_THAT(dir_.List(), ElementsAre("50451EB3.dd8", "50451EB3_-1.ddk"));
  const Bytes stored = dir_.Read("50451EB3.dd8");
  EXPECT_EQ(Bytes(stored.begin() + 4, stored.end()), k8_.packets[0].payload);
  EXPECT_EQ(dir_.Read("50451EB3_-1.ddk"), k7_.units[0]);

  // No disk chosen: the ring only.
  Make({.send_k7 = false, .send_k8 = true, .not_send_to_disk_k8 = true});
  output_->DeliverStationEvent(Event());
  ASSERT_EQ(k8_.packets.size(), 2u);
  EXPECT_EQ(k8_.packets[1].spool_file, "");
  EXPECT_EQ(dir_.List().size(), 2u);
}

TEST_F(EventOutputTest, RecordsTheLinkCouldNotTakeAreSpooled) {
  Make({.send_k7 = true, .send_k8 = true});
  k7_.connected = k8_.connected = true;
  k8_.full = true;  // the ring is full
  k7_.take = 300;   // the socket took part of the unit
  output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(), ElementsAre("50451EB3.dd8", "50451EB3_-1.ddk"));
  EXPECT_EQ(k7_steps(), 0);
}

TEST_F(EventOutputTest, SwitchesDecideWhatIsProduced) {
  Make({.send_k7 = false, .send_k8 = false});
  output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(), IsEmpty());
  Make({.send_k7 = true, .send_k8 = true, .not_send_to_disk_k8 = true});
  output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(), ElementsAre("50451EB3_-1.ddk"));
}

TEST_F(EventOutputTest, ServiceFrameSpooledWhileK7IsDown) {
  Make({.send_k7 = true});
  output_->SendServiceFrame(kK7StationSilent);
  const Bytes ddk = dir_.Read("50451EB3_-1.ddk");
  ASSERT_EQ(ddk.size(), 555u);
  EXPECT_THAT(Bytes(ddk.begin(), ddk.begin() + 9),
              ElementsAre(0xFF, 0xFF, 0x48, 0, 0, 0x02, 0x00, 0x00, 0x00));
  k7_.connected = true;
  output_->SendServiceFrame(kK7RetQuerySent);
  ASSERT_EQ(k7_.units.size(), 1u);
  EXPECT_EQ(k7_.units[0][2], 7);
  EXPECT_EQ(k7_steps(), 0);  // service frames do not step the indicator
}

TEST_F(EventOutputTest, RecordsOfOneMillisecondAllSurvive) {
  Make({.send_k7 = true, .send_k8 = true});
  dir_.Write("50451EB4.dd8", "left from an earlier month");
  for (int i = 0; i < 3; ++i) output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(),
              ElementsAre("50451EB3.dd8", "50451EB3_-1.ddk", "50451EB4.dd8", "50451EB4_-1.ddk",
                          "50451EB5.dd8", "50451EB5_-1.ddk", "50451EB6.dd8"));
  const Bytes kept = dir_.Read("50451EB4.dd8");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "left from an earlier month");
}

TEST_F(EventOutputTest, PrefixWithoutSeparatorNamesFilesInTheParent) {
  std::filesystem::create_directory(dir_ / "Soob");
  Make({.send_k7 = true, .send_k8 = false}, dir_ / "Soob");
  output_->DeliverStationEvent(Event());
  EXPECT_THAT(dir_.List(), ElementsAre("Soob", "Soob50451EB3_-1.ddk"));
}

TEST_F(EventOutputTest, UnstorableRecordsWaitInMemoryUntilTheLinkOrTheDiskTakesThem) {
  std::vector<std::string> errors;
  SetDiagSink([&](bool, const std::string& line) { errors.push_back(line); });
  auto reports = [&] {
    return std::count_if(errors.begin(), errors.end(), [](const std::string& line) {
      return line.find("records waiting in memory") != std::string::npos;
    });
  };
  Make({.send_k7 = true, .send_k8 = true}, dir_ / "missing/");  // the directory is gone
  for (int i = 0; i < 3; ++i) output_->DeliverStationEvent(Event());
  UnstoredRecords& held = output_->unstored();
  EXPECT_EQ(held.size(), 6u);
  EXPECT_EQ(held.StatusText(),
            "6 records waiting in memory, store failing since 2010-09-15T14:05:07.123");
  EXPECT_EQ(reports(), 1);       // at once
  EXPECT_EQ(errors.size(), 3u);  // and each writer's failure once
  for (int s = 0; s < 59; ++s) {
    clock_.AdvanceMs(1000);
    held.Tick(&k7_);
  }
  EXPECT_EQ(reports(), 1);
  clock_.AdvanceMs(1000);
  held.Tick(&k7_);
  EXPECT_EQ(reports(), 2);  // again after a minute

  // The K7 link comes up: one live copy of each unit goes, and memory keeps them all the
  // same (the socket is never a record's only copy).
  k7_.connected = true;
  held.Tick(&k7_);
  held.Tick(&k7_);
  EXPECT_EQ(k7_.units.size(), 3u);
  EXPECT_THAT(k7_.files, ElementsAre("", "", ""));
  EXPECT_EQ(held.size(), 6u);
  // A K8 record made while the link is up also goes out at once, without a file; its K7
  // unit goes at the next tick.
  k8_.connected = true;
  output_->DeliverStationEvent(Event());
  ASSERT_EQ(k8_.packets.size(), 1u);
  EXPECT_EQ(k8_.packets[0].spool_file, "");
  EXPECT_EQ(held.size(), 8u);

  // The directory is back: within 5 s every record is on disk.
  std::filesystem::create_directory(dir_ / "missing");
  clock_.AdvanceMs(4000);
  held.Tick(&k7_);
  EXPECT_EQ(held.size(), 8u);
  EXPECT_EQ(k7_.units.size(), 4u);
  clock_.AdvanceMs(1000);
  held.Tick(&k7_);
  EXPECT_TRUE(held.empty());
  EXPECT_EQ(held.StatusText(), "");
  EXPECT_EQ(dir_.List().size(), 1u);  // "missing" and nothing else beside it
  std::vector<std::string> stored;
  for (const auto& e : std::filesystem::directory_iterator(dir_ / "missing")) {
    stored.push_back(e.path().filename().string());
  }
  // 4 K7 units went out live, and all 8 records are on disk: none lost.
  EXPECT_EQ(stored.size(), 8u);
  EXPECT_EQ(k7_.units.size(), 4u);
  EXPECT_EQ(held.lost(), 0u);
  SetDiagSink(nullptr);
}

TEST_F(EventOutputTest, MemoryHoldsAtMostTenThousandRecordsAndCountsTheRest) {
  std::vector<std::string> errors;
  SetDiagSink([&](bool, const std::string& line) { errors.push_back(line); });
  Make({.send_k7 = true}, dir_ / "missing/");
  const K7Frame frame = BuildEventFrame(Event());
  for (size_t i = 0; i < UnstoredRecords::kCapacity + 2; ++i) {
    output_->unstored().Hold(SpoolKind::kK7, frame);
  }
  EXPECT_EQ(output_->unstored().size(), UnstoredRecords::kCapacity);
  EXPECT_EQ(output_->unstored().lost(), 2u);
  EXPECT_EQ(errors.size(), 2u);  // the failure and the first loss; the second is counted
  // The minute's report counts the losses; the next loss after it is told again.
  errors.clear();
  clock_.AdvanceMs(UnstoredRecords::kReportMs);
  output_->unstored().Tick(nullptr);
  ASSERT_FALSE(errors.empty());
  EXPECT_THAT(errors.back(), HasSubstr("10000 records waiting in memory"));
  EXPECT_THAT(errors.back(), HasSubstr(", 2 records lost"));
  errors.clear();
  output_->unstored().Hold(SpoolKind::kK7, frame);
  EXPECT_THAT(errors, ElementsAre(HasSubstr("a record is lost")));
  SetDiagSink(nullptr);
}

TEST(SpoolWriter, StartUpRemovesUnfinishedFilesOnly) {
  testing::TempDir dir;
  PosixFileSystem fs;
  dir.Write("50451EB3.dd8.tmp", "half");
  dir.Write("50451EB3_-1.ddk.tmp", "half");
  dir.Write("50451EB3.dd8", "whole");
  dir.Write("notes.tmp", "other");
  SetDiagSink([](bool, const std::string&) {});
  SpoolWriter(fs, dir.path() + "/", -1, nullptr, NoObserver()).RemoveStaleTemporaries();
  SetDiagSink(nullptr);
  EXPECT_THAT(dir.List(), ElementsAre("50451EB3.dd8", "notes.tmp"));
}

TEST(SpoolWriter, NamesCarryTheConfiguredNumber) {
  EXPECT_EQ(SpoolWriter::K7Name("/s/", "5265C00", 12), "/s/5265C00_12.ddk");
  EXPECT_EQ(SpoolWriter::K8Name("", "A4CB7FFF"), "A4CB7FFF.dd8");
}

}  // namespace
}  // namespace qarn
