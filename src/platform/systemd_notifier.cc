#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "platform/service_notifier.h"

namespace qarn {
namespace {

class SystemdNotifier final : public ServiceNotifier {
 public:
  SystemdNotifier() {
    uint64_t usec = 0;
    // Only when the variables name this process: a child started by the driver gets none.
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog_usec_ = usec;
    const char* socket = std::getenv("NOTIFY_SOCKET");
    listening_ = socket && *socket;
  }

  void Notify(const std::string& state) override { sd_notify(0, state.c_str()); }
  uint64_t WatchdogUsec() const override { return watchdog_usec_; }
  bool Listening() const override { return listening_; }

 private:
  uint64_t watchdog_usec_ = 0;
  bool listening_ = false;
};

}  // namespace

std::unique_ptr<ServiceNotifier> MakeSystemdNotifier() {
  return std::make_unique<SystemdNotifier>();
}

}  // namespace qarn
