// The .dd8 replay's two values that the K8 link thread also reads and writes: the file
// replayed last and when. Every access takes the lock.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/tdatetime.h"

namespace qarn {

class Dd8ReplayState {
 public:
  std::string last_dd8_file() const {
    std::lock_guard lock(mutex_);
    return last_dd8_file_;
  }
  TDateTime last_dd8_replay_time() const {
    std::lock_guard lock(mutex_);
    return last_dd8_replay_time_;
  }
  void SetReplayed(const std::string& file, TDateTime time) {
    std::lock_guard lock(mutex_);
    last_dd8_file_ = file;
    last_dd8_replay_time_ = time;
  }
  void SetLastDd8ReplayTime(TDateTime time) {
    std::lock_guard lock(mutex_);
    last_dd8_replay_time_ = time;
  }
  // Lets the next replay go at the next tick (a new connection, an acknowledged file).
  void MakeDue(TDateTime now) { SetLastDd8ReplayTime(now - 1.0); }
  // Runs `fn` on both values under the lock, for a check and a change made as one.
  void Update(const std::function<void(const std::string& file, TDateTime& time)>& fn) {
    std::lock_guard lock(mutex_);
    fn(last_dd8_file_, last_dd8_replay_time_);
  }

 private:
  mutable std::mutex mutex_;
  std::string last_dd8_file_;
  TDateTime last_dd8_replay_time_ = 0;
};

}  // namespace qarn
