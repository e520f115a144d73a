#include "output/spool_replay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/fake_clock.h"
#include "fakes/fake_links.h"
#include "fakes/memory_file_system.h"
#include "fakes/temp_dir.h"
#include "output/spool_writer.h"
#include "platform/diag.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SpoolReplayTest : public ::testing::Test {
 protected:
  SpoolReplayTest()
      : prefix_(dir_.path() + "/"),
        replay_(fs_, clock_, prefix_),
        writer_(fs_, prefix_, -1, &replay_, NoObserver()) {
    k7_.connected = k8_.connected = true;
    SetDiagSink([this](bool, const std::string& line) { diag_.push_back(line); });
  }
  ~SpoolReplayTest() override { SetDiagSink(nullptr); }

  // A file of `content` (made `size` long when given) whose modification time lies `age_s`
  // seconds back.
  void Old(const std::string& name, const std::string& content, int age_s, uint64_t size = 0) {
    dir_.Write(name, content);
    if (size) std::filesystem::resize_file(dir_ / name, size);
    std::filesystem::last_write_time(
        dir_ / name, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age_s));
  }
  static std::string Dd8(char tag) { return std::string("\x1C\x00\x00\x03", 4) + tag; }
  static std::string Ddk(char tag) { return std::string(554, '\xFF') + tag; }

  // The K8 server's acknowledgement of a replayed file, as its link reports it.
  void Acknowledge(const std::string& path) {
    replay_.Ended(SpoolKind::kK8, path, PacketEnd::kAcknowledged);
  }
  // The K7 server's TCP acknowledges every unit sent so far.
  void AcknowledgeK7() {
    for (const std::string& file : k7_.files) {
      replay_.Ended(SpoolKind::kK7, file, PacketEnd::kAcknowledged);
    }
  }
  void Tick() {
    clock_.AdvanceMs(200);
    replay_.ReplayK8(k8_);
    replay_.ReplayK7(k7_);
  }

  testing::TempDir dir_;
  std::string prefix_;
  testing::FakeClock clock_;
  PosixFileSystem fs_;
  SpoolReplay replay_;
  SpoolWriter writer_;
  testing::FakeK7 k7_;
  testing::FakeK8 k8_;
  std::vector<std::string> diag_;
};

TEST_F(SpoolReplayTest, OldestFirstWhateverTheNames) {
  Old("A4CB7FFF_-1.ddk", Ddk('1'), 30);  // end of last month
  Old("5265C00_-1.ddk", Ddk('2'), 20);   // start of this one
  Old("50451EB3_-1.ddk", Ddk('3'), 10);
  replay_.Scan();
  writer_.WriteK7(BuildServiceFrame(kK7StationHeard), clock_.Now());  // joins the end
  for (int i = 0; i < 5; ++i) Tick();
  ASSERT_EQ(k7_.units.size(), 4u);
  EXPECT_EQ(k7_.units[0].back(), '1');
  EXPECT_EQ(k7_.units[1].back(), '2');
  EXPECT_EQ(k7_.units[2].back(), '3');
  EXPECT_EQ(k7_.units[3][2], kK7StationHeard);
  // Sent is not delivered: each file goes once its unit's last byte is acknowledged.
  EXPECT_EQ(dir_.List().size(), 4u);
  AcknowledgeK7();
  EXPECT_THAT(dir_.List(), IsEmpty());
  EXPECT_EQ(replay_.waiting(SpoolKind::kK7), 0u);
}

TEST_F(SpoolReplayTest, K7FileStaysWhenTheUnitWasNotTakenWhole) {
  Old("1_-1.ddk", Ddk('1'), 2);
  replay_.Scan();
  k7_.take = 100;
  Tick();
  EXPECT_THAT(dir_.List(), ElementsAre("1_-1.ddk"));
  k7_.take = kK7FrameSize;
  Tick();
  EXPECT_EQ(k7_.units.size(), 2u);
  AcknowledgeK7();
  EXPECT_THAT(dir_.List(), IsEmpty());
}

TEST_F(SpoolReplayTest, NothingGoesWhileTheLinksAreDown) {
  Old("1.dd8", Dd8('a'), 2);
  Old("1_-1.ddk", Ddk('1'), 2);
  replay_.Scan();
  k7_.connected = k8_.connected = false;
  for (int i = 0; i < 30; ++i) Tick();
  EXPECT_THAT(k7_.units, IsEmpty());
  EXPECT_THAT(k8_.packets, IsEmpty());
}

