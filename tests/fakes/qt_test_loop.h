// The real main loop for integration tests: a QCoreApplication made once per process, and a
// wait for a condition that gives up after a generous deadline instead of hanging.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform/qt_main_loop.h"

namespace qarn {

inline void EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "qarn-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

// Runs the loop until `done` holds; false if it did not within 10 s.
inline bool RunLoopUntil(MainLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto expired = [&] { return std::chrono::steady_clock::now() > deadline; };
  while (!done() && !expired()) loop.RunUntil([&] { return done() || expired(); });
  return done();
}

// The Qt loop whose Quit is only recorded, so a test can see the driver ask to end.
class RecordingQtLoop final : public MainLoop {
 public:
  Id StartTimer(int interval_ms, Callback fn) override {
    const Id id = loop_.StartTimer(interval_ms, fn);
    timers_[id] = {interval_ms, std::move(fn)};
    return id;
  }
  void StopTimer(Id id) override {
    timers_.erase(id);
    loop_.StopTimer(id);
  }
  // Every timer of `interval_ms` armed now fires at once, as if its time had come (the driver's
  // 3 s housekeeping tick, say); those it arms wait for their time.
  void FireTimers(int interval_ms) {
    std::vector<Id> due;
    for (const auto& [id, timer] : timers_) {
      if (timer.first == interval_ms) due.push_back(id);
    }
    for (Id id : due) {
      const auto it = timers_.find(id);
      if (it == timers_.end()) continue;
      Callback fn = it->second.second;  // the callback may stop its own timer
      fn();
    }
  }
  Id WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) override {
    return loop_.WatchFd(fd, events, std::move(fn));
  }
  void SetFdEvents(Id id, unsigned events) override { loop_.SetFdEvents(id, events); }
  void UnwatchFd(Id id) override { loop_.UnwatchFd(id); }
  void RunAndWait(Callback fn) override { loop_.RunAndWait(std::move(fn)); }
  void Post(Callback fn) override { loop_.Post(std::move(fn)); }
  void RunUntil(const std::function<bool()>& done) override { loop_.RunUntil(done); }
  void Quit(int exit_code) override { quit_codes.push_back(exit_code); }

  std::vector<int> quit_codes;

 private:
  QtMainLoop loop_;
  std::map<Id, std::pair<int, Callback>> timers_;
};

}  // namespace qarn
