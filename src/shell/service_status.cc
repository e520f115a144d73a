#include "shell/service_status.h"

#include <algorithm>

namespace qarn {

ServiceStatus::ServiceStatus(MainLoop& loop, ServiceNotifier& notifier, StatusLine status_line)
    : loop_(loop), notifier_(notifier), status_line_(std::move(status_line)) {}

ServiceStatus::~ServiceStatus() { StopTimers(); }

void ServiceStatus::Ready() {
  notifier_.Notify("READY=1");
  SendStatusIfChanged();
  // Nobody to tell: the driver does not wake up for it.
  if (notifier_.Listening()) {
    status_timer_ = loop_.StartTimer(kStatusCheckMs, [this] { SendStatusIfChanged(); });
  }
  if (const uint64_t usec = notifier_.WatchdogUsec()) {
    const auto half_ms = static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, 3600 * 1000));
    watchdog_timer_ = loop_.StartTimer(half_ms, [this] { notifier_.Notify("WATCHDOG=1"); });
  }
}

void ServiceStatus::Stopping() {
  if (stopping_) return;
  stopping_ = true;
  StopTimers();
  notifier_.Notify("STOPPING=1");
}

void ServiceStatus::SendStatusIfChanged() {
  std::string status = status_line_();
  if (status == last_status_) return;
  last_status_ = std::move(status);
  notifier_.Notify("STATUS=" + last_status_);
}

void ServiceStatus::StopTimers() {
  for (MainLoop::Id* timer : {&status_timer_, &watchdog_timer_}) {
    if (*timer) loop_.StopTimer(*timer);
    *timer = 0;
  }
}

}  // namespace qarn
