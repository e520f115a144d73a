// The spool replay over an in-memory message directory: any files (short, long, not files
// at all), any replay rate, links that come and go, servers that acknowledge or not, a clock
// that jumps.
// Once the links stay up and every replayed file is acknowledged, every spool file has been
// delivered whole and deleted, or set aside under ".bad" (as is a .dd8 the server refused
// five times); none is lost, none is read when it is larger than a K8 packet.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>

#include "base/byte_order.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_links.h"
#include "fakes/memory_file_system.h"
#include "fuzz/fuzz_check.h"
#include "output/event_record.h"
#include "output/spool_replay.h"
#include "platform/diag.h"

namespace qarn {
namespace {

constexpr uint64_t kLargestDd8 = (1u << 20) - 18 + 4;
const std::string kPrefix = "spool/";

struct Spooled {
  std::string path;
  SpoolKind kind;
  Bytes data;
  uint64_t size;
  bool regular;
  bool removed_by_hand = false;
  int refusals = 0;

  bool Replayable() const {
    if (!regular || refusals >= SpoolReplay::kMaxRefusals) return false;
    return kind == SpoolKind::kK7 ? size >= kK7FrameSize : size >= 4 && size <= kLargestDd8;
  }
};

class Run {
 public:
  explicit Run(FuzzedDataProvider& in)
      : in_(in), replay_(fs_, clock_, kPrefix, in.ConsumeIntegralInRange(0, 10)) {}

  void MakeFile(bool added) {
    Spooled f;
    f.kind = in_.ConsumeBool() ? SpoolKind::kK8 : SpoolKind::kK7;
    f.path =
        kPrefix + std::to_string(next_name_++) + (f.kind == SpoolKind::kK8 ? ".dd8" : "_-1.ddk");
    f.regular = added || in_.ConsumeIntegralInRange(0, 9) > 0;
    const int shape = in_.ConsumeIntegralInRange(0, 9);
    size_t length = f.kind == SpoolKind::kK7 ? kK7FrameSize : 4 + kK8EventSize;
    if (shape == 0) length = in_.ConsumeIntegralInRange<size_t>(0, length + 8);
    f.data = in_.ConsumeBytes<uint8_t>(length);
    f.data.resize(length, 0x5A);
    f.size = f.data.size();
    MemoryFileSystemFile file{f.data, in_.ConsumeIntegral<int8_t>(), f.regular};
    if (shape == 1 && f.kind == SpoolKind::kK8) {
      // Mostly too large; now and then exactly the largest, which is read whole (slow).
      const uint64_t over = in_.ConsumeIntegralInRange<uint64_t>(0, 15);
      file.sparse_size = kLargestDd8 + (over == 0 ? 0 : over % 2 + 1);
      f.size = file.sparse_size;
    }
    fs_.files[f.path] = file;
    if (added) replay_.Add(f.kind, f.path);
    files_.push_back(std::move(f));
  }

  void Tick(int64_t ms) {
    clock_.AdvanceMs(ms);
    replay_.ReplayK8(k8_);
    replay_.ReplayK7(k7_);
  }

  // What the links report when the records sent since the last answer end. Only the
  // replay deletes a file, on an acknowledgement.
  void EndPackets(PacketEnd end) {
    for (; answered_ < k8_.packets.size(); ++answered_) {
      const std::string& file = k8_.packets[answered_].spool_file;
      if (file.empty()) continue;
      if (end == PacketEnd::kRefused) {
        for (Spooled& f : files_) f.refusals += f.path == file;
      }
      replay_.Ended(SpoolKind::kK8, file, end);
    }
    for (; answered_k7_ < k7_.files.size(); ++answered_k7_) {
      // The K7 link has no refusal; a unit not taken whole was never in flight.
      replay_.Ended(SpoolKind::kK7, k7_.files[answered_k7_],
                    end == PacketEnd::kRefused ? PacketEnd::kReleased : end);
    }
  }

