// The K7 exchange over any course of its connections: server bytes in any pieces (whole
// commands, units without the marker, stray bytes that shift the rest), station records sent
// while the socket takes them whole, short or not at all, the peer's TCP acknowledging any
// part of the stream, stalling or not telling, and closes at any moment. The server's
// commands come out once each and in order, exactly as the connection's whole units hold
// them; every connection begins with its greetings and carries whole units or their first
// bytes only; every record is acknowledged by the peer (and told so only then), released to go
// again (oldest first) or left
// to its sender; the link flag follows the connection.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_k7_client.h"
#include "fuzz/fuzz_check.h"
#include "k7/k7_exchange.h"
#include "platform/diag.h"

namespace qarn {
namespace {

constexpr size_t kIdOffset = 8;

K7Frame Record(uint32_t id) {
  K7Frame unit{};
  unit[2] = 1;
  PutU32(unit.data() + kIdOffset, id);
  return unit;
}

// What the listener was told, as text, so that the expected and the seen compare whole.
std::string Event(const char* what, TDateTime time = 0) {
  uint64_t bits;
  std::memcpy(&bits, &time, sizeof bits);
  return std::string(what) + (bits ? " " + std::to_string(bits) : std::string());
}

void CheckPrefixOf(const Bytes& sent, const K7Frame& unit) {
  FUZZ_CHECK(sent.size() <= kK7FrameSize && std::equal(sent.begin(), sent.end(), unit.begin()));
}

// Listens to the exchange itself.
class Run final : public K7Exchange::Listener {
 public:
  explicit Run(FuzzedDataProvider& in) : in_(in) {
    port_ = in_.ConsumeIntegralInRange(-1, 255);  // -1: a device name without a number
    settings_.send_k7 = in_.ConsumeBool();
    client_.count_unacknowledged = [this] {
      return unknown_ ? -1 : static_cast<long>(Taken() - acknowledged_);
    };
    exchange_.emplace(client_, clock_, settings_, *this);
  }

  void LinkChanged(bool up) override {
    FUZZ_CHECK(up != link_up_);
    link_up_ = up;
  }
  void UnitReceived() override { seen_.push_back(Event("unit")); }
  void SetClock(TDateTime time) override { seen_.push_back(Event("clock", time)); }
  void RetQuery() override { seen_.push_back(Event("query")); }
  void Close() override { seen_.push_back(Event("close")); }
  std::string DeviceName() override {
    return "\\\\.\\COM" + (port_ < 0 ? std::string("x") : std::to_string(port_));
  }
  // Each record's spool file is named by its id.
  void UnitEnded(const std::string& file, PacketEnd end) override {
    const uint32_t id = static_cast<uint32_t>(std::stoul(file));
    if (end == PacketEnd::kReleased) {
      respooled_.push_back(id);
      return;
    }
    // Told delivered only once the peer's TCP has acknowledged the unit's last byte.
    const auto it = std::find_if(records_.begin(), records_.end(),
                                 [id](const auto& r) { return r.first == id; });
    FUZZ_CHECK(it != records_.end() && it->second <= acknowledged_ && !unknown_);
    FUZZ_CHECK(acked_.insert(id).second);
  }

