// The driver: its run-time state and the handlers that change it, on the main thread. The
// window shows this state; headless, nothing does.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "k8/k8_link.h"
#include "output/event_output.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "output/station_watch.h"
#include "platform/async_tcp_client.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/main_loop.h"
#include "platform/metrics.h"
#include "serial/station_port.h"
#include "shell/config.h"
#include "shell/config_check.h"
#include "shell/driver_timings.h"
#include "shell/driver_view.h"
#include "shell/error_log.h"
#include "shell/k7_side.h"
#include "shell/run_control.h"
#include "shell/spool_notice.h"
#include "shell/status_line.h"
#include "shell/telemetry.h"
#include "shell/window_model.h"
#include "station/station_protocol.h"

namespace qarn {

class Driver {
 public:
  struct Services {
    Clock& clock;
    FileSystem& fs;
    MainLoop& loop;
    StationPort& port;
    DriverView& view;
    // Make the K8 link's connections and the K7 link's client; tests give fakes.
    TcpClientFactory k8_clients = PosixTcpClientFactory();
    K7ClientFactory k7_clients = AsyncTcpClientFactory();
    // Where the driver's numbers go; the K8 link's thread tells it of its link too.
    Metrics& metrics = NoMetrics();
  };

  using SetupPage = qarn::SetupPage;

  explicit Driver(Services services);
  ~Driver();

  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Reads "sqarn.ini" and brings the links up as configured.
  void StartUp();
  // Tests shorten the pauses; before StartUp.
  void SetTimings(const DriverTimings& timings) { timings_ = timings; }

  // The message box exists from here on (it is made after the main window).
  void SetMessageBoxReady() { message_box_ready_ = true; }
  void ShowMessageBox(const std::string& text);

  // The operator's close: the password dialog decides. True when the driver has shut down
  // and the window may close.
  bool HandleCloseRequest();
  // The server's close order: no password.
  void CloseByServerOrder();
  // SIGTERM or SIGINT: an accepted close without the password.
  void CloseOnSignal();
  // Called once when the close begins, whoever ordered it.
  void SetClosingHook(std::function<void()> hook) { closing_hook_ = std::move(hook); }
  bool close_by_server() const { return close_by_server_; }
  bool shut_down() const { return shut_down_; }

  void WriteErrorLog(int code) { error_log_.WriteErrorLog(code); }

  // A time-stamped line in the log area (at most 100 lines), also on standard output.
  void AddLogLine(const std::string& text);

  void AdvanceStationIndicator();
  void AdvanceK7Indicator();
  void AdvanceK8Indicator();

  void OnHousekeepingTick();
  // Spool replay on both links, then the station-silence watch.
  void OnReplayTick();

  // The server's command 4.
  void SetClockByServer(TDateTime time);

  // The setup page: the port scan, the choice of a port and the run button.
  RunControl& run_control() { return run_control_; }
  // Page switching; the window shows the page.
  void OnStatusPageClicked() { window_.setup_page_shown = false; }
  void OnSetupPageClicked() { window_.setup_page_shown = true; }

  // State shown by the window.
  const WindowModel& window() const { return window_; }
  const Config& config() const { return config_; }
  const SetupPage& setup_page() const { return run_control_.page(); }
  // Read from the K8 thread's state when asked.
  bool k8_link() const { return k8_ && k8_->Connected(); }
  std::string com_port_name() const { return run_control_.ComPortName(); }
  // What the service manager's status line shows.
  StatusFacts status_facts() const;

  StationProtocol* station() { return station_.get(); }
  K8Link* k8_link_thread() { return k8_link_.get(); }
  EventOutput* output() { return output_.get(); }
  SpoolReplay* replay() { return replay_.get(); }

 private:
  void GeneratePassword();
  void ReadConfiguration();
  void SetUpSpool();
  void SetUpOutput();
  void SetUpStation();
  void OpenConfiguredPort();
  void StartK8Link();
  void SetUpK7();
  void StopLinks();
  // A link is up on `server`: the window's hint, and a line in the log area on a switch.
  void OnServer(SpoolKind link, Server server, const std::string& address);
  void UpdateReplayTimer();
  void StopReplayTimer();
  void Shutdown();
  SpoolNotice& Notice(SpoolKind kind) { return kind == SpoolKind::kK8 ? dd8_notice_ : ddk_notice_; }
  // The spool's numbers after a file came or went.
  void SpoolChanged(SpoolKind kind);
  // A record's delivery ended: the replay takes what became of its file, and a delivered one
  // is told.
  void RecordEnded(SpoolKind kind, const std::string& file, PacketEnd end);

  Services s_;
  // Before everything that reports to it; the K8 link's thread uses it until it is stopped.
  Telemetry telemetry_;
  ErrorLog error_log_;
  Config config_;
  WindowModel window_;
  // "host:port" of the backup each link is on; empty while on the primary.
  std::string k8_backup_;
  std::string k7_backup_;
  RunControl run_control_;
  bool close_by_server_ = false;
  bool message_box_ready_ = false;
  bool shut_down_ = false;
  TDateTime start_time_ = 0;
  std::optional<CivilTime> last_event_time_;
  // Why the message directory took no file at start-up, until a spool file is stored.
  std::string message_dir_error_;
  SpoolNotice dd8_notice_{SpoolKind::kK8};
  SpoolNotice ddk_notice_{SpoolKind::kK7};
  std::function<void()> closing_hook_;

  std::unique_ptr<SpoolWriter> spool_;
  std::unique_ptr<EventOutput> output_;
  std::unique_ptr<StationProtocol> station_;
  std::unique_ptr<SpoolReplay> replay_;
  StationWatch station_watch_;
  K7Channel* k7_ = nullptr;
  std::unique_ptr<K7Side> k7_side_;
  K8Channel* k8_ = nullptr;
  DriverTimings timings_;
  MainLoop::Id housekeeping_timer_ = 0;
  MainLoop::Id replay_timer_ = 0;
  uint32_t replay_due_tick_ = 0;
  // Last: its thread uses the state above until it is stopped.
  std::unique_ptr<K8Link> k8_link_;
};

}  // namespace qarn
