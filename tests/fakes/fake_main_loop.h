// A main loop on virtual time: timers fire as the test advances a FakeClock's tick.
#pragma once

#include <algorithm>
#include <deque>
#include <map>

#include "fakes/fake_clock.h"
#include "platform/main_loop.h"

namespace qarn {

class FakeMainLoop final : public MainLoop {
 public:
  explicit FakeMainLoop(FakeClock& clock) : clock_(clock) {}

  Id StartTimer(int interval_ms, Callback fn) override {
    const Id id = next_id_++;
    timers_[id] =
        Timer{interval_ms, clock_.TickMs() + static_cast<uint32_t>(interval_ms), std::move(fn)};
    return id;
  }
  void StopTimer(Id id) override { timers_.erase(id); }
  Id WatchFd(int, unsigned, std::function<void(unsigned)>) override { return next_id_++; }
  void SetFdEvents(Id, unsigned) override {}
  void UnwatchFd(Id) override {}
  void RunAndWait(Callback fn) override { fn(); }
  void Post(Callback fn) override { posted_.push_back(std::move(fn)); }
  void RunUntil(const std::function<bool()>& done) override {
    while (!done()) Advance(1);
  }
  void Quit(int) override {}

  // Moves the tick on one millisecond at a time, firing the timers that fall due.
  void Advance(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      clock_.AdvanceTick(1);
      RunDue();
    }
  }

  bool HasTimer(Id id) const { return timers_.count(id) != 0; }
  size_t timer_count() const { return timers_.size(); }
  int interval(Id id) const { return timers_.at(id).interval; }

 private:
  struct Timer {
    int interval;
    uint32_t due;
    Callback fn;
  };

  void RunDue() {
    while (!posted_.empty()) {
      Callback fn = std::move(posted_.front());
      posted_.pop_front();
      fn();
    }
    for (Id id = 1; id < next_id_; ++id) {
      auto it = timers_.find(id);
      if (it == timers_.end() || it->second.due != clock_.TickMs()) continue;
      it->second.due += static_cast<uint32_t>(it->second.interval);
      Callback fn = it->second.fn;  // the callback may stop its own timer
      fn();
    }
  }

  FakeClock& clock_;
  Id next_id_ = 1;
  std::map<Id, Timer> timers_;
  std::deque<Callback> posted_;
};

}  // namespace qarn
