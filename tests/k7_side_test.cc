// The K7 link's choice between its primary and backup servers on virtual time: fake clients
// in memory, a fake loop and clock, no socket.
#include "shell/k7_side.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/diag_capture.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_k7_client.h"
#include "fakes/fake_main_loop.h"
#include "fakes/recorded_facts.h"
#include "output/event_record.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using testing::FakeK7Client;
using ::testing::HasSubstr;

class K7SideTest : public ::testing::Test {
 protected:
  K7SideTest() {
    config_.send_k7 = false;
    config_.host = "10.0.0.1";
    config_.k7_port = 7788;
    config_.backup_host = "10.0.0.2";
    config_.backup_k7_port = 7789;
  }

  void Make() {
    side_ =
        std::make_unique<K7Side>(K7Side::Services{loop_, clock_,
                                                  [this](MainLoop&) -> std::unique_ptr<K7Client> {
                                                    auto client = std::make_unique<FakeK7Client>();
                                                    clients_.push_back(client.get());
                                                    return client;
                                                  },
                                                  facts_, facts_, facts_},
                                 config_);
    side_->Connect();
  }
  FakeK7Client& client(size_t i) { return *clients_.at(i); }
  std::string Aim(size_t i) { return client(i).Host() + ":" + std::to_string(client(i).Port()); }
  // One housekeeping tick, 3 s on.
  void Tick() {
    clock_.AdvanceMs(3000);
    side_->KeepUp();
    loop_.RunPosted();
  }

  testing::FakeClock clock_;
  testing::FakeMainLoop loop_{clock_};
  Config config_;
  std::vector<FakeK7Client*> clients_;
  testing::RecordedFacts facts_;
  std::vector<std::string>& servers_ = facts_.server_texts;
  // "a.ddk released", "b.ddk delivered"
  std::vector<std::string> Ended() const {
    std::vector<std::string> ended;
    for (const auto& e : facts_.ends)
      ended.push_back(e.file + (e.end == PacketEnd::kReleased ? " released" : " delivered"));
    return ended;
  }
  std::unique_ptr<K7Side> side_;
};

// Two failed attempts on the primary send the third to the backup; on it, the primary is
// tried every failback time by a client of its own, and once that one connects the exchange
// moves to it: what the backup had not acknowledged goes again from its file, and the
// primary is greeted; a try that fails leaves the link on the backup until the next. A primary that
// then takes nothing for 30 s, twice, sends the link back.
TEST_F(K7SideTest, FailsOverAndBackBetweenUnits) {
  testing::DiagCapture diag;
  Make();
  std::vector<std::string> aimed{Aim(0)};
  client(0).Fail(10061, "refused");
  Tick();
  aimed.push_back(Aim(0));
  client(0).Fail(10061, "refused");
  Tick();
  aimed.push_back(Aim(0));
  EXPECT_THAT(aimed, ElementsAre("10.0.0.1:7788", "10.0.0.1:7788", "10.0.0.2:7789"));
  client(0).Connect();
  EXPECT_THAT(servers_, ElementsAre("backup 10.0.0.2:7789"));
  EXPECT_THAT(diag.errors(), HasSubstr("K7: primary 10.0.0.1:7788 lost: refused; on backup "
                                       "10.0.0.2:7789"));
  ASSERT_EQ(client(0).sent.size(), 1u);  // its greeting

  for (uint32_t waited = 3000; waited < kDefaultFailbackMs; waited += 3000) Tick();
  ASSERT_EQ(clients_.size(), 1u);
  Tick();  // a failback time on the backup: the try of the primary, which is refused
  ASSERT_EQ(clients_.size(), 2u);
  EXPECT_EQ(Aim(1), "10.0.0.1:7788");
  client(1).Fail(10061, "refused");
  loop_.RunPosted();  // that try is gone; the link stays on the backup
  EXPECT_TRUE(client(0).Connected());
  for (uint32_t waited = 3000; waited < kDefaultFailbackMs; waited += 3000) Tick();
  ASSERT_EQ(clients_.size(), 2u);
  Tick();  // the next try, a failback time later
  ASSERT_EQ(clients_.size(), 3u);
  EXPECT_EQ(Aim(2), "10.0.0.1:7788");
  EXPECT_EQ(client(2).attempts, 1);
  EXPECT_TRUE(client(2).sent.empty());  // nothing until it is taken
  // A unit on the backup that its TCP has not acknowledged when the link moves.
  client(0).unacknowledged = 555;
  EXPECT_EQ(side_->channel().SendUnit(BuildServiceFrame(kK7StationEvent), "a.ddk"), 555u);
  client(2).Connect();
  loop_.RunPosted();
  EXPECT_THAT(Ended(), ElementsAre("a.ddk released"));
  EXPECT_THAT(servers_.back(), "primary 10.0.0.1:7788");
  ASSERT_EQ(client(2).sent.size(), 1u);  // greeted
  EXPECT_THAT(diag.errors(), HasSubstr("K7: primary 10.0.0.1:7788 answers again; back on it from "
                                       "backup 10.0.0.2:7789"));

  // The primary stops taking anything: dropped after 30 s; the next connection stalls too.
  for (int stall = 0; stall < 2; ++stall) {
    client(2).unacknowledged = 555;
    ASSERT_EQ(side_->channel().SendUnit(BuildServiceFrame(kK7StationEvent), "b.ddk"), 555u);
    for (int i = 0; i < 12 && client(2).Connected(); ++i) Tick();
    ASSERT_FALSE(client(2).Connected());
    Tick();
    if (stall == 0) {
      EXPECT_EQ(Aim(2), "10.0.0.1:7788");
      client(2).Connect();
    }
  }
  EXPECT_EQ(Aim(2), "10.0.0.2:7789");
}

// An attempt that never completes counts as failed after a pause when there is a backup to go
// to; without one it goes on, as it always has. A backup that is the primary itself or has no
// port (start-up's check of the configuration says so) is left unused, and one that resolves
// to nothing is said when first tried and left unused after.
TEST_F(K7SideTest, HungAttemptsAndUnusableBackups) {
  Make();
  Tick();
  Tick();
  EXPECT_EQ(Aim(0), "10.0.0.2:7789");
  EXPECT_EQ(client(0).attempts, 3);

  clients_.clear();
  config_.backup_host = "";
  Make();
  for (int i = 0; i < 4; ++i) Tick();
  EXPECT_EQ(Aim(0), "10.0.0.1:7788");

  for (const auto& [host, port] :
       {std::pair<std::string, int>{"10.0.0.1", 7788}, {"10.0.0.3", 70000}}) {
    clients_.clear();
    config_.backup_host = host;
    config_.backup_k7_port = port;
    Make();
    for (int i = 0; i < 4; ++i) {
      client(0).Fail(10061, "refused");
      Tick();
    }
    EXPECT_EQ(Aim(0), "10.0.0.1:7788");
  }

  testing::DiagCapture diag;
  clients_.clear();
  config_.backup_host = "backup.invalid";
  config_.backup_k7_port = 7788;
  Make();
  client(0).Fail(10061, "refused");
  Tick();
  client(0).Fail(10061, "refused");
  Tick();
  EXPECT_EQ(Aim(0), "backup.invalid:7788");
  client(0).Fail(11001, "host not found");
  Tick();
  EXPECT_THAT(diag.errors(), HasSubstr("K7: the backup backup.invalid:7788 resolves to nothing"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Aim(0), "10.0.0.1:7788");
    client(0).Fail(10061, "refused");
    Tick();
  }
}

}  // namespace
}  // namespace qarn