  void Play() {
    for (int op = 0; op < 2000 && in_.remaining_bytes() > 0; ++op) {
      switch (in_.ConsumeIntegralInRange(0, 7)) {
        case 0:
          if (!client_.Connected()) Connect();
          break;
        case 1:
          Arrive();
          break;
        case 2:
        case 3:
          SendRecord();
          break;
        case 4:  // the peer's TCP acknowledges some more
          acknowledged_ += in_.ConsumeIntegralInRange<uint64_t>(0, Taken() - acknowledged_);
          break;
        case 5:  // housekeeping some time later: a stalled peer is dropped
          clock_.AdvanceTick(in_.ConsumeIntegralInRange<uint32_t>(0, 40'000));
          Watch([&] { exchange_->KeepUp(); });
          break;
        case 6:
          client_.take = in_.ConsumeBool() ? -1 : in_.ConsumeIntegralInRange<long>(0, 600);
          unknown_ = in_.ConsumeIntegralInRange(0, 3) == 0;
          break;
        default:
          Watch([&] { client_.Close(); });
      }
      FUZZ_CHECK(link_up_ == client_.Connected());
    }
    client_.take = -1;
    unknown_ = false;
    Watch([&] { exchange_->Close(0); });
    FUZZ_CHECK(!link_up_);
    for (uint32_t id = 0; id < next_id_; ++id) {
      FUZZ_CHECK(delivered_.count(id) || respooled_all_.count(id) || kept_.count(id));
      FUZZ_CHECK(!acked_.count(id) || delivered_.count(id));  // never told delivered wrongly
    }
  }

 private:
  // Bytes the connection's socket took.
  uint64_t Taken() const {
    uint64_t taken = 0;
    for (size_t i = first_send_; i < client_.sent.size(); ++i) taken += client_.sent[i].size();
    return taken;
  }

  void Connect() {
    const size_t before = client_.sent.size();
    first_send_ = before;
    acknowledged_ = 0;
    records_.clear();
    stream_.clear();
    seen_.clear();
    expected_.clear();
    client_.Connect();
    // The greeting first, then the port's when it is asked for and the device has a number;
    // a greeting not taken whole ends the connection there.
    const size_t sends = client_.sent.size() - before;
    if (client_.take == 0) {
      FUZZ_CHECK(sends == 0 && !client_.Connected());
      return;
    }
    FUZZ_CHECK(sends >= 1);
    CheckPrefixOf(client_.sent[before], BuildGreetingUnit());
    const bool whole = client_.sent[before].size() == kK7FrameSize;
    const bool port_greeting = whole && settings_.send_k7 && port_ >= 0;
    FUZZ_CHECK(sends == (port_greeting ? 2u : 1u));
    if (port_greeting) {
      CheckPrefixOf(client_.sent[before + 1], BuildPortGreetingUnit(static_cast<uint8_t>(port_)));
    }
    FUZZ_CHECK(client_.Connected() ==
               (client_.sent.back().size() == kK7FrameSize));  // a short send drops it
  }

  void Arrive() {
    if (!client_.Connected()) return;
    Bytes piece;
    switch (in_.ConsumeIntegralInRange(0, 3)) {
      case 0: {
        static constexpr uint8_t kCommands[] = {kK7SetClock, kK7RetQuery, kK7Close, 20, 99};
        const K7Frame unit =
            BuildServerUnit(in_.PickValueInArray(kCommands), in_.ConsumeFloatingPoint<double>());
        piece.assign(unit.begin(), unit.end());
        break;
      }
      case 1:
        piece.assign(kK7FrameSize, 0x11);  // no marker: skipped whole
        break;
      default:
        piece = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(1, 600));
    }
    // In any batches; each is handled as it comes.
    for (size_t at = 0; at < piece.size();) {
      const size_t n = std::min(piece.size() - at, in_.ConsumeIntegralInRange<size_t>(1, 555));
      const Bytes batch(piece.begin() + static_cast<std::ptrdiff_t>(at),
                        piece.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
      Expect(batch);
      client_.Arrive(batch);
      FUZZ_CHECK(seen_ == expected_);
    }
  }

  // What the listener must be told of the connection's whole units.
  void Expect(const Bytes& batch) {
    stream_.insert(stream_.end(), batch.begin(), batch.end());
    while (stream_.size() >= kK7FrameSize) {
      K7Frame unit;
      std::copy_n(stream_.begin(), kK7FrameSize, unit.begin());
      stream_.erase(stream_.begin(), stream_.begin() + kK7FrameSize);
      if (unit[0] != 0xFF || unit[1] != 0xFF) continue;
      expected_.push_back(Event("unit"));
      if (unit[2] == kK7SetClock) expected_.push_back(Event("clock", K7FrameTime(unit)));
      if (unit[2] == kK7RetQuery) expected_.push_back(Event("query"));
      if (unit[2] == kK7Close) expected_.push_back(Event("close"));
    }
  }

  void SendRecord() {
    const uint32_t id = next_id_++;
    const size_t before = client_.sent.size();
    size_t sent = 0;
    Watch([&] { sent = exchange_->SendUnit(Record(id), std::to_string(id)); });
    FUZZ_CHECK(client_.sent.size() <= before + 1);
    if (client_.sent.size() == before + 1) CheckPrefixOf(client_.sent.back(), Record(id));
    if (sent != kK7FrameSize) {
      kept_.insert(id);  // its sender spools it
      return;
    }
    FUZZ_CHECK(client_.Connected() && client_.sent.size() == before + 1);
    records_.emplace_back(id, Taken());
  }

  // Runs `action`; when it ended the connection, the records the peer had not acknowledged
  // must have been spooled again, oldest first, and nothing when it did not.
  template <typename Action>
  void Watch(Action action) {
    const bool was_connected = client_.Connected();
    const size_t before = respooled_.size();
    action();
    const std::vector<uint32_t> back(respooled_.begin() + static_cast<std::ptrdiff_t>(before),
                                     respooled_.end());
    if (!was_connected || client_.Connected()) {
      FUZZ_CHECK(back.empty());
      return;
    }
    std::vector<uint32_t> ids, owed;
    for (const auto& [id, end] : records_) {
      ids.push_back(id);
      if (end > acknowledged_) {
        owed.push_back(id);
      } else {
        delivered_.insert(id);
      }
    }
    // The records the exchange still kept: the newest ones, all the owed among them. Not
    // knowing what the peer acknowledged, it gives them all back; knowing, just the owed.
    FUZZ_CHECK(back.size() >= owed.size() && back.size() <= ids.size());
    FUZZ_CHECK(
        std::equal(back.begin(), back.end(), ids.end() - static_cast<std::ptrdiff_t>(back.size())));
    if (!unknown_) FUZZ_CHECK(back == owed);
    respooled_all_.insert(back.begin(), back.end());
    records_.clear();
  }

  FuzzedDataProvider& in_;
  testing::FakeClock clock_;
  testing::FakeK7Client client_;
  K7Exchange::Settings settings_;
  std::optional<K7Exchange> exchange_;
  int port_ = 0;
  bool link_up_ = false;
  bool unknown_ = false;  // the client cannot tell what the peer has not acknowledged
  // The connection now: where its sends begin, the bytes the peer acknowledged, its records
  // (id, end in the stream), the server's bytes short of a unit, the listener's events.
  size_t first_send_ = 0;
  uint64_t acknowledged_ = 0;
  std::vector<std::pair<uint32_t, uint64_t>> records_;
  Bytes stream_;
  std::vector<std::string> seen_, expected_;
  uint32_t next_id_ = 0;
  std::vector<uint32_t> respooled_;
  std::set<uint32_t> delivered_, respooled_all_, kept_;
  std::set<uint32_t> acked_;  // told delivered by the exchange
};

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qarn::SetDiagSink([](bool, const std::string&) {});
  FuzzedDataProvider in(data, size);
  qarn::Run(in).Play();
  return 0;
}
