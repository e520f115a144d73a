// Tells the service manager how the driver is doing: ready, a status line, alive, stopping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qarn {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // Sends one state assignment such as "READY=1" or "STATUS=...".
  virtual void Notify(const std::string& state) = 0;
  // The watchdog period the manager expects, in microseconds; 0 when there is none.
  virtual uint64_t WatchdogUsec() const = 0;
  // Whether a service manager listens; without one, status lines need not be made at all.
  virtual bool Listening() const { return true; }
};

// systemd's notification socket (NOTIFY_SOCKET), through libsystemd. Without the variable the
// messages go nowhere.
std::unique_ptr<ServiceNotifier> MakeSystemdNotifier();

}  // namespace qarn
