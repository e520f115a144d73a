// The K7 exchange's send window under any course of a connection: units the socket takes
// whole or short or refuses, greetings, the peer's TCP acknowledging any part of the stream,
// connections dropped with the unacknowledged count known or not. Every station unit is
// acknowledged by the peer, given back to be spooled again, or kept by its sender; the
// window gives back exactly the units not wholly acknowledged, oldest first, and never holds
// more than its capacity.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <set>
#include <vector>

#include "base/byte_order.h"
#include "fuzz/fuzz_check.h"
#include "k7/k7_send_window.h"

namespace qarn {
namespace {

K7Frame Unit(uint32_t id) {
  K7Frame unit{};
  PutU32(unit.data(), id);
  return unit;
}
uint32_t Id(const K7Frame& unit) { return GetU32(unit.data()); }

// One connection's stream as the socket sees it.
struct Connection {
  uint64_t taken = 0;         // bytes the socket took
  uint64_t acknowledged = 0;  // of those, bytes the peer's TCP acknowledged
  uint64_t told = 0;          // the acknowledged bytes the window was last told of
  // Units taken whole: id, end in the stream.
  std::vector<std::pair<uint32_t, uint64_t>> units;
  long Unacknowledged() const { return static_cast<long>(taken - acknowledged); }
};

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  K7SendWindow window;
  Connection connection;
  std::set<uint32_t> delivered, spooled;  // by the peer's acknowledgement, by the sender
  uint32_t next_id = 0;

  // The connection ends: the window gives back what the peer has not acknowledged.
  const auto drop = [&](bool count_known) {
    const long unacknowledged = count_known ? connection.Unacknowledged() : -1;
    const std::vector<K7SendWindow::Sent> back = window.TakeUnacknowledged(unacknowledged);
    std::vector<uint32_t> expected;
    const uint64_t known = count_known ? connection.acknowledged : connection.told;
    for (const auto& [id, end] : connection.units) {
      if (end > known) {
        expected.push_back(id);
      } else {
        delivered.insert(id);
      }
    }
    FUZZ_CHECK(back.size() == expected.size());
    for (size_t i = 0; i < back.size(); ++i) FUZZ_CHECK(Id(back[i].unit) == expected[i]);
    spooled.insert(expected.begin(), expected.end());
    FUZZ_CHECK(window.empty() && window.sent() == 0);
    connection = Connection();
  };

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
      case 1: {  // a station unit, as the exchange sends it
        const uint32_t id = next_id++;
        if (window.full()) {
          window.Acknowledged(connection.Unacknowledged());
          connection.told = connection.acknowledged;
          if (window.full()) {
            spooled.insert(id);  // nothing sent: its sender keeps it
            break;
          }
        }
        const size_t taken =
            in.ConsumeBool() ? kK7FrameSize : in.ConsumeIntegralInRange<size_t>(0, kK7FrameSize);
        if (taken == 0) {  // the send failed: the connection is dropped
          spooled.insert(id);
          drop(true);
          break;
        }
        connection.taken += taken;
        if (taken == kK7FrameSize) {
          window.Took(Unit(id));
          connection.units.emplace_back(id, connection.taken);
        } else {  // a short send: the sender spools the unit and drops the connection
          window.TookBytes(taken);
          spooled.insert(id);
          drop(true);
        }
        break;
      }
      case 2:  // a greeting: bytes that need no second delivery
        window.TookBytes(kK7FrameSize);
        connection.taken += kK7FrameSize;
        break;
      case 3:  // the peer's TCP acknowledges some more
        connection.acknowledged +=
            in.ConsumeIntegralInRange<uint64_t>(0, connection.taken - connection.acknowledged);
        break;
      case 4:  // the exchange looks at its progress
        window.Acknowledged(connection.Unacknowledged());
        connection.told = connection.acknowledged;
        FUZZ_CHECK(window.AcknowledgedBytes(connection.Unacknowledged()) ==
                   connection.acknowledged);
        break;
      default:
        drop(in.ConsumeBool());
    }
    FUZZ_CHECK(window.size() <= K7SendWindow::kCapacity);
    FUZZ_CHECK(window.sent() == connection.taken);
  }
  drop(true);
  for (uint32_t id = 0; id < next_id; ++id) FUZZ_CHECK(delivered.count(id) || spooled.count(id));
  return 0;
}