TEST_F(SpoolReplayTest, AcknowledgedFilesGoOnePerTick) {
  Old("3.dd8", Dd8('a'), 30);
  Old("1.dd8", Dd8('b'), 20);
  Old("2.dd8", Dd8('c'), 10);
  replay_.Scan();
  for (int i = 0; i < 3; ++i) {
    Tick();
    ASSERT_EQ(k8_.packets.size(), static_cast<size_t>(i + 1));
    Acknowledge(k8_.packets.back().spool_file);
  }
  EXPECT_EQ(k8_.packets[0].payload, Bytes{'a'});
  EXPECT_EQ(k8_.packets[0].type, kK8StationEventType);
  EXPECT_EQ(k8_.packets[0].spool_file, prefix_ + "3.dd8");
  EXPECT_EQ(k8_.packets[1].payload, Bytes{'b'});
  EXPECT_EQ(k8_.packets[2].payload, Bytes{'c'});
  EXPECT_THAT(dir_.List(), IsEmpty());  // the acknowledgements deleted them
}

// One replayed packet is out at a time, so a live one never waits behind more than one; a
// file in flight (replayed or live) is not sent again until its packet ends, and a released
// one goes again at its place in spooling order.
TEST_F(SpoolReplayTest, FileInFlightIsNotSentAgainUntilItsPacketEnds) {
  Old("1.dd8", Dd8('a'), 30);
  Old("2.dd8", Dd8('b'), 20);
  replay_.Scan();
  const auto live = writer_.WriteK8(kK8StationEventType, Bytes{'c'}, clock_.Now());
  ASSERT_TRUE(live);
  replay_.MarkInFlight(SpoolKind::kK8, *live);    // queued live with its event
  for (int tick = 1; tick <= 40; ++tick) Tick();  // 8 seconds, no answer to anything
  ASSERT_EQ(k8_.packets.size(), 1u);
  EXPECT_EQ(k8_.packets[0].payload, Bytes{'a'});

  // 'a' is released (its connection died): it goes again, then is acknowledged; 'b' follows.
  replay_.Ended(SpoolKind::kK8, prefix_ + "1.dd8", PacketEnd::kReleased);
  Tick();
  ASSERT_EQ(k8_.packets.size(), 2u);
  EXPECT_EQ(k8_.packets[1].payload, Bytes{'a'});
  Acknowledge(prefix_ + "1.dd8");
  Tick();
  ASSERT_EQ(k8_.packets.size(), 3u);
  EXPECT_EQ(k8_.packets[2].payload, Bytes{'b'});
  // The live file's packet is released: it goes after 'b', which was spooled before it.
  replay_.Ended(SpoolKind::kK8, *live, PacketEnd::kReleased);
  Tick();
  EXPECT_EQ(k8_.packets.size(), 3u);
  replay_.Ended(SpoolKind::kK8, prefix_ + "2.dd8", PacketEnd::kReleased);
  Tick();
  Tick();
  ASSERT_EQ(k8_.packets.size(), 4u);
  EXPECT_EQ(k8_.packets[3].payload, Bytes{'b'});
  Acknowledge(prefix_ + "2.dd8");
  Tick();
  ASSERT_EQ(k8_.packets.size(), 5u);
  EXPECT_EQ(k8_.packets[4].spool_file, *live);
  EXPECT_EQ(replay_.waiting(SpoolKind::kK8), 1u);
}

