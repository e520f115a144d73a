// The driver: the parts built from its services, wired to one another, started in order and
// closed in reverse. An event's road runs through the parts by plain calls (the port, the
// station protocol, the event output, the spool, the links); the driver itself stands only
// at its ends: the start, the close, the server's orders, and what the window asks.
#pragma once

#include <memory>
#include <string>

#include "platform/blocking_tcp_client.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/k7_client.h"
#include "platform/main_loop.h"
#include "platform/metrics.h"
#include "serial/station_port.h"
#include "shell/config.h"
#include "shell/driver_timings.h"
#include "shell/driver_view.h"
#include "shell/error_log.h"
#include "shell/run_control.h"
#include "shell/status_line.h"
#include "shell/telemetry.h"
#include "shell/window_model.h"
#include "shell/window_state.h"

namespace qarn {

class EventOutput;
class K7Side;
class K8Link;
class ReplayTick;
class SpoolReplay;
class SpoolWriter;
class StationProtocol;

class Driver final : private LinkHost {
 public:
  struct Services {
    Clock& clock;
    FileSystem& fs;
    MainLoop& loop;
    StationPort& port;
    DriverView& view;
    // Make the K8 link's connections and the K7 link's clients.
    TcpClientFactory k8_clients;
    K7ClientFactory k7_clients;
    // Where the driver's numbers go.
    Metrics& metrics = NoMetrics();
    // The protocol's pauses; tests shorten them.
    DriverTimings timings = DriverTimings();
  };

  explicit Driver(Services services);
  ~Driver() override;

  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Reads "sqarn.ini", builds the parts and starts them in order.
  void StartUp();

  // The message box exists from here on (it is made after the main window).
  void SetMessageBoxReady() { window_.SetMessageBoxReady(); }

  // The operator's close: the password dialog decides. True when the driver has shut down
  // and the window may close.
  bool HandleCloseRequest();
  // SIGTERM or SIGINT: an accepted close without the password.
  void CloseOnSignal() { Shutdown(); }
  bool close_by_server() const { return close_by_server_; }
  bool shut_down() const { return shut_down_; }

  // Everything the parts tell goes to `observer` too (the service manager's status, say),
  // until it is removed.
  void AddObserver(Observer& observer) { facts_.Add(observer); }
  void RemoveObserver(Observer& observer) { facts_.Remove(observer); }
  // The fan-out of the facts: the window, the error file, the journal and the metrics.
  Observer& facts() { return facts_; }

  // The setup page: the port scan, the choice of a port and the run button.
  RunControl& run_control() { return run_control_; }
  // Page switching; the window shows the page.
  void ShowSetupPage(bool shown) { window_.model().setup_page_shown = shown; }

  // State shown by the window.
  const WindowModel& window() const { return window_.model(); }
  const Config& config() const { return config_; }
  // What the service manager's status line shows.
  StatusFacts status_facts() const;

 private:
  // Start-up, in this order; the close undoes them in reverse.
  void ShowStart();
  void ReadConfiguration();
  void StartSpool();
  void StartOutput();
  void StartStation();
  void StartK8();
  void StartK7();
  void OpenPort();
  void StartTicks();
  void Shutdown();
  void StopTicks();
  void StopK7();
  void StopK8();
  void StopOutput();

  void OnHousekeepingTick();

  // LinkHost: the server's orders, the greetings' facts.
  void SetClock(TDateTime time) override;
  void RequestRetQuery() override;
  void CloseByServer() override;
  PortGreeting Greeting() const override;

  Services s_;
  // First: every part tells them, to the last.
  WindowState window_;
  Telemetry telemetry_;
  ErrorLog error_log_;
  Observers facts_;
  Config config_;
  RunControl run_control_;
  bool close_by_server_ = false;
  bool shut_down_ = false;

  // In the order they are started.
  std::unique_ptr<SpoolReplay> replay_;
  std::unique_ptr<SpoolWriter> spool_;
  std::unique_ptr<EventOutput> output_;
  std::unique_ptr<StationProtocol> station_;
  std::unique_ptr<K8Link> k8_link_;
  K8Channel* k8_ = nullptr;  // the link while it runs
  std::unique_ptr<K7Side> k7_side_;
  std::unique_ptr<ReplayTick> replay_tick_;
  MainLoop::Id housekeeping_timer_ = 0;
};

}  // namespace qarn
