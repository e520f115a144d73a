// MainLoop over Qt's event loop of the running QCoreApplication.
#pragma once

#include <QObject>
#include <map>
#include <memory>
#include <thread>

#include "platform/main_loop.h"

class QSocketNotifier;
class QTimer;

namespace qarn {

class QtMainLoop final : public MainLoop {
 public:
  QtMainLoop();
  ~QtMainLoop() override;

  Id StartTimer(int interval_ms, Callback fn) override;
  void StopTimer(Id id) override;
  Id WatchFd(int fd, unsigned events, std::function<void(unsigned)> fn) override;
  void SetFdEvents(Id id, unsigned events) override;
  void UnwatchFd(Id id) override;
  void RunAndWait(Callback fn) override;
  void Post(Callback fn) override;
  void RunUntil(const std::function<bool()>& done) override;
  void Quit(int exit_code) override;

 private:
  struct Watch {
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
    std::function<void(unsigned)> fn;
  };

  QObject context_;  // lives on the main thread: the target of handed-over calls
  std::thread::id main_thread_;
  Id next_id_ = 1;
  std::map<Id, std::unique_ptr<QTimer>> timers_;
  std::map<Id, std::unique_ptr<Watch>> watches_;
};

}  // namespace qarn
