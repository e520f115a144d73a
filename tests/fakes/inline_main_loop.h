// A main loop for tests of code with its own threads: handed-over calls run at once on the
// calling thread, one at a time, as if a main thread took them in turn. No timers.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/main_loop.h"

namespace qarn {

class InlineMainLoop final : public MainLoop {
 public:
  Id StartTimer(int, Callback) override { return 0; }
  void StopTimer(Id) override {}
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
};

}  // namespace qarn
