// SIGTERM, SIGINT and SIGHUP delivered to the main loop instead of interrupting whatever runs.
#pragma once

#include <functional>

#include "platform/main_loop.h"

namespace qarn {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and every thread it starts later,
// and ignores SIGPIPE: a reader of standard output that goes away never ends the driver.
// Call it first thing in main().
void BlockTerminationSignals();

class SignalWatcher {
 public:
  using OnSignal = std::function<void(int signal)>;
  SignalWatcher(MainLoop& loop, OnSignal on_signal);
  ~SignalWatcher();

  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  MainLoop& loop_;
  int fd_ = -1;
  MainLoop::Id watch_ = 0;
  OnSignal on_signal_;
};

}  // namespace qarn
