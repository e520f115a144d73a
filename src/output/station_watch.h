// Whether the station was heard within the last 3 seconds (tests may shorten them).
#pragma once

#include <optional>

#include "base/tdatetime.h"

namespace qarn {

// More than this without a packet and the station counts as silent.
inline constexpr TDateTime kStationSilence = 3 * kSecond;

class StationWatch {
 public:
  explicit StationWatch(TDateTime silence = kStationSilence) : silence_(silence) {}

  // The new state when it changed at this tick: true heard again, false fell silent.
  std::optional<bool> Tick(TDateTime now, TDateTime last_receive_time) {
    const bool heard = !(now > last_receive_time + silence_);
    if (heard == heard_) return std::nullopt;
    heard_ = heard;
    return heard;
  }
  bool heard() const { return heard_; }
  TDateTime silence() const { return silence_; }

 private:
  TDateTime silence_;
  bool heard_ = false;
};

}  // namespace qarn
