// The station line: any bytes arriving in any pieces at any moments, through the serial
// port's framer and the station protocol. Every byte reaches the protocol once and in order,
// no packet is longer than the station's longest frame, and everything the driver writes
// back is a sequence of well-formed answers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "fakes/fake_clock.h"
#include "fakes/fake_main_loop.h"
#include "fakes/fake_serial_device.h"
#include "fakes/memory_file_system.h"
#include "fuzz/fuzz_check.h"
#include "output/event_sink.h"
#include "output/observer.h"
#include "serial/serial_port_driver.h"
#include "station/station_protocol.h"

namespace qarn {
namespace {

template <size_t N>
bool Is(ByteView frame, const std::array<uint8_t, N>& fixed) {
  return frame.size() == N && std::equal(fixed.begin(), fixed.end(), frame.begin());
}

// Cuts what the driver wrote into its answers; each must be one the protocol knows.
void CheckAnswers(ByteView written, size_t* acks) {
  while (!written.empty()) {
    const size_t length = static_cast<size_t>(written[0]) + 1;
    FUZZ_CHECK(length <= written.size());
    const ByteView frame = written.first(length);
    FUZZ_CHECK(IsWellFormedFrame(frame));
    const bool ack = Is(frame, kAckFrame);
    FUZZ_CHECK(ack || Is(frame, kNothingToSendFrame) || Is(frame, kRetQueryFrame) ||
               ParseClockFrame(frame).has_value());
    if (ack) ++*acks;
    written = written.subspan(length);
  }
}

// Counts the events the protocol hands over.
class EventCount final : public EventSink {
 public:
  void DeliverStationEvent(const StationEvent&) override { ++events; }
  void SendServiceFrame(uint8_t) override {}
  size_t events = 0;
};

// Between the port and the protocol: every packet is checked and kept.
class PacketTap final : public PacketReceiver {
 public:
  explicit PacketTap(PacketReceiver& next) : next_(next) {}
  void HandleStationPacket(ByteView packet) override {
    FUZZ_CHECK(!packet.empty() && packet.size() <= kMaxStationFrame);
    delivered.insert(delivered.end(), packet.begin(), packet.end());
    next_.HandleStationPacket(packet);
  }
  Bytes delivered;

 private:
  PacketReceiver& next_;
};

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  testing::FakeClock clock;
  testing::FakeMainLoop loop(clock);
  FakeSerialDevice device;
  testing::MemoryFileSystem fs;
  SerialPortDriver port(device, clock, loop);

  StationProtocol::Settings settings;
  settings.log = in.ConsumeBool();
  settings.ret_enabled = ParseRetEnabled(in.ConsumeRandomLengthString(12));
  EventCount sink;
  StationProtocol protocol(settings, port, sink, NoObserver(), clock, fs, clock.Now());
  PacketTap tap(protocol);
  port.SetReceiver(&tap);
  FUZZ_CHECK(port.OpenPort());

  // The device reports readiness for as long as bytes wait, as a level-triggered watch does.
  const auto arrive = [&] {
    for (int i = 0; i < 1000 && !device.in.empty(); ++i) {
      loop.SignalFd(FakeSerialDevice::kFd, MainLoop::kReadable);
    }
  };
  Bytes sent;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0: {
        const Bytes piece = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 300));
        device.Feed(piece);
        sent.insert(sent.end(), piece.begin(), piece.end());
        if (in.ConsumeBool()) arrive();  // else read together with what follows
        break;
      }
      case 1:
        arrive();
        loop.AdvanceMs(in.ConsumeIntegralInRange(0, 120));
        break;
      case 2:
        protocol.RequestRetQuery();
        break;
    }
  }
  arrive();
  loop.AdvanceMs(200);  // the silence after the last byte ends the last packet

  FUZZ_CHECK(tap.delivered == sent);
  size_t acks = 0;
  CheckAnswers(device.written, &acks);
  FUZZ_CHECK(acks >= sink.events);
  if (settings.log) FUZZ_CHECK(fs.files["qarn.log"].data == tap.delivered);
  return 0;
}
