// MainLoop over Qt's event loop of the running QCoreApplication.
#pragma once

#include <QObject>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/main_loop.h"

class QSocketNotifier;
class QTimer;

namespace qarn {

class QtMainLoop final : public MainLoop {
 public:
  QtMainLoop();
  // Calls handed over and not run yet are dropped; a RunAndWait waiting on one returns.
  ~QtMainLoop() override;

  Id StartTimer(int interval_ms, Callback fn) override;
  void StopTimer(Id id) override;
  Id WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) override;
  void SetFdEvents(Id id, unsigned events) override;
  void UnwatchFd(Id id) override;
  // From another thread it waits until `fn` has run, or until the loop is destroyed with `fn`
  // still queued. A thread that may be asked to stop meanwhile posts and waits on its own
  // terms instead (K8Link::AskGreeting).
  void RunAndWait(Callback fn) override;
  void Post(Callback fn) override;
  void RunUntil(const std::function<bool()>& done) override;
  void Quit(int exit_code) override;

  // Whether handed-over calls wait to run; any thread.
  bool HasQueuedCalls();

 private:
  struct Watch {
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
  };

  // Main thread: the watch of wake_fd_, made once the application exists.
  void WatchWakeFd();
  // Any thread, under mutex_: tells the main thread that calls wait.
  void Wake();
  // Main thread: runs the queued calls in order, one at a time, until none is left.
  void RunHandedOver();

  // Lives on the main thread: the target of timers and fd watches, and their parent, so that
  // one stopped and left to a deferred deletion the loop never ran goes with the loop.
  QObject context_;
  std::thread::id main_thread_;
  Id next_id_ = 1;
  std::map<Id, std::unique_ptr<QTimer>> timers_;
  std::map<Id, std::unique_ptr<Watch>> watches_;

  // Calls from other threads wait here, not in Qt's event queue: Qt's locking is invisible to
  // ThreadSanitizer, so the hand-over uses only what it sees. The Qt loop only learns, through
  // an eventfd, that calls wait.
  int wake_fd_ = -1;
  std::unique_ptr<QSocketNotifier> wake_watch_;
  std::mutex mutex_;
  std::deque<Callback> calls_;  // under mutex_
  bool closed_ = false;         // under mutex_: the loop is going, calls are dropped
};

}  // namespace qarn
