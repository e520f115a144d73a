// The pacing of .dd8 replay, shared by the main thread's replay tick and the K8 link
// thread's connect and acknowledgement handling.
#pragma once

#include <mutex>
#include <string>

#include "platform/tdatetime.h"

namespace qarn {

class Dd8ReplayState {
 public:
  // The replay queued `path` at `now`.
  void SetReplayed(const std::string& path, TDateTime now) {
    std::lock_guard lock(mutex_);
    last_dd8_file_ = path;
    last_dd8_replay_time_ = now;
  }
  // Lets the next replay go at the next tick (a new connection, an acknowledged file).
  void MakeDue(TDateTime now) {
    std::lock_guard lock(mutex_);
    last_dd8_replay_time_ = now - 1.0;
  }
  std::string last_dd8_file() const {
    std::lock_guard lock(mutex_);
    return last_dd8_file_;
  }
  TDateTime last_dd8_replay_time() const {
    std::lock_guard lock(mutex_);
    return last_dd8_replay_time_;
  }

 private:
  mutable std::mutex mutex_;
  std::string last_dd8_file_;
  TDateTime last_dd8_replay_time_ = 0;
};

}  // namespace qarn
