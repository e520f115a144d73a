// A main loop for tests of code with its own threads: handed-over calls run at once on the
// calling thread, one at a time, as if a main thread took them in turn. Timers fire only when
// the test says so.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/main_loop.h"

namespace qarn {

class InlineMainLoop final : public MainLoop {
 public:
  Id StartTimer(int, Callback fn) override {
    std::lock_guard lock(mutex_);
    timers_[++last_id_] = std::move(fn);
    return last_id_;
  }
  void StopTimer(Id id) override {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
  }
  // Every timer armed now fires once, as if its time had come; those it arms wait.
  void FireTimers() {
    std::lock_guard lock(mutex_);
    std::vector<Id> due;
    for (const auto& [id, fn] : timers_) due.push_back(id);
    for (Id id : due) {
      const auto it = timers_.find(id);
      if (it == timers_.end()) continue;
      Callback fn = it->second;  // the callback may stop its own timer
      fn();
    }
  }
  Id WatchFd(int, unsigned, std::function<void(unsigned)>) override { return 0; }
  void SetFdEvents(Id, unsigned) override {}
  void UnwatchFd(Id) override {}
  void RunAndWait(Callback fn) override {
    std::lock_guard lock(mutex_);
    fn();
  }
  void Post(Callback fn) override { RunAndWait(std::move(fn)); }
  void RunUntil(const std::function<bool()>& done) override {
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Quit(int) override {}

 private:
  std::recursive_mutex mutex_;
  std::map<Id, Callback> timers_;
  Id last_id_ = 0;
};

}  // namespace qarn
