// The station line's framer alone: any settings, any bytes in any pieces at any moments
// (the tick wraps too), the owner expiring the partial packet when it falls due or at any
// other moment. Every byte is handed over once and in order when partial packets are
// passed on; when they are dropped, every packet handed over is whole and a run of the
// bytes in order. No packet is empty or longer than the packet size, and while no time
// passes the cut does not depend on the split.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "serial/packet_framer.h"

namespace qarn {
namespace {

struct Run {
  Bytes fed;
  std::vector<Bytes> packets;
};

Run Drive(FuzzedDataProvider& in, PacketFramer& framer, uint32_t start, bool follow_time) {
  Run run;
  const auto emit = [&run](ByteView p) { run.packets.emplace_back(p.begin(), p.end()); };
  uint32_t now = start;
  while (in.remaining_bytes() > 0) {
    if (follow_time) {
      const uint32_t step = in.ConsumeIntegralInRange<uint32_t>(0, 40);
      // The owner's timer: the partial packet is expired when it falls due, or a little
      // late, never early (an early call must change nothing).
      if (const auto due = framer.DueIn(now); due && *due <= step) {
        const size_t before = run.packets.size() + framer.pending();
        if (*due > 0) {
          framer.Expire(now + *due - 1, emit);
          FUZZ_CHECK(run.packets.size() + framer.pending() == before);
        }
        framer.Expire(now + *due, emit);
        FUZZ_CHECK(framer.pending() == 0);
      }
      now += step;
    }
    const Bytes chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
    run.fed.insert(run.fed.end(), chunk.begin(), chunk.end());
    framer.Feed(chunk, now, emit);
  }
  if (const auto due = framer.DueIn(now)) framer.Expire(now + *due, emit);
  return run;
}

Bytes Joined(const std::vector<Bytes>& packets) {
  Bytes all;
  for (const auto& p : packets) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  PacketFramer::Settings settings;
  settings.packet_size = in.ConsumeIntegralInRange<int32_t>(-1, 40);
  settings.packet_timeout = in.ConsumeIntegralInRange<int32_t>(-1, 60);
  settings.pass_partial = in.ConsumeBool();
  settings.whole_packet_ms = in.ConsumeIntegralInRange<uint32_t>(0, 30);
  const uint32_t start = in.ConsumeIntegral<uint32_t>();
  const bool follow_time = in.ConsumeBool();
  PacketFramer framer;
  framer.Configure(settings);
  const auto& used = framer.settings();
  const size_t packet = used.packet_size > 0 ? static_cast<size_t>(used.packet_size) : 0;

  const Run run = Drive(in, framer, start, follow_time);
  const Bytes& rest = run.fed;
  const Bytes delivered = Joined(run.packets);
  const size_t left = framer.pending();
  FUZZ_CHECK(left == 0 || used.packet_timeout < 0);
  for (const auto& p : run.packets) {
    FUZZ_CHECK(!p.empty());
    FUZZ_CHECK(packet == 0 || p.size() <= packet);
  }

  if (packet == 0 || used.pass_partial || used.packet_timeout < 0) {
    // Nothing dropped: all that came, in order; what waits is the tail.
    FUZZ_CHECK(delivered.size() + left == rest.size());
    FUZZ_CHECK(std::equal(delivered.begin(), delivered.end(), rest.begin()));
  } else {
    // Dropped partial packets leave the whole ones, each a run of the bytes, in order.
    size_t at = 0;
    for (const auto& p : run.packets) {
      FUZZ_CHECK(p.size() == packet);
      const auto found =
          std::search(rest.begin() + static_cast<long>(at), rest.end(), p.begin(), p.end());
      FUZZ_CHECK(found != rest.end());
      at = static_cast<size_t>(found - rest.begin()) + p.size();
    }
  }

  if (packet > 0 && !follow_time) {
    // Without time passing the cut is the packet size's alone, however the bytes came.
    size_t whole = 0;
    for (const auto& p : run.packets) whole += p.size() == packet;
    FUZZ_CHECK(whole == rest.size() / packet);
    FUZZ_CHECK(run.packets.size() - whole <= 1);
    FUZZ_CHECK(run.packets.size() == whole || run.packets.back().size() == rest.size() % packet);
  }
  return 0;
}
