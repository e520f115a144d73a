// Power cuts at every step of a run of the store-and-forward path, on a file system that keeps
// only what was flushed. A record the station was told of, once its spool file is stored,
// reaches its server before the cut or after the restart; a duplicate is allowed, a loss
// never, and no spool file is read back half written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "base/byte_order.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_links.h"
#include "fakes/power_cut_file_system.h"
#include "output/event_output.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "platform/diag.h"

namespace qarn {
namespace {

using testing::FakeClock;
using testing::FakeK7;
using testing::FakeK8;
using testing::PowerCutFileSystem;

constexpr char kPrefix[] = "m/";

// What became of one record over the two lives of a run.
struct Fate {
  bool acknowledged = false;  // the station was told: its event returned before the cut
  bool stored = false;        // its spool file was stored before the cut
  bool on_disk = false;       // a whole spool file of it survived the cut
  int delivered_before = 0;   // server acknowledgements before the cut
  int delivered_after = 0;    // and after the restart
};

// Every record of a run, by its kind and bytes (a K8 payload, a K7 unit).
using Ledger = std::map<std::pair<SpoolKind, Bytes>, Fate>;

// The record a spool file holds: a .dd8 file has the packet type before the payload.
Bytes RecordOf(SpoolKind kind, const Bytes& content) {
  if (kind == SpoolKind::kK8 && content.size() >= 4)
    return Bytes(content.begin() + 4, content.end());
  return content;
}

// Null for bytes the driver never made.
Fate* Find(Ledger& ledger, SpoolKind kind, ByteView bytes) {
  const auto it = ledger.find({kind, Bytes(bytes.begin(), bytes.end())});
  return it == ledger.end() ? nullptr : &it->second;
}

// One life of the driver's output: its start-up as the driver does it, then what a scenario
// makes happen, with servers that acknowledge or release what the links carried. Once the
// power is gone nothing more happens.
class Life final : public Observer {
 public:
  Life(PowerCutFileSystem& fs, FakeClock& clock, Ledger& ledger, bool restarted, int rate)
      : fs_(fs),
        clock_(clock),
        ledger_(ledger),
        restarted_(restarted),
        replay_(fs, clock, kPrefix, rate, *this),
        writer_(fs, kPrefix, -1, &replay_, *this),
        output_({.send_k7 = true, .send_k8 = true}, writer_, replay_, clock, *this) {
    writer_.RemoveStaleTemporaries();
    replay_.Scan();
    output_.SetLinks(&k7_, &k8_);
  }

  void Links(bool k7, bool k8) {
    k7_.connected = k7;
    k8_.connected = k8;
  }

  // A station event; the station is acknowledged when the delivery returns.
  void Event() {
    if (!fs_.powered()) return;
    StationEvent e;
    e.object_number = 40000 + static_cast<int32_t>(ledger_.size());
    e.frame_byte3 = 7;
    e.event_code = 0x0A;
    e.event_time = clock_.Now();
    const K8Event k8 = BuildK8Event(e);
    const K7Frame k7 = BuildEventFrame(e);
    Fate& k8_fate = ledger_[{SpoolKind::kK8, Bytes(k8.begin(), k8.end())}];
    Fate& k7_fate = ledger_[{SpoolKind::kK7, Bytes(k7.begin(), k7.end())}];
    output_.DeliverStationEvent(e);
    if (fs_.powered()) k8_fate.acknowledged = k7_fate.acknowledged = true;
    clock_.AdvanceMs(10);
  }

  // Replay ticks of 200 ms, with the retry of the records held in memory.
  void Tick(int n = 1) {
    for (int i = 0; i < n && fs_.powered(); ++i) {
      clock_.AdvanceMs(200);
      replay_.ReplayK8(k8_);
      replay_.ReplayK7(k7_);
      replay_.FlushRemovals();  // as the driver's tick does: the deletions made durable
      output_.unstored().Tick(&k7_);
    }
  }

  // The servers acknowledge everything their links carried.
  void Acknowledge() { End(PacketEnd::kAcknowledged); }
  // The connections drop: what was in flight goes again.
  void Drop() {
    End(PacketEnd::kReleased);
    Links(false, false);
  }

  size_t waiting() const {
    return replay_.waiting(SpoolKind::kK7) + replay_.waiting(SpoolKind::kK8);
  }

 private:
  void End(PacketEnd end) {
    for (; k8_ended_ < k8_.packets.size() && fs_.powered(); ++k8_ended_) {
      const FakeK8::Packet& packet = k8_.packets[k8_ended_];
      if (end == PacketEnd::kAcknowledged) Delivered(SpoolKind::kK8, packet.payload);
      replay_.Ended(SpoolKind::kK8, packet.spool_file, end);
    }
    for (; k7_ended_ < k7_.units.size() && fs_.powered(); ++k7_ended_) {
      if (end == PacketEnd::kAcknowledged) Delivered(SpoolKind::kK7, k7_.units[k7_ended_]);
      replay_.Ended(SpoolKind::kK7, k7_.files[k7_ended_], end);
    }
  }

