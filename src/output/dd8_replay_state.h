// The .dd8 replay's pacing, which the K8 link thread also moves: when the last file was
// replayed. The lock covers the value only, never any I/O.
#pragma once

#include <mutex>

#include "base/tdatetime.h"

namespace qarn {

class Dd8ReplayState {
 public:
  TDateTime last_dd8_replay_time() const {
    std::lock_guard lock(mutex_);
    return last_dd8_replay_time_;
  }
  void SetLastDd8ReplayTime(TDateTime time) {
    std::lock_guard lock(mutex_);
    last_dd8_replay_time_ = time;
  }
  // Lets the next replay go at the next tick (a new connection, an acknowledged file).
  void MakeDue(TDateTime now) { SetLastDd8ReplayTime(now - 1.0); }

 private:
  mutable std::mutex mutex_;
  TDateTime last_dd8_replay_time_ = 0;
};

}  // namespace qarn
