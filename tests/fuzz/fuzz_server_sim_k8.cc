// The server simulator's K8 side reading whatever a peer sends, in any pieces, with the
// operator's commands in between: it ends when the peer does, and every frame it writes is
// a well-formed K8 frame, at most one per frame received.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "base/byte_order.h"
#include "fakes/scripted_connection.h"
#include "fuzz/fuzz_check.h"
#include "k8/k8_wire.h"
#include "platform/diag.h"
#include "server_sim/k8_side.h"

namespace {

// Every command but "delay", which would sleep for real.
const char* const kCommands[] = {"query",      "retquery", "retquery0",  "reconnect",
                                 "disconnect", "denied",   "pollenable", "drop",
                                 "stall",      "answer",   "delay 0",    "nonsense"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  SetDiagSink([](bool, const std::string&) {});
  FuzzedDataProvider in(data, size);
  sim::K8Side::Options options;
  options.poll_enable = in.ConsumeBool();
  options.quiet_polls = in.ConsumeBool();
  sim::K8Side side(options);
  testing::ScriptedConnection peer;
  std::vector<std::string> commands;
  size_t received = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        peer.Silence();
        commands.push_back(
            kCommands[in.ConsumeIntegralInRange<size_t>(0, std::size(kCommands) - 1)]);
        break;
      case 1: {  // a frame the driver could send
        const Bytes payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 24));
        peer.Arrive(BuildK8Frame(BuildK8Packet(in.ConsumeIntegral<int32_t>(), payload, 1)));
        ++received;
        break;
      }
      default: {  // anything
        const Bytes piece = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 64));
        peer.Arrive(piece);
        received += piece.size();  // a bound: no frame is shorter than a byte
        break;
      }
    }
  }
  size_t next_command = 0;
  peer.on_timeout = [&] {
    if (next_command < commands.size()) side.HandleCommand(commands[next_command++]);
  };
  side.Serve(peer);

  FUZZ_CHECK(peer.writes.size() <= received);
  for (const Bytes& frame : peer.writes) {
    const auto announced = ParseK8FrameHeader(frame);
    FUZZ_CHECK(announced && frame.size() == kK8FrameHeaderSize + static_cast<size_t>(*announced));
    FUZZ_CHECK(GetI32(&frame[17]) == *announced);
    FUZZ_CHECK(HasK8Markers(ByteView(frame).subspan(kK8FrameHeaderSize)));
  }
  return 0;
}