  void Play() {
    const int count = in_.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < count; ++i) MakeFile(false);
    replay_.Scan();
    for (int op = 0; op < 300 && in_.remaining_bytes() > 0; ++op) {
      switch (in_.ConsumeIntegralInRange(0, 9)) {
        case 0:
          Tick(in_.ConsumeIntegralInRange(0, 4000));
          break;
        case 1:
          k8_.connected = !k8_.connected;
          break;
        case 2:
          k7_.connected = !k7_.connected;
          break;
        case 3:
          EndPackets(static_cast<PacketEnd>(in_.ConsumeIntegralInRange(0, 2)));
          break;
        case 4:
          k7_.take = in_.ConsumeBool() ? kK7FrameSize : in_.ConsumeIntegralInRange<size_t>(0, 554);
          break;
        case 5:
          k8_.full = !k8_.full;
          break;
        case 6:
          MakeFile(true);
          break;
        case 7:
          Tick(in_.ConsumeIntegralInRange(0, 200));
          break;
        case 8:
          Tick(-in_.ConsumeIntegralInRange(0, 3600 * 1000));  // the server sets the clock back
          break;
        case 9:
          if (!files_.empty()) {
            Spooled& f = files_[in_.ConsumeIntegralInRange<size_t>(0, files_.size() - 1)];
            f.removed_by_hand = f.removed_by_hand || fs_.Remove(f.path);
          }
          break;
      }
    }
    // The links stay up and the server acknowledges every replayed file.
    k8_.connected = k7_.connected = true;
    k8_.full = false;
    k7_.take = kK7FrameSize;
    for (size_t i = 0; i < 2 * files_.size() + 10; ++i) {
      Tick(1000);
      EndPackets(PacketEnd::kAcknowledged);
    }
  }

  void CheckOutcome() const {
    FUZZ_CHECK(fs_.largest_read <= kLargestDd8);
    size_t set_aside = 0;
    for (const Spooled& f : files_) {
      if (f.removed_by_hand) continue;
      FUZZ_CHECK(!fs_.files.count(f.path));
      if (!f.Replayable()) {
        FUZZ_CHECK(fs_.files.count(f.path + SpoolReplay::kSetAsideSuffix));
        ++set_aside;
        continue;
      }
      if (f.kind == SpoolKind::kK7) {
        const Bytes unit(f.data.begin(), f.data.begin() + kK7FrameSize);
        FUZZ_CHECK(std::find(k7_.units.begin(), k7_.units.end(), unit) != k7_.units.end());
      } else {
        const int32_t type = GetI32(f.data.data());
        Bytes payload(f.data.begin() + 4, f.data.end());
        payload.resize(f.size - 4, 0);  // a sparse file reads as zeros past its data
        FUZZ_CHECK(std::any_of(k8_.packets.begin(), k8_.packets.end(), [&](const auto& p) {
          return p.spool_file == f.path && p.type == type && p.payload == payload;
        }));
      }
    }
    FUZZ_CHECK(fs_.files.size() == set_aside);
    FUZZ_CHECK(replay_.waiting(SpoolKind::kK7) == 0 && replay_.waiting(SpoolKind::kK8) == 0);
  }

 private:
  using MemoryFileSystemFile = testing::MemoryFileSystem::File;

  FuzzedDataProvider& in_;
  testing::FakeClock clock_;
  testing::MemoryFileSystem fs_;
  SpoolReplay replay_;
  testing::FakeK7 k7_;
  testing::FakeK8 k8_;
  std::vector<Spooled> files_;
  int next_name_ = 1;
  size_t answered_ = 0;
  size_t answered_k7_ = 0;
};

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qarn::SetDiagSink([](bool, const std::string&) {});
  FuzzedDataProvider in(data, size);
  qarn::Run run(in);
  run.Play();
  run.CheckOutcome();
  return 0;
}
