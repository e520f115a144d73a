// The K8 session on virtual time: connections that succeed or fail, writes that fail, any
// reply bytes cut into frames however they split, time-outs and closes in any order, spool
// files queued at any moment, the stop at any moment. Every frame the session orders written
// is well-formed; every spool file it was given ends acknowledged, refused or released at
// most once per sending, acknowledged only by a well-formed K8EventAck answering its own
// packet, and at the stop each has ended or is still in the ring for the close to keep; the
// ring never holds more than its slots. With a backup the tries of the primary end in any
// order with the exchanges; one is on its way at most, and without a backup every attempt is
// the primary's.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>

#include "base/byte_order.h"
#include "fuzz/fuzz_check.h"
#include "k8/k8_session.h"
#include "k8/k8_wire.h"
#include "output/event_record.h"

namespace qarn {
namespace {

class Run {
 public:
  explicit Run(FuzzedDataProvider& in)
      : in_(in), session_(ring_, K8LinkTiming()), now_(in.ConsumeIntegral<uint32_t>()) {
    session_.Start(now_);
    backup_ = in_.ConsumeBool();
    session_.SetHasBackup(backup_);
  }

  void Play() {
    for (int op = 0; op < 400 && in_.remaining_bytes() > 0; ++op) {
      switch (in_.ConsumeIntegralInRange(0, 6)) {
        case 0:
          now_ += in_.ConsumeIntegralInRange<uint32_t>(0, 6000);
          break;
        case 3:
          if (probing_) {  // the try of the primary ends, between two orders as in the pump
            probing_ = false;
            session_.OnProbeEnded(now_, in_.ConsumeBool(), {"COM1", true, 4});
          }
          break;
        case 1: {
          const std::string file = std::to_string(next_file_++) + ".dd8";
          if (ring_.QueuePacket(kK8StationEventType, in_.ConsumeBytes<uint8_t>(20), file)) {
            ++queued_[file];
          }
          break;
        }
        case 2:
          ring_.QueuePacket(in_.ConsumeIntegral<int32_t>(), Bytes());  // live, no file
          break;
        default:
          Step();
      }
      FUZZ_CHECK(ring_.Count() <= kPacketRingSlots);
      Collect();
    }
    session_.Stop("00:00:00.000");
    Collect();
    FUZZ_CHECK(session_.Next(now_).kind == K8Order::kFinish);
    // Every file given has ended as often as it went, or waits in the ring.
    std::map<std::string, int> waiting;
    for (const auto& e : ring_.TakeAll()) {
      if (!e.spool_file.empty()) ++waiting[e.spool_file];
    }
    for (const auto& [file, count] : queued_) {
      FUZZ_CHECK(ended_[file] + waiting[file] == count);
      FUZZ_CHECK(acked_[file] <= 1);
    }
  }

 private:
  void Step() {
    const K8Order order = session_.Next(now_);
    switch (order.kind) {
      case K8Order::kWait:
        if (order.timed) now_ = order.until;
        break;
      case K8Order::kConnect:
        FUZZ_CHECK(backup_ || session_.server() == Server::kPrimary);
        if (in_.ConsumeBool()) {
          session_.OnConnected(now_, {in_.ConsumeRandomLengthString(8), in_.ConsumeBool(), 4});
        } else {
          session_.OnConnectFailed(now_);
        }
        break;
      case K8Order::kExchange:
        Exchange(order);
        break;
      case K8Order::kProbe:
        FUZZ_CHECK(backup_ && !probing_ && session_.server() == Server::kBackup);
        probing_ = true;
        break;
      case K8Order::kFinish:
        FUZZ_CHECK(false);  // only after the stop
    }
  }

  void Exchange(const K8Order& order) {
    RingEntry head;
    const bool from_ring = ring_.Peek(&head);
    std::string file;
    int64_t sequence = -1;
    if (!order.frame.empty()) {
      CheckFrame(order.frame);
      const auto header = ReadK8PacketHeader(ByteView(order.frame).subspan(kK8FrameHeaderSize));
      sequence = header->sequence;
      if (from_ring &&
          Bytes(order.frame.begin() + kK8FrameHeaderSize, order.frame.end()) == head.packet) {
        file = head.spool_file;
      }
      if (in_.ConsumeIntegralInRange(0, 7) == 0) {
        session_.OnWriteFailed(now_, "reset");
        return;
      }
      session_.OnWritten();
    }
    FUZZ_CHECK(session_.awaiting_reply());
    now_ += in_.ConsumeIntegralInRange<uint32_t>(0, 1200);
    switch (in_.ConsumeIntegralInRange(0, 5)) {
      case 0:
        session_.OnReplyFailed(now_, static_cast<K8ReplyFailure>(in_.ConsumeIntegralInRange(0, 3)));
        break;
      case 1: {
        // The acknowledgement a server would send for this packet.
        session_.OnReply(now_, BuildK8Packet(kK8EventAck, ByteView(), sequence));
        acks_for_ = file;
        break;
      }
      case 2: {
        const int32_t type = in_.ConsumeIntegral<int32_t>();
        session_.OnReply(
            now_,
            BuildK8Packet(type, in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 40)), 0));
        if (type == kK8EventAck) acks_for_ = file;
        break;
      }
      default:
        // Any bytes as the reply's packet.
        const Bytes reply = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 64));
        session_.OnReply(now_, reply);
        const auto header = ReadK8PacketHeader(reply);
        if (HasK8Markers(reply) && header && header->type == kK8EventAck) acks_for_ = file;
    }
    FUZZ_CHECK(!session_.awaiting_reply());
  }

  void CheckFrame(ByteView frame) {
    const auto size = ParseK8FrameHeader(frame);
    FUZZ_CHECK(size && *size >= 0 &&
               frame.size() == kK8FrameHeaderSize + static_cast<size_t>(*size));
    const ByteView packet = frame.subspan(kK8FrameHeaderSize);
    FUZZ_CHECK(HasK8Markers(packet));
    const auto header = ReadK8PacketHeader(packet);
    FUZZ_CHECK(header && header->length >= 0 &&
               packet.size() == kK8PacketHeaderSize + static_cast<size_t>(header->length));
  }

  void Collect() {
    for (const auto& e : session_.TakeEffects()) {
      if (e.kind != K8Effect::kAcked && e.kind != K8Effect::kRefused &&
          e.kind != K8Effect::kReleased) {
        continue;
      }
      FUZZ_CHECK(queued_.count(e.text));
      ++ended_[e.text];
      FUZZ_CHECK(ended_[e.text] <= queued_[e.text]);
      if (e.kind == K8Effect::kAcked) {
        // Only a well-formed acknowledgement answering this very packet.
        FUZZ_CHECK(acks_for_ == e.text);
        ++acked_[e.text];
      }
    }
    acks_for_.clear();
  }

  FuzzedDataProvider& in_;
  PacketRing ring_;
  K8Session session_;
  uint32_t now_;
  int next_file_ = 1;
  bool backup_ = false;
  bool probing_ = false;  // a try of the primary is on its way
  std::string acks_for_;
  std::map<std::string, int> queued_;
  std::map<std::string, int> ended_;
  std::map<std::string, int> acked_;
};

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  qarn::Run run(in);
  run.Play();
  return 0;
}