// The rate paces each link; 0 sends as fast as the server takes them: on K8 the next file as
// soon as the last one ended, on K7 up to 64 KiB of replayed units in the socket at a time.
TEST_F(SpoolReplayTest, TheRatePacesEachLinkAndZeroGoesAtTheServersPace) {
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(writer_.WriteK7(BuildServiceFrame(kK7StationHeard), clock_.Now()));
    ASSERT_TRUE(writer_.WriteK8(kK8StationEventType, Bytes{'x'}, clock_.Now()));
  }
  for (int i = 0; i < 25; ++i) {  // 5 seconds at the default 5 files per second
    Tick();
    if (!k8_.packets.empty()) Acknowledge(k8_.packets.back().spool_file);
  }
  EXPECT_EQ(k7_.units.size(), 25u);
  EXPECT_EQ(k8_.packets.size(), 25u);

  testing::FakeClock clock;
  testing::FakeK7 k7;
  testing::FakeK8 k8;
  k7.connected = k8.connected = true;
  SpoolReplay fast(fs_, clock, prefix_, 0);
  fast.Scan();
  fast.ReplayK7(k7);
  EXPECT_EQ(k7.units.size(), SpoolReplay::kMaxReplayedK7InFlight);  // 118 units: 64 KiB
  fast.ReplayK7(k7);
  EXPECT_EQ(k7.units.size(), SpoolReplay::kMaxReplayedK7InFlight);
  fast.Ended(SpoolKind::kK7, k7.files[0], PacketEnd::kAcknowledged);
  fast.Ended(SpoolKind::kK7, k7.files[1], PacketEnd::kAcknowledged);
  fast.ReplayK7(k7);
  EXPECT_EQ(k7.units.size(), SpoolReplay::kMaxReplayedK7InFlight + 2);
  for (int i = 0; i < 10; ++i) {  // no time passes: each reply lets the next go
    fast.ReplayK8(k8);
    ASSERT_EQ(k8.packets.size(), static_cast<size_t>(i + 1));
    fast.ReplayK8(k8);
    ASSERT_EQ(k8.packets.size(), static_cast<size_t>(i + 1));
    fast.Ended(SpoolKind::kK8, k8.packets.back().spool_file, PacketEnd::kAcknowledged);
  }
  EXPECT_EQ(fast.waiting(SpoolKind::kK8), 300u - 25u - 10u);
  EXPECT_EQ(fast.replayed(SpoolKind::kK8), 10u);
}

TEST_F(SpoolReplayTest, FullRingRetriesAtTheNextTick) {
  Old("1.dd8", Dd8('a'), 2);
  replay_.Scan();
  k8_.full = true;
  Tick();
  k8_.full = false;
  Tick();
  EXPECT_EQ(k8_.packets.size(), 1u);
}

// A .dd8 too large for any K8 packet is set aside unread and reported once; the largest that
// fits still goes, and the files behind the large one are not held back.
TEST_F(SpoolReplayTest, Dd8LargerThanAPacketIsSetAside) {
  const uint64_t largest = (1u << 20) - 18 + 4;
  Old("1.dd8", Dd8('a'), 40, largest + 1);
  Old("2.dd8", Dd8('b'), 30, largest);
  Old("3.dd8", Dd8('c'), 20);
  replay_.Scan();
  for (int i = 0; i < 3; ++i) {
    Tick();
    if (!k8_.packets.empty()) Acknowledge(k8_.packets.back().spool_file);
  }
  EXPECT_THAT(dir_.List(), ElementsAre("1.dd8.bad"));
  ASSERT_EQ(k8_.packets.size(), 2u);
  EXPECT_EQ(k8_.packets[0].payload.size(), largest - 4);
  EXPECT_EQ(k8_.packets[1].payload, Bytes{'c'});
  ASSERT_EQ(diag_.size(), 1u);
  EXPECT_THAT(diag_[0], ::testing::HasSubstr("1048563 bytes"));
}

TEST_F(SpoolReplayTest, UnreplayableFilesAreSetAsideOnceAndOthersGoOn) {
  Old("1.dd8", "\x1C\x00", 40);                       // shorter than its type
  Old("2_-1.ddk", "short", 30);                       // shorter than a unit
  std::filesystem::create_directory(dir_ / "3.dd8");  // not a file
  std::filesystem::last_write_time(
      dir_ / "3.dd8", std::filesystem::file_time_type::clock::now() - std::chrono::seconds(35));
  Old("4.dd8", Dd8('z'), 10);
  Old("5_-1.ddk", Ddk('5'), 10);
  replay_.Scan();
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_THAT(dir_.List(),
              ElementsAre("1.dd8.bad", "2_-1.ddk.bad", "3.dd8.bad", "4.dd8", "5_-1.ddk"));
  ASSERT_EQ(k8_.packets.size(), 1u);
  EXPECT_EQ(k8_.packets[0].payload, Bytes{'z'});
  ASSERT_EQ(k7_.units.size(), 1u);
  EXPECT_EQ(diag_.size(), 3u);
  replay_.Scan();  // set aside for good: a new start does not see them
  EXPECT_EQ(replay_.waiting(SpoolKind::kK8), 1u);
  EXPECT_EQ(replay_.waiting(SpoolKind::kK7), 1u);
}