  void Delivered(SpoolKind kind, const Bytes& bytes) {
    Fate* fate = Find(ledger_, kind, bytes);
    if (!fate) {
      ADD_FAILURE() << "the server got " << bytes.size() << " bytes the driver never made";
      return;
    }
    ++(restarted_ ? fate->delivered_after : fate->delivered_before);
  }

  // Every file the writer stored, in the replay's line now.
  void RecordStored(SpoolKind kind, const std::string& path) override {
    Bytes content;
    if (!fs_.ReadAll(path, &content, nullptr)) return;
    if (Fate* fate = Find(ledger_, kind, RecordOf(kind, content))) {
      fate->stored = true;
    } else {
      ADD_FAILURE() << path << " holds no record of this run";
    }
  }

  PowerCutFileSystem& fs_;
  FakeClock& clock_;
  Ledger& ledger_;
  bool restarted_;
  SpoolReplay replay_;
  SpoolWriter writer_;
  EventOutput output_;
  FakeK7 k7_;
  FakeK8 k8_;
  size_t k8_ended_ = 0;
  size_t k7_ended_ = 0;
};

// What a run before this one left: a unit waiting in its file, and a store it did not finish.
void EarlierRun(PowerCutFileSystem& fs, Ledger& ledger) {
  const K7Frame unit = BuildServiceFrame(kK7StationHeard);
  fs.Put(std::string(kPrefix) + "5265C00_-1.ddk", unit);
  Fate& fate = ledger[{SpoolKind::kK7, Bytes(unit.begin(), unit.end())}];
  fate.acknowledged = fate.stored = true;
  fs.Put(std::string(kPrefix) + "5265C01.dd8.tmp", Bytes{0x1C, 0x00});
}

// Links up and down, replays, acknowledgements, dropped connections, a full disk and a
// directory that cannot be flushed while the servers acknowledge.
void Scenario(Life& d, PowerCutFileSystem& fs) {
  d.Event();  // both links down: the records wait on disk
  d.Event();
  d.Links(false, true);  // K8 up: the oldest goes first, a live record with its event
  d.Tick(2);
  d.Event();
  d.Acknowledge();
  d.Tick(3);
  d.Acknowledge();
  d.Links(true, true);  // K7 up too; then the connections drop with records in flight
  d.Event();
  d.Tick(2);
  d.Drop();
  d.Event();
  d.Links(true, true);
  d.Tick(3);
  d.Acknowledge();
  fs.refuse_writes = true;  // the disk is full: records wait in memory and go out live
  d.Event();
  d.Tick();
  d.Acknowledge();
  d.Event();
  fs.refuse_writes = false;  // the next event's store takes the held records to disk too
  d.Event();
  d.Tick(4);
  d.Acknowledge();
  fs.flush_directories = false;  // deletions not flushed: they may come back
  d.Tick(3);
  d.Acknowledge();
  fs.flush_directories = true;
  d.Event();
  fs.refuse_writes = true;  // full again, until the retry tick stores what waits
  d.Drop();
  d.Event();
  fs.refuse_writes = false;
  d.Tick(30);
  d.Links(true, true);
  d.Tick(5);
  d.Acknowledge();
  d.Tick(5);
  d.Drop();  // the run ends with records in flight and waiting
  d.Links(true, true);
  d.Event();
  d.Tick(2);
}

struct Counts {
  int acknowledged = 0;  // records the station was told of
  int delivered = 0;     // of those, acknowledged by the server before the cut
  int on_disk = 0;       // else in a spool file that survived, and delivered after the restart
  int held = 0;          // else held in memory at the cut, never stored: not promised
  int lost = 0;          // any stored record neither delivered nor on disk
  int duplicated = 0;    // server acknowledgements beyond the first of a record
  int temporaries = 0;   // unfinished stores that survived the cut
};

// Starts again on what survived the cut, and replays everything to servers that acknowledge
// all: every spool file left is whole and goes.
Counts Restart(PowerCutFileSystem& fs, FakeClock& clock, Ledger& ledger) {
  Counts counts;
  fs.PowerOn();
  fs.refuse_writes = false;
  fs.flush_directories = true;
  clock.AdvanceMs(60000);
  for (const auto& [path, file] : fs.files()) {
    if (path.ends_with(kTemporarySuffix)) {
      ++counts.temporaries;
      continue;
    }
    const bool ddk = path.ends_with(".ddk");
    if (!ddk && !path.ends_with(".dd8")) {
      ADD_FAILURE() << "unexpected file " << path;
      continue;
    }
    const SpoolKind kind = ddk ? SpoolKind::kK7 : SpoolKind::kK8;
    EXPECT_EQ(file.data.size(), ddk ? kK7FrameSize : 4 + kK8EventSize) << path;
    if (!ddk && file.data.size() >= 4) {
      EXPECT_EQ(GetI32(file.data.data()), kK8StationEventType) << path;
    }
    if (Fate* fate = Find(ledger, kind, RecordOf(kind, file.data))) {
      fate->on_disk = true;
    } else {
      ADD_FAILURE() << path << " holds no whole record of this run";
    }
  }
  Life life(fs, clock, ledger, /*restarted=*/true, /*rate=*/0);
  for (const auto& [path, file] : fs.files()) {
    EXPECT_FALSE(path.ends_with(kTemporarySuffix)) << path << " was left by the start-up";
  }
  life.Links(true, true);
  for (int i = 0; i < 1000 && life.waiting() > 0; ++i) {
    life.Tick();
    life.Acknowledge();
  }
  EXPECT_TRUE(fs.files().empty()) << fs.files().size() << " files left after the replay";

  for (const auto& [key, fate] : ledger) {
    const bool kept = fate.delivered_before > 0 || fate.on_disk;
    if (fate.on_disk) {
      EXPECT_GT(fate.delivered_after, 0);
    }
    counts.duplicated += std::max(0, fate.delivered_before + fate.delivered_after - 1);
    if (fate.stored && !kept) ++counts.lost;
    if (!fate.acknowledged) continue;
    ++counts.acknowledged;
    if (fate.delivered_before > 0) {
      ++counts.delivered;
    } else if (fate.on_disk) {
      ++counts.on_disk;
    } else if (!fate.stored) {
      ++counts.held;
    }
  }
  return counts;
}

void Print(const std::string& when, const Counts& c) {
  std::printf(
      "%s: %d acknowledged, %d delivered, %d on disk, %d held in memory, %d lost, "
      "%d duplicated\n",
      when.c_str(), c.acknowledged, c.delivered, c.on_disk, c.held, c.lost, c.duplicated);
}

class PowerCutTest : public ::testing::Test {
 protected:
  // The store failures and deletions the driver reports are not looked at here.
  PowerCutTest() {
    SetDiagSink([](bool, const std::string&) {});
  }
  ~PowerCutTest() override { SetDiagSink(nullptr); }
};

// The scenario runs from scratch once per step, cut after that step; the last run completes
// and is cut at its end.
TEST_F(PowerCutTest, CutAfterAnyStepLosesNoStoredRecord) {
  Counts totals;
  int cut_points = 0;
  for (int step = 1;; ++step) {
    ASSERT_LT(step, 1000) << "the scenario never completes";
    PowerCutFileSystem fs;
    FakeClock clock;
    Ledger ledger;
    EarlierRun(fs, ledger);
    fs.CutAfter(step);
    {
      Life life(fs, clock, ledger, /*restarted=*/false, SpoolReplay::kDefaultRate);
      Scenario(life, fs);
    }
    const bool completed = fs.cuts() == 0;
    if (completed) fs.Cut();
    const Counts c = Restart(fs, clock, ledger);
    const std::string when = completed
                                 ? "cut at the end, after " + std::to_string(step - 1) + " steps"
                                 : "cut after step " + std::to_string(step);
    Print(when, c);
    EXPECT_EQ(c.lost, 0) << when;
    EXPECT_EQ(c.acknowledged, c.delivered + c.on_disk + c.held + c.lost) << when;
    totals.on_disk += c.on_disk;
    totals.held += c.held;
    totals.duplicated += c.duplicated;
    totals.temporaries += c.temporaries;
    if (completed) break;
    ++cut_points;
  }
  // The sweep met every case it is there for.
  EXPECT_GT(cut_points, 50);
  EXPECT_GT(totals.on_disk, 0);
  EXPECT_GT(totals.held, 0);
  EXPECT_GT(totals.duplicated, 0);
  EXPECT_GT(totals.temporaries, 0);
}

// A directory that cannot be flushed (its fsync fails): a name that may not survive a power
// cut is no store, so the records wait in memory, as on a full disk, and none that was
// counted stored is lost at the cut.
TEST_F(PowerCutTest, StoreIntoADirectoryThatCannotBeFlushed) {
  PowerCutFileSystem fs;
  FakeClock clock;
  Ledger ledger;
  {
    Life life(fs, clock, ledger, /*restarted=*/false, SpoolReplay::kDefaultRate);
    fs.flush_directories = false;
    life.Event();
    life.Event();
  }
  fs.Cut();
  const Counts c = Restart(fs, clock, ledger);
  Print("directory not flushed, cut", c);
  EXPECT_EQ(c.lost, 0);
  EXPECT_EQ(c.held, 4);  // two events, a record per link each
}

}  // namespace
}  // namespace qarn
