// The main thread's event loop as the driver's logic sees it: periodic timers, socket
// readiness, and calls handed over from other threads.
#pragma once

#include <functional>

namespace qarn {

class MainLoop {
 public:
  using Callback = std::function<void()>;
  using Id = int;

  enum FdEvent : unsigned { kReadable = 1, kWritable = 2 };

  virtual ~MainLoop() = default;

  // Calls `fn` every `interval_ms` on the main thread until stopped.
  virtual Id StartTimer(int interval_ms, Callback fn) = 0;
  virtual void StopTimer(Id id) = 0;

  // Calls `fn` on the main thread whenever `fd` is ready for the given events. Watches are
  // level-triggered; stop watching for writable once the write is done.
  virtual Id WatchFd(int fd, unsigned events, std::function<void(unsigned events)> fn) = 0;
  virtual void SetFdEvents(Id id, unsigned events) = 0;
  virtual void UnwatchFd(Id id) = 0;

  // Runs `fn` on the main thread and returns when it has run. From the main thread itself it
  // runs at once.
  virtual void RunAndWait(Callback fn) = 0;

  // Queues `fn` to run on the main thread later. Safe from any thread.
  virtual void Post(Callback fn) = 0;

  // Keeps running the loop (and so RunAndWait calls of other threads) until `done` is true.
  // `done` is checked after every event and at least every 10 ms.
  virtual void RunUntil(const std::function<bool()>& done) = 0;

  // Asks the loop to end; Run() returns.
  virtual void Quit(int exit_code) = 0;
};

}  // namespace qarn
