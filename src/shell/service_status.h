// Keeps the service manager informed from the main loop: ready once start-up is done, the
// status line whenever it changes, the watchdog at half its period (so a hung main loop is
// restarted), and stopping when the close begins.
#pragma once

#include <functional>
#include <string>

#include "output/observer.h"
#include "platform/main_loop.h"
#include "platform/service_notifier.h"

namespace qarn {

class ServiceStatus final : public Observer {
 public:
  // How often the status line is composed and compared with the last one sent.
  static constexpr int kStatusCheckMs = 500;

  // Composes the status line when asked.
  using StatusLine = std::function<std::string()>;
  ServiceStatus(MainLoop& loop, ServiceNotifier& notifier, StatusLine status_line);
  ~ServiceStatus() override;

  ServiceStatus(const ServiceStatus&) = delete;
  ServiceStatus& operator=(const ServiceStatus&) = delete;

  void Ready();
  void Stopping();
  // The driver's close has begun.
  void Closing() override { Stopping(); }

 private:
  void SendStatusIfChanged();
  void StopTimers();

  MainLoop& loop_;
  ServiceNotifier& notifier_;
  StatusLine status_line_;
  std::string last_status_;
  bool stopping_ = false;
  MainLoop::Id status_timer_ = 0;
  MainLoop::Id watchdog_timer_ = 0;
};

}  // namespace qarn
