// Tells a server that takes nothing from one that is slow: while bytes wait for the peer's
// acknowledgement and the acknowledged count has not moved for 30 s, the peer has stalled
// (it stopped reading, or it vanished without closing).
#pragma once

#include <cstdint>

namespace qarn {

class K7StallWatch {
 public:
  static constexpr uint32_t kStallMs = 30'000;

  // One look at the connection at `tick_ms`: `acknowledged` bytes so far, `waiting` bytes not
  // yet. True when bytes have waited without any progress for kStallMs.
  bool Stalled(uint32_t tick_ms, uint64_t acknowledged, uint64_t waiting) {
    if (waiting == 0) {
      watching_ = false;
      return false;
    }
    if (!watching_ || acknowledged != acknowledged_) {
      watching_ = true;
      since_ms_ = tick_ms;
      acknowledged_ = acknowledged;
      return false;
    }
    return tick_ms - since_ms_ >= kStallMs;
  }
  // A new connection.
  void Reset() { watching_ = false; }

 private:
  bool watching_ = false;
  uint32_t since_ms_ = 0;
  uint64_t acknowledged_ = 0;
};

}  // namespace qarn
