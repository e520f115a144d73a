#include "platform/signal_watcher.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/diag.h"

namespace qarn {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(MainLoop& loop, OnSignal on_signal)
    : loop_(loop), on_signal_(std::move(on_signal)) {
  const sigset_t set = TerminationSignals();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    DiagError("cannot watch SIGTERM, SIGINT and SIGHUP");
    return;
  }
  watch_ = loop_.WatchFd(fd_, MainLoop::kReadable, [this](unsigned) {
    signalfd_siginfo info{};
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      on_signal_(static_cast<int>(info.ssi_signo));
    }
  });
}

SignalWatcher::~SignalWatcher() {
  if (watch_) loop_.UnwatchFd(watch_);
  if (fd_ >= 0) close(fd_);
}

}  // namespace qarn
