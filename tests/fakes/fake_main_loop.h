// A main loop on virtual time: timers fire when the test advances the clock.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "fakes/fake_clock.h"
#include "platform/main_loop.h"

namespace qarn::testing {

class FakeMainLoop final : public MainLoop {
 public:
  explicit FakeMainLoop(FakeClock* clock = nullptr) : clock_(clock) {}
  explicit FakeMainLoop(FakeClock& clock) : clock_(&clock) {}

  Id StartTimer(int interval_ms, Callback fn) override {
    timers_[next_id_] = {interval_ms, now_ms_ + interval_ms, std::move(fn)};
    return next_id_++;
  }
  void StopTimer(Id id) override { timers_.erase(id); }
  Id WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) override {
    watches_[next_id_] = {fd, events, std::move(fn)};
    return next_id_++;
  }
  void SetFdEvents(Id id, unsigned events) override {
    if (auto it = watches_.find(id); it != watches_.end()) it->second.events = events;
  }
  void UnwatchFd(Id id) override { watches_.erase(id); }

  // The descriptor became ready: runs the watches of `fd` that wait for `events`.
  void SignalFd(int fd, unsigned events) {
    std::vector<std::function<void(unsigned)>> due;
    for (auto& [id, w] : watches_) {
      if (w.fd == fd && (w.events & events)) due.push_back(w.fn);
    }
    for (auto& fn : due) fn(events);
  }
  size_t watch_count() const { return watches_.size(); }
  void RunAndWait(Callback fn) override { fn(); }
  // Other threads post too (a host name lookup's result).
  void Post(Callback fn) override {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(fn));
  }
  void RunUntil(const std::function<bool()>& done) override {
    while (!done() && RunPosted()) {
    }
  }
  void Quit(int exit_code) override {
    quit_ = true;
    exit_code_ = exit_code;
  }

  // Moves virtual time on by `ms`, firing due timers in order (and the clock with them).
  void AdvanceMs(int64_t ms) {
    const int64_t end = now_ms_ + ms;
    while (true) {
      Id next = 0;
      int64_t due = end + 1;
      for (auto& [id, t] : timers_) {
        if (t.due < due) {
          due = t.due;
          next = id;
        }
      }
      if (next == 0) break;
      if (clock_) clock_->AdvanceMs(due - now_ms_);
      now_ms_ = due;
      Timer& t = timers_[next];
      t.due += t.interval;
      Callback fn = t.fn;
      fn();
    }
    if (clock_) clock_->AdvanceMs(end - now_ms_);
    now_ms_ = end;
  }

  void Advance(int64_t ms) { AdvanceMs(ms); }

  bool RunPosted() {
    std::vector<Callback> fns;
    {
      std::lock_guard lock(posted_mutex_);
      fns = std::move(posted_);
      posted_.clear();
    }
    if (fns.empty()) return false;
    for (auto& fn : fns) fn();
    return true;
  }

  size_t timer_count() const { return timers_.size(); }
  bool quit() const { return quit_; }
  int exit_code() const { return exit_code_; }

 private:
  struct Timer {
    int interval = 0;
    int64_t due = 0;
    Callback fn;
  };
  struct Watch {
    int fd = -1;
    unsigned events = 0;
    std::function<void(unsigned)> fn;
  };
  FakeClock* clock_;
  std::map<Id, Watch> watches_;
  int64_t now_ms_ = 0;
  Id next_id_ = 1;
  std::map<Id, Timer> timers_;
  std::mutex posted_mutex_;
  std::vector<Callback> posted_;
  bool quit_ = false;
  int exit_code_ = -1;
};

}  // namespace qarn::testing