TEST_F(SpoolReplayTest, Dd8TheServerKeepsRefusingIsSetAsideOnceAndOthersGoOn) {
  Old("1.dd8", Dd8('a'), 30);
  Old("2.dd8", Dd8('b'), 20);
  replay_.Scan();
  const std::string refused = prefix_ + "1.dd8";
  // Each time 'a' goes it is refused, every other time after a lost connection too: only
  // the refusals count, and the fifth sets it aside.
  int refusals = 0;
  for (int tick = 0; tick < 400 && k8_.packets.size() < 12; ++tick) {
    const size_t before = k8_.packets.size();
    Tick();
    if (k8_.packets.size() == before || k8_.packets.back().payload != Bytes{'a'}) continue;
    if (k8_.packets.size() % 2 == 0) {
      replay_.Ended(SpoolKind::kK8, refused, PacketEnd::kReleased);
    } else {
      ++refusals;
      replay_.Ended(SpoolKind::kK8, refused, PacketEnd::kRefused);
    }
  }
  EXPECT_EQ(refusals, SpoolReplay::kMaxRefusals);
  EXPECT_THAT(dir_.List(), ElementsAre("1.dd8.bad", "2.dd8"));
  ASSERT_EQ(diag_.size(), 1u);
  EXPECT_NE(diag_[0].find("1.dd8.bad"), std::string::npos);
  EXPECT_NE(diag_[0].find("refused by the K8 server 5 times"), std::string::npos);
  // 'b' follows, and its acknowledgement still deletes it.
  EXPECT_EQ(k8_.packets.back().payload, Bytes{'b'});
  EXPECT_EQ(k8_.packets.size(), 2u * SpoolReplay::kMaxRefusals);
  Acknowledge(prefix_ + "2.dd8");
  EXPECT_EQ(replay_.waiting(SpoolKind::kK8), 0u);
  EXPECT_EQ(diag_.size(), 1u);
}

TEST_F(SpoolReplayTest, FilesRemovedByHandAreSkipped) {
  Old("1_-1.ddk", Ddk('1'), 20);
  Old("2_-1.ddk", Ddk('2'), 10);
  replay_.Scan();
  std::filesystem::remove(dir_ / "1_-1.ddk");
  Tick();
  ASSERT_EQ(k7_.units.size(), 1u);
  EXPECT_EQ(k7_.units[0].back(), '2');
  EXPECT_THAT(diag_, IsEmpty());
}

// A delivered .ddk file that the disk will not let go stays on disk to go again at the next
// start (a duplicate, never a loss); the line goes on, and the failure is said once until a
// deletion works again.
TEST(SpoolReplayRemovals, DeliveredFilesTheDiskKeepsStayForTheNextStartAndAreSaidOnce) {
  testing::MemoryFileSystem fs;
  testing::FakeClock clock;
  std::vector<std::string> said;
  SetDiagSink([&](bool, const std::string& line) { said.push_back(line); });
  for (const char* name : {"m/1_-1.ddk", "m/2_-1.ddk", "m/3_-1.ddk"}) {
    ASSERT_TRUE(fs.Append(name, Bytes(kK7FrameSize, name[2]), nullptr));
  }
  SpoolReplay replay(fs, clock, "m/", 0);
  replay.Scan();
  testing::FakeK7 k7;
  k7.connected = true;
  replay.ReplayK7(k7);
  ASSERT_EQ(k7.units.size(), 3u);
  fs.fail_removes = true;
  replay.Ended(SpoolKind::kK7, k7.files[0], PacketEnd::kAcknowledged);
  replay.Ended(SpoolKind::kK7, k7.files[1], PacketEnd::kAcknowledged);
  fs.fail_removes = false;
  replay.Ended(SpoolKind::kK7, k7.files[2], PacketEnd::kAcknowledged);
  replay.ReplayK7(k7);
  SetDiagSink(nullptr);
  EXPECT_EQ(k7.units.size(), 3u);  // each sent once in this run
  EXPECT_EQ(replay.waiting(SpoolKind::kK7), 0u);
  EXPECT_EQ(fs.files.size(), 2u);  // the two kept for the next start
  EXPECT_TRUE(fs.Exists("m/1_-1.ddk"));
  EXPECT_TRUE(fs.Exists("m/2_-1.ddk"));
  EXPECT_THAT(said, ElementsAre("cannot delete a delivered .ddk spool file; it goes again at the "
                                "next start: m/1_-1.ddk",
                                "cannot delete a delivered .ddk spool file; it goes again at the "
                                "next start: deleted again"));
}

}  // namespace
}  // namespace qarn
