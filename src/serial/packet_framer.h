// Cuts the bytes that arrive on the station line into packets, with no I/O: bytes come in
// with the tick of their arrival, the owner asks when the partial packet falls due and
// calls Expire then. A packet ends when it reaches the packet size, or when more than the
// time-out has passed since its first byte was stamped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/bytes.h"

namespace qarn {

inline constexpr uint32_t kNoFirstByte = 0xFFFFFFFFu;

class PacketFramer {
 public:
  struct Settings {
    int32_t packet_size = -1;      // -1: no packets, every arrival is handed over as data
    int32_t packet_timeout = -1;   // -1: a partial packet is never handed over
    bool pass_partial = false;     // false: a timed-out partial packet is dropped
    uint32_t whole_packet_ms = 0;  // line time of one whole packet, added to the stamp
  };
  using Emit = std::function<void(ByteView)>;

  PacketFramer();

  void Configure(const Settings& settings);
  const Settings& settings() const { return settings_; }

  // Bytes that arrived at `now`. Whole packets (or, without packets, the bytes themselves)
  // go to `emit` at once; the packet passed is valid only during the call. Stops early when
  // `emit` resets the framer.
  void Feed(ByteView bytes, uint32_t now, const Emit& emit);

  // Milliseconds from `now` until the partial packet falls due (0: at once); none while
  // nothing waits or partial packets are never handed over.
  std::optional<uint32_t> DueIn(uint32_t now) const;

  // Hands over (or drops) the partial packet when it is due at `now`.
  void Expire(uint32_t now, const Emit& emit);

  // Forgets the partial packet: the port was purged or closed.
  void Reset();

  uint32_t first_byte_tick() const { return first_byte_tick_; }
  size_t pending() const { return pending_.size(); }

 private:
  Settings settings_;
  std::vector<uint8_t> pending_;  // below the packet size between calls
  uint32_t first_byte_tick_ = kNoFirstByte;
  uint64_t resets_ = 0;
};

}  // namespace qarn
